// Arbitrary bytes as an AVI file read through the library's playback: the file kind, the
// AVI summary (quick and by a full scan), positioning by every mode and reading every frame
// through the AVI layer, and one frame loaded as an image, as drawn. Only results or error
// codes may come back.
#include <kzvideo.h>
#include <windows.h>

#include <cstdint>
#include <string>

#include "fuzz_util.h"
#include "playback_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = kzfuzz::InFolder("movie.avi");
  static const bool begun = KZBegin(nullptr) != 0;
  (void)begun;
  if (!kzfuzz::WriteBytes(path, data, size)) return 0;
  kzfuzz::LeakCheck leaks;
  KZGetFileFormat(path.c_str());
  kzfuzz::SummariseAndPlay(path.c_str());
  KZPLAYBACK block{};
  block.size = sizeof block;
  block.flags = KZ_PLAY_MOVE_END;
  block.index = -1;
  block.zoom = 1.0;
  if (HGLOBAL image = KZLoadFrame(path.c_str(), &block, nullptr, KZ_IMAGE_AS_DRAWN)) {
    GlobalFree(image);
  }
  return 0;
}

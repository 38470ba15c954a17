// Arbitrary bytes as a one-frame image file (or any recording) loaded by KZLoadFrame: the
// frame as stored, as drawn with the display description the file carries, and the
// description itself through KZGetPlaybackInfo. Images come back or an error code does.
#include <kzvideo.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = kzfuzz::InFolder("image.kzv");
  static const uint32_t session = KZBegin(nullptr);
  if (size >= 4 && std::memcmp(data, "RIFF", 4) == 0) return 0;  // AVI: its own targets
  if (!kzfuzz::WriteBytes(path, data, size)) return 0;
  kzfuzz::LeakCheck leaks;
  const uint32_t loads[] = {KZ_LOAD_THIS_FILE, 0,
                            KZ_LOAD_THIS_FILE | KZ_IMAGE_AS_DRAWN | KZ_LOAD_RECORDED_DISPLAY};
  for (uint32_t flags : loads) {
    KZPLAYBACK block{};
    block.size = sizeof block;
    block.flags = KZ_PLAY_MOVE_START;
    block.zoom = 1.0;
    KZDISPLAY display{};
    display.size = sizeof display;
    if (HGLOBAL image = KZLoadFrame(path.c_str(), &block, &display, flags)) GlobalFree(image);
  }
  KZDISPLAY display{};
  display.size = sizeof display;
  KZRECORD record{};
  record.size = sizeof record;
  KZGetPlaybackInfo(session, 0, path.c_str(), nullptr, &display, &record, 0);
  return 0;
}

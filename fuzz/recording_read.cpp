// Arbitrary bytes as a recording file: the file-kind probe, both summaries, the public
// file information, positioning by every mode and reading every frame must end with a
// result or an error code, never a crash, an overread or a hang.
#include <kzvideo.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "frame/blocks.h"
#include "frame/stream.h"
#include "playback/file_info.h"
#include "playback/playback_io.h"

namespace {

const std::string& FilePath() {
  static const std::string path = "/tmp/kz_fuzz_recording_" + std::to_string(::getpid()) + ".kzv";
  return path;
}

void ReadAll(const KZFILEINFO& info, uint32_t flags, int32_t index, uint32_t frame) {
  auto rec = std::make_unique<kz::StreamRecord>();
  rec->play.sequenceInfo = info;
  rec->playback.size = sizeof(KZPLAYBACK);
  rec->playback.flags = flags;
  rec->playback.index = index;
  rec->playback.frame = frame;
  if (kz::SeekPlayback(rec.get()) == kz::kSeekDone) {
    // Every frame the file holds, and not one read more than the summary allows for.
    for (int64_t i = 0; i <= int64_t{info.frameCount} + 1; ++i) {
      if (!kz::ReadPlaybackFrame(rec.get(), false)) break;
    }
  }
  kz::FreePlaybackMemory(rec.get());
  kz::BlockFree(rec->ring);
  rec->ring = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool begun = KZBegin(nullptr) != 0;
  (void)begun;
  // AVI files go to FFmpeg's demuxers, which are fuzzed on their own.
  if (size >= 4 && std::memcmp(data, "RIFF", 4) == 0) return 0;
  FILE* f = std::fopen(FilePath().c_str(), "wb");
  if (!f) return 0;
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);

  uint32_t error = 0;
  kz::ProbeFileFormat(FilePath().c_str(), &error);
  for (uint32_t scan : {0u, KZ_INFO_FULL_SCAN}) {
    KZFILEINFO info{};
    info.size = sizeof info;
    if (!KZGetFileInfo(FilePath().c_str(), &info, scan)) continue;
    if (info.frameCount < 1) std::abort();
    ReadAll(info, scan, 0, 0);
    ReadAll(info, scan | KZ_PLAY_MOVE_END, -1, 0);
    ReadAll(info, scan | KZ_PLAY_MOVE_START | KZ_PLAY_MODE_FRAME, 0, info.maxFrame);
    ReadAll(info, scan | KZ_PLAY_MOVE_START | KZ_PLAY_MODE_MS | KZ_PLAY_STRICT, 0, 0);
  }
  return 0;
}

// Reading a file or sequence the way playback does: position by one mode, then every frame.
#pragma once

#include <kzvideo.h>

#include <cstdint>
#include <memory>

#include "frame/blocks.h"
#include "frame/stream.h"
#include "playback/playback_io.h"

namespace kzfuzz {

inline void PlayThrough(const KZFILEINFO& info, uint32_t flags, int32_t index, uint32_t frame) {
  auto rec = std::make_unique<kz::StreamRecord>();
  rec->play.sequenceInfo = info;
  rec->playback.size = sizeof(KZPLAYBACK);
  rec->playback.flags = flags;
  rec->playback.index = index;
  rec->playback.frame = frame;
  if (kz::SeekPlayback(rec.get()) == kz::kSeekDone) {
    // Every frame the files hold, and not one read more than the summary allows for.
    for (int64_t i = 0; i <= int64_t{info.frameCount} + 1; ++i) {
      if (!kz::ReadPlaybackFrame(rec.get(), false)) break;
    }
  }
  kz::FreePlaybackMemory(rec.get());
  kz::BlockFree(rec->ring);
  rec->ring = nullptr;
}

// The summary of `path` (quick, then by a full scan), each followed by reads from the start,
// from the end, by frame number and by time.
inline void SummariseAndPlay(const char* path) {
  for (uint32_t scan : {0u, KZ_INFO_FULL_SCAN}) {
    KZFILEINFO info{};
    info.size = sizeof info;
    if (!KZGetFileInfo(path, &info, scan)) continue;
    if (info.frameCount < 1) std::abort();  // a summary with no frame is not a success
    PlayThrough(info, scan, 0, 0);
    PlayThrough(info, scan | KZ_PLAY_MOVE_END, -1, 0);
    PlayThrough(info, scan | KZ_PLAY_MOVE_START | KZ_PLAY_MODE_FRAME, 0, info.maxFrame);
    PlayThrough(info, scan | KZ_PLAY_MOVE_START | KZ_PLAY_MODE_MS | KZ_PLAY_STRICT, 0, 0);
  }
}

}  // namespace kzfuzz

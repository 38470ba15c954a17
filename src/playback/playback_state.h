// Playback file state, positions and pacing.
#pragma once

#include <kzvideo.h>
#include <windows.h>
#include <vfw.h>

#include <atomic>
#include <cstdint>

namespace kz {

struct PlaybackState {
  KZFILEINFO sequenceInfo{};
  KZFILEINFO fileInfo{};
  int32_t fileNumber = 0;
  int32_t fileFirstIndex = 0;
  HANDLE playFile = nullptr;
  PAVISTREAM aviStream = nullptr;
  PGETFRAME aviGetFrame = nullptr;
  int32_t aviIndex = 0;
  uint32_t aviPixelOffset = 0;
  KZPLAYBACKFRAME prevPos{};
  KZPLAYBACKFRAME curPos{};
  KZPLAYBACKFRAME nextPos{};
  KZPLAYBACKFRAME shownPos{};
  std::atomic<int32_t> playbackState{0};
  std::atomic<uint32_t> redraw{0};
  uint32_t playbackTimes[11] = {};
  std::atomic<uint32_t> framesPlayed{0};
  std::atomic<uint32_t> framesSkipped{0};
  double playbackStart = 0.0;
  uint32_t nextDue = 0;
  uint32_t waitedMs = 0;
  std::atomic<uint32_t> playbackEndCode{0};
};

}  // namespace kz

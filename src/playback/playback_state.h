// Playback file state, positions and pacing.
#pragma once

#include <kzvideo.h>
#include <windows.h>
#include <vfw.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "live/live_state.h"
#include "record/frame_coding.h"

namespace kz {

struct PlaybackState {
  KZFILEINFO sequenceInfo{};
  KZFILEINFO fileInfo{};
  int32_t fileNumber = 0;
  int32_t fileFirstIndex = 0;
  HANDLE playFile = nullptr;
  int64_t fileLength = 0;   // length of the open recording file
  uint32_t streamKind = 0;  // FOURCC of the sequence's first record
  PAVISTREAM aviStream = nullptr;
  PGETFRAME aviGetFrame = nullptr;
  int32_t aviIndex = 0;
  uint32_t aviPixelOffset = 0;
  KZPLAYBACKFRAME prevPos{};
  KZPLAYBACKFRAME curPos{};
  KZPLAYBACKFRAME nextPos{};
  KZPLAYBACKFRAME shownPos{};
  // -1 read failed, 0 nothing read, 1 read and waiting, 2 shown.
  std::atomic<int32_t> playbackState{0};
  // Redraw requests are their own flag, so that a caller never does arithmetic on the
  // state the thread owns.
  std::atomic<uint32_t> redraw{0};
  TimeHistory playbackTimes;  // clock at the frames shown, newest first
  std::atomic<uint32_t> framesPlayed{0};
  std::atomic<uint32_t> framesSkipped{0};
  std::atomic<double> playbackStart{0.0};
  uint32_t nextDue = 0;
  uint32_t waitedMs = 0;
  std::atomic<uint32_t> playbackEndCode{0};
  // A display block arrived with the frame read last.
  bool recordedDisplay = false;
  // Decoder caches of the compressed kinds; they survive from frame to frame.
  FrameDecoderState decoder;
  bool decoderReady = false;
  std::unique_ptr<uint8_t[]> recordData;  // frame data of the record being read
  // Drawing fields of the display block the last record carried (never its callbacks,
  // window or size).
  KZDISPLAY fileDisplay{};
  // The raw-frame buffer the image lock recycles (image/publish.h); the thread's own.
  uint8_t* spareFrame = nullptr;
};

}  // namespace kz

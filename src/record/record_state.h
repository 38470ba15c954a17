// Record thread and recording writer state.
#pragma once

#include <kzvideo.h>
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "live/live_state.h"
#include "record/frame_coding.h"
#include "record/frame_format.h"

namespace kz {

// Bytes of a record that the writer builds in its work block: header, chunk part and
// trailer; the frame data is written from the ring or from the encoder's output area.
inline constexpr size_t kRecordWorkBytes = kFrameHeaderBytes + kMaxChunkPartBytes + kTrailerBytes;

struct RecordState {
  // Header and chunk part of the record being built (memory-table block, freed by the
  // record thread before it ends, or by the entry's release).
  uint8_t* recordWork = nullptr;
  HANDLE recordFile = nullptr;
  TimeHistory recordTimes;  // clock readings of the frames written, newest first
  std::atomic<uint32_t> framesRecorded{0};
  std::atomic<uint32_t> recordDropped{0};
  int32_t recordMsLeft = 0;  // record thread (and the start before the thread exists)
  // Set by the record thread (after its own stop-request bit) or cleared by a stop.
  std::atomic<uint32_t> recordEndCode{0};
  uint32_t appendBaseLow = 0;
  uint32_t appendBaseHigh = 0;
  uint32_t nextFrameNumber = 0;
  std::atomic<double> recordStart{0.0};  // read by the rate function
  double recordEnd = 0.0;
  // Julian time of the recording's millisecond base: taken when the recording first
  // begins and kept when the schedule runs again, so later time stamps never shift.
  double julianBase = 0.0;

  // A change from KZChangeRecord waiting to be applied by the record thread (bit 2 of the
  // stream's `pending`; guarded by the entry's blockMutex).
  KZRECORD pendingRecord{};

  // Writer: the record built by BuildFrameRecord and waiting for WriteFrameRecord.
  FrameHeader built;
  size_t builtHeadBytes = 0;           // header + chunk part
  const uint8_t* builtData = nullptr;  // coded frame data (null: the raw frame of the ring)
  int64_t builtPosition = 0;           // file offset the record starts at
  bool encoderReady = false;
  FrameEncoderState encoder;  // "KZVc" / "KZVl" coding state
  uint32_t sampleDistance = 1;
};

}  // namespace kz

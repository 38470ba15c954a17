// Record thread and recording writer state.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

namespace kz {

struct RecordState {
  uint8_t* recordWork = nullptr;
  HANDLE recordFile = nullptr;
  uint32_t recordTimes[11] = {};
  std::atomic<uint32_t> framesRecorded{0};
  std::atomic<uint32_t> recordDropped{0};
  int32_t recordMsLeft = 0;
  std::atomic<uint32_t> recordEndCode{0};
  uint32_t appendBaseLow = 0;
  uint32_t appendBaseHigh = 0;
  uint32_t nextFrameNumber = 0;
  double recordStart = 0.0;
  double recordEnd = 0.0;
};

}  // namespace kz

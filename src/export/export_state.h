// Video export state and the AVI output of a stream.
#pragma once

#include <windows.h>
#include <vfw.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace kz {

struct ExportState {
  int32_t* ranges = nullptr;  // working copy of the range list (memory block)
  uint32_t total = 0;
  std::atomic<uint32_t> done{0};
  uint32_t clockLow = 0;
  uint32_t clockHigh = 0;
  uint32_t nextFrameNumber = 0;
  std::atomic<uint32_t> status{0};
};

struct AviOutputState {
  std::mutex mutex;  // the show step and the record thread both write
  PAVIFILE file = nullptr;
  PAVISTREAM video = nullptr;
  std::atomic<PAVISTREAM> compressed{nullptr};
  int32_t frames = 0;
  std::atomic<uint32_t> writeInProgress{0};
  double firstTime = 0.0;
  double lastTime = 0.0;
};

}  // namespace kz

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
  // The export's own copy of the caller's compression options (a global memory handle).
  HGLOBAL options = nullptr;
};

struct AviOutputState {
  // The show step and the record thread both write; `mutex` guards every field but the
  // two atomics, and is held for one write at a time, never while waiting.
  std::mutex mutex;
  PAVIFILE file = nullptr;
  PAVISTREAM video = nullptr;
  // Published (release) only once its format is set, so a writer never sees it half made.
  std::atomic<PAVISTREAM> compressed{nullptr};
  int32_t frames = 0;
  int32_t width = 0;  // frame size of the stream: frames of another size are skipped
  int32_t height = 0;
  std::atomic<uint32_t> writeInProgress{0};
  double firstTime = 0.0;
  double lastTime = 0.0;
  // 24-bit rows of an 8-bit picture as shown: allocated at its first frame, freed on close.
  uint8_t* expanded = nullptr;
};

}  // namespace kz

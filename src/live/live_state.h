// Live stream state: grab pacing, slot headers, display statistics.
#pragma once

#include <atomic>
#include <cstdint>

namespace kz {

// The 16-byte header in front of every frame of a live ring.
struct SlotHeader {
  uint32_t requestTime;
  uint32_t requestWraps;
  uint32_t recordNumber;
  uint32_t want;  // 1 display, 2 record; changed with atomic read-modify-writes
};
static_assert(sizeof(SlotHeader) == 16, "slot header");

struct LiveState {
  std::atomic<uint32_t> grabPending{0};
  SlotHeader nextHeader{};  // grab thread only
  uint32_t lastDisplayRequest = 0;
  bool displayRequested = false;  // false: never requested yet
  uint32_t lastRecordRequest = 0;
  bool recordRequested = false;
  uint32_t firstRecordRequest = 0;
  uint32_t previousRecordRequest = 0;
  bool recordArmed = true;
  std::atomic<uint32_t> clockWraps{0};

  uint32_t displayTimes[11] = {};
  std::atomic<uint32_t> framesShown{0};
  std::atomic<uint32_t> displayDropped{0};
  double displayStart = 0.0;
};

}  // namespace kz

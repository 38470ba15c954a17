#include "live/pacing.h"

#include <cmath>

#include "live/ring.h"

namespace kz {

uint32_t PaceInterval(double rate) {
  if (!(rate > 0.0)) return 0;
  const double ms = std::trunc(1000.0 / rate);
  if (!(ms < 2147483648.0)) return 0;
  const auto whole = static_cast<uint32_t>(ms);
  return whole > 1 ? whole - 1 : 0;
}

bool HoldBack(const PaceClock& pace, uint32_t interval, uint32_t now) {
  return interval != 0 && pace.requested && now - pace.last < interval;
}

uint32_t PlanGrab(LiveState& live, uint32_t running, uint32_t now) {
  // The wrap count follows the clock on every pass, not only at record requests, so a
  // long pause between requests still sees each pass of 2^32.
  if (live.clockSeen && now < live.lastClock) {
    live.clockWraps.fetch_add(1, std::memory_order_relaxed);
  }
  live.lastClock = now;
  live.clockSeen = true;
  // An activity that is not running makes its next request a first one again.
  if ((running & kWantDisplay) == 0) live.displayPace.requested = false;
  if ((running & kWantRecord) == 0) {
    live.recordArmed = true;
    live.recordPace.requested = false;
  }

  uint32_t want = running & (kWantDisplay | kWantRecord);
  if (want & kWantDisplay) {
    const uint32_t interval = live.unpacedWaiters.load(std::memory_order_acquire) != 0
                                  ? 0
                                  : live.displayInterval.load(std::memory_order_relaxed);
    if (HoldBack(live.displayPace, interval, now)) want &= ~kWantDisplay;
  }
  if (want & kWantRecord) {
    if (live.recordBegun.load(std::memory_order_acquire) == 0 ||
        HoldBack(live.recordPace, live.recordInterval.load(std::memory_order_relaxed), now)) {
      want &= ~kWantRecord;
    }
  }
  if (want == 0) return 0;

  const uint32_t wraps = live.clockWraps.load(std::memory_order_relaxed);
  if (want & kWantDisplay) live.displayPace = {now, true};
  if (want & kWantRecord) {
    live.recordPace = {now, true};
    if (live.recordArmed) {
      // The first request of a recording is the base of its millisecond count, and its
      // frames are numbered from 1 again.
      live.firstRecordRequest.store(now, std::memory_order_relaxed);
      live.firstRecordWraps.store(wraps, std::memory_order_release);
      live.nextHeader.recordNumber = 0;
      live.recordArmed = false;
    }
    ++live.nextHeader.recordNumber;
  }
  live.nextHeader.requestTime = now;
  live.nextHeader.requestWraps = wraps;
  live.nextHeader.want = want;
  return want;
}

}  // namespace kz

namespace kz {

int64_t RecordMs(const LiveState& live, const SlotHeader& slot) {
  const uint32_t wraps = slot.requestWraps - live.firstRecordWraps.load(std::memory_order_acquire);
  return int64_t{wraps} * 4294967296 + int64_t{slot.requestTime} -
         int64_t{live.firstRecordRequest.load(std::memory_order_relaxed)};
}

}  // namespace kz

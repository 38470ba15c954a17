#include "live/rate.h"

#include <cmath>
#include <mutex>

#include "frame/errors.h"
#include "frame/stream.h"
#include "time/julian.h"

namespace kz {

void TakeHistory(const TimeHistory& times, RateSample* sample) {
  uint32_t n = 0;
  for (; n < 11; ++n) {
    if (!times.Get(n, &sample->history[n])) break;
  }
  sample->historyCount = n;
}

RateSample SampleOf(const std::atomic<double>& start, const TimeHistory& times,
                    const std::atomic<uint32_t>& done, const std::atomic<uint32_t>& dropped) {
  RateSample s;
  s.start = start.load(std::memory_order_relaxed);
  TakeHistory(times, &s);
  s.done = done.load(std::memory_order_relaxed);
  s.dropped = dropped.load(std::memory_order_relaxed);
  return s;
}

void FillRate(const RateSample& s, double nowJulian, uint32_t nowMs, KZRATE* out) {
  *out = KZRATE{};
  out->startTime = s.start;
  double span = (nowJulian - s.start) * 86400000.0;
  if (!(span > 0.0)) span = 0.0;
  out->msSinceStart = span > 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(span);
  // Before the first frame the time since the last frame is the time since the start.
  const double sinceFrame =
      s.historyCount > 0 ? static_cast<double>(nowMs - s.history[0]) : std::trunc(span);
  out->msSinceFrame = sinceFrame > 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(sinceFrame);
  out->framesDelivered = s.done + s.dropped;
  out->framesDone = s.done;
  out->framesDropped = s.dropped;
  const double active = span - sinceFrame;
  if (s.done != 0 && active > 0.0) out->meanRate = s.done * 1000.0 / active;
  if (s.historyCount >= 2) {
    const uint32_t last = s.history[0] - s.history[1];
    if (last != 0) out->latestRate = 1000.0 / last;
  }
  if (s.historyCount >= 11) {
    const uint32_t ten = s.history[0] - s.history[10];
    if (ten != 0) out->recentRate = 10000.0 / ten;
  }
}

int GetActivityRate(uint32_t session, uint32_t id, HWND window, KZRATE* out, uint32_t bit,
                    uint32_t notFound, RateSample (*sample)(StreamRecord& e)) {
  SetError(0);
  StreamRecord* e = MatchStream(session, id, window, bit, notFound);
  if (!e) return 0;
  if (!out) return Fail(KZ_ERR_NULL);
  RateSample taken;
  {
    // The entry cannot be released while its sample is read.
    std::lock_guard lock(StreamTableMutex());
    if (e->releasing.load(std::memory_order_acquire) != 0 ||
        (e->running.load(std::memory_order_acquire) & bit) == 0) {
      return Fail(notFound);
    }
    taken = sample(*e);
  }
  FillRate(taken, CurrentJulian(), timeGetTime(), out);
  return 1;
}

}  // namespace kz

// The rate family's arithmetic: spans, counters and the three rates.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "live/rate.h"

namespace kz {
namespace {

constexpr double kStart = 2461000.25;

RateSample Sample(std::initializer_list<uint32_t> history, uint32_t done, uint32_t dropped) {
  RateSample s;
  s.start = kStart;
  for (uint32_t t : history) s.history[s.historyCount++] = t;
  s.done = done;
  s.dropped = dropped;
  return s;
}

TEST(LiveRate, FillsTheRecordFromTheSample) {
  struct Case {
    const char* what;
    RateSample sample;
    double msAfterStart;
    uint32_t nowMs;
    uint32_t sinceStart, sinceFrame, delivered;
    double mean, latest, recent;
  } cases[] = {
      {"nothing yet", Sample({}, 0, 0), 1000.0, 777, 1000, 1000, 0, 0.0, 0.0, 0.0},
      {"one frame", Sample({700}, 1, 2), 1000.0, 750, 1000, 50, 3, 1000.0 / 950, 0.0, 0.0},
      {"eleven frames",
       Sample({5000, 4900, 4800, 4700, 4600, 4500, 4400, 4300, 4200, 4100, 4000}, 20, 5), 3000.0,
       5050, 3000, 50, 25, 20 * 1000.0 / 2950, 10.0, 10.0},
      {"across the clock wrap", Sample({10, 0xFFFFFFF6u}, 2, 0), 500.0, 20, 500, 10, 2,
       2000.0 / 490, 50.0, 0.0},
      {"equal times", Sample({40, 40}, 2, 0), 100.0, 40, 100, 0, 2, 20.0, 0.0, 0.0},
      {"start after now", Sample({}, 0, 0), -5000.0, 0, 0, 0, 0, 0.0, 0.0, 0.0},
      {"longer than 2^32 ms", Sample({}, 0, 0), 5e9, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, 0, 0.0, 0.0, 0.0},
  };
  for (const Case& c : cases) {
    KZRATE out;
    std::memset(&out, 0xAB, sizeof out);
    FillRate(c.sample, kStart + c.msAfterStart / 86400000.0, c.nowMs, &out);
    SCOPED_TRACE(c.what);
    // The Julian round trip of a span loses a fraction of a millisecond at most.
    EXPECT_NEAR(out.msSinceStart, c.sinceStart, 1);
    EXPECT_NEAR(out.msSinceFrame, c.sinceFrame, 1);
    EXPECT_NEAR(double{out.meanRate}, c.mean, c.mean * 1e-3);
    EXPECT_EQ(
        std::tuple(double{out.startTime}, uint32_t{out.framesDelivered}, uint32_t{out.framesDone},
                   uint32_t{out.framesDropped}, double{out.latestRate}, double{out.recentRate}),
        std::tuple(kStart, c.delivered, c.sample.done, c.sample.dropped, c.latest, c.recent));
  }
}

TEST(LiveRate, HistoryTakesTheNewestElevenNewestFirst) {
  TimeHistory times;
  RateSample s;
  TakeHistory(times, &s);
  EXPECT_EQ(s.historyCount, 0u);
  for (uint32_t t = 1; t <= 30; ++t) times.Push(t * 10);
  TakeHistory(times, &s);
  ASSERT_EQ(s.historyCount, 11u);
  for (uint32_t i = 0; i < 11; ++i) EXPECT_EQ(s.history[i], 300 - 10 * i);
  times.Clear();
  times.Push(5);
  TakeHistory(times, &s);
  EXPECT_EQ(s.historyCount, 1u);
  EXPECT_EQ(s.history[0], 5u);
}

}  // namespace
}  // namespace kz

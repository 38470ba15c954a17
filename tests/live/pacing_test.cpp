// Grab pacing: intervals from rates, and the planning of requests across clock wraps.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "frame/stream.h"
#include "live/pacing.h"
#include "live/ring.h"

namespace kz {
namespace {

TEST(LivePacing, IntervalFromRate) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double rate;
    uint32_t interval;
  } cases[] = {
      {0.0, 0},    {-5.0, 0},     {nan, 0},    {inf, 0},          {-inf, 0},
      {1e-300, 0}, {4.9e-324, 0}, {1e-7, 0},   {1e-6, 999999999}, {10.0, 99},
      {30.0, 32},  {25.0, 39},    {1.0, 999},  {3.0, 332},        {499.0, 1},
      {500.0, 1},  {501.0, 0},    {1000.0, 0}, {1e9, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(PaceInterval(c.rate), c.interval) << c.rate;
}

// Clock readings at which requests are made for the display at 10 frames per second
// when the grab loop passes every millisecond from `start` on.
std::vector<uint32_t> DisplayRequests(uint32_t start, uint32_t passes, LiveState* live) {
  live->displayInterval.store(PaceInterval(10.0));
  std::vector<uint32_t> made;
  for (uint32_t i = 0; i < passes; ++i) {
    const uint32_t now = start + i;
    if (PlanGrab(*live, kDisplayBit | 4, now) != 0) made.push_back(now);
  }
  return made;
}

TEST(LivePacing, RequestsKeepTheirPaceAcrossTwoToThe31AndTwoToThe32) {
  for (uint32_t start : {0u, 0x7FFFFF00u, 0xFFFFFF00u, 0xFFFFFFFFu}) {
    LiveState live;
    const std::vector<uint32_t> made = DisplayRequests(start, 1000, &live);
    // The first pass requests at once: no request was ever made, whatever the clock says.
    ASSERT_EQ(made.size(), 11u) << start;
    for (size_t i = 0; i < made.size(); ++i)
      EXPECT_EQ(made[i], static_cast<uint32_t>(start + 99 * i)) << start;
    EXPECT_EQ(live.nextHeader.requestTime, start + 990);
    EXPECT_EQ(live.nextHeader.want, kWantDisplay);
    // The clock passed 2^32 once when it started below it and went over.
    const uint32_t wraps = static_cast<uint32_t>(start + 999u) < start ? 1 : 0;
    EXPECT_EQ(live.clockWraps.load(), wraps) << start;
    EXPECT_EQ(live.nextHeader.requestWraps, wraps);
  }
}

TEST(LivePacing, NoRateMeansARequestInEveryPass) {
  LiveState live;
  for (uint32_t now = 0xFFFFFFF0u, i = 0; i < 40; ++i, ++now) {
    EXPECT_EQ(PlanGrab(live, kDisplayBit | 4, now), kWantDisplay);
  }
  EXPECT_EQ(PlanGrab(live, 4, 100), 0u);  // nothing runs: no request
}

TEST(LivePacing, UnpacedWaitersOverrideTheDisplayRate) {
  LiveState live;
  live.displayInterval.store(PaceInterval(1.0));
  EXPECT_NE(PlanGrab(live, kDisplayBit, 5000), 0u);
  EXPECT_EQ(PlanGrab(live, kDisplayBit, 5001), 0u);
  live.unpacedWaiters.store(1);
  EXPECT_NE(PlanGrab(live, kDisplayBit, 5002), 0u);
  EXPECT_NE(PlanGrab(live, kDisplayBit, 5003), 0u);
  live.unpacedWaiters.store(0);
  EXPECT_EQ(PlanGrab(live, kDisplayBit, 5004), 0u);
  EXPECT_EQ(PlanGrab(live, kDisplayBit, 5003 + 998), 0u);
  EXPECT_NE(PlanGrab(live, kDisplayBit, 5003 + 999), 0u);
}

TEST(LivePacing, RecordRequestsWaitForTheStartAndNumberTheirFrames) {
  LiveState live;
  live.recordInterval.store(PaceInterval(500.0));  // 1 ms
  const uint32_t both = kDisplayBit | kRecordBit | 4;
  const uint32_t base = 0xFFFFFFFEu;
  // Not begun: requests are for the display only.
  EXPECT_EQ(PlanGrab(live, both, base), kWantDisplay);
  live.recordBegun.store(1);
  struct Step {
    uint32_t running, now, want, number;
  } steps[] = {
      {both, base + 1, 3, 1},  // first record request: the base of the recording
      {both, base + 2, 3, 2},  // the clock passes 2^32 here
      {both, base + 2, 1, 2},  // held back: 1 ms has not passed
      {both, base + 3, 3, 3}, {kDisplayBit | 4, base + 4, 1, 3},  // the recording ended: re-armed
      {both, base + 5, 3, 1},                                     // a new recording counts from 1
  };
  for (const Step& s : steps) {
    EXPECT_EQ(PlanGrab(live, s.running, s.now), s.want) << s.now;
    EXPECT_EQ(live.nextHeader.recordNumber, s.number) << s.now;
  }
  EXPECT_EQ(live.firstRecordRequest.load(), base + 5);
  EXPECT_EQ(live.firstRecordWraps.load(), 1u);
  // The millisecond count of a frame runs on across the wrap.
  LiveState first;
  first.recordBegun.store(1);
  PlanGrab(first, both, 0xFFFFFFF0u);
  SlotHeader later{};
  PlanGrab(first, both, 0x10u);
  later = first.nextHeader;
  EXPECT_EQ(RecordMs(first, later), 0x20);
}

}  // namespace
}  // namespace kz

// The schedule of a recording and the size limit of its files, worked out directly.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>

#include "frame/stream.h"
#include "record/record.h"
#include "record/writer.h"

namespace kz {
namespace {

constexpr double kNow = 2460000.25;
constexpr double kMs = 1.0 / 86400000.0;

TEST(RecordSchedule, SpansBecomeMillisecondCountdowns) {
  struct Case {
    const char* what;
    double startTime, stopTime, duration, recordEnd;
    bool begun;
    int32_t msLeft;
    double storedDuration;
  };
  const Case cases[] = {
      {"no limit", 0, 0, 0, 0, true, 0, 0},
      {"negative duration is none", 0, 0, -3, 0, true, 0, 0},
      {"duration", 0, 0, 1500 * kMs, 0, true, 1500, 1500 * kMs},
      {"under a millisecond is the shortest limit", 0, 0, 0.25 * kMs, 0, true, 1, 0.25 * kMs},
      {"stop time ahead", 0, kNow + 2000 * kMs, 5000 * kMs, 0, true, 2000, 5000 * kMs},
      {"stop time passed", 0, kNow - kMs, 0, 0, true, -1, 0},
      {"end reached exactly", 0, 0, 0, kNow, true, -1, 0},
      {"end ahead wins over duration", 0, 0, 9000 * kMs, kNow + 700 * kMs, true, 700, 9000 * kMs},
      {"long spans are clamped", 0, kNow + 10.0, 0, 0, true, kMaxRecordMs, 0},
      {"start time in the past", kNow - 1, 0, 0, 0, true, 0, 0},
      {"start time ahead", kNow + kMs, 0, 0, 0, false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto e = std::make_unique<StreamRecord>();
    e->record.startTime = c.startTime;
    e->record.stopTime = c.stopTime;
    e->record.duration = c.duration;
    e->rec.recordEnd = c.recordEnd;
    e->rec.recordMsLeft = 12345;
    Schedule(*e, kNow);
    EXPECT_EQ(e->live.recordBegun.load() != 0, c.begun);
    EXPECT_EQ(e->record.duration, c.storedDuration);
    if (!c.begun) {
      EXPECT_EQ(e->rec.recordStart.load(), 0.0);
      continue;
    }
    EXPECT_EQ(e->rec.recordStart.load(), kNow);
    EXPECT_NEAR(e->rec.recordMsLeft, c.msLeft, 1) << e->rec.recordMsLeft;
    if (c.msLeft == -1 || c.msLeft == 1 || c.msLeft == 0) {
      EXPECT_EQ(e->rec.recordMsLeft, c.msLeft);
    }
  }
}

TEST(RecordSchedule, RunningAgainKeepsTheTimeBase) {
  auto e = std::make_unique<StreamRecord>();
  Schedule(*e, kNow);
  EXPECT_EQ(e->rec.julianBase, kNow);
  e->rec.recordEnd = 0;
  Schedule(*e, kNow + 1.0);
  EXPECT_EQ(e->rec.recordStart.load(), kNow + 1.0);
  EXPECT_EQ(e->rec.julianBase, kNow);  // later time stamps do not jump by the pause
}

TEST(RecordFiles, SizeLimitIn64BitsBelowTwoGiB) {
  struct Case {
    int32_t mb;
    int64_t bytes;
  };
  const Case cases[] = {
      {0, 649ll << 20},
      {-5, 649ll << 20},
      {1, 1ll << 20},
      {2047, 2047ll << 20},
      {2048, 0x7FFFFFFF},
      {std::numeric_limits<int32_t>::max(), 0x7FFFFFFF},
  };
  for (const Case& c : cases) EXPECT_EQ(FileSizeLimit(c.mb), c.bytes) << c.mb;
}

}  // namespace
}  // namespace kz

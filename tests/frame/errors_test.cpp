// Argument checks of every exported function of the library frame and the time
// converters, in one table: what each call returns and the error it leaves.
#include <gtest/gtest.h>
#include <kzvideo.h>

#include <cmath>
#include <functional>
#include <string>

#include "frame/errors.h"
#include "frame/session.h"
#include "frame/stream.h"
#include "expect_call.h"

namespace kz {
namespace {

TEST(ArgumentChecks, EveryFunctionInOrder) {
  // A closed session id, an open one, a running display of the open one in window 0x10.
  const uint32_t closed = KZBegin(nullptr);
  ASSERT_NE(closed, 0u);
  ASSERT_EQ(KZEnd(closed), 1);
  const uint32_t open = KZBegin(nullptr);
  ASSERT_NE(open, 0u);
  const HWND window = reinterpret_cast<HWND>(0x10);
  StreamRecord* e;
  {
    std::lock_guard lock(StreamTableMutex());
    e = TakeEntry(nullptr);
    ASSERT_NE(e, nullptr);
    e->session = open;
    e->streamId = 9;
    e->display.window = window;
    // Only the recording is said to run and no thread serves it: stops of it time out,
    // so this table only asks for things that never reach a stop.
    e->running = kRecordBit;
  }

  KZACCESS wrongSize{};
  wrongSize.size = 200;
  KZACCESS rejoinWrongSize{};
  rejoinWrongSize.size = 200 | KZ_REJOIN;
  rejoinWrongSize.session = closed;
  char text[8];
  double julian = 5.0;
  KZSYSTEMTIME time{2000, 1, 0, 1, 0, 0, 0, 0};
  KZSYSTEMTIME badMonth = time;
  badMonth.wMonth = 13;
  KZSYSTEMTIME out{};

  struct Row {
    const char* call;
    std::function<int64_t()> run;
    int64_t result;
    uint32_t error;
  };
// clang-format off
#define ROW(call, result, error) Row{#call, [&] { return int64_t(call); }, result, error}
  // clang-format on
  const Row rows[] = {
      ROW(KZBegin(&wrongSize), 0, KZ_ERR_RECORD_SIZE),
      ROW(KZBegin(&rejoinWrongSize), 0, KZ_ERR_RECORD_SIZE),
      ROW(KZEnd(closed), 0, KZ_ERR_SESSION),
      ROW(KZEnd(0xFFFFFFF0u), 0, KZ_ERR_SESSION),
      ROW(KZVersion(text, 0), 0, KZ_ERR_TEXT_LENGTH),
      ROW(KZVersion(text, -1), 0, KZ_ERR_TEXT_LENGTH),
      ROW(KZVersion(nullptr, 0), KZ_VERSION_NUMBER, 0),
      ROW(KZVersion(text, 8), KZ_VERSION_NUMBER, 0),
      ROW(KZJulianToSystemTime(2451545.0, nullptr), 0, KZ_ERR_NULL),
      ROW(KZJulianToSystemTime(std::nan(""), nullptr), 0, KZ_ERR_NULL),  // pointer first
      ROW(KZJulianToSystemTime(std::nan(""), &out), 0, KZ_ERR_NULL),
      ROW(KZJulianToSystemTime(2451545.0, &out), 1, 0),
      ROW(KZSystemTimeToJulian(nullptr, nullptr) != nullptr, 0, KZ_ERR_NULL),
      ROW(*KZSystemTimeToJulian(&julian, nullptr) == 0.0, 1, KZ_ERR_NULL),
      ROW(*KZSystemTimeToJulian(&julian, &badMonth) == 0.0, 1, KZ_ERR_NULL),
      ROW(*KZSystemTimeToJulian(&julian, &time) == 2451544.5, 1, 0),
      // Stop family: session first, then the streams of the function's own bit.
      ROW(KZStopDisplay(closed, 9, window), 0, KZ_ERR_SESSION),
      ROW(KZStopDisplay(open, 9, window), 0, KZ_ERR_NO_DISPLAY),
      ROW(KZStopRecord(closed, 9, nullptr), 0, KZ_ERR_SESSION),
      ROW(KZStopRecord(open + 1000, 9, nullptr), 0, KZ_ERR_SESSION),
      ROW(KZStopRecord(open, 9, reinterpret_cast<HWND>(0x20)), 0, KZ_ERR_OTHER_WINDOW),
      ROW(KZStopRecord(open, 3, nullptr), 0, KZ_ERR_NO_RECORD),
      ROW(KZStopPlayback(closed, 0, nullptr), 0, KZ_ERR_SESSION),
      ROW(KZStopPlayback(open, 0, nullptr), 0, KZ_ERR_NO_PLAYBACK),
      ROW(KZStopAll(closed, 0, nullptr), 0, KZ_ERR_SESSION),
      ROW(KZStopAll(open, 9, reinterpret_cast<HWND>(0x20)), 0, KZ_ERR_OTHER_WINDOW),
      ROW(KZStopAll(open, 4, nullptr), 0, KZ_ERR_NOTHING_STOPPED),
  };
#undef ROW
  for (const Row& row : rows) {
    SetError(99);
    EXPECT_EQ(row.run(), row.result) << row.call;
    EXPECT_EQ(KZGetLastError(), row.error) << row.call;
    EXPECT_EQ(KZGetLastError(), row.error) << row.call << " (read twice)";
  }

  // A second session: a stream of the first is another session's.
  const uint32_t second = KZBegin(nullptr);
  EXPECT_CALL_ERR(KZStopRecord(second, 9, nullptr), 0, KZ_ERR_OTHER_SESSION);
  EXPECT_CALL_ERR(KZStopAll(second, 9, window), 0, KZ_ERR_OTHER_SESSION);
  EXPECT_EQ(e->running.load(), kRecordBit);

  e->running = 0;
  EXPECT_TRUE(ReleaseEntry(e));
  EXPECT_EQ(KZEnd(second), 1);
  EXPECT_EQ(KZEnd(open), 1);
}

}  // namespace
}  // namespace kz

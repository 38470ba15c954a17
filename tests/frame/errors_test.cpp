// Argument checks of every exported function of the library frame and the time
// converters, in one table: what each call returns and the error it leaves.
#include <gtest/gtest.h>
#include <kzvideo.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "frame/errors.h"
#include "frame/session.h"
#include "frame/stream.h"

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
  KZSYSTEMTIME time{};
  time.wYear = 2000;
  time.wMonth = 1;
  time.wDay = 1;
  KZSYSTEMTIME badMonth = time;
  badMonth.wMonth = 13;
  KZSYSTEMTIME out{};

  struct Row {
    const char* call;
    std::function<int64_t()> run;
    int64_t result;
    uint32_t error;
  };
  const std::vector<Row> rows = {
      {"KZBegin(size 200)", [&] { return int64_t{KZBegin(&wrongSize)}; }, 0, KZ_ERR_RECORD_SIZE},
      {"KZBegin(rejoin of a closed id, size 200)",
       [&] { return int64_t{KZBegin(&rejoinWrongSize)}; }, 0, KZ_ERR_RECORD_SIZE},
      {"KZEnd(closed)", [&] { return int64_t{KZEnd(closed)}; }, 0, KZ_ERR_SESSION},
      {"KZEnd(never given)", [&] { return int64_t{KZEnd(0xFFFFFFF0u)}; }, 0, KZ_ERR_SESSION},
      {"KZVersion(text, 0)", [&] { return int64_t{KZVersion(text, 0)}; }, 0, KZ_ERR_TEXT_LENGTH},
      {"KZVersion(text, -1)", [&] { return int64_t{KZVersion(text, -1)}; }, 0, KZ_ERR_TEXT_LENGTH},
      {"KZVersion(null, 0)", [&] { return int64_t{KZVersion(nullptr, 0)}; }, KZ_VERSION_NUMBER, 0},
      {"KZVersion(text, 8)", [&] { return int64_t{KZVersion(text, 8)}; }, KZ_VERSION_NUMBER, 0},
      {"KZJulianToSystemTime(x, null)",
       [&] { return int64_t{KZJulianToSystemTime(2451545.0, nullptr)}; }, 0, KZ_ERR_NULL},
      {"KZJulianToSystemTime(NaN, null)",  // the pointer is checked first
       [&] { return int64_t{KZJulianToSystemTime(std::nan(""), nullptr)}; }, 0, KZ_ERR_NULL},
      {"KZJulianToSystemTime(NaN, out)",
       [&] { return int64_t{KZJulianToSystemTime(std::nan(""), &out)}; }, 0, KZ_ERR_NULL},
      {"KZJulianToSystemTime(x, out)",
       [&] { return int64_t{KZJulianToSystemTime(2451545.0, &out)}; }, 1, 0},
      {"KZSystemTimeToJulian(null, null)",
       [&] { return int64_t{KZSystemTimeToJulian(nullptr, nullptr) != nullptr}; }, 0, KZ_ERR_NULL},
      {"KZSystemTimeToJulian(r, null) stores 0.0",
       [&] { return int64_t{*KZSystemTimeToJulian(&julian, nullptr) == 0.0}; }, 1, KZ_ERR_NULL},
      {"KZSystemTimeToJulian(r, month 13)",
       [&] { return int64_t{*KZSystemTimeToJulian(&julian, &badMonth) == 0.0}; }, 1, KZ_ERR_NULL},
      {"KZSystemTimeToJulian(r, t)",
       [&] { return int64_t{*KZSystemTimeToJulian(&julian, &time) == 2451544.5}; }, 1, 0},
      // Stop family: session first, then the streams of the function's own bit.
      {"KZStopDisplay(closed)", [&] { return int64_t{KZStopDisplay(closed, 9, window)}; }, 0,
       KZ_ERR_SESSION},
      {"KZStopDisplay(open, 9)", [&] { return int64_t{KZStopDisplay(open, 9, window)}; }, 0,
       KZ_ERR_NO_DISPLAY},
      {"KZStopRecord(closed)", [&] { return int64_t{KZStopRecord(closed, 9, nullptr)}; }, 0,
       KZ_ERR_SESSION},
      {"KZStopRecord(other session)",
       [&] { return int64_t{KZStopRecord(open + 1000, 9, nullptr)}; }, 0, KZ_ERR_SESSION},
      {"KZStopRecord(open, other window)",
       [&] { return int64_t{KZStopRecord(open, 9, reinterpret_cast<HWND>(0x20))}; }, 0,
       KZ_ERR_OTHER_WINDOW},
      {"KZStopRecord(open, source 3)", [&] { return int64_t{KZStopRecord(open, 3, nullptr)}; }, 0,
       KZ_ERR_NO_RECORD},
      {"KZStopPlayback(closed)", [&] { return int64_t{KZStopPlayback(closed, 0, nullptr)}; }, 0,
       KZ_ERR_SESSION},
      {"KZStopPlayback(open)", [&] { return int64_t{KZStopPlayback(open, 0, nullptr)}; }, 0,
       KZ_ERR_NO_PLAYBACK},
      {"KZStopAll(closed)", [&] { return int64_t{KZStopAll(closed, 0, nullptr)}; }, 0,
       KZ_ERR_SESSION},
      {"KZStopAll(open, other window)",
       [&] { return int64_t{KZStopAll(open, 9, reinterpret_cast<HWND>(0x20))}; }, 0,
       KZ_ERR_OTHER_WINDOW},
      {"KZStopAll(open, source 4)", [&] { return int64_t{KZStopAll(open, 4, nullptr)}; }, 0,
       KZ_ERR_NOTHING_STOPPED},
  };
  for (const Row& row : rows) {
    SetError(99);
    EXPECT_EQ(row.run(), row.result) << row.call;
    EXPECT_EQ(KZGetLastError(), row.error) << row.call;
    EXPECT_EQ(KZGetLastError(), row.error) << row.call << " (read twice)";
  }

  // A second session: a stream of the first is another session's.
  const uint32_t second = KZBegin(nullptr);
  EXPECT_EQ(KZStopRecord(second, 9, nullptr), 0);
  EXPECT_EQ(KZGetLastError(), uint32_t{KZ_ERR_OTHER_SESSION});
  EXPECT_EQ(KZStopAll(second, 9, window), 0);
  EXPECT_EQ(KZGetLastError(), uint32_t{KZ_ERR_OTHER_SESSION});
  EXPECT_EQ(e->running.load(), kRecordBit);

  e->running = 0;
  EXPECT_TRUE(ReleaseEntry(e));
  EXPECT_EQ(KZEnd(second), 1);
  EXPECT_EQ(KZEnd(open), 1);
}

}  // namespace
}  // namespace kz

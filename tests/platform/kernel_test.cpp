// Global memory limits, threads, system time and time zones. Blocks as the library uses
// them are met by the frame suite; the manual clock by every suite that sets it.
#include <gtest/gtest.h>
#include <kzwin_test.h>
#include <windows.h>

#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <cstring>
#include <string>
#include "expect_call.h"
#include "platform/scratch.h"

namespace {

// Allocation failures through the seam are met by the library's block tests.
TEST(GlobalMemory, ZeroInitAndHugeSizes) {
  HGLOBAL zeroed = GlobalAlloc(GHND, 100);
  auto* z = static_cast<uint8_t*>(GlobalLock(zeroed));
  for (int i = 0; i < 100; ++i) ASSERT_EQ(z[i], 0);
  GlobalUnlock(zeroed);

  // A size no block of the library comes near is refused, not handed to the allocator.
  SetLastError(0);
  EXPECT_WIN_ERR(GlobalAlloc(GMEM_MOVEABLE, static_cast<SIZE_T>(-1)), nullptr,
                 ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(GlobalReAlloc(zeroed, static_cast<SIZE_T>(-1), GMEM_MOVEABLE), nullptr);
  EXPECT_EQ(GlobalSize(zeroed), 100u);
  EXPECT_EQ(GlobalReAlloc(zeroed, 5000, GMEM_MOVEABLE), zeroed);
  EXPECT_EQ(GlobalFree(zeroed), nullptr);
}

struct Job {
  std::atomic<bool> release{false};
  std::atomic<DWORD> seenId{0};
  DWORD result = 0;
  std::atomic<int> finished{0};
};

DWORD WINAPI RunJob(LPVOID parameter) {
  auto* job = static_cast<Job*>(parameter);
  job->seenId = GetCurrentThreadId();
  while (!job->release.load()) Sleep(1);
  DWORD result = job->result;
  job->finished.fetch_add(1);  // the job is not touched after this
  return result;
}

TEST(Threads, WaitExitCodeAndIds) {
  LONG handlesBefore = kzwinCountOpenHandles();
  Job jobs[3];
  HANDLE threads[3];
  DWORD ids[3];
  for (int i = 0; i < 3; ++i) {
    jobs[i].result = 100u + i;
    threads[i] = CreateThread(nullptr, 0, RunJob, &jobs[i], 0, &ids[i]);
    ASSERT_NE(threads[i], nullptr);
    EXPECT_NE(ids[i], GetCurrentThreadId());
  }
  DWORD code = 0;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(WaitForSingleObject(threads[i], 0), WAIT_TIMEOUT);
    EXPECT_TRUE(GetExitCodeThread(threads[i], &code));
    EXPECT_EQ(code, STILL_ACTIVE);
  }
  for (Job& job : jobs) job.release = true;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(WaitForSingleObject(threads[i], INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(threads[i], &code));
    EXPECT_EQ(code, 100u + i);
    EXPECT_EQ(jobs[i].seenId.load(), ids[i]);
    EXPECT_TRUE(CloseHandle(threads[i]));
  }
  EXPECT_NE(ids[0], ids[1]);
  EXPECT_WIN_ERR(WaitForSingleObject(threads[0], 0), WAIT_FAILED, ERROR_INVALID_HANDLE);
  EXPECT_EQ(kzwinCountOpenHandles(), handlesBefore);
}

TEST(SystemTime, IsUniversalTimeNow) {
  time_t before = time(nullptr);
  SYSTEMTIME now;
  GetSystemTime(&now);
  time_t after = time(nullptr);
  struct tm fields {};
  fields.tm_year = now.wYear - 1900, fields.tm_mon = now.wMonth - 1, fields.tm_mday = now.wDay;
  fields.tm_hour = now.wHour, fields.tm_min = now.wMinute, fields.tm_sec = now.wSecond;
  time_t seconds = timegm(&fields);
  // time() reads a coarse clock that may trail the precise one by a tick, so allow a second.
  EXPECT_GE(seconds, before - 1);
  EXPECT_LE(seconds, after + 1);
  EXPECT_EQ(now.wDayOfWeek, fields.tm_wday);
  EXPECT_LT(now.wMilliseconds, 1000);
}

// A POSIX zone whose daylight time runs `from` to `to` days around today (Jn days: 1..365,
// February 29 not counted), so that the answer does not depend on the date of the run.
std::string ZoneAroundToday(int from, int to) {
  time_t now = time(nullptr);
  struct tm utc;
  gmtime_r(&now, &utc);
  int year = utc.tm_year + 1900;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  int today = leap && utc.tm_yday >= 59 ? utc.tm_yday : utc.tm_yday + 1;
  auto wrap = [](int day) { return ((day - 1) % 365 + 365) % 365 + 1; };
  return "STD-2DST-3,J" + std::to_string(wrap(today + from)) + "/0,J" +
         std::to_string(wrap(today + to)) + "/0";
}

// The library reads the bias, the daylight bias and which of the two is in force; names and
// change dates are not asked for.
TEST(TimeZone, BiasAndDaylightFromTheZoneDatabase) {
  struct ZoneReread {
    ~ZoneReread() { tzset(); }
  } rereadLast;  // once TZ is given back below
  kzwin_test::ScopedEnv tz("TZ", getenv("TZ"));
  struct Case {
    std::string tz;
    DWORD id;  // 0xFFFF: standard or daylight, as the date of the run has it
    LONG bias, daylightBias;
  } cases[] = {
      {"UTC0", TIME_ZONE_ID_UNKNOWN, 0, 0},
      {"JST-9", TIME_ZONE_ID_UNKNOWN, -540, 0},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 0xFFFF, -60, -60},
      {"EST5EDT,M3.2.0,M11.1.0", 0xFFFF, 300, -60},
      {ZoneAroundToday(-20, 20), TIME_ZONE_ID_DAYLIGHT, -120, -60},
      {ZoneAroundToday(100, 150), TIME_ZONE_ID_STANDARD, -120, -60},
  };
  for (const Case& c : cases) {
    tz.Set(c.tz.c_str());
    tzset();
    TIME_ZONE_INFORMATION info;
    std::memset(&info, 0x55, sizeof info);
    DWORD id = GetTimeZoneInformation(&info);
    if (c.id == 0xFFFF) {
      time_t now = time(nullptr);
      struct tm local;
      localtime_r(&now, &local);
      EXPECT_EQ(id, local.tm_isdst > 0 ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD) << c.tz;
    } else {
      EXPECT_EQ(id, c.id) << c.tz;
    }
    EXPECT_EQ(info.Bias, c.bias) << c.tz;
    EXPECT_EQ(info.DaylightBias, c.daylightBias) << c.tz;
  }
  EXPECT_EQ(GetTimeZoneInformation(nullptr), TIME_ZONE_ID_INVALID);
}

TEST(MessageBox, AnswersOkAtOnce) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(MessageBoxA(nullptr, "Not implemented", "KZVIDEO", MB_OK), IDOK);
  EXPECT_EQ(MessageBoxA(nullptr, nullptr, nullptr, MB_OK), IDOK);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "KZVIDEO: Not implemented\nError: \n");
}

}  // namespace

// Global memory, threads, the manual clock, system time and time zones.
#include <gtest/gtest.h>
#include <kzwin_test.h>
#include <windows.h>

#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <cstring>
#include <string>
#include "expect_call.h"

namespace {

TEST(GlobalMemory, ResizeKeepsContentsAndLocksCount) {
  LONG blocksBefore = kzwinCountGlobalBlocks();
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 16);
  ASSERT_NE(block, nullptr);
  auto* p = static_cast<uint8_t*>(GlobalLock(block));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 16; ++i) p[i] = static_cast<uint8_t>(i + 1);
  EXPECT_EQ(GlobalHandle(p), block);
  EXPECT_EQ(GlobalHandle(p + 1), nullptr);
  EXPECT_EQ(GlobalLock(block), p);  // second lock, same address

  // Lock count: two unlocks, the last one reports FALSE with no error; a third is refused.
  EXPECT_TRUE(GlobalUnlock(block));
  SetLastError(55);
  EXPECT_WIN_ERR(GlobalUnlock(block), FALSE, 0u);
  EXPECT_WIN_ERR(GlobalUnlock(block), FALSE, ERROR_NOT_LOCKED);

  struct Step {
    SIZE_T size;
    UINT flags;
  } steps[] = {{4096, GMEM_MOVEABLE}, {8, GMEM_MOVEABLE}, {64, GMEM_MOVEABLE | GMEM_ZEROINIT}};
  SIZE_T kept = 16;
  for (const Step& s : steps) {
    ASSERT_EQ(GlobalReAlloc(block, s.size, s.flags), block);
    EXPECT_EQ(GlobalSize(block), s.size);
    kept = kept < s.size ? kept : s.size;
    auto* q = static_cast<uint8_t*>(GlobalLock(block));
    for (SIZE_T i = 0; i < kept; ++i) EXPECT_EQ(q[i], i + 1) << s.size;
    if (s.flags & GMEM_ZEROINIT) {
      for (SIZE_T i = kept; i < s.size; ++i) EXPECT_EQ(q[i], 0) << i;
    }
    EXPECT_EQ(GlobalHandle(q), block);
    GlobalUnlock(block);
  }
  // A locked block does not move unless the caller allows it.
  void* locked = GlobalLock(block);
  EXPECT_EQ(GlobalReAlloc(block, 1 << 20, 0), nullptr);
  EXPECT_EQ(GlobalSize(block), 64u);
  EXPECT_EQ(GlobalHandle(locked), block);

  EXPECT_EQ(GlobalFree(block), nullptr);
  EXPECT_WIN_ERR(GlobalSize(block), 0u, ERROR_INVALID_HANDLE);
  EXPECT_EQ(GlobalLock(block), nullptr);
  EXPECT_EQ(GlobalHandle(locked), nullptr);
  EXPECT_EQ(GlobalFree(block), block);  // freeing twice fails
  HGLOBAL other = GlobalAlloc(GMEM_MOVEABLE, 1);
  EXPECT_FALSE(CloseHandle(other));  // memory is freed with GlobalFree only
  EXPECT_EQ(kzwinCountGlobalBlocks(), blocksBefore + 1);
  GlobalFree(other);
  EXPECT_EQ(kzwinCountGlobalBlocks(), blocksBefore);
}

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
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(WaitForSingleObject(threads[i], 0), WAIT_TIMEOUT);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(threads[i], &code));
    EXPECT_EQ(code, STILL_ACTIVE);
  }
  for (Job& job : jobs) job.release = true;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(WaitForSingleObject(threads[i], INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(threads[i], &code));
    EXPECT_EQ(code, 100u + i);
    EXPECT_EQ(jobs[i].seenId.load(), ids[i]);
    EXPECT_TRUE(CloseHandle(threads[i]));
  }
  EXPECT_NE(ids[0], ids[1]);
  EXPECT_WIN_ERR(WaitForSingleObject(threads[0], 0), WAIT_FAILED, ERROR_INVALID_HANDLE);
  EXPECT_EQ(kzwinCountOpenHandles(), handlesBefore);
}

TEST(ManualClock, SleepAdvancesAndWraps) {
  struct Case {
    DWORD start;
    DWORD sleeps[3];
    DWORD end;
  } cases[] = {
      {0xFFFFFFF0u, {10, 10, 0}, 4u},
      {0x7FFFFFFFu, {1, 1, 0}, 0x80000001u},
      {0u, {0, 0, 0}, 0u},
  };
  for (const Case& c : cases) {
    kzwinUseManualClock(TRUE, c.start);
    EXPECT_EQ(timeGetTime(), c.start);
    for (DWORD ms : c.sleeps) Sleep(ms);
    EXPECT_EQ(timeGetTime(), c.end);
    // Elapsed time as the library measures it: the signed 32-bit difference.
    EXPECT_EQ(static_cast<int32_t>(timeGetTime() - c.start),
              static_cast<int32_t>(c.sleeps[0] + c.sleeps[1] + c.sleeps[2]));
    kzwinAdvanceClock(5);
    EXPECT_EQ(timeGetTime(), c.end + 5);
  }
  kzwinUseManualClock(FALSE, 0);
  DWORD a = timeGetTime(), b = timeGetTime();
  EXPECT_LT(b - a, 10000u);  // the real clock again (bounds only a broken clock)
}

TEST(SystemTime, IsUniversalTimeNow) {
  time_t before = time(nullptr);
  SYSTEMTIME now;
  GetSystemTime(&now);
  time_t after = time(nullptr);
  struct tm fields {};
  fields.tm_year = now.wYear - 1900;
  fields.tm_mon = now.wMonth - 1;
  fields.tm_mday = now.wDay;
  fields.tm_hour = now.wHour;
  fields.tm_min = now.wMinute;
  fields.tm_sec = now.wSecond;
  time_t seconds = timegm(&fields);
  // time() reads a coarse clock that may trail the precise one by a tick, so allow a second.
  EXPECT_GE(seconds, before - 1);
  EXPECT_LE(seconds, after + 1);
  EXPECT_EQ(now.wDayOfWeek, fields.tm_wday);
  EXPECT_LT(now.wMilliseconds, 1000);
}

class TimeZone : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = getenv("TZ");
    hadTz = old != nullptr;
    if (old) savedTz = old;
  }
  void TearDown() override {
    if (hadTz)
      setenv("TZ", savedTz.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  static std::string Name(const WORD* wide) {
    std::string name;
    for (int i = 0; i < 32 && wide[i]; ++i) name += static_cast<char>(wide[i]);
    return name;
  }
  bool hadTz = false;
  std::string savedTz;
};

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

TEST_F(TimeZone, BiasAndDaylightFromTheZoneDatabase) {
  struct Case {
    std::string tz;
    DWORD id;  // 0xFFFF: standard or daylight, as the date of the run has it
    LONG bias, daylightBias;
    const char *standardName, *daylightName;
    WORD dstMonth, dstWeek, dstHour, stdMonth, stdWeek, stdHour;
  } cases[] = {
      {"UTC0", TIME_ZONE_ID_UNKNOWN, 0, 0, "UTC", nullptr, 0, 0, 0, 0, 0, 0},
      {"JST-9", TIME_ZONE_ID_UNKNOWN, -540, 0, "JST", nullptr, 0, 0, 0, 0, 0, 0},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 0xFFFF, -60, -60, "CET", "CEST", 3, 5, 2, 10, 5, 3},
      {"EST5EDT,M3.2.0,M11.1.0", 0xFFFF, 300, -60, "EST", "EDT", 3, 2, 2, 11, 1, 2},
      {ZoneAroundToday(-20, 20), TIME_ZONE_ID_DAYLIGHT, -120, -60, "STD", "DST", 0, 0, 0, 0, 0, 0},
      {ZoneAroundToday(100, 150), TIME_ZONE_ID_STANDARD, -120, -60, "STD", "DST", 0, 0, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    setenv("TZ", c.tz.c_str(), 1);
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
    EXPECT_EQ(info.StandardBias, 0) << c.tz;
    EXPECT_EQ(info.DaylightBias, c.daylightBias) << c.tz;
    EXPECT_EQ(Name(info.StandardName), c.standardName) << c.tz;
    if (c.daylightName) {
      EXPECT_EQ(Name(info.DaylightName), c.daylightName) << c.tz;
    }
    if (c.dstMonth) {
      EXPECT_EQ(info.DaylightDate.wYear, 0);
      EXPECT_EQ(info.DaylightDate.wMonth, c.dstMonth) << c.tz;
      EXPECT_EQ(info.DaylightDate.wDayOfWeek, 0) << c.tz;
      EXPECT_EQ(info.DaylightDate.wDay, c.dstWeek) << c.tz;
      EXPECT_EQ(info.DaylightDate.wHour, c.dstHour) << c.tz;
      EXPECT_EQ(info.StandardDate.wMonth, c.stdMonth) << c.tz;
      EXPECT_EQ(info.StandardDate.wDay, c.stdWeek) << c.tz;
      EXPECT_EQ(info.StandardDate.wHour, c.stdHour) << c.tz;
    }
    if (id == TIME_ZONE_ID_UNKNOWN) {
      EXPECT_EQ(info.StandardDate.wMonth, 0);
      EXPECT_EQ(info.DaylightDate.wMonth, 0);
    }
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

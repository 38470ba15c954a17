#include <gtest/gtest.h>
#include <kzvideo.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "frame/errors.h"
#include "time/julian.h"

namespace kz {
namespace {

KZSYSTEMTIME Utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  KZSYSTEMTIME t{};
  t.wYear = static_cast<uint16_t>(y);
  t.wMonth = static_cast<uint16_t>(mo);
  t.wDay = static_cast<uint16_t>(d);
  t.wHour = static_cast<uint16_t>(h);
  t.wMinute = static_cast<uint16_t>(mi);
  t.wSecond = static_cast<uint16_t>(s);
  t.wMilliseconds = static_cast<uint16_t>(ms);
  return t;
}

double ToJulian(const KZSYSTEMTIME& t) {
  double r = -1.0;
  EXPECT_EQ(KZSystemTimeToJulian(&r, &t), &r);
  return r;
}

// The calendar time of `julian` in universal time: the library gives local time, so the
// zone offset it subtracts is added first.
KZSYSTEMTIME ToUtc(double julian) {
  KZSYSTEMTIME t{};
  EXPECT_EQ(KZJulianToSystemTime(julian + ZoneOffsetDays(), &t), 1) << julian;
  return t;
}

TEST(Julian, KnownInstants) {
  struct Case {
    KZSYSTEMTIME time;
    double julian;
  } cases[] = {
      {Utc(2000, 1, 1), 2451544.5},     {Utc(2000, 1, 1, 12), 2451545.0},
      {Utc(1999, 12, 31), 2451543.5},   {Utc(2024, 2, 29), 2460369.5},
      {Utc(1970, 1, 1), 2440587.5},     {Utc(1601, 1, 1), 2305813.5},
      {Utc(1858, 11, 17), 2400000.5},   {Utc(5, 6, 1), 2453522.5},  // two-digit year 5 is 2005
      {Utc(85, 6, 1), 2446217.5},                                   // 85 is 1985
      {Utc(2000, 3, 1, 6), 2451604.75},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToJulian(c.time), c.julian) << c.time.wYear << "-" << c.time.wMonth;
    EXPECT_EQ(KZGetLastError(), 0u);
  }
  EXPECT_EQ(DateToJulian(1601, 1, 1, 0, 1), 2305813.5);
  EXPECT_EQ(DateToJulian(-1, 1, 1, 0, 0), 0.0);
  EXPECT_EQ(DateToJulian(2000, 1, 1, 44236800, 1), 2451545.0);  // noon in 1/1024 s
  EXPECT_EQ(ToJulian(Utc(0xFFFF, 1, 1)), 0.0);                  // year -1
}

TEST(Julian, CalendarOfKnownDates) {
  struct Case {
    double julian;
    int year, month, day, hour, minute, second, ms, dayOfWeek;
  } cases[] = {
      {2451545.0, 2000, 1, 1, 12, 0, 0, 0, 6},
      {2440587.5, 1970, 1, 1, 0, 0, 0, 0, 4},
      {2460369.5, 2024, 2, 29, 0, 0, 0, 0, 4},
      {2451544.5 - 1.0 / 86400000.0, 1999, 12, 31, 23, 59, 59, 999, 5},
      // Within 0.1 ms of midnight: the next day at 00:00:00.000, never hour 24.
      {2451544.5 - 0.00005 / 86400.0, 2000, 1, 1, 0, 0, 0, 0, 6},
      {2305813.5, 1601, 1, 1, 0, 0, 0, 0, 1},
  };
  for (const Case& c : cases) {
    const KZSYSTEMTIME t = ToUtc(c.julian);
    EXPECT_EQ(t.wYear, c.year) << c.julian;
    EXPECT_EQ(t.wMonth, c.month) << c.julian;
    EXPECT_EQ(t.wDay, c.day) << c.julian;
    EXPECT_EQ(t.wHour, c.hour) << c.julian;
    EXPECT_EQ(t.wMinute, c.minute) << c.julian;
    EXPECT_EQ(t.wSecond, c.second) << c.julian;
    EXPECT_EQ(t.wMilliseconds, c.ms) << c.julian;
    EXPECT_EQ(t.wDayOfWeek, c.dayOfWeek) << c.julian;
  }
  int y = 0, m = 0, d = 0;
  EXPECT_DOUBLE_EQ(JulianToDate(2451545.25, &y, &m, &d, false), 0.75);
  EXPECT_EQ(y * 10000 + m * 100 + d, 20000101);
  EXPECT_DOUBLE_EQ(JulianToDate(2451545.25, nullptr, nullptr, nullptr, false), 0.75);
}

TEST(Julian, RoundTripsToTheMillisecond) {
  // Instants across four centuries, each minute boundary and the last millisecond of days.
  uint32_t seed = 12345;
  for (int i = 0; i < 5000; ++i) {
    seed = seed * 1664525u + 1013904223u;
    const int year = 1600 + static_cast<int>(seed % 500);
    const int month = 1 + static_cast<int>((seed >> 9) % 12);
    const int day = 1 + static_cast<int>((seed >> 13) % 28);
    const int ms = static_cast<int>((seed >> 3) % 86400000u);
    const int msOfDay = i % 3 == 0 ? 86399999 : ms;
    const KZSYSTEMTIME in = Utc(year, month, day, msOfDay / 3600000, msOfDay / 60000 % 60,
                                msOfDay / 1000 % 60, msOfDay % 1000);
    const KZSYSTEMTIME out = ToUtc(ToJulian(in));
    ASSERT_EQ(out.wYear, in.wYear) << i;
    ASSERT_EQ(out.wMonth, in.wMonth) << i;
    ASSERT_EQ(out.wDay, in.wDay) << i;
    ASSERT_EQ(out.wHour, in.wHour) << i;
    ASSERT_EQ(out.wMinute, in.wMinute) << i;
    ASSERT_EQ(out.wSecond, in.wSecond) << i;
    ASSERT_EQ(out.wMilliseconds, in.wMilliseconds) << i;
  }
}

TEST(Julian, BadInputIsRefused) {
  double r = 123.0;
  KZSYSTEMTIME t = Utc(2000, 1, 1);
  EXPECT_EQ(KZSystemTimeToJulian(nullptr, &t), nullptr);
  EXPECT_EQ(KZGetLastError(), uint32_t{KZ_ERR_NULL});
  EXPECT_EQ(KZSystemTimeToJulian(&r, nullptr), &r);
  EXPECT_EQ(KZGetLastError(), uint32_t{KZ_ERR_NULL});
  EXPECT_EQ(r, 0.0);

  const KZSYSTEMTIME garbage[] = {
      Utc(2000, 0, 1),
      Utc(2000, 13, 1),
      Utc(2000, 0xFFFF, 1),
      Utc(2000, 1, 0),
      Utc(2000, 1, 32),
      Utc(2000, 1, 1, 24),
      Utc(2000, 1, 1, 0, 60),
      Utc(2000, 1, 1, 0, 0, 60),
      Utc(2000, 1, 1, 0, 0, 0, 1000),
      Utc(0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF),
  };
  for (const KZSYSTEMTIME& g : garbage) {
    r = 123.0;
    SetError(0);
    EXPECT_EQ(KZSystemTimeToJulian(&r, &g), &r);
    EXPECT_EQ(r, 0.0) << g.wMonth << "/" << g.wDay << " " << g.wHour;
    EXPECT_EQ(KZGetLastError(), uint32_t{KZ_ERR_NULL});
  }

  KZSYSTEMTIME out = Utc(1, 2, 3);
  const KZSYSTEMTIME untouched = out;
  EXPECT_EQ(KZJulianToSystemTime(2451545.0, nullptr), 0);
  EXPECT_EQ(KZGetLastError(), uint32_t{KZ_ERR_NULL});
  for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::infinity(), 1e300, -1e300, -5.0, 0.0, 1e12}) {
    SetError(0);
    EXPECT_EQ(KZJulianToSystemTime(bad, &out), 0) << bad;
    EXPECT_EQ(KZGetLastError(), uint32_t{KZ_ERR_NULL}) << bad;
    EXPECT_EQ(std::memcmp(&out, &untouched, sizeof out), 0) << bad;
  }
  int y = 7, m = 7, d = 7;
  EXPECT_EQ(JulianToDate(std::nan(""), &y, &m, &d, false), -1.0);
  EXPECT_EQ(y + m + d, 0);
  EXPECT_EQ(JulianToDate(1e300, &y, &m, &d, false), -1.0);
}

TEST(Julian, CurrentTimeAndFileTimes) {
  const double now = CurrentJulian();
  EXPECT_GT(now, 2460000.5);  // after 2023-02-24
  EXPECT_LT(now, 2488069.5);  // before 2100

  const char* dir = std::getenv("TMPDIR");
  const std::string path = std::string(dir && *dir ? dir : "/tmp") + "/kztime_file.bin";
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs("x", f);
  std::fclose(f);
  const double written = FileTimeJulian(path.c_str(), 1);
  // The file was written a moment ago: within a minute of now.
  EXPECT_LT(std::fabs(written - CurrentJulian()), 60.0 / 86400.0);
  EXPECT_GT(FileTimeJulian(path.c_str(), 2), 2460000.5);
  EXPECT_EQ(FileTimeJulian(path.c_str(), 3), 0.0);
  std::remove(path.c_str());
  EXPECT_EQ(FileTimeJulian(path.c_str(), 1), 0.0);
  EXPECT_EQ(FileTimeJulian(nullptr, 1), 0.0);
}

}  // namespace
}  // namespace kz

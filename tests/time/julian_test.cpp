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
#include "expect_call.h"

namespace kz {
namespace {

KZSYSTEMTIME Utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  KZSYSTEMTIME t{};
  t.wYear = uint16_t(y), t.wMonth = uint16_t(mo), t.wDay = uint16_t(d), t.wHour = uint16_t(h);
  t.wMinute = uint16_t(mi), t.wSecond = uint16_t(s), t.wMilliseconds = uint16_t(ms);
  return t;
}

// Every field, day of week last, so one comparison shows the whole calendar time.
std::string Text(const KZSYSTEMTIME& t, bool withWeekday = true) {
  char b[64];
  std::snprintf(b, sizeof b, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
  return withWeekday ? b + std::string(" w") + std::to_string(t.wDayOfWeek) : b;
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
      {Utc(2000, 3, 1, 6), 2451604.75}, {Utc(0xFFFF, 1, 1), 0.0},   // year -1
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToJulian(c.time), c.julian) << Text(c.time);
    EXPECT_EQ(KZGetLastError(), 0u);
  }
  EXPECT_EQ(DateToJulian(1601, 1, 1, 0, 1), 2305813.5);
  EXPECT_EQ(DateToJulian(-1, 1, 1, 0, 0), 0.0);
  EXPECT_EQ(DateToJulian(2000, 1, 1, 44236800, 1), 2451545.0);  // noon in 1/1024 s
}

TEST(Julian, CalendarOfKnownDates) {
  struct Case {
    double julian;
    const char* utc;
  } cases[] = {
      {2451545.0, "2000-01-01 12:00:00.000 w6"},
      {2440587.5, "1970-01-01 00:00:00.000 w4"},
      {2460369.5, "2024-02-29 00:00:00.000 w4"},
      {2451544.5 - 1.0 / 86400000.0, "1999-12-31 23:59:59.999 w5"},
      // Within 0.1 ms of midnight: the next day at 00:00:00.000, never hour 24.
      {2451544.5 - 0.00005 / 86400.0, "2000-01-01 00:00:00.000 w6"},
      {2305813.5, "1601-01-01 00:00:00.000 w1"},
  };
  for (const Case& c : cases) EXPECT_EQ(Text(ToUtc(c.julian)), c.utc) << c.julian;
  int y = 0, m = 0, d = 0;
  EXPECT_DOUBLE_EQ(JulianToDate(2451545.25, &y, &m, &d, false), 0.75);
  EXPECT_EQ(y * 10000 + m * 100 + d, 20000101);
  EXPECT_DOUBLE_EQ(JulianToDate(2451545.25, nullptr, nullptr, nullptr, false), 0.75);
}

TEST(Julian, RoundTripsToTheMillisecond) {
  // Instants across five centuries, every third one the last millisecond of its day.
  uint32_t seed = 12345;
  for (int i = 0; i < 5000; ++i) {
    seed = seed * 1664525u + 1013904223u;
    const int ms = i % 3 == 0 ? 86399999 : int((seed >> 3) % 86400000u);
    const KZSYSTEMTIME in =
        Utc(1600 + int(seed % 500), 1 + int((seed >> 9) % 12), 1 + int((seed >> 13) % 28),
            ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
    ASSERT_EQ(Text(ToUtc(ToJulian(in)), false), Text(in, false)) << i;
  }
}

TEST(Julian, BadInputIsRefused) {
  double r = 123.0;
  KZSYSTEMTIME t = Utc(2000, 1, 1);
  EXPECT_CALL_ERR(KZSystemTimeToJulian(nullptr, &t), nullptr, KZ_ERR_NULL);

  const KZSYSTEMTIME garbage[] = {
      Utc(2000, 0, 1),
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
    EXPECT_EQ(r, 0.0) << Text(g);
    EXPECT_EQ(KZGetLastError(), uint32_t{KZ_ERR_NULL});
  }

  KZSYSTEMTIME out = Utc(1, 2, 3);
  const KZSYSTEMTIME untouched = out;
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
  std::fclose(f);
  // The file was written a moment ago: within a minute of now.
  EXPECT_LT(std::fabs(FileTimeJulian(path.c_str(), 1) - CurrentJulian()), 60.0 / 86400.0);
  EXPECT_GT(FileTimeJulian(path.c_str(), 2), 2460000.5);
  EXPECT_EQ(FileTimeJulian(path.c_str(), 3), 0.0);
  std::remove(path.c_str());
  EXPECT_EQ(FileTimeJulian(path.c_str(), 1), 0.0);
  EXPECT_EQ(FileTimeJulian(nullptr, 1), 0.0);
}

}  // namespace
}  // namespace kz

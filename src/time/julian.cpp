// Julian dates: calendar conversions, the current time, file times and the zone offset.
#include "time/julian.h"

#include <kzvideo.h>
#include <windows.h>

#include <cmath>

#include "frame/errors.h"

namespace kz {
namespace {

// Half a day, and 0.1 ms in days: times are cut to whole milliseconds after adding it, so
// that a value a hair below a millisecond boundary still lands on it.
constexpr double kTenthMs = 1.1574074074074074e-09;
// Julian dates whose year fits a SYSTEMTIME: 0000-01-01 00:00 up to the end of year 32767.
constexpr double kFirstSystemJulian = 1721059.5;
constexpr double kEndSystemJulian = 13689678.5;  // 32768-01-01 00:00
// Beyond this the integer steps of the inverse no longer hold a year in 32 bits.
constexpr double kMaxJulianMagnitude = 1e9;

// Integer division truncating towards zero, as the calendar formulas are written.
constexpr int64_t Div(int64_t a, int64_t b) {
  return a / b;
}

int64_t FloorMod(int64_t a, int64_t b) {
  const int64_t r = a % b;
  return r < 0 ? r + b : r;
}

}  // namespace

double ZoneOffsetDays() {
  TIME_ZONE_INFORMATION zone{};
  const DWORD which = GetTimeZoneInformation(&zone);
  if (which == TIME_ZONE_ID_INVALID) return 0.0;
  int64_t minutes = zone.Bias;
  if (which == TIME_ZONE_ID_DAYLIGHT) minutes += zone.DaylightBias;
  return static_cast<double>(minutes) / 1440.0;
}

double DateToJulian(int32_t year, int32_t month, int32_t day, int64_t timeOfDay, uint32_t flags) {
  if (year < 0) return 0.0;
  if (year < 80) {
    year += 2000;
  } else if (year < 100) {
    year += 1900;
  }
  // 64-bit steps: no field value, however wrong, can overflow them.
  const int64_t y = year, m = month, d = day;
  const int64_t jdn = 367 * y - Div(7 * (y + Div(m + 9, 12)), 4) -
                      Div(3 * (Div(y + Div(m - 9, 7), 100) + 1), 4) + Div(275 * m, 9) + d + 1721028;
  double julian = static_cast<double>(jdn) + 0.5 +
                  static_cast<double>(timeOfDay) / (flags ? 88473600.0 : 86400000.0);
  if (flags & 4) julian += ZoneOffsetDays();
  return julian;
}

double JulianToDate(double julian, int32_t* year, int32_t* month, int32_t* day, bool toLocal) {
  if (toLocal) julian -= ZoneOffsetDays();
  if (!std::isfinite(julian) || std::fabs(julian) > kMaxJulianMagnitude) {
    if (year) *year = 0;
    if (month) *month = 0;
    if (day) *day = 0;
    return -1.0;
  }
  const double j = julian + 0.5;
  const double fraction = j - std::floor(j);
  int64_t L = static_cast<int64_t>(std::trunc(j + 68569.0));
  const int64_t N = Div(4 * L, 146097);
  L = L - Div(146097 * N + 3, 4);
  const int64_t I = Div(4000 * (L + 1), 1461001);
  L = L - Div(1461 * I, 4) + 31;
  const int64_t J = Div(80 * L, 2447);
  const int64_t D = L - Div(2447 * J, 80);
  L = Div(J, 11);
  const int64_t M = J + 2 - 12 * L;
  const int64_t Y = 100 * (N - 49) + I + L;
  if (year) *year = static_cast<int32_t>(Y);
  if (month) *month = static_cast<int32_t>(M);
  if (day) *day = static_cast<int32_t>(D);
  return fraction;
}

double CurrentJulian() {
  SYSTEMTIME now{};
  GetSystemTime(&now);
  const int64_t ms =
      ((int64_t{now.wHour} * 60 + now.wMinute) * 60 + now.wSecond) * 1000 + now.wMilliseconds;
  return DateToJulian(now.wYear, now.wMonth, now.wDay, ms, 0);
}

double FileTimeJulian(const char* path, int which) {
  if (!path || which < 0 || which > 2) return 0.0;
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE || !file) return 0.0;
  FILETIME times[3] = {};  // creation, last write, last access
  const BOOL ok = GetFileTime(file, &times[0], &times[2], &times[1]);
  CloseHandle(file);
  if (!ok) return 0.0;
  const FILETIME& t = times[which];
  const double ticks = static_cast<double>(t.dwHighDateTime) * 4294967296.0 + t.dwLowDateTime;
  return DateToJulian(1601, 1, 1, 0, 1) + ticks / 86400000.0 / 10000.0;
}

// Fills `out` with the calendar time of `local`; false when it has no SYSTEMTIME.
bool JulianToSystemTime(double local, SYSTEMTIME* out) {
  if (!std::isfinite(local) || local < kFirstSystemJulian || local >= kEndSystemJulian) {
    return false;
  }
  int64_t dayNumber = static_cast<int64_t>(std::floor(local - 0.5));
  int32_t year, month, day;
  const double fraction = JulianToDate(local, &year, &month, &day, false);
  double x = (fraction + kTenthMs) * 24;
  int hour = static_cast<int>(x);
  int minute = 0, second = 0, ms = 0;
  if (hour >= 24) {
    // Within 0.1 ms of midnight: it is the next day's 00:00:00.000, not hour 24.
    ++dayNumber;
    JulianToDate(static_cast<double>(dayNumber) + 0.5, &year, &month, &day, false);
    hour = 0;
  } else {
    x = (x - hour) * 60;
    minute = static_cast<int>(x);
    x = (x - minute) * 60;
    second = static_cast<int>(x);
    x = (x - second) * 1000;
    ms = static_cast<int>(std::floor(x));
  }
  if (year < 0 || year > 32767) return false;
  out->wYear = static_cast<WORD>(year);
  out->wMonth = static_cast<WORD>(month);
  out->wDayOfWeek = static_cast<WORD>(FloorMod(dayNumber + 2, 7));
  out->wDay = static_cast<WORD>(day);
  out->wHour = static_cast<WORD>(hour);
  out->wMinute = static_cast<WORD>(minute);
  out->wSecond = static_cast<WORD>(second);
  out->wMilliseconds = static_cast<WORD>(ms);
  return true;
}

}  // namespace kz

extern "C" {

int KZAPI KZJulianToSystemTime(double julian, KZSYSTEMTIME* out) {
  kz::SetError(0);
  if (!out) return kz::Fail(KZ_ERR_NULL);
  // Dates that no SYSTEMTIME can hold (and NaN or infinity) are refused like a missing
  // record: nothing is written.
  if (!kz::JulianToSystemTime(julian - kz::ZoneOffsetDays(), out)) return kz::Fail(KZ_ERR_NULL);
  return 1;
}

double* KZAPI KZSystemTimeToJulian(double* result, const KZSYSTEMTIME* time) {
  kz::SetError(0);
  if (!result) {
    kz::SetError(KZ_ERR_NULL);
    return nullptr;
  }
  *result = 0.0;
  if (!time) {
    kz::SetError(KZ_ERR_NULL);
    return result;
  }
  // Fields outside their calendar ranges are refused, not wrapped into another date.
  if (time->wMonth < 1 || time->wMonth > 12 || time->wDay < 1 || time->wDay > 31 ||
      time->wHour > 23 || time->wMinute > 59 || time->wSecond > 59 || time->wMilliseconds > 999) {
    kz::SetError(KZ_ERR_NULL);
    return result;
  }
  // The year is read as a signed 16-bit value: -1 (0xFFFF) is a negative year and gives 0.0.
  const int32_t year = static_cast<int16_t>(time->wYear);
  const int64_t ms = ((int64_t{time->wHour} * 60 + time->wMinute) * 60 + time->wSecond) * 1000 +
                     time->wMilliseconds;
  *result = kz::DateToJulian(year, time->wMonth, time->wDay, ms, 0);
  return result;
}

}  // extern "C"

// Calendar clock and time zone, from the C library's time-zone database (TZ or the
// system's zone).
#include <windows.h>

#include <stdlib.h>
#include <time.h>

#include <cstring>
#include <mutex>
#include <string>

namespace kzwin {
namespace {

constexpr time_t kWeek = 7 * 24 * 3600;

struct tm Local(time_t t) {
  struct tm result;
  std::memset(&result, 0, sizeof result);
  localtime_r(&t, &result);
  return result;
}

bool IsDst(time_t t) {
  return Local(t).tm_isdst > 0;
}

// The first second at which the zone's daylight state differs from that at `from`,
// given that it differs at `to`.
time_t FindSwitch(time_t from, time_t to) {
  bool before = IsDst(from);
  while (to - from > 1) {
    time_t mid = from + (to - from) / 2;
    (IsDst(mid) == before ? from : to) = mid;
  }
  return to;
}

void CopyName(const char* name, WORD* out) {
  for (int i = 0; i < 31 && name && name[i]; ++i) out[i] = static_cast<unsigned char>(name[i]);
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 1 && leap ? 29 : kDays[month];
}

// A switch as Windows states it: a weekday of a month ("the n-th Sunday of March", week 5
// meaning the last), at the wall-clock time that was in force just before it.
SYSTEMTIME SwitchDate(time_t at) {
  struct tm before = Local(at - 1);
  time_t wall = at + before.tm_gmtoff;
  struct tm w;
  gmtime_r(&wall, &w);
  SYSTEMTIME date;
  std::memset(&date, 0, sizeof date);
  date.wMonth = static_cast<WORD>(w.tm_mon + 1);
  date.wDayOfWeek = static_cast<WORD>(w.tm_wday);
  bool last = w.tm_mday + 7 > DaysInMonth(w.tm_year + 1900, w.tm_mon);
  date.wDay = static_cast<WORD>(last ? 5 : (w.tm_mday - 1) / 7 + 1);
  date.wHour = static_cast<WORD>(w.tm_hour);
  date.wMinute = static_cast<WORD>(w.tm_min);
  date.wSecond = static_cast<WORD>(w.tm_sec);
  return date;
}

// The zone is worked out at most once a minute per TZ setting: the library asks at every
// date conversion, and a switch is seen within a minute all the same.
struct ZoneCache {
  std::mutex mutex;
  bool valid = false;
  std::string tz;
  time_t minute = 0;
  TIME_ZONE_INFORMATION info;
  DWORD id = 0;
};

ZoneCache& Cache() {
  static auto* cache = new ZoneCache;  // usable from static destructors too
  return *cache;
}

DWORD ComputeZone(time_t now, TIME_ZONE_INFORMATION* info);

}  // namespace
}  // namespace kzwin

extern "C" {

void WINAPI GetSystemTime(LPSYSTEMTIME out) {
  if (!out) return;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm utc;
  gmtime_r(&now.tv_sec, &utc);
  out->wYear = static_cast<WORD>(utc.tm_year + 1900);
  out->wMonth = static_cast<WORD>(utc.tm_mon + 1);
  out->wDayOfWeek = static_cast<WORD>(utc.tm_wday);
  out->wDay = static_cast<WORD>(utc.tm_mday);
  out->wHour = static_cast<WORD>(utc.tm_hour);
  out->wMinute = static_cast<WORD>(utc.tm_min);
  out->wSecond = static_cast<WORD>(utc.tm_sec);
  out->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

DWORD WINAPI GetTimeZoneInformation(LPTIME_ZONE_INFORMATION info) {
  if (!info) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return TIME_ZONE_ID_INVALID;
  }
  kzwin::ZoneCache& cache = kzwin::Cache();
  std::lock_guard lock(cache.mutex);  // also keeps tzset and tzname to one caller at a time
  tzset();  // follow TZ as it is now, as Windows follows the system setting
  const char* tz = getenv("TZ");
  std::string setting = tz ? std::string("=") + tz : std::string();
  const time_t now = time(nullptr);
  if (!cache.valid || cache.tz != setting || cache.minute != now / 60) {
    cache.id = kzwin::ComputeZone(now, &cache.info);
    cache.tz = std::move(setting);
    cache.minute = now / 60;
    cache.valid = true;
  }
  *info = cache.info;
  return cache.id;
}

}  // extern "C"

namespace kzwin {
namespace {

DWORD ComputeZone(time_t now, TIME_ZONE_INFORMATION* info) {
  std::memset(info, 0, sizeof *info);
  const struct tm here = kzwin::Local(now);
  const bool daylightNow = here.tm_isdst > 0;

  // Walk a year ahead a week at a time to find the zone's two switches, if it has them.
  time_t toDaylight = 0, toStandard = 0;
  bool state = daylightNow;
  for (time_t t = now + kzwin::kWeek, prev = now; t <= now + 54 * kzwin::kWeek;
       prev = t, t += kzwin::kWeek) {
    if (kzwin::IsDst(t) == state) continue;
    time_t at = kzwin::FindSwitch(prev, t);
    state = !state;
    (state ? toDaylight : toStandard) = at;
    if (toDaylight && toStandard) break;
  }

  long standardOffset = here.tm_gmtoff, daylightOffset = here.tm_gmtoff;  // seconds east
  const char* standardName = here.tm_zone;
  const char* daylightName = tzname[1];
  if (daylightNow) {
    daylightName = here.tm_zone;
    if (toStandard) {
      struct tm s = kzwin::Local(toStandard);
      standardOffset = s.tm_gmtoff;
      standardName = s.tm_zone;
    } else {
      standardOffset = -timezone;  // daylight time without end: the zone's declared standard
      standardName = tzname[0];
    }
  } else if (toDaylight) {
    struct tm d = kzwin::Local(toDaylight);
    daylightOffset = d.tm_gmtoff;
    daylightName = d.tm_zone;
  }

  // Windows' sign: universal time = local time + bias, in minutes.
  info->Bias = static_cast<LONG>(-standardOffset / 60);
  info->StandardBias = 0;
  kzwin::CopyName(standardName, info->StandardName);
  kzwin::CopyName(daylightName, info->DaylightName);
  if (!toDaylight && !toStandard && !daylightNow) return TIME_ZONE_ID_UNKNOWN;
  info->DaylightBias = static_cast<LONG>(-(daylightOffset - standardOffset) / 60);
  if (toDaylight) info->DaylightDate = kzwin::SwitchDate(toDaylight);
  if (toStandard) info->StandardDate = kzwin::SwitchDate(toStandard);
  return daylightNow ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

}  // namespace
}  // namespace kzwin

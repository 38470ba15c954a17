// kzvideo time: Julian dates to calendar times and back, through the library's converters.
#include <kzvideo.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "args.h"
#include "commands.h"

namespace kztool {
namespace {

const char* const kDayNames[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                  "Thursday", "Friday", "Saturday"};

constexpr CommandSpec kCommand = {
    "time",
    "YYYY-MM-DDTHH:MM:SS[.mmm] | JULIAN",
    "A universal calendar time becomes a Julian date; a Julian date becomes UTC and local\n"
    "calendar time.",
    {},
    1,
    1,
    "kzvideo time 2000-01-01T12:00:00.000   (prints 2451545.00000000)\n"
    "kzvideo time 2451545.0                 (prints 2000-01-01 12:00:00.000 UTC and local)"};

// "2000-01-01T12:00:00.000" (a space may stand for the T; seconds and milliseconds may be
// left out). False for anything else.
bool ParseCalendar(const char* text, KZSYSTEMTIME* out) {
  unsigned year, month, day, hour = 0, minute = 0, second = 0;
  char sep = 'T';
  int used = 0;
  int n = std::sscanf(text, "%4u-%2u-%2u%n", &year, &month, &day, &used);
  if (n != 3) return false;
  const char* rest = text + used;
  unsigned ms = 0;
  if (*rest) {
    int more = 0;
    n = std::sscanf(rest, "%c%2u:%2u%n", &sep, &hour, &minute, &more);
    if (n != 3 || (sep != 'T' && sep != ' ')) return false;
    rest += more;
    if (*rest == ':') {
      if (std::sscanf(rest, ":%2u%n", &second, &more) != 1) return false;
      rest += more;
      if (*rest == '.') {
        // Up to three digits of milliseconds; ".5" is 500 ms.
        unsigned scale = 100;
        ++rest;
        if (!*rest) return false;
        for (; *rest >= '0' && *rest <= '9' && scale; ++rest, scale /= 10) {
          ms += static_cast<unsigned>(*rest - '0') * scale;
        }
      }
    }
    if (*rest == 'Z') ++rest;
    if (*rest) return false;
  }
  *out = KZSYSTEMTIME{};
  out->wYear = static_cast<uint16_t>(year);
  out->wMonth = static_cast<uint16_t>(month);
  out->wDay = static_cast<uint16_t>(day);
  out->wHour = static_cast<uint16_t>(hour);
  out->wMinute = static_cast<uint16_t>(minute);
  out->wSecond = static_cast<uint16_t>(second);
  out->wMilliseconds = static_cast<uint16_t>(ms);
  return true;
}

void PrintTime(const char* label, const KZSYSTEMTIME& t) {
  std::printf("%-6s %04u-%02u-%02u %02u:%02u:%02u.%03u (%s)\n", label, t.wYear, t.wMonth, t.wDay,
              t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, kDayNames[t.wDayOfWeek % 7]);
}

int FromJulian(double julian) {
  KZSYSTEMTIME local{};
  if (!KZJulianToSystemTime(julian, &local))
    return ReportError("KZJulianToSystemTime", KZGetLastError());
  // The library gives local time; the zone offset is what separates the two, in whole
  // minutes, and universal time is found by shifting the date back by it.
  double back = 0.0;
  KZSystemTimeToJulian(&back, &local);
  const double offsetDays = std::round((julian - back) * 1440.0) / 1440.0;
  KZSYSTEMTIME utc{};
  if (!KZJulianToSystemTime(julian + offsetDays, &utc)) {
    return ReportError("KZJulianToSystemTime", KZGetLastError());
  }
  PrintTime("UTC:", utc);
  PrintTime("local:", local);
  return 0;
}

}  // namespace

int CmdTime(int argc, char** argv) {
  const Args args(kCommand, argc, argv);
  if (args.Finished()) return args.Exit();
  KZSYSTEMTIME calendar{};
  if (ParseCalendar(args.Positional(0), &calendar)) {
    double julian = 0.0;
    KZSystemTimeToJulian(&julian, &calendar);
    if (KZGetLastError()) {
      return args.Bad("'%s' is not a valid calendar time", args.Positional(0));
    }
    std::printf("%.8f\n", julian);
    return 0;
  }
  char* end = nullptr;
  const double julian = std::strtod(args.Positional(0), &end);
  if (end == args.Positional(0) || *end || !std::isfinite(julian)) {
    return args.Bad("'%s' is neither a date nor a Julian date", args.Positional(0));
  }
  return FromJulian(julian);
}

}  // namespace kztool

// Julian dates: the one time scale of the library.
#pragma once

#include <cstdint>

namespace kz {

// flags 0: timeOfDay in milliseconds; nonzero: in 1/1024 s; bit 2 also adds the zone offset.
double DateToJulian(int32_t year, int32_t month, int32_t day, int64_t timeOfDay, uint32_t flags);
// Returns the fraction of the day; null pointers are skipped.
double JulianToDate(double julian, int32_t* year, int32_t* month, int32_t* day, bool toLocal);
double CurrentJulian();
// which: 0 creation, 1 last write, 2 last access; 0.0 when unavailable.
double FileTimeJulian(const char* path, int which);
// Zone offset in days (universal = local + offset), read afresh.
double ZoneOffsetDays();

}  // namespace kz

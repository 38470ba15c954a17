// Full-range YUV to B, G, R in integer fixed point, and one colour to Y, U, V.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kz {

// The chroma tables in units of 1/256 and the clamp table for indices -1024..1279.
struct YuvTables {
  std::array<int32_t, 256> redFromV;
  std::array<int32_t, 256> greenFromU;
  std::array<int32_t, 256> greenFromV;
  std::array<int32_t, 256> blueFromU;
  std::array<uint8_t, 2304> clamp;  // index i + 1024
};

// Built at compile time, so every thread sees them complete without a build flag.
const YuvTables& Yuv();

inline uint8_t Clamp255(int32_t v) {
  return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// One pixel from Y, U, V written as B, G, R. The table entries are affine in u and v, so
// the sums are computed directly: the same integers as the table lookups, but with no
// gathers, which lets the row loops vectorise. (-45824 and -57984 are the tables' offsets;
// the green sum folds -11136 - 23424.)
inline void YuvToBgr(int32_t y, int32_t u, int32_t v, uint8_t* out) {
  out[0] = Clamp255(y + ((454 * u - 57984) >> 8));
  out[1] = Clamp255(y - ((88 * u + 183 * v - 34560) >> 8));
  out[2] = Clamp255(y + ((359 * v - 45824) >> 8));
}

// The same pixel through the tables, as the general converter and the tests use it.
inline void YuvToBgrByTable(int32_t y, int32_t u, int32_t v, uint8_t* out) {
  const YuvTables& t = Yuv();
  const int32_t b = y + t.blueFromU[u] + 1024;
  const int32_t g = y - ((t.greenFromU[u] + t.greenFromV[v]) >> 8) + 1024;
  const int32_t r = y + t.redFromV[v] + 1024;
  out[0] = t.clamp[static_cast<size_t>(b)];
  out[1] = t.clamp[static_cast<size_t>(g)];
  out[2] = t.clamp[static_cast<size_t>(r)];
}

// Y, U, V of a colour 0x00RRGGBB in double precision, truncated; each result is written
// only when its pointer is given.
void ColourToYuv(uint32_t colour, int32_t* y, int32_t* u, int32_t* v);

}  // namespace kz

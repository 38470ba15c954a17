#include "image/yuv.h"

namespace kz {
namespace {

constexpr YuvTables BuildYuvTables() {
  YuvTables t{};
  for (int32_t i = 0; i < 256; ++i) {
    t.redFromV[i] = (359 * i - 45824) >> 8;  // arithmetic shift: floors
    t.greenFromU[i] = 88 * i - 11136;
    t.greenFromV[i] = 183 * i - 23424;
    t.blueFromU[i] = (454 * i - 57984) >> 8;
  }
  for (size_t at = 0; at < t.clamp.size(); ++at) {
    const int32_t i = static_cast<int32_t>(at) - 1024;
    t.clamp[at] = static_cast<uint8_t>(i < 0 ? 0 : (i > 255 ? 255 : i));
  }
  return t;
}

constexpr YuvTables kYuvTables = BuildYuvTables();
static_assert(kYuvTables.redFromV[255] == 178 && kYuvTables.redFromV[0] == -179);
static_assert(kYuvTables.blueFromU[0] == -227 && kYuvTables.blueFromU[255] == 225);

}  // namespace

const YuvTables& Yuv() {
  return kYuvTables;
}

void ColourToYuv(uint32_t colour, int32_t* y, int32_t* u, int32_t* v) {
  // One unit in the last place above the nearest doubles of 0.299, 0.587 and 0.114: they
  // sum to slightly more than 1, so a grey (g, g, g) gets Y = g exactly.
  constexpr double kR = 0.29900000000000004;
  constexpr double kG = 0.5870000000000001;
  constexpr double kB = 0.11400000000000002;
  const double r = static_cast<double>((colour >> 16) & 0xFF);
  const double g = static_cast<double>((colour >> 8) & 0xFF);
  const double b = static_cast<double>(colour & 0xFF);
  const double luma = static_cast<double>(static_cast<int32_t>(kR * r + kG * g + kB * b));
  if (y) *y = static_cast<int32_t>(luma);
  if (u) *u = static_cast<int32_t>((b - luma) / 1.772 + 128.0);
  if (v) *v = static_cast<int32_t>((r - luma) / 1.402 + 128.0);
}

}  // namespace kz

// Colour adjustment tables. All arithmetic is 64-bit with division toward zero, and every
// stored entry saturates to 32 bits: settings that overflow saturate instead of wrapping,
// and those that do not give the same integers as 32-bit arithmetic.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>

#include "image/colour.h"
#include "image/plan.h"
#include "image/yuv.h"

namespace kz {
namespace {

int32_t Sat32(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

// A product beyond 64 bits (a saturated entry times a gain from extreme saturation and
// chroma settings) saturates like every other result.
void Gain(int32_t* t, int64_t num, int64_t den, int64_t offset) {
  for (int i = 0; i < 256; ++i) {
    const int64_t distance = int64_t{t[i]} - 0x8000;
    int64_t product = 0;
    if (__builtin_mul_overflow(distance, num, &product)) {
      t[i] = (distance < 0) != (num < 0) ? INT32_MIN : INT32_MAX;
    } else {
      t[i] = Sat32(product / den + offset);
    }
  }
}

void Gamma(int32_t* t, double gamma) {
  for (int i = 0; i < 256; ++i) {
    const double e = std::clamp<int32_t>(t[i], 0, 0xFF00);
    t[i] = static_cast<int32_t>(
        SaturateToInt64(std::pow(e / 65280.0, 1 / gamma) * 65280.0, INT32_MIN, INT32_MAX));
  }
}

void ToBytes(int32_t* t) {
  for (int i = 0; i < 256; ++i) t[i] = std::clamp<int32_t>(t[i] / 256, 0, 255);
}

// Radial correction: divisor parts of every output column and row, from three frame
// points mapped into the window as the coordinate functions map them.
void BuildRadial(const KZDISPLAY& b, int32_t width, int32_t height, AdjustTables& t) {
  const int32_t a = b.width / 2, hb = b.height / 2;
  const int64_t x0f = int64_t{a} + b.adjust.radialCentreX,
                y0f = int64_t{hb} + b.adjust.radialCentreY;
  auto map = [&](int64_t x, int64_t y, int32_t* wx, int32_t* wy) {
    FrameToWindow(b, static_cast<int32_t>(std::clamp<int64_t>(x, INT32_MIN, INT32_MAX)),
                  static_cast<int32_t>(std::clamp<int64_t>(y, INT32_MIN, INT32_MAX)), wx, wy);
  };
  int32_t p0x, p0y, p1x, p1y, p2x, p2y;
  map(x0f, y0f, &p0x, &p0y);
  map(x0f + a, y0f, &p1x, &p1y);
  map(x0f, y0f + hb, &p2x, &p2y);
  double kx = 1, kx2 = 0, ky = 1, ky2 = 0, s = 1;
  if (p1x != p0x) kx = a / (static_cast<double>(p1x) - p0x);
  if (p1y != p0y) ky2 = a / (static_cast<double>(p1y) - p0y), kx = 0, s = -1;
  if (p2x != p0x) kx2 = hb / (static_cast<double>(p2x) - p0x), ky = 0;
  if (p2y != p0y) ky = hb / (static_cast<double>(p2y) - p0y);
  const double strength = b.adjust.radialStrength, skew = b.adjust.radialSkew;
  // Clamped as doubles before conversion: the sum of a column and a row part stays at
  // least 200002 and far from the 64-bit limits.
  constexpr double kLow = -399999, kHigh = 1e15;
  auto part = [&](double d, double sign) {
    const double v = std::trunc(strength * 0.005 * (d * d) * (1 + sign * s * skew * 0.0001));
    return static_cast<int64_t>(std::clamp(std::isnan(v) ? kHigh : v, kLow, kHigh));
  };
  for (int32_t x = 0; x < width; ++x) {
    const double d = (static_cast<double>(x) - p0x) * (kx != 0 ? kx : kx2);
    t.radialCol[x] = part(d, -1) + 1000000;
  }
  for (int32_t y = 0; y < height; ++y) {
    const double e = (static_cast<double>(y) - p0y) * (ky2 != 0 ? ky2 : ky);
    t.radialRow[y] = part(e, +1);
  }
}

}  // namespace

size_t AdjustTablesBytes(int64_t width, int64_t height) {
  return sizeof(AdjustTables) + static_cast<size_t>(width + height) * sizeof(int64_t);
}

uint32_t BuildAdjustTables(const KZDISPLAY& b, PixelKind kind, int32_t width, int32_t height,
                           AdjustTables& mem) {
  AdjustTables& t = *new (&mem) AdjustTables;
  t.radialCol = reinterpret_cast<int64_t*>(&t + 1);
  t.radialRow = t.radialCol + width;
  for (int k = 0; k < 9; ++k) {
    for (int i = 0; i < 256; ++i) t.first[k][i] = i, t.final[k][i] = i * 256;
  }
  std::fill_n(t.radialCol, width, 1000000);
  std::fill_n(t.radialRow, height, 0);
  if (b.drawFlags & KZ_DRAW_NO_ADJUST) return 0;

  const KZADJUSTMENTS& a = b.adjust;
  uint32_t flags = 0;
  if (a.radialStrength != 0 && b.width >= 2 && b.height >= 2) {
    flags |= kStageRadial;
    BuildRadial(b, width, height, t);
  }
  const bool radial = (flags & kStageRadial) != 0;
  const bool levels = !(a.blackLevel == 0 && a.whiteLevel == 0) && a.blackLevel != a.whiteLevel;
  const bool contrastOrBrightness = a.contrast != 0 || a.brightness != 0;
  const bool gamma = a.gamma > 0 && a.gamma != 1;

  if (kind == kKindYuv || kind == kKindGrey) {
    if (levels) {
      int32_t yb = 0, yw = 0, uw = 0, vw = 0;
      ColourToYuv(a.blackLevel, &yb, nullptr, nullptr);
      ColourToYuv(a.whiteLevel, &yw, &uw, &vw);
      if (yw == 0) yw = 255;
      if (yw == yb) yb -= 1;
      for (int i = 0; i < 256; ++i) {
        t.first[0][i] = Sat32((int64_t{i} - yb) * 0xFF00 / (yw - yb));
        t.first[1][i] = i - (uw - 128);
        t.first[2][i] = i - (vw - 128);
      }
      flags |= kStageFirst0;
      if (a.whiteLevel != 0) flags |= kStageFirst12;
    } else if (a.whiteBalance != 0) {
      int32_t u = 0, v = 0;
      ColourToYuv(a.whiteBalance, nullptr, &u, &v);
      for (int i = 0; i < 256; ++i) t.first[1][i] = i - (u - 128), t.first[2][i] = i - (v - 128);
      flags |= kStageFirst12;
    }
    if (!radial) {
      // Without the radial stage between them, the first stage folds into the final one.
      if (flags & kStageFirst0) std::copy_n(t.first[0], 256, t.final[0]);
      if (flags & kStageFirst12) {
        for (int i = 0; i < 256; ++i) {
          t.final[1][i] = Sat32(int64_t{t.first[1][i]} * 256);
          t.final[2][i] = Sat32(int64_t{t.first[2][i]} * 256);
        }
      }
      flags <<= 3;
    } else {
      for (int i = 0; i < 256; ++i) t.first[0][i] >>= 8;
    }
    if (contrastOrBrightness) {
      Gain(t.final[0], int64_t{a.contrast} + 5000, 5000,
           int64_t{a.brightness} * 65536 / 10000 + 0x8000);
      flags |= kStageFinal;
    }
    if (gamma) {
      Gamma(t.final[0], a.gamma);
      flags |= kStageFinal;
    }
    if (a.contrast != 0) {
      Gain(t.final[1], int64_t{a.contrast} + 5000, 5000, 0x8000);
      Gain(t.final[2], int64_t{a.contrast} + 5000, 5000, 0x8000);
      flags |= kStageChroma;
    }
    if (a.saturation != 0 || a.chromaBalance != 0) {
      const int64_t s2 = 2 * int64_t{a.saturation}, c2 = 2 * int64_t{a.chromaBalance};
      Gain(t.final[1], s2 + c2 + 10000, 10000, 0x8000);
      Gain(t.final[2], s2 - c2 + 10000, 10000, 0x8000);
      flags |= kStageChroma;
    }
    if (flags & (kStageFinal | kStageChroma)) {
      for (int k = 0; k < 3; ++k) ToBytes(t.final[k]);
    }
    return flags;
  }

  // RGB, RGB16 and palette kinds: channel 0 R, 1 G, 2 B.
  if (levels) {
    for (int c = 0; c < 3; ++c) {
      const int shift = 16 - 8 * c;
      int32_t lo = static_cast<int32_t>((a.blackLevel >> shift) & 0xFF);
      int32_t hi = a.whiteLevel == 0 ? 255 : static_cast<int32_t>((a.whiteLevel >> shift) & 0xFF);
      if (hi == lo) lo -= 1;
      for (int i = 0; i < 256; ++i) t.first[c][i] = Sat32((int64_t{i} - lo) * 0xFF00 / (hi - lo));
    }
    flags |= kStageFirst0;
  } else if (a.whiteBalance != 0) {
    const int32_t r = (a.whiteBalance >> 16) & 0xFF, g = (a.whiteBalance >> 8) & 0xFF,
                  bl = a.whiteBalance & 0xFF;
    for (int i = 0; i < 256; ++i) {
      t.first[0][i] = i * 256 + 150 * g + 29 * bl - 179 * r;
      t.first[1][i] = i * 256 + 77 * r + 29 * bl - 106 * g;
      t.first[2][i] = i * 256 + 77 * r + 150 * g - 227 * bl;
    }
    flags |= kStageFirst0;
  }
  if (!radial) {
    if (flags & kStageFirst0) {
      for (int c = 0; c < 3; ++c) std::copy_n(t.first[c], 256, t.final[c]);
      flags = kStageFinal;
    }
  } else {
    for (int c = 0; c < 3; ++c) {
      for (int i = 0; i < 256; ++i) t.first[c][i] >>= 8;
    }
  }
  if (contrastOrBrightness) {
    for (int c = 0; c < 3; ++c) {
      Gain(t.final[c], int64_t{a.contrast} + 5000, 5000,
           int64_t{a.brightness} * 65536 / 10000 + 0x8000);
    }
    flags |= kStageFinal;
  }
  if (gamma) {
    for (int c = 0; c < 3; ++c) Gamma(t.final[c], a.gamma);
    flags |= kStageFinal;
  }
  if (a.saturation != 0 || a.chromaBalance != 0) {
    const double S = 2.0 * a.saturation, C = 2.0 * a.chromaBalance;
    const double am = S - C, cm = S + C;
    auto entry = [](double v) {
      return static_cast<int32_t>(SaturateToInt64(v + 0.01, INT32_MIN, INT32_MAX));
    };
    int32_t m[9][256];
    for (int i = 0; i < 256; ++i) {
      const double rf = t.final[0][i], gf = t.final[1][i], bf = t.final[2][i];
      m[0][i] = entry(rf * (1 + am * 0.0000701));
      m[1][i] = entry(gf * 0.0000587 * (C - S));
      m[2][i] = entry(bf * 0.0000114 * (C - S));
      m[3][i] = entry(rf * (C * 0.000041514 - S * 0.0000299));
      m[4][i] = entry(gf * (1 + S * 0.0000413 - C * 0.0000185));
      m[5][i] = entry(-bf * (S * 0.0000114 + C * 0.000023014));
      m[6][i] = entry(-rf * 0.0000299 * cm);
      m[7][i] = entry(-gf * 0.0000587 * cm);
      m[8][i] = entry(bf * (1 + cm * 0.0000886));
    }
    std::copy(&m[0][0], &m[0][0] + 9 * 256, &t.final[0][0]);
    flags = (flags & ~kStageFinal) | kStageChroma;
  }
  if (flags & kStageFinal) {
    for (int c = 0; c < 3; ++c) ToBytes(t.final[c]);
  }
  return flags;
}

}  // namespace kz

// The general converter: samples the frame through the plan's taps, applies the colour
// stages and writes the packed bitmap, with the fast-zoom fills.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "image/colour.h"
#include "image/plan.h"
#include "image/yuv.h"

namespace kz {
namespace {

inline int32_t ClampByte(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, 0, 255));
}

struct Sampler {
  const Plan& plan;
  const uint8_t* src;

  // Channel c of output pixel (x, y): the weighted taps, on the scale 512 x 512.
  int32_t Sample(int c, int64_t x, int64_t y) const {
    if (!plan.present[c]) return AbsentValue(c);
    const int64_t taps = plan.taps;
    const int64_t* oc = plan.cols[c].offsets + x * taps;
    const int64_t* orow = plan.rows[c].offsets + y * taps;
    if (taps == 1) return src[orow[0] + oc[0]];
    const int32_t* wc = plan.cols[c].weights + x * taps;
    const int32_t* wr = plan.rows[c].weights + y * taps;
    int64_t sum = 0;
    for (int64_t b = 0; b < taps; ++b) {
      int64_t inner = 0;
      for (int64_t a = 0; a < taps; ++a) inner += int64_t{wc[a]} * src[orow[b] + oc[a]];
      sum += wr[b] * inner;
    }
    return ClampByte(sum >> 18);
  }
  const uint8_t* First(int64_t x, int64_t y) const {
    return src + plan.rows[0].offsets[y * plan.taps] + plan.cols[0].offsets[x * plan.taps];
  }
};

inline int32_t Divide(int64_t v, int64_t d) {
  return ClampByte(v * 1000000 / d);
}

void Pixel(const Sampler& s, const AdjustTables& t, uint32_t flags, const uint8_t* palette,
           int64_t x, int64_t y, uint8_t* out) {
  const int64_t d = (flags & kStageRadial) ? t.radialCol[x] + t.radialRow[y] : 1000000;
  switch (s.plan.kind) {
    case kKindYuv: {
      int32_t Y = s.Sample(0, x, y), U = s.Sample(1, x, y), V = s.Sample(2, x, y);
      if (flags & kStageFirst0) Y = ClampByte(t.first[0][Y]);
      if (flags & kStageFirst12) U = ClampByte(t.first[1][U]), V = ClampByte(t.first[2][V]);
      if (flags & kStageRadial) {
        Y = Divide(Y, d);
        U = ClampByte((int64_t{U} * 1000000 - 128000000) / d + 128);
        V = ClampByte((int64_t{V} * 1000000 - 128000000) / d + 128);
      }
      if (flags & kStageFinal) Y = t.final[0][Y];
      if (flags & kStageChroma) U = t.final[1][U], V = t.final[2][V];
      YuvToBgrByTable(Y, U, V, out);
      return;
    }
    case kKindGrey: {
      int32_t Y = s.Sample(0, x, y);
      if (flags & kStageFirst0) Y = ClampByte(t.first[0][Y]);
      if (flags & kStageRadial) Y = Divide(Y, d);
      if (flags & kStageFinal) Y = t.final[0][Y];
      out[0] = static_cast<uint8_t>(Y);
      return;
    }
    default: {
      int32_t R, G, B;
      if (s.plan.kind == kKindRgb) {
        R = s.Sample(0, x, y), G = s.Sample(1, x, y), B = s.Sample(2, x, y);
      } else if (s.plan.kind == kKindRgb16) {
        const uint8_t* p = s.First(x, y);
        const int32_t word = p[0] | (p[1] << 8);
        const int32_t b5 = word & 31, g5 = (word >> 5) & 31, r5 = (word >> 10) & 31;
        R = r5 * 8 + r5 / 4, G = g5 * 8 + g5 / 4, B = b5 * 8 + b5 / 4;
      } else {
        const uint8_t* e = palette + 4 * *s.First(x, y);
        B = e[0], G = e[1], R = e[2];
      }
      if (flags & kStageFirst0) {
        R = ClampByte(t.first[0][R]), G = ClampByte(t.first[1][G]), B = ClampByte(t.first[2][B]);
      }
      if (flags & kStageRadial) R = Divide(R, d), G = Divide(G, d), B = Divide(B, d);
      if (flags & kStageChroma) {
        const auto* m = t.final;
        const int32_t r2 = ClampByte((int64_t{m[0][R]} + m[1][G] + m[2][B]) >> 8);
        const int32_t g2 = ClampByte((int64_t{m[3][R]} + m[4][G] + m[5][B]) >> 8);
        const int32_t b2 = ClampByte((int64_t{m[6][R]} + m[7][G] + m[8][B]) >> 8);
        R = r2, G = g2, B = b2;
      }
      if (flags & kStageFinal) R = t.final[0][R], G = t.final[1][G], B = t.final[2][B];
      out[0] = static_cast<uint8_t>(B);
      out[1] = static_cast<uint8_t>(G);
      out[2] = static_cast<uint8_t>(R);
    }
  }
}

uint8_t Blend(int32_t l, int32_t r, int32_t n, int32_t i, bool eightBit) {
  // Pixel i (1..n-1) between two computed pixels n apart.
  switch (n) {
    case 2:
      return static_cast<uint8_t>((l + r) >> 1);
    case 3:
      if (eightBit) return static_cast<uint8_t>(i == 1 ? (2 * l + r) / 3 : (l + 2 * r) / 3);
      return static_cast<uint8_t>(i == 1 ? (171 * l + 85 * r) >> 8 : (85 * l + 171 * r) >> 8);
    default:  // 4
      return static_cast<uint8_t>(((4 - i) * l + i * r) >> 2);
  }
}

// Rows r .. r + M - 2 between computed rows a and b.
void FillRows(uint8_t* top, int64_t step, int64_t r, int32_t m, int64_t bytes) {
  const uint8_t* a = top + (r - 1) * step;
  const uint8_t* b = top + (r + m - 1) * step;
  for (int32_t i = 0; i < m - 1; ++i) {
    uint8_t* row = top + (r + i) * step;
    // Weights of A and B for each in-between row; the wide zooms copy A first, then blend
    // in pairs of rows.
    int32_t wa, wb, sh;
    switch (m) {
      case 2:
        wa = 1, wb = 1, sh = 1;
        break;
      case 3:
        wa = i == 0 ? 171 : 85, wb = 256 - wa, sh = 8;
        break;
      case 4:
        wa = 3 - i, wb = 1 + i, sh = 2;
        break;
      case 6: {
        static constexpr int32_t kA[5] = {256, 171, 171, 85, 85};
        wa = kA[i], wb = i == 0 ? 0 : 256 - wa, sh = 8;
        break;
      }
      default: {  // 8
        static constexpr int32_t kA[7] = {4, 3, 3, 2, 2, 1, 1};
        wa = kA[i], wb = 4 - wa, sh = 2;
        break;
      }
    }
    for (int64_t k = 0; k < bytes; ++k) {
      row[k] = static_cast<uint8_t>((wa * a[k] + wb * b[k]) >> sh);
    }
  }
}

}  // namespace

void RunGeneralConverter(const Plan& plan, const AdjustTables& tables, uint32_t flags,
                         const KZDISPLAY& block, const SourceFrame& src, uint8_t* top, int64_t step,
                         bool eightBit) {
  const int64_t W = plan.width, H = plan.height;
  int32_t n = 1, m = 1;
  const double zoom = block.zoom, tall = block.zoom * block.aspect;
  if ((block.resampling & KZ_RESAMPLE_FAST_ZOOM) && (block.drawFlags & KZ_DRAW_ZOOM) &&
      (zoom > 1.5 || tall > 1.5)) {
    n = static_cast<int32_t>(
        std::clamp<int64_t>(SaturateToInt64(std::floor(zoom + 0.5), 1, 4), 1, 4));
    m = static_cast<int32_t>(
        std::clamp<int64_t>(SaturateToInt64(std::floor(tall + 0.5), 1, 4), 1, 4));
    if (tall >= 6) m = 6;
    if (tall >= 8) m = 8;
  }
  static const uint8_t kNoPalette[1024] = {};
  const uint8_t* palette = src.palette ? src.palette : kNoPalette;
  const Sampler sampler{plan, src.bytes.data()};
  const int64_t bpp = eightBit ? 1 : 3;

  for (int64_t y = 0; y < H; y += m) {
    uint8_t* row = top + y * step;
    for (int64_t x = 0; x < W; x += n) Pixel(sampler, tables, flags, palette, x, y, row + x * bpp);
    if (n > 1) {
      int64_t x = 1;
      for (; x < W - n; x += n) {
        const uint8_t* l = row + (x - 1) * bpp;
        const uint8_t* r = row + (x + n - 1) * bpp;
        for (int32_t i = 1; i < n; ++i) {
          for (int64_t k = 0; k < bpp; ++k) {
            row[(x + i - 1) * bpp + k] = Blend(l[k], r[k], n, i, eightBit);
          }
        }
      }
      for (; x < W; ++x) {
        if (x % n != 0) std::memcpy(row + x * bpp, row + (x - 1) * bpp, static_cast<size_t>(bpp));
      }
    }
  }
  if (m > 1) {
    const int64_t bytes = step < 0 ? -step : step;
    int64_t r = 1;
    for (; r < H - m; r += m) FillRows(top, step, r, m, bytes);
    for (; r < H; ++r)
      std::memcpy(top + r * step, top + (r - 1) * step, static_cast<size_t>(bytes));
  }
}

}  // namespace kz

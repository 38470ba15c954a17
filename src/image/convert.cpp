#include "image/convert.h"

#include <cstring>

#include "image/pixfmt.h"
#include "image/yuv.h"

namespace kz {
namespace {

using Row = uint8_t*;
using CRow = const uint8_t*;

// Two-pixel groups of UYVY/Y422 (U Y0 V Y1) and YUY2 (Y0 U Y1 V). An odd last pixel has
// its Y and U in the row but its V only in the group before (or nowhere: 1-pixel rows).
template <int kY0, int kU, int kY1, int kV>
void Row422(CRow s, Row d, int32_t w) {
  const int32_t pairs = w / 2;
  for (int32_t k = 0; k < pairs; ++k) {
    const int32_t u = s[4 * k + kU], v = s[4 * k + kV];
    YuvToBgr(s[4 * k + kY0], u, v, d + 6 * k);
    YuvToBgr(s[4 * k + kY1], u, v, d + 6 * k + 3);
  }
  if (w & 1) {
    const int32_t v = pairs > 0 ? s[4 * (pairs - 1) + kV] : 128;
    YuvToBgr(s[4 * pairs + kY0], s[4 * pairs + kU], v, d + 6 * pairs);
  }
}

void RowY444(CRow s, Row d, int32_t w) {
  for (int32_t x = 0; x < w; ++x) YuvToBgr(s[3 * x + 1], s[3 * x], s[3 * x + 2], d + 3 * x);
}

// Groups of four: U Y0 Y1 V Y2 Y3. A row holds 6w/4 bytes, so a last partial group may
// lack V and some luma; those come from the last existing sample of their kind.
void RowY411(CRow s, Row d, int32_t w) {
  static constexpr int32_t kLuma[4] = {1, 2, 4, 5};
  const int32_t groups = w / 4;
  for (int32_t g = 0; g < groups; ++g) {
    CRow p = s + 6 * g;
    const int32_t u = p[0], v = p[3];
    Row o = d + 12 * g;
    YuvToBgr(p[1], u, v, o);
    YuvToBgr(p[2], u, v, o + 3);
    YuvToBgr(p[4], u, v, o + 6);
    YuvToBgr(p[5], u, v, o + 9);
  }
  const int32_t rest = w % 4;
  if (rest == 0) return;
  const int32_t rowBytes = 6 * w / 4, base = 6 * groups;
  const int32_t u = s[base];
  const int32_t v = base + 3 < rowBytes ? s[base + 3] : (groups > 0 ? s[base - 3] : 128);
  for (int32_t x = 4 * groups; x < w; ++x) {
    int32_t at = base + kLuma[x % 4];
    if (at >= rowBytes) at = rest == 1 ? base - 1 : base + 2;  // Y3 of the group before, or Y1
    const int32_t y = at >= 0 ? s[at] : 0;
    YuvToBgr(y, u, v, d + 3 * x);
  }
}

// Planar rows with chroma subsampled by k in both directions; `u`/`v` null when the frame
// has no chroma plane at all.
template <int kK>
void RowPlanar(CRow ys, CRow us, CRow vs, Row d, int32_t w) {
  if (!us || !vs) {
    for (int32_t x = 0; x < w; ++x) YuvToBgr(ys[x], 128, 128, d + 3 * x);
    return;
  }
  const int32_t groups = w / kK;
  for (int32_t g = 0; g < groups; ++g) {
    const int32_t u = us[g], v = vs[g];
    for (int32_t i = 0; i < kK; ++i) YuvToBgr(ys[kK * g + i], u, v, d + 3 * (kK * g + i));
  }
  // Columns past the last whole group share the last chroma sample of the row.
  for (int32_t x = kK * groups; x < w; ++x)
    YuvToBgr(ys[x], us[groups - 1], vs[groups - 1], d + 3 * x);
}

void RowRgb16(CRow s, Row d, int32_t w) {
  for (int32_t x = 0; x < w; ++x) {
    const uint32_t p = static_cast<uint32_t>(s[2 * x]) | (static_cast<uint32_t>(s[2 * x + 1]) << 8);
    const uint32_t b = p & 31, g = (p >> 5) & 31, r = (p >> 10) & 31;
    d[3 * x] = static_cast<uint8_t>(b * 8 + b / 4);
    d[3 * x + 1] = static_cast<uint8_t>(g * 8 + g / 4);
    d[3 * x + 2] = static_cast<uint8_t>(r * 8 + r / 4);
  }
}

void RowPal8(CRow s, Row d, int32_t w, const uint8_t* palette) {
  for (int32_t x = 0; x < w; ++x) {
    const uint8_t* e = palette + 4 * s[x];
    d[3 * x] = e[0];
    d[3 * x + 1] = e[1];
    d[3 * x + 2] = e[2];
  }
}

void RowGv24(CRow s, Row d, int32_t w) {
  for (int32_t x = 0; x < w; ++x) {
    d[3 * x] = s[3 * x + 2];
    d[3 * x + 1] = s[3 * x + 1];
    d[3 * x + 2] = s[3 * x];
  }
}

void RowGreyTo24(CRow s, Row d, int32_t w) {
  for (int32_t x = 0; x < w; ++x) d[3 * x] = d[3 * x + 1] = d[3 * x + 2] = s[x];
}

const uint8_t kBlackPalette[1024] = {};

bool Convert(const SourceFrame& src, std::span<uint8_t> out, int64_t stride, bool greyTo24) {
  const int64_t need = SourceBytesNeeded(src);
  if (need < 0 || src.bytes.empty() || static_cast<int64_t>(src.bytes.size()) < need) {
    return false;
  }
  const int32_t w = src.width, h = src.height;
  const bool eightBit = IsEightBitOutput(src.code) && !greyTo24;
  const int64_t used = eightBit ? w : 3 * int64_t{w};
  if (stride < used || stride * h > static_cast<int64_t>(out.size())) return false;

  const uint8_t* s = src.bytes.data();
  if (!s || !out.data()) return false;
  const int64_t wh = int64_t{w} * h;
  // Image row y (0 = top) lives in bitmap row h - 1 - y; bottom-up sources keep their order.
  auto top = [&](int64_t y) { return out.data() + (h - 1 - y) * stride; };
  auto stored = [&](int64_t r) { return out.data() + r * stride; };

  switch (src.code) {
    case 1:
    case 3:
      if (src.code == 3 && greyTo24) {
        const int64_t s1 = (int64_t{w} + 3) & ~int64_t{3};
        for (int64_t r = 0; r < h; ++r) RowGreyTo24(s + r * s1, stored(r), w);
      } else {
        // Already a bottom-up body of the same stride.
        std::memcpy(out.data(), s, static_cast<size_t>(stride * h));
        return true;
      }
      break;
    case 2: {
      const int64_t s2 = (2 * int64_t{w} + 3) & ~int64_t{3};
      for (int64_t r = 0; r < h; ++r) RowRgb16(s + r * s2, stored(r), w);
      break;
    }
    case 12: {
      const int64_t s1 = (int64_t{w} + 3) & ~int64_t{3};
      const uint8_t* pal = src.palette ? src.palette : kBlackPalette;
      for (int64_t r = 0; r < h; ++r) RowPal8(s + r * s1, stored(r), w, pal);
      break;
    }
    case 4:
    case 9:
      for (int64_t y = 0; y < h; ++y) Row422<1, 0, 3, 2>(s + 2 * w * y, top(y), w);
      break;
    case 6:
      for (int64_t y = 0; y < h; ++y) Row422<0, 1, 2, 3>(s + 2 * w * y, top(y), w);
      break;
    case 8:
      for (int64_t y = 0; y < h; ++y) RowY444(s + 3 * w * y, top(y), w);
      break;
    case 10: {
      const int64_t rowBytes = 6 * int64_t{w} / 4;
      for (int64_t y = 0; y < h; ++y) RowY411(s + rowBytes * y, top(y), w);
      break;
    }
    case 5:
    case 7: {
      const int64_t k = src.code == 5 ? 2 : 4;
      const int64_t cw = w / k, ch = h / k;
      const bool chroma = cw > 0 && ch > 0;
      const int64_t first = wh, second = wh + wh / (k * k);
      const int64_t uBase = src.code == 5 ? first : second;
      const int64_t vBase = src.code == 5 ? second : first;
      for (int64_t y = 0; y < h; ++y) {
        const int64_t cy = y / k < ch ? y / k : ch - 1;
        CRow u = chroma ? s + uBase + cy * cw : nullptr;
        CRow v = chroma ? s + vBase + cy * cw : nullptr;
        if (k == 2) {
          RowPlanar<2>(s + w * y, u, v, top(y), w);
        } else {
          RowPlanar<4>(s + w * y, u, v, top(y), w);
        }
      }
      break;
    }
    case 11:
    case 14: {
      CRow body = s + (src.code == 14 ? 768 : 0);
      for (int64_t y = 0; y < h; ++y) {
        if (greyTo24) {
          RowGreyTo24(body + w * y, top(y), w);
        } else {
          std::memcpy(top(y), body + w * y, static_cast<size_t>(w));
        }
      }
      break;
    }
    case 13:
      for (int64_t y = 0; y < h; ++y) RowGv24(s + 3 * w * y, top(y), w);
      break;
    default:
      return false;
  }
  // Padding of converted rows: no stale heap bytes reach a caller or a file.
  if (stride > used) {
    for (int64_t r = 0; r < h; ++r)
      std::memset(stored(r) + used, 0, static_cast<size_t>(stride - used));
  }
  return true;
}

}  // namespace

int64_t SourceBytesNeeded(const SourceFrame& src) {
  const PixelFormat* row = FormatByCode(src.code);
  if (!row) return -1;
  return ConversionReadSize(src.width, src.height, *row);
}

bool ConvertDirect(const SourceFrame& src, std::span<uint8_t> rows, int64_t stride) {
  return Convert(src, rows, stride, false);
}

bool ConvertTo24(const SourceFrame& src, std::span<uint8_t> rows) {
  if (src.width <= 0) return false;
  return Convert(src, rows, BitmapStride(src.width, false), true);
}

bool IsGreyPalette(std::span<const uint8_t> palette768) {
  if (palette768.size() < 768) return false;
  for (size_t i = 0; i < 256; ++i) {
    if (palette768[3 * i] != i || palette768[3 * i + 1] != i || palette768[3 * i + 2] != i) {
      return false;
    }
  }
  return true;
}

bool ExpandGv8(std::span<const uint8_t> gv8, int32_t width, int32_t height,
               std::span<uint8_t> out) {
  if (width <= 0 || height <= 0) return false;
  const int64_t n = int64_t{width} * height;
  if (static_cast<int64_t>(gv8.size()) < 768 + n || static_cast<int64_t>(out.size()) < 3 * n) {
    return false;
  }
  const uint8_t* pal = gv8.data();
  const uint8_t* idx = gv8.data() + 768;
  uint8_t* o = out.data();
  for (int64_t i = 0; i < n; ++i) {
    const uint8_t* e = pal + 3 * idx[i];
    o[3 * i] = e[0];
    o[3 * i + 1] = e[1];
    o[3 * i + 2] = e[2];
  }
  return true;
}

}  // namespace kz

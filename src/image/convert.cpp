#include "image/convert.h"

#include <cstring>

#include "image/pixfmt.h"
#include "image/rows.h"
#include "image/yuv.h"

namespace kz {
namespace {

using Row = uint8_t*;
using CRow = const uint8_t*;

void RowPal8(CRow s, Row d, int32_t w, const uint8_t* palette) {
  for (int32_t x = 0; x < w; ++x) {
    const uint8_t* e = palette + 4 * s[x];
    d[3 * x] = e[0];
    d[3 * x + 1] = e[1];
    d[3 * x + 2] = e[2];
  }
}

void RowGreyTo24(CRow s, Row d, int32_t w) {
  for (int32_t x = 0; x < w; ++x) d[3 * x] = d[3 * x + 1] = d[3 * x + 2] = s[x];
}

const uint8_t kBlackPalette[1024] = {};

// Converts the bitmap rows r0 .. r1 - 1 (0 = bottom): `out` holds the whole frame's bitmap,
// or with `band` those rows alone (bitmap row r0 at its start). Every other check is on the
// whole frame, so a range fails exactly when the whole frame would.
bool Convert(const SourceFrame& src, std::span<uint8_t> out, int64_t stride, bool greyTo24,
             int64_t r0, int64_t r1, bool band = false) {
  const int64_t need = SourceBytesNeeded(src);
  if (need < 0 || src.bytes.empty() || static_cast<int64_t>(src.bytes.size()) < need) {
    return false;
  }
  const int32_t w = src.width, h = src.height;
  const bool eightBit = IsEightBitOutput(src.code) && !greyTo24;
  const int64_t used = eightBit ? w : 3 * int64_t{w};
  if (r0 < 0 || r1 > h || r0 > r1) return false;
  if (stride < used || stride * (band ? r1 - r0 : h) > static_cast<int64_t>(out.size())) {
    return false;
  }

  const uint8_t* s = src.bytes.data();
  if (!s || !out.data()) return false;
  const int64_t wh = int64_t{w} * h;
  // Image row y (0 = top) lives in bitmap row h - 1 - y; bottom-up sources keep their order.
  // The top-down sources walk the image rows h - r1 .. h - 1 - r0 of the range.
  const int64_t y0 = h - r1, y1 = h - r0;
  const int64_t base = band ? r0 : 0;  // the bitmap row at out.data()
  auto top = [&](int64_t y) { return out.data() + (h - 1 - y - base) * stride; };
  auto stored = [&](int64_t r) { return out.data() + (r - base) * stride; };

  switch (src.code) {
    case 1:
    case 3:
      if (src.code == 3 && greyTo24) {
        const int64_t s1 = (int64_t{w} + 3) & ~int64_t{3};
        for (int64_t r = r0; r < r1; ++r) RowGreyTo24(s + r * s1, stored(r), w);
      } else {
        // Already a bottom-up body; its rows are padded to 4 bytes, which a wider bitmap
        // row is not, so only rows of the same stride are copied as one block.
        const int64_t sourceStride = (used + 3) & ~int64_t{3};
        if (sourceStride == stride) {
          std::memcpy(stored(r0), s + r0 * stride, static_cast<size_t>(stride * (r1 - r0)));
          return true;
        }
        for (int64_t r = r0; r < r1; ++r) {
          std::memcpy(stored(r), s + r * sourceStride, static_cast<size_t>(used));
        }
      }
      break;
    case 2: {
      const int64_t s2 = (2 * int64_t{w} + 3) & ~int64_t{3};
      const RgbRowFn row = Rgb16Row();
      for (int64_t r = r0; r < r1; ++r) row(s + r * s2, stored(r), w);
      break;
    }
    case 12: {
      const int64_t s1 = (int64_t{w} + 3) & ~int64_t{3};
      const uint8_t* pal = src.palette ? src.palette : kBlackPalette;
      for (int64_t r = r0; r < r1; ++r) RowPal8(s + r * s1, stored(r), w, pal);
      break;
    }
    case 4:
    case 9:
    case 6:
    case 8:
    case 10: {
      const RowKind kind = src.code == 6    ? kRowYuy2
                           : src.code == 8  ? kRowY444
                           : src.code == 10 ? kRowY411
                                            : kRowUyvy;
      const int64_t rowBytes = src.code == 8    ? 3 * int64_t{w}
                               : src.code == 10 ? 6 * int64_t{w} / 4
                                                : 2 * int64_t{w};
      const RowFn row = Rows().row[kind];
      for (int64_t y = y0; y < y1; ++y) row(s + rowBytes * y, nullptr, nullptr, top(y), w);
      break;
    }
    case 5:
    case 7: {
      const int64_t k = src.code == 5 ? 2 : 4;
      const int64_t cw = w / k, ch = h / k;
      const int64_t first = wh, second = wh + wh / (k * k);
      const int64_t uBase = src.code == 5 ? first : second;
      const int64_t vBase = src.code == 5 ? second : first;
      const RowFn row = Rows().row[k == 2 ? kRowI420 : kRowYvu9];
      for (int64_t y = y0; y < y1; ++y) {
        if (cw == 0 || ch == 0) {  // no chroma plane at all: neutral colour
          for (int64_t x = 0; x < w; ++x) YuvToBgr(s[w * y + x], 128, 128, top(y) + 3 * x);
          continue;
        }
        const int64_t cy = y / k < ch ? y / k : ch - 1;
        row(s + w * y, s + uBase + cy * cw, s + vBase + cy * cw, top(y), w);
      }
      break;
    }
    case 11:
    case 14: {
      CRow body = s + (src.code == 14 ? 768 : 0);
      for (int64_t y = y0; y < y1; ++y) {
        if (greyTo24) {
          RowGreyTo24(body + w * y, top(y), w);
        } else {
          std::memcpy(top(y), body + w * y, static_cast<size_t>(w));
        }
      }
      break;
    }
    case 13: {
      const RgbRowFn row = Gv24Row();
      for (int64_t y = y0; y < y1; ++y) row(s + 3 * w * y, top(y), w);
      break;
    }
    default:
      return false;
  }
  // Padding of converted rows: no stale heap bytes reach a caller or a file.
  if (stride > used) {
    for (int64_t r = r0; r < r1; ++r)
      std::memset(stored(r) + used, 0, static_cast<size_t>(stride - used));
  }
  return true;
}

}  // namespace

int64_t SourceBytesNeeded(const SourceFrame& src) {
  const PixelFormat* row = FormatByCode(src.code);
  if (!row) return -1;
  // The bottom-up formats are read as padded rows and never for a palette: a stream's
  // RGB8 frame holds its rows alone. (A caller's image is held to the frame size, palette
  // included, by the image functions before it gets here.)
  switch (src.code) {
    case 1:
    case 2:
    case 3:
    case 12:
      return PaddedFrameSize(src.width, src.height, *row);
    default:
      return ConversionReadSize(src.width, src.height, *row);
  }
}

bool ConvertDirect(const SourceFrame& src, std::span<uint8_t> rows, int64_t stride) {
  return Convert(src, rows, stride, false, 0, src.height);
}

bool ConvertDirectRows(const SourceFrame& src, std::span<uint8_t> rows, int64_t stride,
                       int32_t firstRow, int32_t rowCount) {
  return Convert(src, rows, stride, false, firstRow, int64_t{firstRow} + rowCount);
}

bool ConvertDirectBand(const SourceFrame& src, std::span<uint8_t> band, int64_t stride,
                       int32_t firstRow, int32_t rowCount) {
  return Convert(src, band, stride, false, firstRow, int64_t{firstRow} + rowCount, true);
}

bool ConvertTo24(const SourceFrame& src, std::span<uint8_t> rows) {
  if (src.width <= 0) return false;
  return Convert(src, rows, BitmapStride(src.width, false), true, 0, src.height);
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

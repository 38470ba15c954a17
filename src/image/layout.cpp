#include "image/layout.h"

namespace kz {

PixelKind KindOfFormat(int32_t code) {
  switch (code) {
    case 4:
    case 5:
    case 6:
    case 7:
    case 8:
    case 9:
    case 10:
      return kKindYuv;
    case 3:
    case 11:
    case 14:
      return kKindGrey;
    case 1:
    case 13:
      return kKindRgb;
    case 2:
      return kKindRgb16;
    case 12:
      return kKindPalette;
    default:
      return kKindUnknown;
  }
}

int ChannelCount(PixelKind kind) {
  return kind == kKindYuv || kind == kKindRgb ? 3 : 1;
}

namespace {

// Packed rows: offset of channel c's sample for column x within its row, before clamping.
int64_t PackedColumn(int32_t code, int c, int64_t x) {
  switch (code) {
    case 1:  // RGB24 B, G, R stored: channel 0 R, 1 G, 2 B
      return 3 * x + 2 - c;
    case 13:  // GV24 R, G, B
      return 3 * x + c;
    case 8:  // Y444 U, Y, V
      return 3 * x + (c == 0 ? 1 : c == 1 ? 0 : 2);
    case 4:
    case 9:  // U Y0 V Y1
      return c == 0 ? 4 * (x / 2) + 1 + 2 * (x % 2) : 4 * (x / 2) + (c == 1 ? 0 : 2);
    case 6:  // Y0 U Y1 V
      return c == 0 ? 4 * (x / 2) + 2 * (x % 2) : 4 * (x / 2) + (c == 1 ? 1 : 3);
    case 10: {  // U Y0 Y1 V Y2 Y3
      static constexpr int64_t kLuma[4] = {1, 2, 4, 5};
      return 6 * (x / 4) + (c == 0 ? kLuma[x % 4] : c == 1 ? 0 : 3);
    }
    case 2:
      return 2 * x;
    default:  // one byte a pixel: 3, 11, 12, 14
      return x;
  }
}

// Bytes of one stored row of the packed formats.
int64_t PackedRowBytes(int32_t code, int64_t w) {
  switch (code) {
    case 1:
      return (3 * w + 3) & ~int64_t{3};
    case 2:
      return (2 * w + 3) & ~int64_t{3};
    case 3:
    case 12:
      return (w + 3) & ~int64_t{3};
    case 4:
    case 6:
    case 9:
      return 2 * w;
    case 8:
    case 13:
      return 3 * w;
    case 10:
      return 6 * w / 4;
    default:
      return w;  // 11, 14
  }
}

bool BottomUp(int32_t code) {
  return code == 1 || code == 2 || code == 3 || code == 12;
}

// Planar chroma: sample (x / k, y / k) of a (w / k) x (h / k) plane, clamped to the plane.
void PlanarChroma(ChannelLists& l, int c, int64_t w, int64_t h, int64_t k, int64_t base) {
  const int64_t cw = w / k, ch = h / k;
  l.present[c] = cw > 0 && ch > 0;
  for (int64_t x = 0; x < w; ++x) {
    l.cols[c][static_cast<size_t>(x)] = l.present[c] ? (x / k < cw ? x / k : cw - 1) : 0;
  }
  for (int64_t y = 0; y < h; ++y) {
    l.rows[c][static_cast<size_t>(y)] =
        l.present[c] ? base + (y / k < ch ? y / k : ch - 1) * cw : 0;
  }
}

}  // namespace

bool BuildChannelLists(int32_t code, int32_t width, int32_t height, ChannelLists& l) {
  const PixelKind kind = KindOfFormat(code);
  if (kind == kKindUnknown || width <= 0 || height <= 0) return false;
  const int64_t w = width, h = height;
  const int channels = ChannelCount(kind);
  for (int c = channels; c < 3; ++c) l.present[c] = false;

  if (code == 5 || code == 7) {  // I420 (U then V), YVU9 (V then U)
    const int64_t k = code == 5 ? 2 : 4;
    for (int64_t x = 0; x < w; ++x) l.cols[0][static_cast<size_t>(x)] = x;
    for (int64_t y = 0; y < h; ++y) l.rows[0][static_cast<size_t>(y)] = w * y;
    l.present[0] = true;
    const int64_t first = w * h, second = w * h + (w * h) / (k * k);
    PlanarChroma(l, 1, w, h, k, code == 5 ? first : second);
    PlanarChroma(l, 2, w, h, k, code == 5 ? second : first);
    return true;
  }

  const int64_t rowBytes = PackedRowBytes(code, w);
  for (int c = 0; c < channels; ++c) {
    // Walk left to right keeping the last sample that lies inside the row.
    int64_t last = -1;
    for (int64_t x = 0; x < w; ++x) {
      int64_t at = PackedColumn(code, c, x);
      if (at < rowBytes) {
        last = at;
      } else {
        at = last;
      }
      l.cols[c][static_cast<size_t>(x)] = at;
    }
    l.present[c] = last >= 0;
    // Columns before the first existing sample cannot occur (samples only go missing at
    // the end of a row); an absent channel reads offset 0 and is replaced by its neutral
    // value.
    for (int64_t x = 0; x < w; ++x) {
      if (l.cols[c][static_cast<size_t>(x)] < 0) l.cols[c][static_cast<size_t>(x)] = 0;
    }
    const int64_t start = code == 14 ? 768 : 0;
    for (int64_t y = 0; y < h; ++y) {
      const int64_t stored = BottomUp(code) ? h - 1 - y : y;
      l.rows[c][static_cast<size_t>(y)] = start + stored * rowBytes;
    }
  }
  return true;
}

}  // namespace kz

#include "image/rows.h"

#include <array>

#include "image/yuv.h"

namespace kz {
namespace {

using Row = uint8_t*;
using CRow = const uint8_t*;

// Two-pixel groups of UYVY/Y422 (U Y0 V Y1) and YUY2 (Y0 U Y1 V). An odd last pixel has
// its Y and U in the row but its V only in the group before (or nowhere: 1-pixel rows).
template <int kY0, int kU, int kY1, int kV>
void Row422(CRow s, Row d, int32_t w, int32_t from) {
  const int32_t pairs = w / 2;
  for (int32_t k = from / 2; k < pairs; ++k) {
    const int32_t u = s[4 * k + kU], v = s[4 * k + kV];
    YuvToBgr(s[4 * k + kY0], u, v, d + 6 * k);
    YuvToBgr(s[4 * k + kY1], u, v, d + 6 * k + 3);
  }
  if (w & 1) {
    const int32_t v = pairs > 0 ? s[4 * (pairs - 1) + kV] : 128;
    YuvToBgr(s[4 * pairs + kY0], s[4 * pairs + kU], v, d + 6 * pairs);
  }
}

void RowY444(CRow s, Row d, int32_t w, int32_t from) {
  for (int32_t x = from; x < w; ++x) YuvToBgr(s[3 * x + 1], s[3 * x], s[3 * x + 2], d + 3 * x);
}

// Groups of four: U Y0 Y1 V Y2 Y3. A row holds 6w/4 bytes, so a last partial group may
// lack V and some luma; those come from the last existing sample of their kind.
void RowY411(CRow s, Row d, int32_t w, int32_t from) {
  static constexpr int32_t kLuma[4] = {1, 2, 4, 5};
  const int32_t groups = w / 4;
  for (int32_t g = from / 4; g < groups; ++g) {
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

// Planar rows with chroma subsampled by k; columns past the last whole group share the
// last chroma sample of the row.
template <int kK>
void RowPlanar(CRow ys, CRow us, CRow vs, Row d, int32_t w, int32_t from) {
  const int32_t groups = w / kK;
  for (int32_t g = from / kK; g < groups; ++g) {
    const int32_t u = us[g], v = vs[g];
    for (int32_t i = 0; i < kK; ++i) YuvToBgr(ys[kK * g + i], u, v, d + 3 * (kK * g + i));
  }
  for (int32_t x = kK * groups; x < w; ++x)
    YuvToBgr(ys[x], us[groups - 1], vs[groups - 1], d + 3 * x);
}

template <RowKind kKind>
void Plain(CRow s, CRow u, CRow v, Row d, int32_t w) {
  PlainRowFrom(kKind, s, u, v, d, w, 0);
}

constexpr RowKernels kPlain{
    "plain",
    {Plain<kRowYuy2>, Plain<kRowUyvy>, Plain<kRowY444>, Plain<kRowY411>, Plain<kRowI420>,
     Plain<kRowYvu9>, Plain<kRowP444>}};

struct Available {
  std::array<const RowKernels*, 4> sets{};
  size_t count = 0;
  Available() {
    for (const RowKernels* k : {&kPlain, Sse2Rows(), Avx2Rows(), Avx512Rows()}) {
      if (k) sets[count++] = k;
    }
  }
};

const Available& Sets() {
  static const Available sets;  // made once, thread-safe
  return sets;
}

}  // namespace

void PlainRowFrom(RowKind kind, CRow s, CRow u, CRow v, Row d, int32_t w, int32_t from) {
  switch (kind) {
    case kRowYuy2:
      return Row422<0, 1, 2, 3>(s, d, w, from);
    case kRowUyvy:
      return Row422<1, 0, 3, 2>(s, d, w, from);
    case kRowY444:
      return RowY444(s, d, w, from);
    case kRowY411:
      return RowY411(s, d, w, from);
    case kRowI420:
      return RowPlanar<2>(s, u, v, d, w, from);
    case kRowP444:
      return RowPlanar<1>(s, u, v, d, w, from);
    default:
      return RowPlanar<4>(s, u, v, d, w, from);
  }
}

void PlainGv24Row(CRow s, Row d, int32_t w) {
  for (int32_t x = 0; x < w; ++x) {
    d[3 * x] = s[3 * x + 2];
    d[3 * x + 1] = s[3 * x + 1];
    d[3 * x + 2] = s[3 * x];
  }
}

void PlainRgb16Row(CRow s, Row d, int32_t w) {
  for (int32_t x = 0; x < w; ++x) {
    const uint32_t p = static_cast<uint32_t>(s[2 * x]) | (static_cast<uint32_t>(s[2 * x + 1]) << 8);
    const uint32_t b = p & 31, g = (p >> 5) & 31, r = (p >> 10) & 31;
    d[3 * x] = static_cast<uint8_t>(b * 8 + b / 4);
    d[3 * x + 1] = static_cast<uint8_t>(g * 8 + g / 4);
    d[3 * x + 2] = static_cast<uint8_t>(r * 8 + r / 4);
  }
}

RgbRowFn Gv24Row() {
  static const RgbRowFn chosen = Avx512Gv24Row() ? Avx512Gv24Row() : PlainGv24Row;
  return chosen;
}

RgbRowFn Rgb16Row() {
  static const RgbRowFn chosen = Avx512Rgb16Row() ? Avx512Rgb16Row() : PlainRgb16Row;
  return chosen;
}

const RowKernels& PlainRows() {
  return kPlain;
}

std::span<const RowKernels* const> AvailableRows() {
  const Available& a = Sets();
  return {a.sets.data(), a.count};
}

const RowKernels& Rows() {
  static const RowKernels& chosen = *AvailableRows().back();
  return chosen;
}

}  // namespace kz

// The general converter. A sample is the column taps summed along each tapped source row,
// then those sums summed down the row taps; in exact integers the order does not matter, so
// each source row's column sums are made once and kept while output rows still tap it.
#include "image/general.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "image/colour.h"
#include "image/plan.h"
#include "image/rows.h"

namespace kz {
namespace {

inline int32_t ClampByte(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, 0, 255));
}

inline int32_t Divide(int64_t v, int64_t d) {
  return ClampByte(v * 1000000 / d);
}

void PlainAcross(const int16_t* line, const int32_t* start, const int16_t* weights,
                 const LineBlock*, int32_t taps, int64_t n, int32_t* out, int64_t count) {
  for (int64_t i = 0; i < count; ++i) {
    const int64_t x = i * n;
    const int16_t* w = weights + 8 * x;
    const int16_t* p = line + start[x];
    int32_t sum = 0;
    for (int32_t k = 0; k < taps; ++k) sum += w[k] * p[k];
    out[i] = sum;
  }
}

void PlainDown(const int32_t* const* rows, const int32_t* weights, int32_t taps, uint8_t* out,
               int64_t count) {
  for (int64_t i = 0; i < count; ++i) {
    int32_t sum = 0;
    for (int32_t b = 0; b < taps; ++b) sum += weights[b] * rows[b][i];
    out[i] = static_cast<uint8_t>(ClampByte(sum >> 18));
  }
}

constexpr GeneralKernels kPlain{"plain", PlainAcross, PlainLine, PlainPick, PlainDown};

struct Available {
  std::array<const GeneralKernels*, 3> sets{};
  size_t count = 0;
  Available() {
    for (const GeneralKernels* k : {&kPlain, Avx2General(), Avx512General()}) {
      if (k) sets[count++] = k;
    }
  }
};

const Available& Sets() {
  static const Available sets;  // made once, thread-safe
  return sets;
}

// One frame's run of a plan: the column sums of source rows (per channel, in the plan's
// slots) and the samples of a band of output rows. A band is sampled channel by channel, so
// the slots one channel's rows tap stay in the nearest cache.
class Run {
 public:
  Run(const Plan& plan, const GeneralKernels& kernels, const uint8_t* src, int64_t n)
      : plan_(plan),
        kernels_(kernels),
        src_(src),
        n_(n),
        scratch_(*plan.scratch),
        count_((plan.width + n - 1) / n) {
    for (auto& keys : scratch_.key) std::fill(std::begin(keys), std::end(keys), -1);
    for (auto& stamps : scratch_.stamp) std::fill(std::begin(stamps), std::end(stamps), 0);
    for (int c = 0; c < 3; ++c) {
      samples_[c] = scratch_.samples + c * int64_t{PlanScratch::kBand} * plan.width;
    }
  }

  int64_t count() const { return count_; }
  // Channel c of row k of the band.
  uint8_t* samples(int c, int k) const { return samples_[c] + int64_t{k} * plan_.width; }

  // Channel c of the band's computed output rows y0, y0 + m, ... (`band` of them).
  void SampleBand(int c, int64_t y0, int32_t m, int band) {
    if (plan_.taps > 1 || !plan_.present[c]) {
      for (int k = 0; k < band; ++k) SampleRow(c, y0 + k * m, k);
      return;
    }
    int64_t rows[PlanScratch::kBand];
    uint8_t* out[PlanScratch::kBand];
    for (int k = 0; k < band; ++k) {
      rows[k] = plan_.rows[c].offsets[y0 + k * m], out[k] = samples(c, k);
    }
    kernels_.pick(src_, rows, band, plan_.cols[c].offsets, n_, plan_.pickGathers[c], out, count_);
  }

 private:
  // Channel c of computed output row y into the samples of row k of the band.
  void SampleRow(int c, int64_t y, int k) {
    const int32_t taps = plan_.taps;
    uint8_t* out = samples(c, k);
    if (!plan_.present[c]) {  // every row: the colour stages change samples in place
      std::memset(out, AbsentValue(c), static_cast<size_t>(count_));
      return;
    }
    const int64_t* orow = plan_.rows[c].offsets + y * taps;
    const int32_t* wr = plan_.rows[c].weights + y * taps;
    const int32_t* sums[6];
    Gather(c, orow, sums);
    if (plan_.narrow) {
      kernels_.down(sums, wr, taps, out, count_);
      return;
    }
    for (int64_t i = 0; i < count_; ++i) {
      int64_t sum = 0;
      for (int32_t b = 0; b < taps; ++b) sum += int64_t{wr[b]} * sums[b][i];
      out[i] = static_cast<uint8_t>(ClampByte(sum >> 18));
    }
  }

  // The column sums of the row taps at `orow`, made for the rows no slot holds yet; the
  // slots taken for them are those asked for longest ago among the ones this row leaves.
  void Gather(int c, const int64_t* orow, const int32_t** sums) {
    const int32_t taps = plan_.taps;
    int64_t* key = scratch_.key[c];
    uint64_t* stamp = scratch_.stamp[c];
    ++clock_;
    uint32_t held = 0;
    int slotOf[6];
    for (int32_t b = 0; b < taps; ++b) {
      slotOf[b] = -1;
      for (int s = 0; s < PlanScratch::kSlots; ++s) {
        if (key[s] == orow[b]) {
          slotOf[b] = s;
          held |= 1u << s;
          break;
        }
      }
    }
    for (int32_t b = 0; b < taps; ++b) {
      if (slotOf[b] < 0) {
        int pick = -1;
        for (int s = 0; s < PlanScratch::kSlots; ++s) {
          if (key[s] == orow[b]) {  // made just now for an earlier tap of this row
            pick = s;
            break;
          }
          if (!(held & (1u << s)) && (pick < 0 || stamp[s] < stamp[pick])) pick = s;
        }
        if (key[pick] != orow[b]) {
          key[pick] = orow[b];
          ColumnSums(c, orow[b], SlotRow(c, pick));
        }
        slotOf[b] = pick;
        held |= 1u << pick;
      }
      stamp[slotOf[b]] = clock_;
      sums[b] = SlotRow(c, slotOf[b]);
    }
  }

  int32_t* SlotRow(int c, int slot) const {
    return scratch_.rows + (int64_t{c} * PlanScratch::kSlots + slot) * plan_.width;
  }

  void ColumnSums(int c, int64_t rowOffset, int32_t* out) const {
    const uint8_t* row = src_ + rowOffset;
    const int32_t taps = plan_.taps;
    if (plan_.lineStart) {
      constexpr int64_t kPad = PlanScratch::kPad;
      const int64_t ww = plan_.workWidth;
      const int64_t* cols = plan_.workCols[c];
      int16_t* line = scratch_.line;
      for (int64_t j = 0; j < kPad; ++j) line[j] = row[cols[0]];
      kernels_.line(row, cols, plan_.lineGathers[c], line + kPad, ww);
      const int64_t end = ww + 2 * kPad + PlanScratch::kTail;
      for (int64_t j = kPad + ww; j < end; ++j) line[j] = row[cols[ww - 1]];
      kernels_.across(line, plan_.lineStart, plan_.lineWeights, plan_.lineBlocks, taps, n_, out,
                      count_);
      return;
    }
    const int64_t* oc = plan_.cols[c].offsets;
    const int32_t* wc = plan_.cols[c].weights;
    for (int64_t i = 0; i < count_; ++i) {
      const int64_t at = i * n_ * taps;
      int32_t sum = 0;
      for (int32_t a = 0; a < taps; ++a) sum += wc[at + a] * row[oc[at + a]];
      out[i] = sum;
    }
  }

  const Plan& plan_;
  const GeneralKernels& kernels_;
  const uint8_t* src_;
  const int64_t n_;
  PlanScratch& scratch_;
  const int64_t count_;
  uint8_t* samples_[3];
  uint64_t clock_ = 0;
};

// RGB16 and palette pixels are read whole (nearest neighbour): their R, G, B into the samples.
void SampleWhole(const Plan& plan, const uint8_t* src, const uint8_t* palette, int64_t y, int64_t n,
                 const Run& run, int k) {
  const uint8_t* row = src + plan.rows[0].offsets[y];
  const int64_t* oc = plan.cols[0].offsets;
  uint8_t *r = run.samples(0, k), *g = run.samples(1, k), *b = run.samples(2, k);
  for (int64_t i = 0; i < run.count(); ++i) {
    const uint8_t* p = row + oc[i * n];
    if (plan.kind == kKindRgb16) {
      const int32_t word = p[0] | (p[1] << 8);
      const int32_t b5 = word & 31, g5 = (word >> 5) & 31, r5 = (word >> 10) & 31;
      r[i] = static_cast<uint8_t>(r5 * 8 + r5 / 4);
      g[i] = static_cast<uint8_t>(g5 * 8 + g5 / 4);
      b[i] = static_cast<uint8_t>(b5 * 8 + b5 / 4);
    } else {
      const uint8_t* e = palette + 4 * *p;
      b[i] = e[0], g[i] = e[1], r[i] = e[2];
    }
  }
}

// The colour stages and the output pixels of computed row y, packed at the row's start.
void ColourRow(PixelKind kind, const AdjustTables& t, uint32_t flags, const Run& run, int64_t y,
               int k, int64_t n, uint8_t* out) {
  const int64_t count = run.count();
  uint8_t *s0 = run.samples(0, k), *s1 = run.samples(1, k), *s2 = run.samples(2, k);
  auto divisor = [&](int64_t i) {
    return (flags & kStageRadial) ? t.radialCol[i * n] + t.radialRow[y] : int64_t{1000000};
  };
  switch (kind) {
    case kKindYuv:
      if (flags) {
        for (int64_t i = 0; i < count; ++i) {
          int32_t Y = s0[i], U = s1[i], V = s2[i];
          AdjustYuv(t, flags, divisor(i), Y, U, V);
          s0[i] = static_cast<uint8_t>(Y), s1[i] = static_cast<uint8_t>(U);
          s2[i] = static_cast<uint8_t>(V);
        }
      }
      Rows().row[kRowP444](s0, s1, s2, out, static_cast<int32_t>(count));
      return;
    case kKindGrey:
      if (!flags) {
        std::memcpy(out, s0, static_cast<size_t>(count));
        return;
      }
      for (int64_t i = 0; i < count; ++i) {
        out[i] = static_cast<uint8_t>(AdjustGrey(t, flags, divisor(i), s0[i]));
      }
      return;
    default:
      for (int64_t i = 0; i < count; ++i) {
        AdjustRgb(t, flags, divisor(i), s0[i], s1[i], s2[i], out + 3 * i);
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

void PlainLine(const uint8_t* row, const int64_t* cols, const LineGather*, int16_t* out,
               int64_t count) {
  for (int64_t j = 0; j < count; ++j) out[j] = row[cols[j]];
}

void PlainPick(const uint8_t* src, const int64_t* rows, int band, const int64_t* cols, int64_t n,
               const LineGather*, uint8_t* const* out, int64_t count) {
  for (int64_t i = 0; i < count; ++i) {
    const uint8_t* at = src + cols[i * n];
    for (int k = 0; k < band; ++k) out[k][i] = at[rows[k]];
  }
}

const GeneralKernels& PlainGeneral() {
  return kPlain;
}

std::span<const GeneralKernels* const> AvailableGeneral() {
  const Available& a = Sets();
  return {a.sets.data(), a.count};
}

const GeneralKernels& General() {
  static const GeneralKernels& chosen = *AvailableGeneral().back();
  return chosen;
}

void AdjustYuv(const AdjustTables& t, uint32_t flags, int64_t d, int32_t& Y, int32_t& U,
               int32_t& V) {
  if (flags & kStageFirst0) Y = ClampByte(t.first[0][Y]);
  if (flags & kStageFirst12) U = ClampByte(t.first[1][U]), V = ClampByte(t.first[2][V]);
  if (flags & kStageRadial) {
    Y = Divide(Y, d);
    U = ClampByte((int64_t{U} * 1000000 - 128000000) / d + 128);
    V = ClampByte((int64_t{V} * 1000000 - 128000000) / d + 128);
  }
  if (flags & kStageFinal) Y = t.final[0][Y];
  if (flags & kStageChroma) U = t.final[1][U], V = t.final[2][V];
}

int32_t AdjustGrey(const AdjustTables& t, uint32_t flags, int64_t d, int32_t Y) {
  if (flags & kStageFirst0) Y = ClampByte(t.first[0][Y]);
  if (flags & kStageRadial) Y = Divide(Y, d);
  if (flags & kStageFinal) Y = t.final[0][Y];
  return Y;
}

void AdjustRgb(const AdjustTables& t, uint32_t flags, int64_t d, int32_t R, int32_t G, int32_t B,
               uint8_t* out) {
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

void FastZoomSteps(const KZDISPLAY& block, int32_t& n, int32_t& m) {
  n = 1, m = 1;
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
}

void FillFastZoom(uint8_t* top, int64_t step, int64_t W, int64_t H, int32_t n, int32_t m,
                  bool eightBit) {
  const int64_t bpp = eightBit ? 1 : 3;
  if (n > 1) {
    for (int64_t y = 0; y < H; y += m) {
      uint8_t* row = top + y * step;
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

void RunGeneralConverter(const Plan& plan, const AdjustTables& tables, uint32_t flags,
                         const KZDISPLAY& block, const SourceFrame& src, uint8_t* top, int64_t step,
                         bool eightBit, const GeneralKernels* kernels) {
  int32_t n = 1, m = 1;
  FastZoomSteps(block, n, m);
  static const uint8_t kNoPalette[1024] = {};
  const uint8_t* palette = src.palette ? src.palette : kNoPalette;
  const bool whole = plan.kind == kKindRgb16 || plan.kind == kKindPalette;
  const int channels = ChannelCount(plan.kind);
  const int64_t bpp = eightBit ? 1 : 3;
  Run run(plan, kernels ? *kernels : General(), src.bytes.data(), n);
  for (int64_t y0 = 0; y0 < plan.height; y0 += int64_t{m} * PlanScratch::kBand) {
    const int band =
        static_cast<int>(std::min<int64_t>(PlanScratch::kBand, (plan.height - y0 + m - 1) / m));
    for (int k = 0; whole && k < band; ++k) {
      SampleWhole(plan, src.bytes.data(), palette, y0 + k * m, n, run, k);
    }
    for (int c = 0; !whole && c < channels; ++c) run.SampleBand(c, y0, m, band);
    for (int k = 0; k < band; ++k) {
      const int64_t y = y0 + k * m;
      uint8_t* row = top + y * step;
      ColourRow(whole ? kKindRgb : plan.kind, tables, flags, run, y, k, n, row);
      // The computed pixels were written side by side: each goes to its column, last first.
      for (int64_t i = run.count() - 1; i > 0 && n > 1; --i) {
        std::memcpy(row + i * n * bpp, row + i * bpp, static_cast<size_t>(bpp));
      }
    }
  }
  FillFastZoom(top, step, plan.width, plan.height, n, m, eightBit);
}

}  // namespace kz

#include "image/plan.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include "frame/blocks.h"
#include "image/colour.h"
#include "image/general.h"

namespace kz {

int64_t SaturateToInt64(double v, int64_t lo, int64_t hi) {
  if (std::isnan(v)) return 0 < lo ? lo : (0 > hi ? hi : 0);
  if (v <= static_cast<double>(lo)) return lo;
  if (v >= static_cast<double>(hi)) return hi;
  return static_cast<int64_t>(v);
}

double UsableScale(double v) {
  return std::isfinite(v) && v > 0 ? v : 1.0;
}

bool NormaliseBlock(KZDISPLAY& b, bool grey) {
  if (b.drawFlags & KZ_DRAW_CROP) {
    // 64-bit sums: a crop of INT32_MIN must not wrap.
    int64_t left = b.cropLeft, top = b.cropTop, cw = b.cropWidth, ch = b.cropHeight;
    if (left < 0) cw += left, left = 0;
    if (top < 0) ch += top, top = 0;
    cw = std::min<int64_t>(cw, int64_t{b.width} - left);
    ch = std::min<int64_t>(ch, int64_t{b.height} - top);
    auto narrow = [](int64_t v) {
      return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
    };
    b.cropLeft = narrow(left), b.cropTop = narrow(top);
    b.cropWidth = narrow(cw), b.cropHeight = narrow(ch);
    if (cw < 2 || ch < 2 || (left == 0 && top == 0 && cw == b.width && ch == b.height)) {
      b.drawFlags &= ~KZ_DRAW_CROP;
    }
  }
  if (b.drawFlags & KZ_DRAW_ZOOM) {
    b.zoom = UsableScale(b.zoom);
    b.aspect = UsableScale(b.aspect);
    if (b.zoom == 1.0 && b.aspect == 1.0) b.drawFlags &= ~KZ_DRAW_ZOOM;
  }
  if ((b.resampling & KZ_RESAMPLE_METHOD) > 5) b.resampling &= ~KZ_RESAMPLE_METHOD;

  const KZADJUSTMENTS& a = b.adjust;
  const bool adjust = !(b.drawFlags & KZ_DRAW_NO_ADJUST);
  return b.orientation != 0 ||
         (adjust && (a.blackLevel || a.whiteLevel || a.radialStrength || a.contrast ||
                     a.brightness || (a.gamma != 0 && a.gamma != 1))) ||
         (adjust && !grey && (a.whiteBalance || a.saturation || a.chromaBalance)) ||
         (b.drawFlags & (KZ_DRAW_CROP | KZ_DRAW_ZOOM));
}

void FreePlan(Plan*& plan, AdjustTables*& tables) {
  BlockFree(plan);
  BlockFree(tables);
  plan = nullptr;
  tables = nullptr;
}

namespace {

// Lagrange weights of method m at fraction t, in the tap order of the nodes.
void LagrangeWeights(int32_t m, double t, double* l) {
  switch (m) {
    case 2:
      l[0] = t * (t - 1) / 2;
      l[1] = 1 - t * t;
      l[2] = t * (t + 1) / 2;
      break;
    case 3:
      l[0] = -t * (t - 1) * (t - 2) / 6;
      l[1] = (t + 1) * (t - 1) * (t - 2) / 2;
      l[2] = -(t + 1) * t * (t - 2) / 2;
      l[3] = (t + 1) * t * (t - 1) / 6;
      break;
    case 4:
      l[0] = (t + 1) * t * (t - 1) * (t - 2) / 24;
      l[1] = -(t + 2) * t * (t - 1) * (t - 2) / 6;
      l[2] = (t * t - 1) * (t * t - 4) / 4;
      l[3] = -(t + 2) * (t + 1) * t * (t - 2) / 6;
      l[4] = (t + 2) * (t + 1) * t * (t - 1) / 24;
      break;
    default:  // 5
      l[0] = -(t + 1) * t * (t - 1) * (t - 2) * (t - 3) / 120;
      l[1] = (t + 2) * t * (t - 1) * (t - 2) * (t - 3) / 24;
      l[2] = -(t + 2) * (t + 1) * (t - 1) * (t - 2) * (t - 3) / 12;
      l[3] = (t + 2) * (t + 1) * t * (t - 2) * (t - 3) / 12;
      l[4] = -(t + 2) * (t + 1) * t * (t - 1) * (t - 3) / 24;
      l[5] = (t + 2) * (t + 1) * t * (t - 1) * (t - 2) / 120;
      break;
  }
}

// Area averaging of one output sample: the input interval of length q starting t into
// pixel p0, folded into m + 1 slots.
void AreaTaps(int64_t n, int64_t p0, double t, double q, int32_t m, int64_t* index,
              int32_t* weight) {
  constexpr double kOne = 16777216.0;
  if (m < 1 || m > 5) return;
  const int32_t slots = m + 1;
  const int64_t full = SaturateToInt64(kOne / q, 0, INT64_MAX);
  int64_t w[6] = {0, 0, 0, 0, 0, 0};
  const double fullEnd = q + t - 1;  // pixels k below it are covered whole
  for (int64_t k = 0; k <= m || static_cast<double>(k) < q + 2; ++k) {
    int64_t wk;
    if (k == 0) {
      wk = SaturateToInt64((1 - t) * kOne / q, INT64_MIN, INT64_MAX);
    } else if (static_cast<double>(k) < fullEnd) {
      wk = full;
      // Pixels covered whole all weigh `full`, and a later pixel only takes a slot whose
      // weight it exceeds: once every slot holds at least `full`, the rest of the covered
      // run changes nothing and is skipped (a huge q would otherwise cost q steps).
      if (k > m && std::all_of(w, w + slots, [&](int64_t s) { return s >= full; })) {
        const double next = std::ceil(fullEnd);
        const int64_t jump = SaturateToInt64(next, k + 1, INT64_MAX - 1);
        if (jump > k + 1) {
          k = jump - 1;
          continue;
        }
      }
    } else if (static_cast<double>(k) < q + t) {
      wk = SaturateToInt64(((t - static_cast<double>(k)) / q + 1) * kOne, INT64_MIN, INT64_MAX);
    } else {
      wk = 0;
    }
    const int32_t s = static_cast<int32_t>(k % slots);
    if (k <= m || wk > w[s]) {
      w[s] = wk;
      index[s] = std::clamp<int64_t>(p0 + k, 0, n - 1);
    }
  }
  int64_t sum = 0;
  for (int32_t s = 0; s < slots; ++s) sum += w[s];
  if (sum == 0) {
    // No pixel carries weight (a step beyond 2^24): rather than divide by zero, the last
    // slot takes the whole sample.
    for (int32_t s = 0; s < slots; ++s) weight[s] = s == slots - 1 ? 512 : 0;
    return;
  }
  int64_t scaled = 0;
  for (int32_t s = 0; s < slots; ++s) {
    weight[s] = static_cast<int32_t>(
        SaturateToInt64(static_cast<double>(w[s]) * 512.0 / static_cast<double>(sum), -512, 512));
    scaled += weight[s];
  }
  weight[1] += static_cast<int32_t>(512 - scaled);
}

}  // namespace

void ComputeTaps(int64_t n, int64_t outLen, double q, int32_t m, int32_t area, int64_t* index,
                 int32_t* weight) {
  // A scale so small that its reciprocal overflows (a zoom times aspect that underflows)
  // shrinks the picture to one sample all the same; an infinite step would make its
  // position and weight NaN.
  if (!std::isfinite(q)) q = std::numeric_limits<double>::max();
  const int32_t slots = m + 1;
  for (int64_t i = 0; i < outLen; ++i) {
    int64_t* idx = index + i * slots;
    int32_t* wt = weight + i * slots;
    const double di = static_cast<double>(i);
    if (m == 0) {
      idx[0] = std::clamp<int64_t>(SaturateToInt64(std::floor(di * q), 0, INT64_MAX), 0, n - 1);
      wt[0] = 512;
      continue;
    }
    const double pos = (area == 2 || (area == 1 && q > 1)) ? di * q : (di + 0.5) * q - 0.5;
    const double fl = std::floor(pos);
    const int64_t p0 = SaturateToInt64(fl, -(int64_t{1} << 62), int64_t{1} << 62);
    const double t = pos - fl;
    if (q > 1 && area == 1) {
      AreaTaps(n, p0, t, q, m, idx, wt);
      continue;
    }
    const int64_t first = m == 1 ? p0 : m <= 3 ? p0 - 1 : p0 - 2;
    for (int32_t k = 0; k < slots; ++k) idx[k] = std::clamp<int64_t>(first + k, 0, n - 1);
    if (m == 1) {
      wt[0] = static_cast<int32_t>(512 * (1 - t));
      wt[1] = 512 - wt[0];
      continue;
    }
    double l[6];
    LagrangeWeights(m, t, l);
    for (int32_t k = 0; k < slots; ++k) wt[k] = static_cast<int32_t>(512 * l[k]);
  }
}

namespace {

// Each output column's taps as a run of consecutive samples of a line padded by kPad
// repeats at each end: the first tap's place in the padded line and eight 16-bit weights.
// False when some column's taps are not such a run (area averaging picks the heaviest
// pixels, not neighbours).
bool LineTaps(int64_t n, int64_t outLen, int64_t taps, const int64_t* index,
              const int32_t* weight, int32_t* start, int16_t* weights) {
  constexpr int64_t kPad = PlanScratch::kPad;
  if (n + 2 * kPad + PlanScratch::kTail > INT32_MAX) return false;
  for (int64_t i = 0; i < outLen; ++i) {
    const int64_t* idx = index + i * taps;
    const int64_t first = idx[0] > 0 ? idx[0] : idx[taps - 1] - (taps - 1);
    if (first < -kPad || first + taps - 1 > n - 1 + kPad) return false;
    for (int64_t k = 0; k < taps; ++k) {
      if (idx[k] != std::clamp<int64_t>(first + k, 0, n - 1)) return false;
    }
    start[i] = static_cast<int32_t>(first + kPad);
    for (int64_t k = 0; k < 8; ++k) {
      const int32_t w = k < taps ? weight[i * taps + k] : 0;
      if (w < INT16_MIN || w > INT16_MAX) return false;
      weights[i * 8 + k] = static_cast<int16_t>(w);
    }
  }
  return true;
}

// The window form of the line taps of computed columns x = i n, sixteen at a time.
void MakeLineBlocks(const int32_t* start, const int16_t* weights, int64_t n, int64_t blocks,
                    LineBlock* out) {
  for (int64_t b = 0; b < blocks; ++b) {
    LineBlock& k = out[b];
    k.base = INT32_MAX;
    int32_t last = 0;
    for (int64_t i = 0; i < 16; ++i) {
      k.base = std::min(k.base, start[(16 * b + i) * n]);
      last = std::max(last, start[(16 * b + i) * n]);
    }
    k.fits = last + 3 - k.base < 64;
    for (int64_t i = 0; i < 16; ++i) {
      const int64_t x = (16 * b + i) * n;
      for (int64_t t = 0; t < 4; ++t) {
        k.index[4 * i + t] = static_cast<int16_t>(k.fits ? start[x] - k.base + t : 0);
        k.weight[4 * i + t] = weights[8 * x + t];
      }
    }
  }
}

// The byte-permute form of the offsets cols[0], cols[step], ... (`count` of them), in groups
// of `per`: 32 placed as words or 64 as bytes.
void MakeGathers(const int64_t* cols, int64_t step, int64_t count, int per, LineGather* out) {
  for (int64_t g = 0; g < count / per; ++g) {
    LineGather& k = out[g];
    auto at = [&](int j) { return cols[(per * g + j) * step]; };
    int64_t lo = at(0), hi = at(0);
    for (int j = 1; j < per; ++j) lo = std::min(lo, at(j)), hi = std::max(hi, at(j));
    k.base = lo;
    k.fits = hi - lo < 128;
    const int64_t span = k.fits ? hi - lo + 1 : 0;
    k.mask[0] = span >= 64 ? ~uint64_t{0} : (uint64_t{1} << span) - 1;
    k.mask[1] = span >= 128 ? ~uint64_t{0} : span > 64 ? (uint64_t{1} << (span - 64)) - 1 : 0;
    const int spacing = 64 / per;
    std::fill(std::begin(k.index), std::end(k.index), uint8_t{0});
    for (int j = 0; j < per && k.fits; ++j) k.index[spacing * j] = static_cast<uint8_t>(at(j) - lo);
  }
}

// Whether a sample's column sums (up to 255 times the column weights' magnitudes) times
// its row weights stay within 32 bits.
bool NarrowSums(int64_t outW, int64_t outH, int64_t taps, const int32_t* cols,
                const int32_t* rows) {
  auto most = [taps](int64_t len, const int32_t* w) {
    int64_t top = 0;
    for (int64_t i = 0; i < len; ++i) {
      int64_t sum = 0;
      for (int64_t k = 0; k < taps; ++k) sum += std::abs(int64_t{w[i * taps + k]});
      top = std::max(top, sum);
    }
    return top;
  };
  const int64_t across = 255 * most(outW, cols), down = most(outH, rows);
  return across < (int64_t{1} << 31) && down < (int64_t{1} << 31) &&
         across * down < (int64_t{1} << 31);
}

struct Lists {
  std::span<int64_t> cols[3];
  std::span<int64_t> rows[3];
};

}  // namespace

bool BuildPlan(KZDISPLAY& block, Plan*& plan, AdjustTables*& tables, int32_t& shownWidth,
               int32_t& shownHeight, uint32_t& adjustFlags) {
  FreePlan(plan, tables);
  adjustFlags = 0;
  shownWidth = block.width;
  shownHeight = block.height;
  const PixelKind kind = KindOfFormat(static_cast<int32_t>(block.format));
  const bool needed = NormaliseBlock(block, kind == kKindGrey);
  if (!needed || kind == kKindUnknown || block.width <= 0 || block.height <= 0) return false;

  const int64_t w = block.width, h = block.height;
  std::unique_ptr<int64_t, BlockDeleter> scratch(
      static_cast<int64_t*>(BlockAlloc(static_cast<size_t>((w + h) * 3 * sizeof(int64_t)))));
  if (!scratch) return false;
  ChannelLists lists;
  Lists l;
  for (int c = 0; c < 3; ++c) {
    int64_t* base = scratch.get() + c * (w + h);
    l.cols[c] = lists.cols[c] = std::span<int64_t>(base, static_cast<size_t>(w));
    l.rows[c] = lists.rows[c] = std::span<int64_t>(base + w, static_cast<size_t>(h));
  }
  if (!BuildChannelLists(static_cast<int32_t>(block.format), block.width, block.height, lists)) {
    return false;
  }

  const uint32_t o = block.orientation;
  for (int c = 0; c < 3; ++c) {
    if (o & KZ_ORIENT_FIELDS) {
      for (size_t y = 0; y + 1 < l.rows[c].size(); y += 2)
        std::swap(l.rows[c][y], l.rows[c][y + 1]);
    }
    if (block.drawFlags & KZ_DRAW_CROP) {
      l.cols[c] = l.cols[c].subspan(static_cast<size_t>(block.cropLeft),
                                    static_cast<size_t>(block.cropWidth));
      l.rows[c] = l.rows[c].subspan(static_cast<size_t>(block.cropTop),
                                    static_cast<size_t>(block.cropHeight));
    }
    // Each quarter turn is clockwise: output (x, y) shows working pixel (y, h - 1 - x).
    for (uint32_t turn = 0; turn < (o & KZ_ORIENT_TURNS); ++turn) {
      std::swap(l.cols[c], l.rows[c]);
      std::reverse(l.cols[c].begin(), l.cols[c].end());
    }
    if (o & KZ_ORIENT_MIRROR) std::reverse(l.cols[c].begin(), l.cols[c].end());
    if (o & KZ_ORIENT_FLIP) std::reverse(l.rows[c].begin(), l.rows[c].end());
  }

  const int64_t ww = static_cast<int64_t>(l.cols[0].size());
  const int64_t wh = static_cast<int64_t>(l.rows[0].size());
  const bool zoom = (block.drawFlags & KZ_DRAW_ZOOM) != 0;
  int64_t outW = ww, outH = wh;
  if (zoom) {
    outW = SaturateToInt64(static_cast<double>(ww) * block.zoom, 1, INT32_MAX);
    outH = SaturateToInt64(static_cast<double>(wh) * block.zoom * block.aspect, 1, INT32_MAX);
  }
  // RGB16 and palette pixels are read whole, one sample each: they are resampled
  // nearest-neighbour.
  const bool single = kind == kKindRgb16 || kind == kKindPalette;
  const int32_t method =
      zoom && !single ? static_cast<int32_t>(block.resampling & KZ_RESAMPLE_METHOD) : 0;
  const int64_t taps = method + 1;

  // Header, then per channel: column offsets and weights, row offsets and weights; then
  // the line taps and the converter's working memory.
  const bool separable = taps > 1;
  const int64_t slotRows = separable ? 3 * PlanScratch::kSlots * outW : 0;
  const int64_t lineLen = separable ? ww + 2 * PlanScratch::kPad + PlanScratch::kTail : 0;
  int32_t stepAcross = 1, stepDown = 1;
  FastZoomSteps(block, stepAcross, stepDown);
  const int64_t computed = (outW + stepAcross - 1) / stepAcross;  // columns sampled per row
  const int64_t blocks = taps > 1 && taps <= 4 ? computed / 16 : 0;
  const int64_t picks = computed / 64;
  const int64_t sizes[] = {
      static_cast<int64_t>(sizeof(Plan)),  // the header
      outW * taps * 8, outH * taps * 8, outW * taps * 8, outH * taps * 8, outW * taps * 8,
      outH * taps * 8,                                                  // offsets
      outW * taps * 4, outH * taps * 4, outW * taps * 4, outH * taps * 4, outW * taps * 4,
      outH * taps * 4,                                                  // weights
      separable ? 3 * ww * 8 : 0,                                       // working columns
      separable ? outW * 4 : 0, separable ? outW * 16 : 0,              // line taps
      blocks * static_cast<int64_t>(sizeof(LineBlock)),
      separable ? 3 * (ww / 32) * static_cast<int64_t>(sizeof(LineGather)) : 0,
      separable ? 0 : 3 * picks * static_cast<int64_t>(sizeof(LineGather)),
      static_cast<int64_t>(sizeof(PlanScratch)), slotRows * 4, lineLen * 2,
      3 * PlanScratch::kBand * outW};
  int64_t planBytes = 0;
  for (int64_t part : sizes) planBytes += (part + 15) & ~int64_t{15};
  const int64_t tableBytes = static_cast<int64_t>(sizeof(AdjustTables)) + (outW + outH) * 8;
  // Checked before any narrowing: on 32-bit hosts size_t would wrap a huge zoom's plan.
  constexpr int64_t kMaxBlock = std::numeric_limits<uint32_t>::max();
  if (planBytes > kMaxBlock || tableBytes > kMaxBlock) return false;
  void* planBlock = BlockAlloc(static_cast<size_t>(planBytes));
  void* tableBlock = planBlock ? BlockAlloc(AdjustTablesBytes(outW, outH)) : nullptr;
  if (!planBlock || !tableBlock) {
    BlockFree(planBlock);
    return false;  // shown at the frame's own size by the direct conversion
  }
  plan = new (planBlock) Plan;
  plan->width = static_cast<int32_t>(outW);
  plan->height = static_cast<int32_t>(outH);
  plan->taps = static_cast<int32_t>(taps);
  plan->method = method;
  plan->kind = kind;
  for (int c = 0; c < 3; ++c) plan->present[c] = lists.present[c];
  auto* cursor = static_cast<uint8_t*>(planBlock);
  size_t part = 0;
  auto take = [&]<class T>(T*) {
    T* at = reinterpret_cast<T*>(cursor);
    cursor += (sizes[part++] + 15) & ~int64_t{15};
    return at;
  };
  take(static_cast<Plan*>(nullptr));
  for (int c = 0; c < 3; ++c) {
    plan->cols[c].offsets = take(static_cast<int64_t*>(nullptr));
    plan->rows[c].offsets = take(static_cast<int64_t*>(nullptr));
  }
  for (int c = 0; c < 3; ++c) {
    plan->cols[c].weights = take(static_cast<int32_t*>(nullptr));
    plan->rows[c].weights = take(static_cast<int32_t*>(nullptr));
  }
  auto* workCols = take(static_cast<int64_t*>(nullptr));
  auto* lineStart = take(static_cast<int32_t*>(nullptr));
  auto* lineWeights = take(static_cast<int16_t*>(nullptr));
  auto* lineBlocks = take(static_cast<LineBlock*>(nullptr));
  auto* lineGathers = take(static_cast<LineGather*>(nullptr));
  auto* pickGathers = take(static_cast<LineGather*>(nullptr));
  plan->scratch = new (take(static_cast<PlanScratch*>(nullptr))) PlanScratch;
  plan->scratch->rows = take(static_cast<int32_t*>(nullptr));
  plan->scratch->line = take(static_cast<int16_t*>(nullptr));
  plan->scratch->samples = take(static_cast<uint8_t*>(nullptr));

  if (!zoom) {
    for (int c = 0; c < 3; ++c) {
      std::copy(l.cols[c].begin(), l.cols[c].end(), plan->cols[c].offsets);
      std::copy(l.rows[c].begin(), l.rows[c].end(), plan->rows[c].offsets);
      std::fill_n(plan->cols[c].weights, outW, 512);
      std::fill_n(plan->rows[c].weights, outH, 512);
    }
  } else {
    const int32_t area =
        static_cast<int32_t>((block.resampling & KZ_RESAMPLE_AREA_MASK) >> KZ_RESAMPLE_AREA_SHIFT);
    // Indices first (in channel 0's arrays), then mapped through each channel's list.
    ComputeTaps(ww, outW, 1 / block.zoom, method, area, plan->cols[0].offsets,
                plan->cols[0].weights);
    ComputeTaps(wh, outH, 1 / (block.zoom * block.aspect), method, area, plan->rows[0].offsets,
                plan->rows[0].weights);
    if (separable) {
      if (LineTaps(ww, outW, taps, plan->cols[0].offsets, plan->cols[0].weights, lineStart,
                   lineWeights)) {
        plan->lineStart = lineStart;
        plan->lineWeights = lineWeights;
        if (blocks > 0) {
          MakeLineBlocks(lineStart, lineWeights, stepAcross, blocks, lineBlocks);
          plan->lineBlocks = lineBlocks;
        }
        plan->workWidth = ww;
        for (int c = 0; c < 3; ++c) {
          std::copy(l.cols[c].begin(), l.cols[c].end(), workCols + c * ww);
          plan->workCols[c] = workCols + c * ww;
          plan->lineGathers[c] = lineGathers + c * (ww / 32);
          MakeGathers(plan->workCols[c], 1, ww, 32, lineGathers + c * (ww / 32));
        }
      }
      plan->narrow = NarrowSums(outW, outH, taps, plan->cols[0].weights, plan->rows[0].weights);
    }
    for (int c = 2; c >= 0; --c) {
      for (int64_t i = 0; i < outW * taps; ++i) {
        plan->cols[c].offsets[i] = l.cols[c][static_cast<size_t>(plan->cols[0].offsets[i])];
      }
      for (int64_t i = 0; i < outH * taps; ++i) {
        plan->rows[c].offsets[i] = l.rows[c][static_cast<size_t>(plan->rows[0].offsets[i])];
      }
      if (c == 0) continue;
      std::copy_n(plan->cols[0].weights, outW * taps, plan->cols[c].weights);
      std::copy_n(plan->rows[0].weights, outH * taps, plan->rows[c].weights);
    }
  }
  if (!separable) {
    for (int c = 0; c < 3; ++c) {
      plan->pickGathers[c] = pickGathers + c * picks;
      MakeGathers(plan->cols[c].offsets, stepAcross, computed, 64, pickGathers + c * picks);
    }
  }

  tables = static_cast<AdjustTables*>(tableBlock);
  adjustFlags = BuildAdjustTables(block, kind, plan->width, plan->height, *tables);
  shownWidth = plan->width;
  shownHeight = plan->height;
  return true;
}

}  // namespace kz

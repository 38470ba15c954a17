// The geometry and resampling plan: which source bytes, with which weights, make each
// output column and row, with crop, quarter turns, mirror, flip, field swap and zoom
// folded into per-channel offset lists once per display block.
#pragma once

#include <kzvideo.h>

#include <cstdint>

#include "image/layout.h"

namespace kz {

// Taps of one direction (columns or rows) of one channel: `taps` source offsets and
// weights (scale 512) per output position, position after position.
struct PlanAxis {
  int64_t* offsets = nullptr;
  int32_t* weights = nullptr;
};

// Working memory of the converter's separable passes, kept with the plan so that a frame
// allocates nothing. Only the one thread that runs the plan touches it.
struct PlanScratch {
  static constexpr int kSlots = 12;     // two rows of taps per channel: no row is made twice
  static constexpr int64_t kPad = 8;    // samples repeated past each end of a line
  static constexpr int64_t kTail = 64;  // and after that, for kernels reading whole windows
  int64_t key[3][kSlots];               // row offset whose column taps a slot holds
  uint64_t stamp[3][kSlots];            // when the slot was last asked for
  int32_t* rows = nullptr;              // 3 x kSlots x width sums of the column taps
  int16_t* line = nullptr;              // one channel of one working row, padded
  static constexpr int kBand = 8;       // output rows sampled channel by channel
  uint8_t* samples = nullptr;           // 3 x kBand x width samples of the output rows
};

// Sixteen computed output columns whose taps (at most four) lie within 64 samples of the
// padded line from `base`: per column four sample places relative to `base` and four
// weights (the unused ones 0), for kernels that permute a window of the line.
struct LineBlock {
  int32_t base;
  int32_t fits;  // 0 when the columns' taps spread wider than the window
  int16_t index[64];
  int16_t weight[64];
};

// Consecutive samples of one channel of a row, for kernels that permute bytes out of a
// window of up to 128 bytes from `base`: 32 samples placed as 16-bit words (sample j is byte
// `base + index[2 j]`, the odd indices unused) or 64 placed as bytes (`base + index[j]`).
// `mask` names the window bytes up to the last one used, so a masked load reads nothing
// outside the frame.
struct LineGather {
  int64_t base;
  uint64_t mask[2];
  int32_t fits;  // 0 when the samples spread over more than 128 bytes
  uint8_t index[64];
};

// Lives at the start of its own block; the arrays follow it in the same block.
struct Plan {
  int32_t width = 0;   // output W
  int32_t height = 0;  // output H
  int32_t taps = 1;    // method + 1 (1 when zooming is off)
  int32_t method = 0;  // 0..5 (0 when zooming is off)
  PixelKind kind = kKindUnknown;
  bool present[3] = {false, false, false};  // channels the frame holds samples of
  PlanAxis cols[3];
  PlanAxis rows[3];
  // Where every output column's taps are consecutive working columns (interpolation,
  // rather than area averaging), the columns are taken from a line of working samples:
  // `lineStart` holds each output column's first tap in the padded line and `lineWeights`
  // its taps as eight 16-bit weights (the unused ones 0). Null otherwise.
  int64_t workWidth = 0;
  const int64_t* workCols[3] = {nullptr, nullptr, nullptr};  // workWidth offsets each
  const int32_t* lineStart = nullptr;
  const int16_t* lineWeights = nullptr;
  const LineBlock* lineBlocks = nullptr;  // with up to four taps: computed columns by 16
  const LineGather* lineGathers[3] = {nullptr, nullptr, nullptr};  // workWidth / 32 each
  // Without taps (no zoom, or method 0), the samples of computed output columns by 64.
  const LineGather* pickGathers[3] = {nullptr, nullptr, nullptr};
  // Row sums of column sums stay within 32 bits for every output pixel.
  bool narrow = false;
  PlanScratch* scratch = nullptr;
};

// Saturating conversions of doubles: NaN gives 0, values out of range the nearest bound.
int64_t SaturateToInt64(double v, int64_t lo, int64_t hi);
// Zoom or aspect as the plan and the coordinate mapping use them: values that are not
// finite or not above 0 count as 1.0.
double UsableScale(double v);

// Writes the normalised crop, zoom and method back into `block` (as the plan is made for
// it) and says whether the block asks for more than a plain conversion. `grey` is true
// for the one-byte grey formats, where white balance and saturation do nothing.
bool NormaliseBlock(KZDISPLAY& block, bool grey);

// Frees a plan and its colour tables (null pointers are fine).
struct AdjustTables;
void FreePlan(Plan*& plan, AdjustTables*& tables);

// Builds the plan for `block` (normalising it first) and its colour tables. Returns false
// when no plan is needed or one cannot be made (unknown format, no memory); then `plan`
// and `tables` are null and the output size is the frame's own size.
// `shownWidth`/`shownHeight` receive the output size in every case.
bool BuildPlan(KZDISPLAY& block, Plan*& plan, AdjustTables*& tables, int32_t& shownWidth,
               int32_t& shownHeight, uint32_t& adjustFlags);

// Taps of one direction as list indices: for output positions 0..outLen-1 over an input
// of length n with step q, method m (m + 1 taps) and area mode `area`. `index` and
// `weight` hold outLen x (m + 1) entries.
void ComputeTaps(int64_t n, int64_t outLen, double q, int32_t m, int32_t area, int64_t* index,
                 int32_t* weight);

}  // namespace kz

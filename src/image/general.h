// The general converter's pieces: the two passes of the separable resampling as kernels
// (the plain code and vectorised sets giving the same integers, one chosen once by what the
// processor offers), the colour stages of one pixel and the fast-zoom fills.
#pragma once

#include <kzvideo.h>

#include <cstdint>
#include <span>

namespace kz {

struct AdjustTables;
struct LineBlock;
struct LineGather;

struct GeneralKernels {
  const char* name;
  // Column taps of output columns x = i n (i < count) from a padded line of samples:
  // out[i] = sum over k < taps of weights[8 x + k] * line[start[x] + k]. `blocks`, when
  // given, holds the same taps in window form.
  void (*across)(const int16_t* line, const int32_t* start, const int16_t* weights,
                 const LineBlock* blocks, int32_t taps, int64_t n, int32_t* out, int64_t count);
  // One channel of a working row as 16-bit samples: out[j] = row[cols[j]] for j < count;
  // `gathers` (count / 32 of them) hold the same columns in byte-permute form.
  void (*line)(const uint8_t* row, const int64_t* cols, const LineGather* gathers, int16_t* out,
               int64_t count);
  // Samples without taps of `band` output rows: out[k][i] = src[rows[k] + cols[i n]] for
  // i < count; `gathers` (count / 64 of them) hold the columns in byte-permute form.
  void (*pick)(const uint8_t* src, const int64_t* rows, int band, const int64_t* cols, int64_t n,
               const LineGather* gathers, uint8_t* const* out, int64_t count);
  // Row taps: out[i] = clamp((sum over b < taps of weights[b] * rows[b][i]) >> 18, 0, 255),
  // for sums known to stay within 32 bits.
  void (*down)(const int32_t* const* rows, const int32_t* weights, int32_t taps, uint8_t* out,
               int64_t count);
};

const GeneralKernels& PlainGeneral();
// The plain kernels, which the vectorised sets fall back on for their tails. The plain
// `pick` goes column by column, so that a band's samples of one column, which lie close
// together when the picture is turned, are read together.
void PlainLine(const uint8_t* row, const int64_t* cols, const LineGather* gathers, int16_t* out,
               int64_t count);
void PlainPick(const uint8_t* src, const int64_t* rows, int band, const int64_t* cols, int64_t n,
               const LineGather* gathers, uint8_t* const* out, int64_t count);
// Every set this processor runs, the plain one first; the last is the one General() uses.
std::span<const GeneralKernels* const> AvailableGeneral();
const GeneralKernels& General();
// general_x86.cpp; null where not built or supported.
const GeneralKernels* Avx2General();
const GeneralKernels* Avx512General();

// Colour stages of one pixel, in the order the converter applies them; `divisor` is the
// radial correction's (1000000 when it is off).
void AdjustYuv(const AdjustTables& t, uint32_t flags, int64_t divisor, int32_t& y, int32_t& u,
               int32_t& v);
int32_t AdjustGrey(const AdjustTables& t, uint32_t flags, int64_t divisor, int32_t y);
void AdjustRgb(const AdjustTables& t, uint32_t flags, int64_t divisor, int32_t r, int32_t g,
               int32_t b, uint8_t* out);

// Fast zoom: one output pixel in `n` across and one row in `m` down is computed; the rest
// are blended from them by FillFastZoom once the computed ones are in place.
void FastZoomSteps(const KZDISPLAY& block, int32_t& n, int32_t& m);
void FillFastZoom(uint8_t* top, int64_t step, int64_t width, int64_t height, int32_t n, int32_t m,
                  bool eightBit);

}  // namespace kz

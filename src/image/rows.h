// Row kernels of the direct YUV conversions to 24-bit B, G, R: the plain per-pixel code,
// which is the reference, and vectorised sets that must give the same bytes. One set is
// chosen once, by what the processor offers, behind Rows().
#pragma once

#include <cstdint>
#include <span>

namespace kz {

// kRowP444 is planar with full-width chroma rows: the general converter's samples.
enum RowKind : int {
  kRowYuy2,
  kRowUyvy,
  kRowY444,
  kRowY411,
  kRowI420,
  kRowYvu9,
  kRowP444,
  kRowKinds
};

// One image row of `w` pixels into `d` (3w bytes). Packed kinds read `s` alone; the planar
// kinds read luma from `s` and the row's chroma from `u`, `v` (never null here: frames
// without chroma planes take the plain path).
using RowFn = void (*)(const uint8_t* s, const uint8_t* u, const uint8_t* v, uint8_t* d,
                       int32_t w);

struct RowKernels {
  const char* name;
  RowFn row[kRowKinds];
};

// The plain code from pixel `from` on (a multiple of the kind's group: 2, 4 or 1 pixels for
// 4:2:2 and the planar kinds by their chroma step, 4 for Y411): the vectorised sets finish
// their rows with it.
void PlainRowFrom(RowKind kind, const uint8_t* s, const uint8_t* u, const uint8_t* v,
                  uint8_t* d, int32_t w, int32_t from);

const RowKernels& PlainRows();
// Every set this processor runs, the plain one first; the last is the one Rows() uses.
std::span<const RowKernels* const> AvailableRows();
const RowKernels& Rows();

// Rows of the RGB formats into 24-bit B, G, R: GV24 (R, G, B triples) and RGB16 (5-5-5
// words). The plain loops are the reference; vectorised ones are chosen once.
using RgbRowFn = void (*)(const uint8_t* s, uint8_t* d, int32_t w);
void PlainGv24Row(const uint8_t* s, uint8_t* d, int32_t w);
void PlainRgb16Row(const uint8_t* s, uint8_t* d, int32_t w);
RgbRowFn Gv24Row();
RgbRowFn Rgb16Row();
// AVX-512 VBMI kernels (rows_x86.cpp); null where not built or not supported.
RgbRowFn Avx512Gv24Row();
RgbRowFn Avx512Rgb16Row();

// The vectorised sets (rows_x86.cpp); null where they are not built or not supported.
const RowKernels* Sse2Rows();
const RowKernels* Avx2Rows();
const RowKernels* Avx512Rows();

}  // namespace kz

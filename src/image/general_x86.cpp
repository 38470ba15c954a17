// Vectorised kernels of the general converter's passes. Across: each output column's taps
// are 16-bit weights against 16-bit samples from its first tap, multiplied and added in
// pairs (exact: samples are bytes, weights 16-bit). Down: 32-bit products of the row
// weights, whose sums the plan has checked stay within 32 bits; the packs are the clamp to
// 0..255. AVX2 sums eight columns by horizontal adds; AVX-512 permutes windows instead.
#include "image/general.h"

#include <algorithm>

#include "image/plan.h"

#if (defined(__x86_64__) || (defined(__i386__) && !defined(_WIN32))) && defined(__GNUC__) && \
    !defined(_WIN32)
#define KZ_X86_GENERAL 1
#include <immintrin.h>
#endif

namespace kz {

#ifdef KZ_X86_GENERAL
namespace {

#define KZ_AVX2 __attribute__((target("avx2")))

KZ_AVX2 inline __m256i Pair(const int16_t* lo, const int16_t* hi) {
  return _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lo))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi)), 1);
}

KZ_AVX2 void Avx2Across(const int16_t* line, const int32_t* start, const int16_t* weights,
                        const LineBlock*, int32_t taps, int64_t n, int32_t* out, int64_t count) {
  int64_t i = 0;
  for (; i + 8 <= count; i += 8) {
    __m256i m[4];
    for (int k = 0; k < 4; ++k) {
      // Lane 0 holds column i + k, lane 1 column i + k + 4.
      const int64_t a = (i + k) * n, b = (i + k + 4) * n;
      m[k] = _mm256_madd_epi16(Pair(line + start[a], line + start[b]),
                               Pair(weights + 8 * a, weights + 8 * b));
    }
    const __m256i sums =
        _mm256_hadd_epi32(_mm256_hadd_epi32(m[0], m[1]), _mm256_hadd_epi32(m[2], m[3]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), sums);
  }
  PlainGeneral().across(line, start + i * n, weights + 8 * i * n, nullptr, taps, n, out + i,
                        count - i);
}

// Runs the row-tap loop made for the tap count, fixed at compile time so that the rows and
// weights stay in registers; it returns how many outputs it made, the plain loop does the rest.
template <template <int32_t> class Loop>
void ByTaps(const int32_t* const* rows, const int32_t* weights, int32_t taps, uint8_t* out,
            int64_t count) {
  int64_t i = 0;
  switch (taps) {
    case 2:
      i = Loop<2>::Run(rows, weights, out, count);
      break;
    case 3:
      i = Loop<3>::Run(rows, weights, out, count);
      break;
    case 4:
      i = Loop<4>::Run(rows, weights, out, count);
      break;
    case 5:
      i = Loop<5>::Run(rows, weights, out, count);
      break;
    default:
      i = Loop<6>::Run(rows, weights, out, count);
      break;
  }
  const int32_t* rest[6];
  for (int32_t b = 0; b < taps; ++b) rest[b] = rows[b] + i;
  PlainGeneral().down(rest, weights, taps, out + i, count - i);
}

template <int32_t kTaps>
struct Avx2DownLoop {
  KZ_AVX2 static __m256i Sum8(const int32_t* const* rows, const __m256i* w, int64_t i) {
    __m256i sum = _mm256_setzero_si256();
#pragma GCC unroll 6
    for (int32_t b = 0; b < kTaps; ++b) {
      const __m256i r = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[b] + i));
      sum = _mm256_add_epi32(sum, _mm256_mullo_epi32(r, w[b]));
    }
    return _mm256_srai_epi32(sum, 18);
  }
  KZ_AVX2 static int64_t Run(const int32_t* const* rows, const int32_t* weights, uint8_t* out,
                             int64_t count) {
    __m256i w[kTaps];
    const int32_t* r[kTaps];
    for (int32_t b = 0; b < kTaps; ++b) w[b] = _mm256_set1_epi32(weights[b]), r[b] = rows[b];
    int64_t i = 0;
    for (; i + 16 <= count; i += 16) {
      // Packs work per 128-bit lane: the permutes put the 16 results back in order.
      const __m256i words =
          _mm256_permute4x64_epi64(_mm256_packs_epi32(Sum8(r, w, i), Sum8(r, w, i + 8)), 0xD8);
      const __m256i bytes = _mm256_packus_epi16(words, words);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                       _mm256_castsi256_si128(_mm256_permute4x64_epi64(bytes, 0x08)));
    }
    return i;
  }
};

void Avx2Down(const int32_t* const* rows, const int32_t* weights, int32_t taps, uint8_t* out,
              int64_t count) {
  ByTaps<Avx2DownLoop>(rows, weights, taps, out, count);
}

const GeneralKernels kAvx2{"avx2", Avx2Across, PlainLine, PlainPick, Avx2Down};

// ---- AVX-512: sixteen columns of up to four taps from one 64-sample window of the line,
// placed by two word permutes, multiplied and added in pairs, the pairs added by dword
// permutes.

#define KZ_AVX512 __attribute__((target("avx512bw,avx512vl,avx512vbmi")))

struct Halves {
  alignas(64) int32_t even[16];
  alignas(64) int32_t odd[16];
};
constexpr Halves MakeHalves() {
  Halves h{};
  for (int j = 0; j < 16; ++j) {
    h.even[j] = j < 8 ? 2 * j : 16 + 2 * (j - 8);
    h.odd[j] = h.even[j] + 1;
  }
  return h;
}
constexpr Halves kHalves = MakeHalves();

KZ_AVX512 void Avx512Across(const int16_t* line, const int32_t* start, const int16_t* weights,
                            const LineBlock* blocks, int32_t taps, int64_t n, int32_t* out,
                            int64_t count) {
  if (!blocks) return Avx2Across(line, start, weights, blocks, taps, n, out, count);
  const __m512i even = _mm512_load_si512(kHalves.even), odd = _mm512_load_si512(kHalves.odd);
  int64_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const LineBlock& k = blocks[i / 16];
    if (!k.fits) {
      Avx2Across(line, start + i * n, weights + 8 * i * n, nullptr, taps, n, out + i, 16);
      continue;
    }
    const __m512i lo = _mm512_loadu_si512(line + k.base);
    const __m512i hi = _mm512_loadu_si512(line + k.base + 32);
    const __m512i m0 =
        _mm512_madd_epi16(_mm512_permutex2var_epi16(lo, _mm512_loadu_si512(k.index), hi),
                          _mm512_loadu_si512(k.weight));
    const __m512i m1 =
        _mm512_madd_epi16(_mm512_permutex2var_epi16(lo, _mm512_loadu_si512(k.index + 32), hi),
                          _mm512_loadu_si512(k.weight + 32));
    _mm512_storeu_si512(out + i, _mm512_add_epi32(_mm512_permutex2var_epi32(m0, even, m1),
                                                  _mm512_permutex2var_epi32(m0, odd, m1)));
  }
  if (i < count) {
    Avx2Across(line, start + i * n, weights + 8 * i * n, nullptr, taps, n, out + i, count - i);
  }
}

constexpr __mmask16 kAll = 0xFFFF;  // the masked forms: GCC 12 warns on the others

template <int32_t kTaps>
struct Avx512DownLoop {
  KZ_AVX512 static int64_t Run(const int32_t* const* rows, const int32_t* weights, uint8_t* out,
                               int64_t count) {
    __m512i w[kTaps];
    const int32_t* r[kTaps];
    for (int32_t b = 0; b < kTaps; ++b) w[b] = _mm512_set1_epi32(weights[b]), r[b] = rows[b];
    const __m512i zero = _mm512_setzero_si512(), top = _mm512_set1_epi32(255);
    int64_t i = 0;
    for (; i + 16 <= count; i += 16) {
      __m512i sum = _mm512_setzero_si512();
#pragma GCC unroll 6
      for (int32_t b = 0; b < kTaps; ++b) {
        sum = _mm512_add_epi32(sum, _mm512_mullo_epi32(_mm512_loadu_si512(r[b] + i), w[b]));
      }
      const __m512i v = _mm512_maskz_min_epi32(
          kAll, _mm512_maskz_max_epi32(kAll, _mm512_maskz_srai_epi32(kAll, sum, 18), zero), top);
      _mm512_mask_cvtepi32_storeu_epi8(out + i, kAll, v);
    }
    return i;
  }
};

void Avx512Down(const int32_t* const* rows, const int32_t* weights, int32_t taps, uint8_t* out,
                int64_t count) {
  ByTaps<Avx512DownLoop>(rows, weights, taps, out, count);
}

// Thirty-two samples a step: the window's bytes (masked to those used) permuted into place.
KZ_AVX512 void Avx512Line(const uint8_t* row, const int64_t* cols, const LineGather* gathers,
                          int16_t* out, int64_t count) {
  for (int64_t g = 0; g < count / 32; ++g) {
    const LineGather& k = gathers[g];
    if (!k.fits) {
      PlainLine(row, cols + 32 * g, nullptr, out + 32 * g, 32);
      continue;
    }
    const uint8_t* p = row + k.base;
    const __m512i lo = _mm512_maskz_loadu_epi8(k.mask[0], p);
    const __m512i hi = _mm512_maskz_loadu_epi8(k.mask[1], p + 64);
    // Odd bytes zeroed: each sample lands as a 16-bit word.
    const __m512i words =
        _mm512_maskz_permutex2var_epi8(0x5555555555555555u, lo, _mm512_loadu_si512(k.index), hi);
    _mm512_storeu_si512(out + 32 * g, words);
  }
  const int64_t done = count / 32 * 32;
  PlainLine(row, cols + done, nullptr, out + done, count - done);
}

// A turned picture: the band's samples of a column lie within 32 bytes. Eight columns a
// step: each column's samples permuted out of its window (masked to the bytes used), the
// 8 x 8 bytes transposed into the band's rows.
KZ_AVX512 void PickColumns(const uint8_t* src, const int64_t* rows, int band, int64_t lo,
                           int64_t span, const int64_t* cols, int64_t n, uint8_t* const* out,
                           int64_t count) {
  alignas(32) uint8_t order[32] = {};
  for (int k = 0; k < band; ++k) order[k] = static_cast<uint8_t>(rows[k] - lo);
  const __m256i index = _mm256_load_si256(reinterpret_cast<const __m256i*>(order));
  const __mmask32 mask = span >= 32 ? ~__mmask32{0} : (__mmask32{1} << span) - 1;
  int64_t i = 0;
  for (; i + 8 <= count; i += 8) {
    __m128i q[8];
    for (int j = 0; j < 8; ++j) {
      const __m256i window = _mm256_maskz_loadu_epi8(mask, src + cols[(i + j) * n] + lo);
      q[j] = _mm256_castsi256_si128(_mm256_maskz_permutexvar_epi8(~__mmask32{0}, index, window));
    }
    __m128i a[4], b[4];
    for (int j = 0; j < 4; ++j) a[j] = _mm_unpacklo_epi8(q[2 * j], q[2 * j + 1]);
    b[0] = _mm_unpacklo_epi16(a[0], a[1]), b[1] = _mm_unpackhi_epi16(a[0], a[1]);
    b[2] = _mm_unpacklo_epi16(a[2], a[3]), b[3] = _mm_unpackhi_epi16(a[2], a[3]);
    const __m128i c[4] = {_mm_unpacklo_epi32(b[0], b[2]), _mm_unpackhi_epi32(b[0], b[2]),
                          _mm_unpacklo_epi32(b[1], b[3]), _mm_unpackhi_epi32(b[1], b[3])};
    // c[j] holds band rows 2j and 2j + 1, eight columns each.
    for (int k = 0; k < band; ++k) {
      const __m128i half = k % 2 ? _mm_unpackhi_epi64(c[k / 2], c[k / 2]) : c[k / 2];
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out[k] + i), half);
    }
  }
  for (; i < count; ++i) {
    const uint8_t* at = src + cols[i * n];
    for (int k = 0; k < band; ++k) out[k][i] = at[rows[k]];
  }
}

// Row by row, sixty-four samples a step permuted as bytes, where a row's columns lie close
// together; otherwise (a turned picture) column by column.
KZ_AVX512 void Avx512Pick(const uint8_t* src, const int64_t* rows, int band, const int64_t* cols,
                          int64_t n, const LineGather* gathers, uint8_t* const* out,
                          int64_t count) {
  if (count < 64 || !gathers[0].fits) {
    int64_t lo = rows[0], hi = rows[0];
    for (int k = 1; k < band; ++k) lo = std::min(lo, rows[k]), hi = std::max(hi, rows[k]);
    if (hi - lo < 32) return PickColumns(src, rows, band, lo, hi - lo + 1, cols, n, out, count);
    return PlainPick(src, rows, band, cols, n, gathers, out, count);
  }
  const int64_t done = count / 64 * 64;
  for (int r = 0; r < band; ++r) {
    const uint8_t* row = src + rows[r];
    for (int64_t g = 0; g < count / 64; ++g) {
      const LineGather& k = gathers[g];
      if (!k.fits) {
        for (int64_t i = 64 * g; i < 64 * g + 64; ++i) out[r][i] = row[cols[i * n]];
        continue;
      }
      const uint8_t* p = row + k.base;
      const __m512i lo = _mm512_maskz_loadu_epi8(k.mask[0], p);
      const __m512i hi = _mm512_maskz_loadu_epi8(k.mask[1], p + 64);
      _mm512_storeu_si512(out[r] + 64 * g,
                          _mm512_permutex2var_epi8(lo, _mm512_loadu_si512(k.index), hi));
    }
    for (int64_t i = done; i < count; ++i) out[r][i] = row[cols[i * n]];
  }
}

const GeneralKernels kAvx512{"avx512vbmi", Avx512Across, Avx512Line, Avx512Pick, Avx512Down};

}  // namespace

const GeneralKernels* Avx2General() {
  return __builtin_cpu_supports("avx2") ? &kAvx2 : nullptr;
}
const GeneralKernels* Avx512General() {
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512bw") &&
                 __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi")
             ? &kAvx512
             : nullptr;
}

#else

const GeneralKernels* Avx2General() {
  return nullptr;
}
const GeneralKernels* Avx512General() {
  return nullptr;
}

#endif

}  // namespace kz

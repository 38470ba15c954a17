// 24-bit DIB rows into surface words: the copy every live frame goes through, so it runs
// with byte shuffles where the processor has them. Every kernel gives the plain one's words.
#include "dib_rows.h"

#include <kzwin_test.h>

#include <atomic>
#include <bit>
#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define KZWIN_X86_ROWS 1
#include <immintrin.h>
#endif

namespace kzwin {
namespace {

// Four pixels from three little-endian words, then one pixel at a time.
void PlainBgr(const uint8_t* p, uint32_t* out, int64_t n) {
  int64_t i = 0;
  for (; i + 4 <= n; i += 4, p += 12) {
    uint32_t w[3];
    std::memcpy(w, p, 12);
    if constexpr (std::endian::native == std::endian::big) {
      for (uint32_t& x : w) x = __builtin_bswap32(x);
    }
    out[i] = w[0] & 0xFFFFFF;
    out[i + 1] = (w[0] >> 24) | ((w[1] & 0xFFFF) << 8);
    out[i + 2] = (w[1] >> 16) | ((w[2] & 0xFF) << 16);
    out[i + 3] = w[2] >> 8;
  }
  for (; i < n; ++i, p += 3) out[i] = (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

#ifdef KZWIN_X86_ROWS
// Byte j of a 16-byte group of four words: byte 3(j/4) + j%4 of the triples, 0 for j%4 = 3.
__attribute__((target("ssse3"))) void Ssse3Bgr(const uint8_t* p, uint32_t* out, int64_t n) {
  const __m128i pick = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  int64_t i = 0;
  // A 16-byte load takes 12 bytes; the loops stop while 4 more lie inside the row.
  for (; i + 18 <= n; i += 16, p += 48) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 24));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 36));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_shuffle_epi8(a, pick));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 4), _mm_shuffle_epi8(b, pick));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_shuffle_epi8(c, pick));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 12), _mm_shuffle_epi8(d, pick));
  }
  for (; i + 6 <= n; i += 4, p += 12) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_shuffle_epi8(a, pick));
  }
  PlainBgr(p, out + i, n - i);
}

// Sixteen pixels from 48 bytes with one byte permutation; masked loads and stores take the
// tail, so nothing outside the row is touched.
__attribute__((target("avx512bw,avx512vbmi"))) void Avx512Bgr(const uint8_t* p, uint32_t* out,
                                                              int64_t n) {
  alignas(64) uint8_t index[64];
  for (int j = 0; j < 64; ++j)
    index[j] = static_cast<uint8_t>(3 * (j / 4) + (j % 4 == 3 ? 0 : j % 4));
  const __m512i pick = _mm512_load_si512(index);
  const __mmask64 colour = 0x7777777777777777ULL;  // byte 3 of every word is 0
  int64_t i = 0;
  for (; i + 16 <= n; i += 16, p += 48) {
    const __m512i v = _mm512_maskz_loadu_epi8(0xFFFFFFFFFFFFULL, p);
    _mm512_storeu_si512(out + i, _mm512_maskz_permutexvar_epi8(colour, pick, v));
  }
  if (i < n) {
    const int64_t left = n - i;  // 1 .. 15
    const __mmask64 bytes = (__mmask64{1} << (3 * left)) - 1;
    const __m512i v = _mm512_maskz_loadu_epi8(bytes, p);
    _mm512_mask_storeu_epi32(out + i, static_cast<__mmask16>((1U << left) - 1),
                             _mm512_maskz_permutexvar_epi8(colour, pick, v));
  }
}

bool HasSsse3() {
  return __builtin_cpu_supports("ssse3");
}
bool HasAvx512() {
  return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi");
}
#endif

// Level 0 plain, 1 SSSE3, 2 AVX-512 VBMI; null when this processor lacks it.
BgrRowFn KernelOfLevel(LONG level) {
  switch (level) {
    case 0:
      return PlainBgr;
#ifdef KZWIN_X86_ROWS
    case 1:
      return HasSsse3() ? Ssse3Bgr : nullptr;
    case 2:
      return HasAvx512() ? Avx512Bgr : nullptr;
#endif
    default:
      return nullptr;
  }
}

BgrRowFn Fastest() {
  for (LONG level = 2; level > 0; --level) {
    if (BgrRowFn f = KernelOfLevel(level)) return f;
  }
  return PlainBgr;
}

std::atomic<BgrRowFn>& Chosen() {
  static std::atomic<BgrRowFn> chosen{Fastest()};
  return chosen;
}

}  // namespace

BgrRowFn BgrRow() {
  return Chosen().load(std::memory_order_relaxed);
}

}  // namespace kzwin

extern "C" BOOL kzwinUseDibRows(LONG level) {
  const kzwin::BgrRowFn f = level < 0 ? kzwin::Fastest() : kzwin::KernelOfLevel(level);
  if (!f) return FALSE;
  kzwin::Chosen().store(f, std::memory_order_relaxed);
  return TRUE;
}

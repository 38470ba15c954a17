// Vectorised row kernels for x86 (SSE2 and AVX2), compiled per function for their
// instruction set and picked at run time. Both work in 16-bit lanes on a form of the
// chroma tables that is exact for every input, with c = U - 128 and d = V - 128:
//   B = Y + c + ((198c + 128) >> 8)             (454c + 128 = 256c + 198c + 128)
//   G = Y - d - ((88c - 73d + 128) >> 8)        (88c + 183d + 128 = 256d + 88c - 73d + 128)
//   R = Y + d + ((103d + 128) >> 8)             (359d + 128 = 256d + 103d + 128)
// Every product and sum stays within 16 bits, and the saturating pack is the clamp.
#include "image/rows.h"

#if (defined(__x86_64__) || (defined(__i386__) && !defined(_WIN32))) && defined(__GNUC__)
#define KZ_X86_ROWS 1
#include <immintrin.h>

#include <array>
#include <cstring>
#endif

namespace kz {

#ifdef KZ_X86_ROWS
namespace {

using Row = uint8_t*;
using CRow = const uint8_t*;
using Mask = std::array<uint8_t, 32>;
constexpr uint8_t kZero = 0x80;  // a shuffle index that gives 0

// Shuffle masks picking, per 16-byte lane, the byte `at(lane, j)` into word j.
template <class F>
constexpr Mask Words(F at) {
  Mask m{};
  for (int lane = 0; lane < 2; ++lane) {
    for (int j = 0; j < 8; ++j) {
      m[16 * lane + 2 * j] = static_cast<uint8_t>(at(lane, j));
      m[16 * lane + 2 * j + 1] = kZero;
    }
  }
  return m;
}

// Byte j of the 16-byte part k of 16 B, G, R triples comes from channel `ch` of pixel
// (16k + j) / 3.
constexpr std::array<Mask, 3> Interleave(int ch) {
  std::array<Mask, 3> m{};
  for (int k = 0; k < 3; ++k) {
    for (int j = 0; j < 32; ++j) {
      const int o = 16 * k + j % 16;
      m[k][j] = static_cast<uint8_t>(o % 3 == ch ? o / 3 : kZero);
    }
  }
  return m;
}

constexpr std::array<Mask, 3> kToB = Interleave(0), kToG = Interleave(1), kToR = Interleave(2);

// Packed 4:2:2 groups of 8 pixels in a lane: luma at 4(j/2) + 2(j%2) + offset, U and V per pair.
template <int kU, int kV>
constexpr std::array<Mask, 2> kChroma422{Words([](int, int j) { return 4 * (j / 2) + kU; }),
                                         Words([](int, int j) { return 4 * (j / 2) + kV; })};
// Y444 (U Y V): channel ch of the 8 pixels of a lane from two loads 8 bytes apart.
constexpr Mask Y444Part(int ch, bool second) {
  return Words([=](int, int j) {
    const int o = 3 * j + ch;
    return second ? (o >= 16 ? o - 8 : kZero) : (o < 16 ? o : kZero);
  });
}
constexpr Mask kY444[3][2] = {{Y444Part(0, false), Y444Part(0, true)},
                              {Y444Part(1, false), Y444Part(1, true)},
                              {Y444Part(2, false), Y444Part(2, true)}};
// Y411 (U Y0 Y1 V Y2 Y3): 8 pixels of a lane from 12 bytes.
constexpr Mask kY411[3] = {Words([](int, int j) { return 6 * (j / 4); }),
                           Words([](int, int j) {
                             constexpr int kLuma[4] = {1, 2, 4, 5};
                             return 6 * (j / 4) + kLuma[j % 4];
                           }),
                           Words([](int, int j) { return 6 * (j / 4) + 3; })};
// Planar chroma: half h of 32 pixels holds pixels 16 lane + 8h + j, each taking sample
// pixel / k of the chroma bytes loaded into both lanes.
template <int kK>
constexpr Mask kPlanar[2] = {Words([](int lane, int j) { return (16 * lane + j) / kK; }),
                             Words([](int lane, int j) { return (16 * lane + 8 + j) / kK; })};

#define KZ_SSE2 __attribute__((target("sse2")))
#define KZ_AVX2 __attribute__((target("avx2")))
#define KZ_INLINE inline __attribute__((always_inline))

// ---- SSE2: 16 pixels a step, as halves of 8 pixels in 16-bit lanes.

KZ_SSE2 KZ_INLINE __m128i Offset(__m128i t) {
  return _mm_srai_epi16(_mm_add_epi16(t, _mm_set1_epi16(128)), 8);
}

KZ_SSE2 KZ_INLINE void Bgr(__m128i y, __m128i u, __m128i v, __m128i* bgr) {
  const __m128i c = _mm_sub_epi16(u, _mm_set1_epi16(128));
  const __m128i d = _mm_sub_epi16(v, _mm_set1_epi16(128));
  const __m128i b = Offset(_mm_mullo_epi16(c, _mm_set1_epi16(198)));
  const __m128i g = Offset(_mm_sub_epi16(_mm_mullo_epi16(c, _mm_set1_epi16(88)),
                                         _mm_mullo_epi16(d, _mm_set1_epi16(73))));
  const __m128i r = Offset(_mm_mullo_epi16(d, _mm_set1_epi16(103)));
  bgr[0] = _mm_add_epi16(_mm_add_epi16(y, c), b);
  bgr[1] = _mm_sub_epi16(_mm_sub_epi16(y, d), g);
  bgr[2] = _mm_add_epi16(_mm_add_epi16(y, d), r);
}

// Four pixels B G R 0 into 12 bytes (the last four 0): within each 64-bit half the second
// pixel moves down one byte, then the upper half moves down two.
KZ_SSE2 KZ_INLINE __m128i Squeeze(__m128i q) {
  const __m128i first = _mm_set_epi32(0, 0x00FFFFFF, 0, 0x00FFFFFF);
  const __m128i second = _mm_set_epi32(0xFFFF, static_cast<int>(0xFF000000u), 0xFFFF,
                                       static_cast<int>(0xFF000000u));
  const __m128i t = _mm_or_si128(_mm_and_si128(q, first),
                                 _mm_and_si128(_mm_srli_epi64(q, 8), second));
  return _mm_or_si128(_mm_move_epi64(t),
                      _mm_slli_si128(_mm_unpackhi_epi64(t, _mm_setzero_si128()), 6));
}

KZ_SSE2 KZ_INLINE void Store24(uint8_t* d, __m128i b, __m128i g, __m128i r) {
  const __m128i z = _mm_setzero_si128();
  const __m128i bgLo = _mm_unpacklo_epi8(b, g), bgHi = _mm_unpackhi_epi8(b, g);
  const __m128i rLo = _mm_unpacklo_epi8(r, z), rHi = _mm_unpackhi_epi8(r, z);
  const __m128i p0 = Squeeze(_mm_unpacklo_epi16(bgLo, rLo));
  const __m128i p1 = Squeeze(_mm_unpackhi_epi16(bgLo, rLo));
  const __m128i p2 = Squeeze(_mm_unpacklo_epi16(bgHi, rHi));
  const __m128i p3 = Squeeze(_mm_unpackhi_epi16(bgHi, rHi));
  auto* o = reinterpret_cast<__m128i*>(d);
  _mm_storeu_si128(o, _mm_or_si128(p0, _mm_slli_si128(p1, 12)));
  _mm_storeu_si128(o + 1, _mm_or_si128(_mm_srli_si128(p1, 4), _mm_slli_si128(p2, 8)));
  _mm_storeu_si128(o + 2, _mm_or_si128(_mm_srli_si128(p2, 8), _mm_slli_si128(p3, 4)));
}

template <RowKind kKind>
KZ_SSE2 void Sse2Row(CRow s, CRow us, CRow vs, Row d, int32_t w) {
  const int32_t n = w & ~15;
  const __m128i z = _mm_setzero_si128();
  for (int32_t x = 0; x < n; x += 16) {
    __m128i y[2], u[2], v[2];
    if constexpr (kKind == kRowYuy2 || kKind == kRowUyvy) {
      for (int h = 0; h < 2; ++h) {
        const __m128i q = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 2 * x + 16 * h));
        const __m128i even = _mm_and_si128(q, _mm_set1_epi16(0xFF)), odd = _mm_srli_epi16(q, 8);
        y[h] = kKind == kRowYuy2 ? even : odd;
        const __m128i uv = kKind == kRowYuy2 ? odd : even;  // words U V U V ...
        const __m128i uu = _mm_and_si128(uv, _mm_set1_epi32(0xFFFF)), vv = _mm_srli_epi32(uv, 16);
        u[h] = _mm_or_si128(uu, _mm_slli_epi32(uu, 16));
        v[h] = _mm_or_si128(vv, _mm_slli_epi32(vv, 16));
      }
    } else {
      const __m128i q = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + x));
      y[0] = _mm_unpacklo_epi8(q, z), y[1] = _mm_unpackhi_epi8(q, z);
      __m128i c[2];
      for (int p = 0; p < 2; ++p) {
        CRow plane = p == 0 ? us : vs;
        if constexpr (kKind == kRowP444) {
          c[p] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(plane + x));
        } else {
          __m128i t;
          if constexpr (kKind == kRowI420) {
            t = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(plane + x / 2));
          } else {
            int32_t four;
            std::memcpy(&four, plane + x / 4, 4);
            t = _mm_cvtsi32_si128(four);
            t = _mm_unpacklo_epi8(t, t);
          }
          c[p] = _mm_unpacklo_epi8(t, t);
        }
      }
      u[0] = _mm_unpacklo_epi8(c[0], z), u[1] = _mm_unpackhi_epi8(c[0], z);
      v[0] = _mm_unpacklo_epi8(c[1], z), v[1] = _mm_unpackhi_epi8(c[1], z);
    }
    __m128i lo[3], hi[3];
    Bgr(y[0], u[0], v[0], lo);
    Bgr(y[1], u[1], v[1], hi);
    Store24(d + 3 * x, _mm_packus_epi16(lo[0], hi[0]), _mm_packus_epi16(lo[1], hi[1]),
            _mm_packus_epi16(lo[2], hi[2]));
  }
  PlainRowFrom(kKind, s, us, vs, d, w, n);
}

template <RowKind kKind>
void PlainRow(CRow s, CRow u, CRow v, Row d, int32_t w) {
  PlainRowFrom(kKind, s, u, v, d, w, 0);
}

const RowKernels kSse2{"sse2",
                       {Sse2Row<kRowYuy2>, Sse2Row<kRowUyvy>, PlainRow<kRowY444>,
                        PlainRow<kRowY411>, Sse2Row<kRowI420>, Sse2Row<kRowYvu9>,
                        Sse2Row<kRowP444>}};

// ---- AVX2: 32 pixels a step. 128-bit lanes work apart, so half 0 holds pixels 0-7 and
// 16-23, half 1 pixels 8-15 and 24-31; the packs then give pixels 0-15 and 16-31 by lane.

KZ_AVX2 KZ_INLINE __m256i Load(const uint8_t* lo, const uint8_t* hi) {
  return _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lo))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi)), 1);
}
KZ_AVX2 KZ_INLINE __m256i Shuffle(__m256i v, const Mask& m) {
  return _mm256_shuffle_epi8(v, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(m.data())));
}
KZ_AVX2 KZ_INLINE __m256i Offset(__m256i t) {
  return _mm256_srai_epi16(_mm256_add_epi16(t, _mm256_set1_epi16(128)), 8);
}

KZ_AVX2 KZ_INLINE void Bgr(__m256i y, __m256i u, __m256i v, __m256i* bgr) {
  const __m256i c = _mm256_sub_epi16(u, _mm256_set1_epi16(128));
  const __m256i d = _mm256_sub_epi16(v, _mm256_set1_epi16(128));
  const __m256i b = Offset(_mm256_mullo_epi16(c, _mm256_set1_epi16(198)));
  const __m256i g = Offset(_mm256_sub_epi16(_mm256_mullo_epi16(c, _mm256_set1_epi16(88)),
                                            _mm256_mullo_epi16(d, _mm256_set1_epi16(73))));
  const __m256i r = Offset(_mm256_mullo_epi16(d, _mm256_set1_epi16(103)));
  bgr[0] = _mm256_add_epi16(_mm256_add_epi16(y, c), b);
  bgr[1] = _mm256_sub_epi16(_mm256_sub_epi16(y, d), g);
  bgr[2] = _mm256_add_epi16(_mm256_add_epi16(y, d), r);
}

KZ_AVX2 KZ_INLINE __m256i Part(__m256i b, __m256i g, __m256i r, int k) {
  return _mm256_or_si256(_mm256_or_si256(Shuffle(b, kToB[k]), Shuffle(g, kToG[k])),
                         Shuffle(r, kToR[k]));
}

KZ_AVX2 KZ_INLINE void Store24(uint8_t* d, __m256i b, __m256i g, __m256i r) {
  const __m256i o0 = Part(b, g, r, 0), o1 = Part(b, g, r, 1), o2 = Part(b, g, r, 2);
  auto* out = reinterpret_cast<__m256i*>(d);
  _mm256_storeu_si256(out, _mm256_permute2x128_si256(o0, o1, 0x20));
  _mm256_storeu_si256(out + 1, _mm256_permute2x128_si256(o2, o0, 0x30));
  _mm256_storeu_si256(out + 2, _mm256_permute2x128_si256(o1, o2, 0x31));
}

template <RowKind kKind>
KZ_AVX2 void Avx2Row(CRow s, CRow us, CRow vs, Row d, int32_t w) {
  // Y411 loads 16 bytes for 12: a step may start only where those stay inside the row.
  const int64_t rowBytes = 6 * int64_t{w} / 4;
  int32_t x = 0;
  for (; x + 32 <= w && (kKind != kRowY411 || 3 * int64_t{x} / 2 + 52 <= rowBytes); x += 32) {
    __m256i y[2], u[2], v[2];
    for (int h = 0; h < 2; ++h) {
      if constexpr (kKind == kRowYuy2 || kKind == kRowUyvy) {
        const __m256i q = Load(s + 2 * x + 16 * h, s + 2 * x + 32 + 16 * h);
        const __m256i even = _mm256_and_si256(q, _mm256_set1_epi16(0xFF));
        y[h] = kKind == kRowYuy2 ? even : _mm256_srli_epi16(q, 8);
        const auto& m = kKind == kRowYuy2 ? kChroma422<1, 3> : kChroma422<0, 2>;
        u[h] = Shuffle(q, m[0]);
        v[h] = Shuffle(q, m[1]);
      } else if constexpr (kKind == kRowY444) {
        CRow p = s + 3 * x + 24 * h;
        const __m256i q0 = Load(p, p + 48), q1 = Load(p + 8, p + 56);
        __m256i* out[3] = {&u[h], &y[h], &v[h]};
        for (int ch = 0; ch < 3; ++ch) {
          *out[ch] = _mm256_or_si256(Shuffle(q0, kY444[ch][0]), Shuffle(q1, kY444[ch][1]));
        }
      } else if constexpr (kKind == kRowY411) {
        CRow p = s + 3 * x / 2 + 12 * h;
        const __m256i q = Load(p, p + 24);
        u[h] = Shuffle(q, kY411[0]);
        y[h] = Shuffle(q, kY411[1]);
        v[h] = Shuffle(q, kY411[2]);
      } else {
        const __m256i z = _mm256_setzero_si256();
        const __m256i q = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + x));
        y[h] = h == 0 ? _mm256_unpacklo_epi8(q, z) : _mm256_unpackhi_epi8(q, z);
        if constexpr (kKind == kRowP444) {
          const __m256i qu = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(us + x));
          const __m256i qv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(vs + x));
          u[h] = h == 0 ? _mm256_unpacklo_epi8(qu, z) : _mm256_unpackhi_epi8(qu, z);
          v[h] = h == 0 ? _mm256_unpacklo_epi8(qv, z) : _mm256_unpackhi_epi8(qv, z);
          continue;
        }
        constexpr int kK = kKind == kRowI420 ? 2 : 4;
        __m128i cu, cv;
        if constexpr (kK == 2) {
          cu = _mm_loadu_si128(reinterpret_cast<const __m128i*>(us + x / 2));
          cv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(vs + x / 2));
        } else {
          cu = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(us + x / 4));
          cv = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(vs + x / 4));
        }
        u[h] = Shuffle(_mm256_broadcastsi128_si256(cu), kPlanar<kK>[h]);
        v[h] = Shuffle(_mm256_broadcastsi128_si256(cv), kPlanar<kK>[h]);
      }
    }
    __m256i lo[3], hi[3];
    Bgr(y[0], u[0], v[0], lo);
    Bgr(y[1], u[1], v[1], hi);
    Store24(d + 3 * x, _mm256_packus_epi16(lo[0], hi[0]), _mm256_packus_epi16(lo[1], hi[1]),
            _mm256_packus_epi16(lo[2], hi[2]));
  }
  PlainRowFrom(kKind, s, us, vs, d, w, x);
}

const RowKernels kAvx2{"avx2",
                       {Avx2Row<kRowYuy2>, Avx2Row<kRowUyvy>, Avx2Row<kRowY444>,
                        Avx2Row<kRowY411>, Avx2Row<kRowI420>, Avx2Row<kRowYvu9>,
                        Avx2Row<kRowP444>}};

// ---- AVX-512 with byte permutes (VBMI): 64 pixels a step, halves of 32 pixels in order.
// Any byte of a register (or of two) can go anywhere, so loads gather samples into words
// directly and the packed B, G, R bytes go into triples with two permutes per 64 bytes.

#define KZ_AVX512 __attribute__((target("avx512bw,avx512vbmi")))

using Index = std::array<uint8_t, 64>;
constexpr uint64_t kEvenBytes = 0x5555555555555555u;

// Word i of a half takes byte at(i); the odd bytes are masked to 0.
template <class F>
constexpr Index Gather(F at) {
  Index m{};
  for (int i = 0; i < 32; ++i) m[2 * i] = static_cast<uint8_t>(at(i));
  return m;
}

template <int kU, int kV>
constexpr Index kGather422[2] = {Gather([](int i) { return 4 * (i / 2) + kU; }),
                                 Gather([](int i) { return 4 * (i / 2) + kV; })};
constexpr Index kGather444[3] = {Gather([](int i) { return 3 * i; }),
                                 Gather([](int i) { return 3 * i + 1; }),
                                 Gather([](int i) { return 3 * i + 2; })};
constexpr Index kGather411[3] = {Gather([](int i) { return 6 * (i / 4); }),
                                 Gather([](int i) {
                                   constexpr int kLuma[4] = {1, 2, 4, 5};
                                   return 6 * (i / 4) + kLuma[i % 4];
                                 }),
                                 Gather([](int i) { return 6 * (i / 4) + 3; })};
template <int kK>
constexpr Index kGatherPlanar[2] = {Gather([](int i) { return i / kK; }),
                                    Gather([](int i) { return (32 + i) / kK; })};

// Where the pack puts pixel p: lane i / 8 of 16 bytes, after 8 bytes of the first half.
constexpr int Packed(int p) {
  const int i = p % 32;
  return 16 * (i / 8) + 8 * (p / 32) + i % 8;
}
// Output part k (64 bytes of 192): B and G bytes from two registers, then R where `red`.
struct Triples {
  Index bg[3], r[3];
  uint64_t red[3];
};
constexpr Triples MakeTriples() {
  Triples t{};
  for (int k = 0; k < 3; ++k) {
    for (int j = 0; j < 64; ++j) {
      const int o = 64 * k + j, at = Packed(o / 3);
      if (o % 3 == 2) {
        t.r[k][j] = static_cast<uint8_t>(at);
        t.red[k] |= uint64_t{1} << j;
      } else {
        t.bg[k][j] = static_cast<uint8_t>(at + (o % 3 == 1 ? 64 : 0));
      }
    }
  }
  return t;
}
constexpr Triples kTriples = MakeTriples();

KZ_AVX512 KZ_INLINE __m512i Idx(const Index& m) {
  return _mm512_loadu_si512(m.data());
}
KZ_AVX512 KZ_INLINE __m512i Words(__m512i q, const Index& m) {
  return _mm512_maskz_permutexvar_epi8(kEvenBytes, Idx(m), q);
}

KZ_AVX512 KZ_INLINE void Bgr(__m512i y, __m512i u, __m512i v, __m512i* bgr) {
  const __m512i k128 = _mm512_set1_epi16(128);
  const __m512i c = _mm512_sub_epi16(u, k128), d = _mm512_sub_epi16(v, k128);
  auto offset = [&](__m512i x) KZ_AVX512 { return _mm512_srai_epi16(_mm512_add_epi16(x, k128), 8); };
  const __m512i b = offset(_mm512_mullo_epi16(c, _mm512_set1_epi16(198)));
  const __m512i g = offset(_mm512_sub_epi16(_mm512_mullo_epi16(c, _mm512_set1_epi16(88)),
                                            _mm512_mullo_epi16(d, _mm512_set1_epi16(73))));
  const __m512i r = offset(_mm512_mullo_epi16(d, _mm512_set1_epi16(103)));
  bgr[0] = _mm512_add_epi16(_mm512_add_epi16(y, c), b);
  bgr[1] = _mm512_sub_epi16(_mm512_sub_epi16(y, d), g);
  bgr[2] = _mm512_add_epi16(_mm512_add_epi16(y, d), r);
}

template <RowKind kKind>
KZ_AVX512 void Avx512Row(CRow s, CRow us, CRow vs, Row d, int32_t w) {
  int32_t x = 0;
  for (; x + 64 <= w; x += 64) {
    __m512i y[2], u[2], v[2];
    for (int h = 0; h < 2; ++h) {
      if constexpr (kKind == kRowYuy2 || kKind == kRowUyvy) {
        const __m512i q = _mm512_loadu_si512(s + 2 * x + 64 * h);
        y[h] = kKind == kRowYuy2 ? _mm512_and_si512(q, _mm512_set1_epi16(0xFF))
                                 : _mm512_srli_epi16(q, 8);
        const auto& m = kKind == kRowYuy2 ? kGather422<1, 3> : kGather422<0, 2>;
        u[h] = Words(q, m[0]);
        v[h] = Words(q, m[1]);
      } else if constexpr (kKind == kRowY444) {
        CRow p = s + 3 * x + 96 * h;
        const __m512i a = _mm512_loadu_si512(p), b = _mm512_maskz_loadu_epi8(0xFFFFFFFFu, p + 64);
        __m512i* out[3] = {&u[h], &y[h], &v[h]};
        for (int ch = 0; ch < 3; ++ch) {
          *out[ch] = _mm512_maskz_permutex2var_epi8(kEvenBytes, a, Idx(kGather444[ch]), b);
        }
      } else if constexpr (kKind == kRowY411) {
        const __m512i q = _mm512_maskz_loadu_epi8((uint64_t{1} << 48) - 1, s + 3 * x / 2 + 48 * h);
        u[h] = Words(q, kGather411[0]);
        y[h] = Words(q, kGather411[1]);
        v[h] = Words(q, kGather411[2]);
      } else {
        y[h] = _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + x + 32 * h)));
        if constexpr (kKind == kRowP444) {
          u[h] = _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(us + x + 32 * h)));
          v[h] = _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(vs + x + 32 * h)));
          continue;
        }
        constexpr int kK = kKind == kRowI420 ? 2 : 4;
        constexpr uint64_t kBytes = (uint64_t{1} << (64 / kK)) - 1;
        u[h] = Words(_mm512_maskz_loadu_epi8(kBytes, us + x / kK), kGatherPlanar<kK>[h]);
        v[h] = Words(_mm512_maskz_loadu_epi8(kBytes, vs + x / kK), kGatherPlanar<kK>[h]);
      }
    }
    __m512i lo[3], hi[3];
    Bgr(y[0], u[0], v[0], lo);
    Bgr(y[1], u[1], v[1], hi);
    const __m512i b = _mm512_packus_epi16(lo[0], hi[0]);
    const __m512i g = _mm512_packus_epi16(lo[1], hi[1]);
    const __m512i r = _mm512_packus_epi16(lo[2], hi[2]);
    for (int k = 0; k < 3; ++k) {
      const __m512i bg = _mm512_permutex2var_epi8(b, Idx(kTriples.bg[k]), g);
      _mm512_storeu_si512(d + 3 * x + 64 * k,
                          _mm512_mask_permutexvar_epi8(bg, kTriples.red[k], Idx(kTriples.r[k]), r));
    }
  }
  PlainRowFrom(kKind, s, us, vs, d, w, x);
}

const RowKernels kAvx512{"avx512vbmi",
                         {Avx512Row<kRowYuy2>, Avx512Row<kRowUyvy>, Avx512Row<kRowY444>,
                          Avx512Row<kRowY411>, Avx512Row<kRowI420>, Avx512Row<kRowYvu9>,
                          Avx512Row<kRowP444>}};

// ---- RGB rows: sixteen pixels (48 bytes out) a step, masked loads and stores for the tail.

#define KZ_AVX512VL __attribute__((target("avx512bw,avx512vl,avx512vbmi")))

KZ_AVX512 KZ_INLINE __mmask64 Bytes(int64_t n) {
  return n >= 64 ? ~__mmask64{0} : (__mmask64{1} << n) - 1;
}

// Byte j of 48 output bytes: byte 3(j/3) + 2 - j%3 of the R, G, B triples.
constexpr Index SwapRB() {
  Index m{};
  for (int j = 0; j < 48; ++j) m[j] = static_cast<uint8_t>(3 * (j / 3) + 2 - j % 3);
  return m;
}
constexpr Index kSwapRB = SwapRB();
// Bytes 0-2 of each of sixteen 32-bit words.
constexpr Index DropFourth() {
  Index m{};
  for (int j = 0; j < 48; ++j) m[j] = static_cast<uint8_t>(4 * (j / 3) + j % 3);
  return m;
}
constexpr Index kDropFourth = DropFourth();

// The masked forms throughout: GCC 12 warns on the unmasked ones' undefined sources.
constexpr __mmask16 kAll16 = 0xFFFF;
constexpr __mmask64 kAll64 = ~__mmask64{0};

KZ_AVX512VL void Avx512Gv24(CRow s, Row d, int32_t w) {
  const __m512i index = Idx(kSwapRB);
  for (int64_t x = 0; x < w; x += 16) {
    const __mmask64 m = Bytes(3 * (w - x)) & Bytes(48);
    const __m512i v = _mm512_maskz_loadu_epi8(m, s + 3 * x);
    _mm512_mask_storeu_epi8(d + 3 * x, m, _mm512_maskz_permutexvar_epi8(kAll64, index, v));
  }
}

KZ_AVX512VL void Avx512Rgb16(CRow s, Row d, int32_t w) {
  const __m512i index = Idx(kDropFourth), five = _mm512_set1_epi32(31);
  auto field = [&](__m512i p, unsigned shift) KZ_AVX512VL {  // 5 bits to 8: x * 8 + x / 4
    const __m512i v = _mm512_and_si512(_mm512_maskz_srli_epi32(kAll16, p, shift), five);
    return _mm512_or_si512(_mm512_maskz_slli_epi32(kAll16, v, 3),
                           _mm512_maskz_srli_epi32(kAll16, v, 2));
  };
  for (int64_t x = 0; x < w; x += 16) {
    const int64_t n = w - x < 16 ? w - x : 16;
    const __m512i p = _mm512_maskz_cvtepu16_epi32(
        kAll16, _mm256_maskz_loadu_epi16(static_cast<__mmask16>(Bytes(n)), s + 2 * x));
    const __m512i bgr = _mm512_or_si512(
        field(p, 0), _mm512_or_si512(_mm512_maskz_slli_epi32(kAll16, field(p, 5), 8),
                                     _mm512_maskz_slli_epi32(kAll16, field(p, 10), 16)));
    _mm512_mask_storeu_epi8(d + 3 * x, Bytes(3 * n),
                            _mm512_maskz_permutexvar_epi8(kAll64, index, bgr));
  }
}

// Windows builds leave these kernels out (see Avx512Rows).
bool HasAvx512Vbmi() {
#ifdef _WIN32
  return false;
#else
  return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
         __builtin_cpu_supports("avx512vbmi");
#endif
}

}  // namespace

RgbRowFn Avx512Gv24Row() {
  return HasAvx512Vbmi() ? Avx512Gv24 : nullptr;
}
RgbRowFn Avx512Rgb16Row() {
  return HasAvx512Vbmi() ? Avx512Rgb16 : nullptr;
}

const RowKernels* Sse2Rows() {
  return __builtin_cpu_supports("sse2") ? &kSse2 : nullptr;
}
const RowKernels* Avx2Rows() {
  // Windows' stacks are not aligned for spilled 32-byte registers by this compiler.
#ifdef _WIN32
  return nullptr;
#else
  return __builtin_cpu_supports("avx2") ? &kAvx2 : nullptr;
#endif
}
const RowKernels* Avx512Rows() {
#ifdef _WIN32
  return nullptr;
#else
  return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi") ? &kAvx512
                                                                                    : nullptr;
#endif
}

#else

RgbRowFn Avx512Gv24Row() {
  return nullptr;
}
RgbRowFn Avx512Rgb16Row() {
  return nullptr;
}
const RowKernels* Sse2Rows() {
  return nullptr;
}
const RowKernels* Avx2Rows() {
  return nullptr;
}
const RowKernels* Avx512Rows() {
  return nullptr;
}

#endif

}  // namespace kz

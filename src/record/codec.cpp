#include "record/codec.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>

namespace kz {
namespace {

static_assert(std::endian::native == std::endian::little, "the bit packing loads words");

constexpr uint32_t kHashBits = 14;  // 16384 slots for at most 3839 strings: load under 1/4
constexpr uint32_t kHashMask = (1u << kHashBits) - 1;

// The hash of the string (s, t), prefix code s and remapped byte t, is
// F * (256 s + t) mod 2^32 = PrefixShare(s) + F t: with F odd it identifies (s, t) outright,
// and its top bits pick the slot. A slot holds the hash of its string in its low half and
// PrefixShare of the string's own code in its high half (0 = free), so walking down a string
// costs a load, an add and a shift per byte; the code itself is recovered from its share
// only where it is written. slotOf remembers where each string went so a reset clears only
// what was used.
constexpr uint32_t kHashFactor = 0x9E3779B1u;

constexpr uint32_t PrefixShare(uint32_t code) {
  return code * (kHashFactor << 8);
}

// F^-1 mod 2^24, by Newton's iteration: PrefixShare(c) >> 8 = F c mod 2^24.
constexpr uint32_t InverseFactor() {
  uint32_t x = kHashFactor;
  for (int i = 0; i < 5; ++i) x *= 2 - kHashFactor * x;
  return x & 0xFFFFFF;
}

constexpr uint32_t CodeOfShare(uint32_t share) {
  return ((share >> 8) * InverseFactor()) & 0xFFFFFF;
}

constexpr bool SharesGiveCodesBack() {
  for (uint32_t c = 0; c < kCodecMaxCodes; ++c) {
    if (CodeOfShare(PrefixShare(c)) != c) return false;
  }
  return true;
}
static_assert(SharesGiveCodesBack());

}  // namespace

struct EncoderWork {
  std::array<uint64_t, kHashMask + 1> slots;
  std::array<uint16_t, kCodecMaxCodes> slotOf;
};

void EncoderWorkFree::operator()(EncoderWork* work) const {
  delete work;
}

EncoderWorkPtr NewEncoderWork() {
  return EncoderWorkPtr(new (std::nothrow) EncoderWork);
}

namespace {

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

inline void Store64(uint8_t* p, uint64_t v) {
  std::memcpy(p, &v, 8);
}

size_t StoredForm(uint8_t* dst, const uint8_t* src, size_t srcLen) {
  dst[0] = 0;
  if (srcLen > 0) std::memcpy(dst + 1, src, srcLen);
  return srcLen + 1;
}

}  // namespace

uint8_t ChooseKey(const uint8_t* src, size_t srcLen) {
  // Eight interleaved histograms, one per byte of a loaded word, keep the counting loop
  // free of store-to-load stalls on runs of equal bytes; their 32-bit counts are folded
  // into 64-bit ones every 4 MiB.
  constexpr size_t kFold = size_t{1} << 22;
  std::array<std::array<uint32_t, 256>, 8> partial{};
  std::array<uint64_t, 256> byValue{};
  size_t i = 0;
  while (i + 8 <= srcLen) {
    const size_t stop = i + std::min(kFold, (srcLen - i) & ~size_t{7});
    for (; i < stop; i += 8) {
      const uint64_t w = Load64(src + i);
      for (int b = 0; b < 8; ++b) ++partial[b][(w >> (8 * b)) & 255];
    }
    for (auto& lane : partial) {
      for (uint32_t v = 0; v < 256; ++v) byValue[v] += lane[v];
      lane.fill(0);
    }
  }
  for (; i < srcLen; ++i) ++byValue[src[i]];
  std::array<uint64_t, 256> count{};  // indexed by the remapped-before-key value (v + 1) mod 256
  for (uint32_t v = 0; v < 256; ++v) count[(v + 1) & 255] = byValue[v];
  uint64_t total = srcLen;
  while (total >= 0x800000) {
    for (uint64_t& c : count) c /= 2;
    total /= 2;
  }
  uint64_t best = 0;
  uint8_t bestKey = 1;
  for (uint32_t k = 1; k < 256; ++k) {
    uint64_t sum = 0;
    for (uint32_t u = 0; u < 256; ++u) sum += (u ^ k) * count[u];
    if (k == 1 || sum > best) {
      best = sum;
      bestKey = static_cast<uint8_t>(k);
    }
  }
  return bestKey;
}

size_t CompressFrame(uint8_t* dst, const uint8_t* src, size_t srcLen, size_t dstLimit,
                     EncoderWork* work) {
  if (srcLen == 0) return StoredForm(dst, src, 0);
  EncoderWorkPtr own;
  if (work == nullptr) {
    own = NewEncoderWork();
    if (!own) return StoredForm(dst, src, srcLen);
    work = own.get();
  }
  EncoderWork& dict = *work;
  const uint8_t k = ChooseKey(src, srcLen);
  std::array<uint8_t, 256> remap;
  for (uint32_t b = 0; b < 256; ++b) remap[b] = static_cast<uint8_t>(((b + 1) & 255) ^ k);
  // Both shares of the hash for every input byte, remapped.
  std::array<uint32_t, 256> byteShare, literalShare;
  for (uint32_t b = 0; b < 256; ++b) {
    byteShare[b] = remap[b] * kHashFactor;
    literalShare[b] = PrefixShare(remap[b]);
  }

  // Coding stops (and the stored form is returned) once the writer's byte position
  // 1 + bits / 8 reaches dstLimit - 4, or once the block can no longer be shorter than the
  // stored form (1 + ceil(bits / 8) >= srcLen + 1); both only ever grow.
  const int64_t mark = static_cast<int64_t>(dstLimit) - 4;
  const uint64_t markBits = mark <= 1 ? 0 : static_cast<uint64_t>(mark - 1) * 8;
  const uint64_t uselessBits = static_cast<uint64_t>(srcLen) * 8 - 7;
  const uint64_t stopBits = markBits < uselessBits ? markBits : uselessBits;

  // The writer stores 8 bytes at its byte position after every byte of input; as long as
  // fewer than stopBits bits are written that stays inside max(dstLimit + 4, srcLen + 1)
  // bytes once that room is 17 bytes or more. A smaller block is coded in a scratch area.
  std::array<uint8_t, 32> scratch;
  const size_t room = dstLimit + 4 > srcLen + 1 ? dstLimit + 4 : srcLen + 1;
  uint8_t* const block = room < 17 ? scratch.data() : dst;
  block[0] = k;

  dict.slots.fill(0);
  uint8_t* out = block + 1;
  uint64_t acc = 0;   // bits not yet behind `out`, fewer than 8 between bytes
  uint32_t held = 0;  // how many
  uint64_t bits = 0;  // written in all
  auto put = [&](uint32_t code, uint32_t width) {
    acc |= static_cast<uint64_t>(code) << held;
    held += width;
    bits += width;
    Store64(out, acc);
    out += held >> 3;
    acc >>= held & ~7u;
    held &= 7;
  };

  uint32_t sShare = literalShare[src[0]];  // the current string, by its share
  uint32_t width = 9, limit = 512, next = kCodecFirstString, highBit = 256;
  // The cost measure (bits written less 6 per byte since the last reset) is formed only
  // where a code is written: it cannot grow on a byte that extends the current string.
  uint64_t resetBits = 0;
  const uint8_t* resetAt = src;
  const uint8_t* const end = src + srcLen;
  for (const uint8_t* p = src + 1; p != end; ++p) {
    const uint32_t hash = sShare + byteShare[*p];
    uint32_t slot = hash >> (32 - kHashBits);
    uint64_t e;
    while ((e = dict.slots[slot]) != 0) {
      if (static_cast<uint32_t>(e) == hash) break;
      slot = (slot + 1) & kHashMask;
    }
    if (e != 0) {
      sShare = static_cast<uint32_t>(e >> 32);
      continue;
    }
    dict.slots[slot] = (static_cast<uint64_t>(PrefixShare(next)) << 32) | hash;
    dict.slotOf[next] = static_cast<uint16_t>(slot);
    const uint32_t s = CodeOfShare(sShare);
    put(s, (s | highBit) >= next ? width - 1 : width);
    sShare = literalShare[*p];
    ++next;
    const int64_t cost = static_cast<int64_t>(bits - resetBits) - 6 * (p - resetAt);
    if (bits >= stopBits || next > limit || cost >= kCodecResetCost) [[unlikely]] {
      if (bits >= stopBits) return StoredForm(dst, src, srcLen);
      bool reset = false;
      if (next > limit) {
        ++width;
        limit *= 2;
        highBit *= 2;
        if (width == 12) limit -= 1;  // the next growth fires when next passes 4095
        if (width == 13) {
          width = 12;
          highBit /= 2;
          reset = true;
        }
      }
      if (reset || cost >= kCodecResetCost) {
        put(kCodecResetCode, (kCodecResetCode | highBit) >= next ? width - 1 : width);
        if (bits >= stopBits) return StoredForm(dst, src, srcLen);
        for (uint32_t c = kCodecFirstString; c < next; ++c) dict.slots[dict.slotOf[c]] = 0;
        width = 9;
        limit = 512;
        next = kCodecFirstString;
        highBit = 256;
        resetBits = bits;
        resetAt = p;
      }
    }
  }
  const uint32_t s = CodeOfShare(sShare);
  put(s, (s | highBit) >= next ? width - 1 : width);
  const uint64_t length = 1 + (bits + 7) / 8;
  if (static_cast<uint64_t>(srcLen) + 1 <= length) return StoredForm(dst, src, srcLen);
  if (block != dst) std::memcpy(dst, block, static_cast<size_t>(length));
  return static_cast<size_t>(length);
}

namespace {

// The bits of a block from bit `pos` of its code stream on, where fewer than 8 bytes are
// left; bits past the end read as 0.
inline uint32_t TailBits(const uint8_t* src, size_t srcLen, uint64_t pos) {
  const uint64_t byte = 1 + (pos >> 3);
  uint32_t word = 0;
  for (uint64_t i = 0; i < 4; ++i) {
    if (byte + i < srcLen) word |= static_cast<uint32_t>(src[byte + i]) << (8 * i);
  }
  return word >> (pos & 7);
}

// Decoder tables: every string is a run of bytes already in the output (or, for a single
// byte, in the unmapped-byte table), so decoding a code is a copy of `length` bytes. The
// length kNoCopy marks the codes the fast path must not copy: the reset code and the code not
// yet defined (a code is never above the next one to be defined). It is longer than any room
// the fast path sees, so one compare sends them and the last bytes of the output aside.
constexpr uint32_t kNoCopy = 0xFFFFFFFFu;
struct DecoderTables {
  std::array<const uint8_t*, kCodecMaxCodes> at;
  std::array<uint32_t, kCodecMaxCodes> length;
  alignas(16) std::array<uint8_t, 256 + 16> byte;  // 16 bytes of slack for whole-chunk copies
};

// Copies n (at least 1) bytes from `from` to `to` in 16-byte chunks, writing up to 15
// bytes past to + n and reading up to 15 past from + n. Right when every source byte that
// matters lies before `to`: a chunk is loaded whole before it is stored.
inline void CopyRun(uint8_t* to, const uint8_t* from, uint32_t n) {
  uint8_t chunk[16];
  std::memcpy(chunk, from, 16);
  std::memcpy(to, chunk, 16);
  for (uint32_t j = 16; j < n; j += 16) {
    std::memcpy(chunk, from + j, 16);
    std::memcpy(to + j, chunk, 16);
  }
}

// Takes the next code off the bit buffer. A code is one bit short when its low width - 1
// bits exceed `above` (the cut less highBit). Both outcomes are formed and one is picked
// with conditional moves: the choice is data, and a branch on it would miss half the time,
// while the chain from one code to the next stays an and, a compare and a move.
inline uint32_t NextCode(uint64_t& buf, uint32_t& held, uint32_t width, uint32_t mask,
                         uint32_t lowMask, int32_t above) {
  uint32_t v = static_cast<uint32_t>(buf) & mask;
  const uint32_t low = static_cast<uint32_t>(buf) & lowMask;
  const uint64_t bufShort = buf >> (width - 1);
  uint64_t bufLong = bufShort >> 1;
  uint32_t heldLong = held - width;
  const uint32_t heldShort = heldLong + 1;
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  asm("cmpl %[above], %[low]\n\t"
      "cmovg %[bufShort], %[buf]\n\t"
      "cmovg %[low], %[v]\n\t"
      "cmovg %[heldShort], %[held]"
      : [buf] "+r"(bufLong), [v] "+r"(v), [held] "+r"(heldLong)
      : [bufShort] "r"(bufShort), [low] "r"(low), [above] "r"(above), [heldShort] "r"(heldShort)
      : "cc");
#else
  if (static_cast<int32_t>(low) > above) {
    bufLong = bufShort;
    v = low;
    heldLong = heldShort;
  }
#endif
  buf = bufLong;
  held = heldLong;
  return v;
}

}  // namespace

size_t DecompressFrame(uint8_t* dst, const uint8_t* src, size_t dstLen, size_t srcLen) {
  if (srcLen < 2 || dstLen == 0) return 0;
  const uint8_t k = src[0];
  if (k == 0) {
    const size_t n = dstLen < srcLen - 1 ? dstLen : srcLen - 1;
    std::memcpy(dst, src + 1, n);
    return n;
  }
  DecoderTables t;
  for (uint32_t v = 0; v < 256; ++v) {
    t.byte[v] = static_cast<uint8_t>(((v ^ k) - 1) & 255);
    t.at[v] = &t.byte[v];
    t.length[v] = 1;
  }
  std::fill(t.byte.begin() + 256, t.byte.end(), uint8_t{0});
  std::fill(t.length.begin() + kCodecResetCode, t.length.end(), kNoCopy);

  // Dictionary state. `above` is the cut less highBit, where the cut is `next`, or next - 1
  // for the first code after a reset (and at the start).
  uint32_t width = 9, mask = 511, lowMask = 255, limit = 512, next = kCodecFirstString;
  uint32_t highBit = 256;
  int32_t above = 0;
  bool first = true;
  uint8_t* out = dst;
  uint8_t* const dstEnd = dst + dstLen;
  // A string that ends at or before limitOut takes the fast copy, which may write 15 bytes
  // past it. limitOut is dst (no code is fast) for the first code of a dictionary and once
  // the dictionary is full; otherwise 16 bytes before the end of the output, or of its
  // first 4 GiB, so that the fast room stays below kNoCopy.
  const size_t fastLen = dstLen < 0xFFFFFFF0u ? dstLen : 0xFFFFFFF0u;
  uint8_t* const fastEnd = fastLen > 16 ? dst + fastLen - 16 : dst;
  uint8_t* limitOut = dst;
  const uint8_t* prevAt = dst;  // where the previous string starts in the output
  uint32_t prevLength = 0;
  enum class Step { kGo, kEnd };
  auto define = [&] {
    t.at[next] = prevAt;
    t.length[next] = prevLength + 1;
    ++next;
    ++above;
    if (next == limit) [[unlikely]] {
      if (width < 12) {
        above -= static_cast<int32_t>(highBit);
        ++width;
        mask = 2 * mask + 1;
        lowMask = mask >> 1;
        highBit *= 2;
        limit *= 2;
      } else {
        limitOut = dst;  // next is 4096: no more strings until a reset
      }
    }
  };
  // Whatever the fast path leaves: the first code of a dictionary, a reset, the string being
  // defined right now, a full dictionary and the last bytes of the output.
  auto rare = [&](uint32_t v, uint32_t len) -> Step {
    if (first) {
      if (v >= 256) return Step::kEnd;
      prevAt = out;
      prevLength = 1;
      *out++ = t.byte[v];
      first = false;
      above = static_cast<int32_t>(next - highBit);
      limitOut = fastEnd;
      return out == dstEnd ? Step::kEnd : Step::kGo;
    }
    if (v == kCodecResetCode) {
      std::fill(t.length.begin() + kCodecFirstString, t.length.begin() + next, kNoCopy);
      width = 9;
      mask = 511;
      lowMask = 255;
      limit = 512;
      next = kCodecFirstString;
      highBit = 256;
      above = 0;
      first = true;
      limitOut = dst;
      return Step::kGo;
    }
    const size_t room = static_cast<size_t>(dstEnd - out);
    if (len != kNoCopy) {
      // Exact copy; the run lies wholly before `out`.
      std::memcpy(out, t.at[v], len < room ? len : room);
    } else {
      // v == next: the previous string plus its own first byte, which this copy has just
      // written (the previous string ends at `out`).
      len = prevLength + 1;
      const uint32_t n = len < room ? len : static_cast<uint32_t>(room);
      for (uint32_t j = 0; j < n; ++j) out[j] = prevAt[j];
    }
    if (len >= room) {
      out = dstEnd;
      return Step::kEnd;
    }
    if (next < kCodecMaxCodes) define();
    prevAt = out;
    prevLength = len;
    out += len;
    return Step::kGo;
  };
  auto take = [&](uint32_t v) -> Step {
    const uint32_t len = t.length[v];
    if (static_cast<int64_t>(len) > static_cast<int64_t>(limitOut - out)) [[unlikely]] {
      return rare(v, len);
    }
    CopyRun(out, t.at[v], len);
    define();
    prevAt = out;
    prevLength = len;
    out += len;
    return Step::kGo;
  };

  // Most of the block: a 64-bit bit buffer refilled a word at a time. It stops where a
  // refill would read past the block; no code taken from it can then be at its end.
  const uint8_t* p = src + 1;
  const uint8_t* const end = src + srcLen;
  uint64_t buf = 0;
  uint32_t held = 0;
  for (;;) {
    if (held < 12) {
      if (end - p < 8) break;
      buf |= Load64(p) << held;
      p += (63 - held) >> 3;
      held |= 56;
    }
    if (take(NextCode(buf, held, width, mask, lowMask, above)) == Step::kEnd) {
      return static_cast<size_t>(out - dst);
    }
  }
  // The last bytes, a code at a time.
  uint64_t pos = static_cast<uint64_t>(p - (src + 1)) * 8 - held;
  for (;;) {
    if (!first && 1 + (pos >> 3) >= srcLen) return static_cast<size_t>(out - dst);
    const uint32_t word = TailBits(src, srcLen, pos) & mask;
    const uint32_t low = word & lowMask;
    const bool isShort = static_cast<int32_t>(low) > above;
    pos += isShort ? width - 1 : width;
    if (take(isShort ? low : word) == Step::kEnd) return static_cast<size_t>(out - dst);
  }
}

}  // namespace kz

#include "record/codec.h"

#include <array>
#include <cstring>

namespace kz {
namespace {

constexpr uint32_t kHashBits = 13;  // 8192 slots for at most 3839 strings: load under 1/2
constexpr uint32_t kHashSlots = 1u << kHashBits;

// Dictionary of the encoder. A slot holds (prefix << 20) | (byte << 12) | code, 0 = free;
// slotOf remembers where each string went so a reset clears only what was used.
struct EncoderDictionary {
  std::array<uint32_t, kHashSlots> slots;
  std::array<uint16_t, kCodecMaxCodes> slotOf;
};

// LSB-first bit writer that stores only whole bytes it has finished, so it never touches
// a byte past the last one holding a written bit.
class BitWriter {
 public:
  explicit BitWriter(uint8_t* out) : out_(out) {}
  void Put(uint32_t code, uint32_t width) {
    acc_ |= static_cast<uint64_t>(code) << pending_;
    pending_ += width;
    bits_ += width;
    if (pending_ >= 32) {
      const uint32_t word = static_cast<uint32_t>(acc_);
      out_[0] = static_cast<uint8_t>(word);
      out_[1] = static_cast<uint8_t>(word >> 8);
      out_[2] = static_cast<uint8_t>(word >> 16);
      out_[3] = static_cast<uint8_t>(word >> 24);
      out_ += 4;
      acc_ >>= 32;
      pending_ -= 32;
    }
  }
  void Flush() {
    while (pending_ > 0) {
      *out_++ = static_cast<uint8_t>(acc_);
      acc_ >>= 8;
      pending_ = pending_ > 8 ? pending_ - 8 : 0;
    }
  }
  uint64_t bits() const { return bits_; }

 private:
  uint8_t* out_;
  uint64_t acc_ = 0;
  uint32_t pending_ = 0;
  uint64_t bits_ = 0;
};

size_t StoredForm(uint8_t* dst, const uint8_t* src, size_t srcLen) {
  dst[0] = 0;
  if (srcLen > 0) std::memcpy(dst + 1, src, srcLen);
  return srcLen + 1;
}

inline uint32_t HashSlot(uint32_t key) {
  return (key * 0x9E3779B1u) >> (32 - kHashBits);
}

}  // namespace

uint8_t ChooseKey(const uint8_t* src, size_t srcLen) {
  // Four interleaved histograms keep the counting loop free of store-to-load stalls.
  std::array<std::array<uint64_t, 256>, 4> partial{};
  size_t i = 0;
  for (; i + 4 <= srcLen; i += 4) {
    ++partial[0][src[i]];
    ++partial[1][src[i + 1]];
    ++partial[2][src[i + 2]];
    ++partial[3][src[i + 3]];
  }
  for (; i < srcLen; ++i) ++partial[0][src[i]];
  std::array<uint64_t, 256> count{};  // indexed by the remapped-before-key value (v + 1) mod 256
  for (uint32_t v = 0; v < 256; ++v) {
    count[(v + 1) & 255] = partial[0][v] + partial[1][v] + partial[2][v] + partial[3][v];
  }
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

size_t CompressFrame(uint8_t* dst, const uint8_t* src, size_t srcLen, size_t dstLimit) {
  if (srcLen == 0) return StoredForm(dst, src, 0);
  const uint8_t k = ChooseKey(src, srcLen);
  dst[0] = k;
  std::array<uint8_t, 256> remap;
  for (uint32_t b = 0; b < 256; ++b) remap[b] = static_cast<uint8_t>(((b + 1) & 255) ^ k);

  // Coding stops (and the stored form is returned) once the writer's byte position
  // 1 + bits / 8 reaches dstLimit - 4, or once the block can no longer be shorter than the
  // stored form (1 + ceil(bits / 8) >= srcLen + 1); both only ever grow.
  const int64_t mark = static_cast<int64_t>(dstLimit) - 4;
  const uint64_t markBits = mark <= 1 ? 0 : static_cast<uint64_t>(mark - 1) * 8;
  const uint64_t uselessBits = static_cast<uint64_t>(srcLen) * 8 - 7;
  const uint64_t stopBits = markBits < uselessBits ? markBits : uselessBits;

  EncoderDictionary dict;
  dict.slots.fill(0);
  BitWriter out(dst + 1);

  uint32_t s = remap[src[0]];
  uint32_t width = 9, limit = 512, next = kCodecFirstString, highBit = 256;
  int32_t cost = 0;
  for (size_t i = 1; i < srcLen; ++i) {
    const uint32_t t = remap[src[i]];
    cost -= 6;
    const uint32_t key = (s << 8) | t;
    uint32_t slot = HashSlot(key);
    bool found = false;
    for (uint32_t e; (e = dict.slots[slot]) != 0; slot = (slot + 1) & (kHashSlots - 1)) {
      if ((e >> 12) == key) {
        s = e & 0xFFF;
        found = true;
        break;
      }
    }
    if (found) continue;
    dict.slots[slot] = (key << 12) | next;
    dict.slotOf[next] = static_cast<uint16_t>(slot);
    const uint32_t w = (s | highBit) >= next ? width - 1 : width;
    out.Put(s, w);
    cost += static_cast<int32_t>(w);
    s = t;
    if (out.bits() >= stopBits) return StoredForm(dst, src, srcLen);
    ++next;
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
      out.Put(kCodecResetCode, (kCodecResetCode | highBit) >= next ? width - 1 : width);
      if (out.bits() >= stopBits) return StoredForm(dst, src, srcLen);
      for (uint32_t c = kCodecFirstString; c < next; ++c) dict.slots[dict.slotOf[c]] = 0;
      width = 9;
      limit = 512;
      next = kCodecFirstString;
      highBit = 256;
      cost = 0;
    }
  }
  out.Put(s, (s | highBit) >= next ? width - 1 : width);
  out.Flush();
  const uint64_t length = 1 + (out.bits() + 7) / 8;
  if (static_cast<uint64_t>(srcLen) + 1 > length) return static_cast<size_t>(length);
  return StoredForm(dst, src, srcLen);
}

namespace {

// LSB-first reader over the code bytes src[1..srcLen); bits past the end read as 0.
class BitReader {
 public:
  BitReader(const uint8_t* src, size_t srcLen) : src_(src), len_(srcLen) {}
  uint32_t Peek(uint32_t width) const {
    const uint64_t byte = 1 + (pos_ >> 3);
    uint32_t word = 0;
    if (byte + 4 <= len_) {
      word = static_cast<uint32_t>(src_[byte]) | (static_cast<uint32_t>(src_[byte + 1]) << 8) |
             (static_cast<uint32_t>(src_[byte + 2]) << 16) |
             (static_cast<uint32_t>(src_[byte + 3]) << 24);
    } else {
      for (uint32_t i = 0; i < 4; ++i) {
        if (byte + i < len_) word |= static_cast<uint32_t>(src_[byte + i]) << (8 * i);
      }
    }
    return (word >> (pos_ & 7)) & ((1u << width) - 1);
  }
  void Skip(uint32_t width) { pos_ += width; }
  // True once the byte position 1 + bits / 8 has reached the end of the block.
  bool AtEnd() const { return 1 + (pos_ >> 3) >= len_; }

 private:
  const uint8_t* src_;
  uint64_t len_;
  uint64_t pos_ = 0;
};

// Decoder tables: every code knows its last byte, its prefix, its first byte and its
// length, so a string is written backwards straight into the output.
struct DecoderTables {
  std::array<uint16_t, kCodecMaxCodes> prefix;
  std::array<uint16_t, kCodecMaxCodes> length;
  std::array<uint8_t, kCodecMaxCodes> last;
  std::array<uint8_t, kCodecMaxCodes> first;
};

// Writes the first `count` bytes of the string of code c (of total length len) at out.
inline void WriteString(const DecoderTables& t, uint32_t c, uint32_t len, uint32_t count,
                        uint8_t* out) {
  for (uint32_t j = len - 1; j > 0; --j) {
    if (j < count) out[j] = t.last[c];
    c = t.prefix[c];
  }
  out[0] = t.last[c];
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
    const uint8_t b = static_cast<uint8_t>(((v ^ k) - 1) & 255);
    t.last[v] = b;
    t.first[v] = b;
    t.length[v] = 1;
    t.prefix[v] = 0;
  }
  BitReader in(src, srcLen);
  size_t out = 0;
  for (;;) {
    // After a reset (and at the start): the first code is a literal, tested with >=.
    uint32_t width = 9, limit = 512, next = kCodecFirstString, highBit = 256;
    uint32_t v = in.Peek(width);
    if ((v | highBit) >= next) {
      in.Skip(width - 1);
      v &= highBit - 1;
    } else {
      in.Skip(width);
    }
    if (v >= 256) return out;
    dst[out++] = t.last[v];
    if (out == dstLen) return out;
    uint32_t prev = v;
    for (;;) {
      if (in.AtEnd()) return out;
      v = in.Peek(width);
      if ((v | highBit) > next) {
        in.Skip(width - 1);
        v &= highBit - 1;
      } else {
        in.Skip(width);
      }
      if (v == kCodecResetCode) break;
      // v <= next always holds here (a given-back code is below highBit <= next), and
      // next <= 4096, so v == next only while a code is still to be defined.
      uint32_t len, firstByte;
      const size_t room = dstLen - out;
      if (v < next) {
        len = t.length[v];
        firstByte = t.first[v];
        if (len > room) {
          WriteString(t, v, len, static_cast<uint32_t>(room), dst + out);
          return dstLen;
        }
        WriteString(t, v, len, len, dst + out);
      } else {
        // The string being defined right now: the previous string plus its first byte.
        len = t.length[prev] + 1u;
        firstByte = t.first[prev];
        const uint32_t count = len > room ? static_cast<uint32_t>(room) : len;
        WriteString(t, prev, len - 1, count < len ? count : len - 1, dst + out);
        if (count < len) return dstLen;
        dst[out + len - 1] = static_cast<uint8_t>(firstByte);
      }
      out += len;
      if (next < kCodecMaxCodes) {
        t.prefix[next] = static_cast<uint16_t>(prev);
        t.last[next] = static_cast<uint8_t>(firstByte);
        t.first[next] = t.first[prev];
        t.length[next] = static_cast<uint16_t>(t.length[prev] + 1u);
        ++next;
        if (next == limit && width < 12) {
          ++width;
          limit *= 2;
          highBit *= 2;
        }
      }
      prev = v;
      if (out == dstLen) return out;
    }
  }
}

}  // namespace kz

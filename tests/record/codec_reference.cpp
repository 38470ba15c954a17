#include "record/codec_reference.h"

#include <algorithm>

namespace kz::reference {
namespace {

thread_local std::vector<Code> lastCodes;

std::vector<uint8_t> Stored(const uint8_t* src, size_t srcLen) {
  std::vector<uint8_t> block(srcLen + 1);
  block[0] = 0;
  std::copy(src, src + srcLen, block.begin() + 1);
  lastCodes.clear();
  return block;
}

}  // namespace

const std::vector<Code>& LastCodes() {
  return lastCodes;
}

uint8_t ChooseKey(const uint8_t* src, size_t srcLen) {
  uint64_t count[256] = {};
  for (size_t i = 0; i < srcLen; ++i) count[src[i]]++;
  uint64_t total = srcLen;
  while (total >= 0x800000) {
    for (uint64_t& c : count) c = c / 2;
    total = total / 2;
  }
  uint64_t bestSum = 0;
  uint32_t bestKey = 0;
  for (uint32_t k = 1; k <= 255; ++k) {
    uint64_t sum = 0;
    for (uint32_t v = 0; v < 256; ++v) sum += (((v + 1) % 256) ^ k) * count[v];
    if (bestKey == 0 || sum > bestSum) {
      bestSum = sum;
      bestKey = k;
    }
  }
  return static_cast<uint8_t>(bestKey);
}

std::vector<uint8_t> Compress(const uint8_t* src, size_t srcLen, size_t dstLimit) {
  lastCodes.clear();
  if (srcLen == 0) return {0};
  std::vector<uint8_t> dst(std::max(dstLimit + 4, srcLen + 1) + 8, 0);
  const uint32_t k = ChooseKey(src, srcLen);
  dst[0] = static_cast<uint8_t>(k);
  uint64_t bitPos = 0;
  auto put = [&](uint32_t code, uint32_t n) {
    for (uint32_t b = 0; b < n; ++b) {
      const uint64_t at = bitPos + b;
      if (1 + at / 8 >= dst.size()) dst.resize(dst.size() * 2, 0);
      if ((code >> b) & 1) dst[1 + at / 8] |= static_cast<uint8_t>(1u << (at % 8));
    }
    bitPos += n;
    lastCodes.push_back({code, n});
  };
  auto remap = [&](uint8_t b) { return static_cast<uint32_t>(((b + 1) % 256) ^ k); };
  const int64_t mark = static_cast<int64_t>(dstLimit) - 4;
  auto reachedMark = [&] { return static_cast<int64_t>(1 + bitPos / 8) >= mark; };

  struct Node {
    uint32_t byte, code, link;  // link: index + 1 of the next node with the same prefix
  };
  std::vector<uint32_t> heads(4096);  // index + 1 of the first node of each prefix
  std::vector<Node> nodes;
  uint32_t w = 0, limit = 0, N = 0, highBit = 0;
  int32_t cost = 0;
  auto resetState = [&] {
    w = 9;
    limit = 512;
    N = 257;
    highBit = 256;
    cost = 0;
    std::fill(heads.begin(), heads.end(), 0);
    nodes.clear();
  };
  auto widthFor = [&](uint32_t c) { return (c | highBit) >= N ? w - 1 : w; };

  uint32_t s = remap(src[0]);
  resetState();
  for (size_t i = 1; i < srcLen; ++i) {
    const uint32_t t = remap(src[i]);
    cost = cost - 6;
    bool found = false;
    uint32_t tail = 0;
    for (uint32_t n = heads[s]; n != 0; n = nodes[n - 1].link) {
      tail = n;
      if (nodes[n - 1].byte == t) {
        s = nodes[n - 1].code;
        found = true;
        break;
      }
    }
    if (found) continue;
    nodes.push_back({t, N, 0});
    if (tail == 0) {
      heads[s] = static_cast<uint32_t>(nodes.size());
    } else {
      nodes[tail - 1].link = static_cast<uint32_t>(nodes.size());
    }
    const uint32_t width = widthFor(s);
    put(s, width);
    cost = cost + static_cast<int32_t>(width);
    s = t;
    if (reachedMark()) return Stored(src, srcLen);
    N = N + 1;
    bool resetDue = false;
    if (N > limit) {
      w = w + 1;
      limit = 2 * limit;
      highBit = 2 * highBit;
      if (w == 12) limit = limit - 1;
      if (w == 13) {
        w = 12;
        highBit = highBit / 2;
        resetDue = true;
      }
    }
    if (cost >= 208) resetDue = true;
    if (resetDue) {
      put(256, widthFor(256));
      if (reachedMark()) return Stored(src, srcLen);
      resetState();
    }
  }
  put(s, widthFor(s));
  const uint64_t length = 1 + (bitPos + 7) / 8;
  if (srcLen + 1 > length) {
    dst.resize(length);
    return dst;
  }
  std::vector<Code> codes = lastCodes;
  std::vector<uint8_t> stored = Stored(src, srcLen);
  lastCodes = codes;  // keep the codes of a coded attempt that did not pay, for inspection
  return stored;
}

std::vector<uint8_t> Decompress(const uint8_t* src, size_t srcLen, size_t dstLen) {
  std::vector<uint8_t> out;
  if (srcLen < 2) return out;
  const uint32_t k = src[0];
  if (k == 0) {
    const size_t n = std::min(dstLen, srcLen - 1);
    out.assign(src + 1, src + 1 + n);
    return out;
  }
  if (dstLen == 0) return out;
  uint64_t bitPos = 0;
  auto read = [&](uint32_t n) {
    uint32_t v = 0;
    for (uint32_t b = 0; b < n; ++b) {
      const uint64_t at = bitPos + b;
      const uint64_t byte = 1 + at / 8;
      const uint32_t bit = byte < srcLen ? (src[byte] >> (at % 8)) & 1 : 0;
      v |= bit << b;
    }
    bitPos += n;
    return v;
  };
  auto unmap = [&](uint32_t t) { return static_cast<uint8_t>(((t ^ k) - 1) % 256); };
  std::vector<uint32_t> append(4096), prefix(4096), stack(4097);

  for (;;) {
    uint32_t w = 9, limit = 512, next = 257, highBit = 256;
    uint32_t v = read(w);
    if ((v | highBit) >= next) {
      bitPos -= 1;
      v &= ~(1u << (w - 1));
    }
    if (v >= 256) return out;
    out.push_back(unmap(v));
    uint32_t prev = v, first = v;
    if (out.size() == dstLen) return out;
    bool reset = false;
    while (!reset) {
      if (1 + bitPos / 8 >= srcLen) return out;
      v = read(w);
      if ((v | highBit) > next) {
        bitPos -= 1;
        v &= ~(1u << (w - 1));
      }
      if (v == 256) {
        reset = true;
        continue;
      }
      const uint32_t cur = v;
      size_t sp = 0;
      if (v >= next) {
        stack[sp++] = first;
        v = prev;
      }
      while (v > 255) {
        if (sp >= 4096) return out;
        stack[sp++] = append[v];
        v = prefix[v];
      }
      first = v;
      stack[sp++] = v;
      while (sp > 0) {
        out.push_back(unmap(stack[--sp]));
        if (out.size() == dstLen) return out;
      }
      if (next < 4096) {
        append[next] = first;
        prefix[next] = prev;
        next = next + 1;
      }
      prev = cur;
      if (next == limit && w < 12) {
        w = w + 1;
        limit = 2 * limit;
        highBit = 2 * highBit;
      }
    }
  }
}

}  // namespace kz::reference

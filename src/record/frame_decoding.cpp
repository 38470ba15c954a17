// Decoder side of the compressed recording kinds: key cache, frame cache and the roll
// forward along a predicted chain, over records fetched by file offset.
#include <cstring>
#include <new>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "record/codec.h"
#include "record/frame_coding.h"

namespace kz {
namespace {

struct Record {
  FrameHeader h;
  int64_t offset;
  const uint8_t* data;  // h.dataBytes bytes
  int64_t Next() const { return offset + static_cast<int64_t>(h.RecordBytes()); }
  uint32_t Form() const { return GetU32(data); }
  uint32_t Back() const { return GetU32(data + 4); }
};

bool SameStream(const FrameHeader& a, const FrameHeader& b) {
  return a.kind == b.kind && a.width == b.width && a.height == b.height && a.format == b.format;
}

bool IsDifferenceForm(uint32_t form) {
  return form != kKeyForm && form <= kFrameCountMask;
}

uint32_t CursorFrame(const FrameDecoderState& s) {
  return s.cursorIsKey ? s.keyFrame : s.frameNumber;
}
int64_t CursorNext(const FrameDecoderState& s) {
  return s.cursorIsKey ? s.keyNext : s.frameNext;
}
bool CursorValid(const FrameDecoderState& s) {
  return s.cursorIsKey ? s.keyValid : s.frameValid;
}

// Reads the record at `offset`, which must be of the same stream and end at or before
// `before` (the start of the record that refers to it).
DecodeResult Fetch(FrameDecoderState& s, RecordSource& source, const FrameHeader& current,
                   int64_t offset, int64_t before, uint8_t* buffer, Record* out) {
  if (offset < 0 || offset >= before) return DecodeResult::kBadReference;
  FrameHeader h;
  const uint64_t capacity = MaxFrameDataBytes(s.frameBytes);
  if (!source.FetchRecord(offset, &h, buffer, static_cast<uint32_t>(capacity))) {
    return DecodeResult::kReadFailed;
  }
  if (!SameStream(h, current)) return DecodeResult::kBadReference;
  if (h.dataBytes < 4 || h.dataBytes > capacity) return DecodeResult::kBadData;
  *out = Record{h, offset, buffer};
  if (out->Next() > before) return DecodeResult::kBadReference;
  return DecodeResult::kOk;
}

#if defined(__SSE2__)
// Sixteen bytes at a time: the running sum over bytes D apart is carried into a block from
// the last D sums of the block before, then doubled up within it (D, 2D, 4D, 8D lanes back),
// so no byte waits on a store of the one D before it.
template <uint32_t D>
void RebuildBlocks(uint8_t* out, uint8_t* copy, const uint8_t* delta, const uint8_t* base,
                   uint32_t n) {
  __m128i sum = _mm_setzero_si128();
  auto block = [&](const uint8_t* dl, const uint8_t* bs, uint8_t* o, uint8_t* c) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dl));
    if constexpr (D != 0) {
      v = _mm_add_epi8(v, _mm_srli_si128(sum, 16 - D));
      v = _mm_add_epi8(v, _mm_slli_si128(v, D));
      if constexpr (2 * D < 16) v = _mm_add_epi8(v, _mm_slli_si128(v, 2 * D));
      if constexpr (4 * D < 16) v = _mm_add_epi8(v, _mm_slli_si128(v, 4 * D));
      if constexpr (8 * D < 16) v = _mm_add_epi8(v, _mm_slli_si128(v, 8 * D));
      sum = v;
    }
    if (bs) v = _mm_add_epi8(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(bs)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
    if (c) _mm_storeu_si128(reinterpret_cast<__m128i*>(c), v);
  };
  uint32_t i = 0;
  for (; n - i >= 16; i += 16) {
    block(delta + i, base ? base + i : nullptr, out + i, copy ? copy + i : nullptr);
  }
  if (i == n) return;
  // The last bytes through a zero-padded block.
  const uint32_t rest = n - i;
  uint8_t dl[16] = {}, bs[16] = {}, o[16];
  std::memcpy(dl, delta + i, rest);
  if (base) std::memcpy(bs, base + i, rest);
  block(dl, base ? bs : nullptr, o, nullptr);
  std::memcpy(out + i, o, rest);
  if (copy) std::memcpy(copy + i, o, rest);
}
#endif

// Each decoding step below that builds the frame asked for writes it to `dest` as it goes
// and then clears `dest`; a frame taken from a cache is left for the caller to copy.
DecodeResult DecodeKey(FrameDecoderState& s, const Record& r, uint8_t*& dest) {
  if (!(s.keyValid && s.keyFrame == r.h.frameNumber && s.keyOffset == r.offset)) {
    s.keyValid = false;
    uint8_t* key = s.key.get();
    const size_t n = DecompressFrame(key, r.data + 4, s.frameBytes, r.h.dataBytes - 4);
    if (n != s.frameBytes) return DecodeResult::kBadData;
    RebuildFrame(key, dest, key, nullptr, s.frameBytes, s.sampleDistance);
    dest = nullptr;
    s.keyValid = true;
    s.keyFrame = r.h.frameNumber;
    s.keyOffset = r.offset;
  }
  s.keyNext = r.Next();
  s.frameValid = false;
  s.cursorIsKey = true;
  return DecodeResult::kOk;
}

// A difference to the key ("KZVc" frames, "KZVl" reference frames): fetches the key first
// when the key cache does not hold it.
DecodeResult DecodeDifference(FrameDecoderState& s, RecordSource& source, const Record& r,
                              uint8_t*& dest) {
  if (r.h.dataBytes < 8) return DecodeResult::kBadData;
  const uint32_t keyNumber = r.h.frameNumber - r.Form();
  const int64_t keyOffset = r.offset - static_cast<int64_t>(r.Back());
  if (!(s.keyValid && s.keyFrame == keyNumber && s.keyOffset == keyOffset)) {
    Record key;
    DecodeResult res = Fetch(s, source, r.h, keyOffset, r.offset, s.keyInput.get(), &key);
    if (res != DecodeResult::kOk) return res;
    if (key.h.frameNumber != keyNumber) return DecodeResult::kBadReference;
    if (key.Form() == kStoredForm) return DecodeResult::kStoredAsBase;
    if (key.Form() != kKeyForm) return DecodeResult::kBadReference;
    uint8_t* none = nullptr;
    res = DecodeKey(s, key, none);
    if (res != DecodeResult::kOk) return res;
  }
  if (s.frameValid && s.frameNumber == r.h.frameNumber && s.frameNext == r.Next()) {
    s.cursorIsKey = false;
    return DecodeResult::kOk;
  }
  s.frameValid = false;
  uint8_t* frame = s.frame.get();
  const size_t n = DecompressFrame(frame, r.data + 8, s.frameBytes, r.h.dataBytes - 8);
  if (n != s.frameBytes) return DecodeResult::kBadData;
  RebuildFrame(frame, dest, frame, s.key.get(), s.frameBytes, 0);
  dest = nullptr;
  s.frameValid = true;
  s.frameNumber = r.h.frameNumber;
  s.frameNext = r.Next();
  s.cursorIsKey = false;
  return DecodeResult::kOk;
}

// One predicted frame on top of the cursor, which must be the frame just before it.
DecodeResult PredictedStep(FrameDecoderState& s, const Record& r, uint8_t*& dest) {
  if (r.h.dataBytes < 8) return DecodeResult::kBadData;
  if (!CursorValid(s) || CursorFrame(s) != r.h.frameNumber - 1 || CursorNext(s) != r.offset) {
    return DecodeResult::kBadReference;
  }
  uint8_t* diff = s.diff.get();
  const size_t n = DecompressFrame(diff, r.data + 8, s.frameBytes, r.h.dataBytes - 8);
  if (n != s.frameBytes) return DecodeResult::kBadData;
  const uint8_t* base = s.cursorIsKey ? s.key.get() : s.frame.get();
  RebuildFrame(s.frame.get(), dest, diff, base, s.frameBytes, s.sampleDistance);
  dest = nullptr;
  s.frameValid = true;
  s.frameNumber = r.h.frameNumber;
  s.frameNext = r.Next();
  s.cursorIsKey = false;
  return DecodeResult::kOk;
}

DecodeResult DecodePredicted(FrameDecoderState& s, RecordSource& source, const Record& r,
                             uint8_t*& dest) {
  if (r.h.dataBytes < 8) return DecodeResult::kBadData;
  const uint32_t chain = r.Form() & ~kFrameCountMask;
  const uint32_t n = r.Form() & kFrameCountMask;
  if (chain != kChainFromKey && chain != kChainFromReference) return DecodeResult::kBadData;
  if (n == 0 || r.Back() < kRecordOverheadBytes || r.Back() > r.offset) {
    return DecodeResult::kBadReference;
  }
  if (s.frameValid && s.frameNumber == r.h.frameNumber && s.frameNext == r.Next()) {
    s.cursorIsKey = false;
    return DecodeResult::kOk;
  }
  const int64_t startOffset = r.offset - static_cast<int64_t>(r.Back());
  const uint32_t startNumber = r.h.frameNumber - n;
  const uint32_t behind = r.h.frameNumber - CursorFrame(s);
  const bool cursorInChain = CursorValid(s) && behind >= 1 && behind <= n &&
                             CursorNext(s) <= r.offset &&
                             (behind != 1 || CursorNext(s) == r.offset);
  if (!cursorInChain) {
    Record start;
    DecodeResult res = Fetch(s, source, r.h, startOffset, r.offset, s.chainInput.get(), &start);
    if (res != DecodeResult::kOk) return res;
    if (start.h.frameNumber != startNumber) return DecodeResult::kBadReference;
    if (start.Form() == kStoredForm) return DecodeResult::kStoredAsBase;
    uint8_t* none = nullptr;
    if (chain == kChainFromKey) {
      if (start.Form() != kKeyForm) return DecodeResult::kBadReference;
      res = DecodeKey(s, start, none);
    } else {
      if (!IsDifferenceForm(start.Form())) return DecodeResult::kBadReference;
      res = DecodeDifference(s, source, start, none);
    }
    if (res != DecodeResult::kOk) return res;
  }
  // Roll forward record by record; offsets only grow and stay below this record, and no
  // more than n steps are taken, so a hostile file cannot make this loop run on.
  for (uint32_t steps = 0; CursorFrame(s) != r.h.frameNumber - 1;) {
    if (++steps > n) return DecodeResult::kBadReference;
    Record step;
    DecodeResult res = Fetch(s, source, r.h, CursorNext(s), r.offset, s.chainInput.get(), &step);
    if (res != DecodeResult::kOk) return res;
    if (step.Form() == kStoredForm) return DecodeResult::kStoredAsBase;
    if (step.h.frameNumber != CursorFrame(s) + 1 || step.h.dataBytes < 8 ||
        (step.Form() & ~kFrameCountMask) != chain ||
        (step.Form() & kFrameCountMask) != step.h.frameNumber - startNumber ||
        step.offset - static_cast<int64_t>(step.Back()) != startOffset) {
      return DecodeResult::kBadReference;
    }
    uint8_t* none = nullptr;
    res = PredictedStep(s, step, none);
    if (res != DecodeResult::kOk) return res;
  }
  return PredictedStep(s, r, dest);
}

}  // namespace

void RebuildFrame(uint8_t* out, uint8_t* copy, const uint8_t* delta, const uint8_t* base,
                  uint32_t n, uint32_t d) {
#if defined(__SSE2__)
  switch (d) {
    case 0: return RebuildBlocks<0>(out, copy, delta, base, n);
    case 1: return RebuildBlocks<1>(out, copy, delta, base, n);
    case 2: return RebuildBlocks<2>(out, copy, delta, base, n);
    case 3: return RebuildBlocks<3>(out, copy, delta, base, n);
    case 4: return RebuildBlocks<4>(out, copy, delta, base, n);
    case 5: return RebuildBlocks<5>(out, copy, delta, base, n);
    case 6: return RebuildBlocks<6>(out, copy, delta, base, n);
    case 7: return RebuildBlocks<7>(out, copy, delta, base, n);
    case 8: return RebuildBlocks<8>(out, copy, delta, base, n);
    default: break;
  }
#endif
  uint8_t acc[kMaxSampleDistance] = {};
  for (uint32_t i = 0, j = 0; i < n; ++i) {
    uint8_t v = delta[i];
    if (d != 0) {
      v = acc[j] = static_cast<uint8_t>(acc[j] + v);
      if (++j == d) j = 0;
    }
    if (base) v = static_cast<uint8_t>(v + base[i]);
    out[i] = v;
    if (copy) copy[i] = v;
  }
}

bool InitFrameDecoder(FrameDecoderState& s, uint32_t frameBytes, uint32_t sampleDistance) {
  if (frameBytes == 0 || sampleDistance == 0 || sampleDistance > kMaxSampleDistance) return false;
  s.frameBytes = frameBytes;
  s.sampleDistance = sampleDistance;
  const uint64_t input = MaxFrameDataBytes(frameBytes);
  s.key.reset(new (std::nothrow) uint8_t[frameBytes]);
  s.frame.reset(new (std::nothrow) uint8_t[frameBytes]);
  s.diff.reset(new (std::nothrow) uint8_t[frameBytes]);
  s.chainInput.reset(new (std::nothrow) uint8_t[input]);
  s.keyInput.reset(new (std::nothrow) uint8_t[input]);
  ResetFrameDecoder(s);
  return s.key && s.frame && s.diff && s.chainInput && s.keyInput;
}

void ResetFrameDecoder(FrameDecoderState& s) {
  s.keyValid = false;
  s.frameValid = false;
  s.cursorIsKey = false;
}

DecodeResult DecodeFrameData(FrameDecoderState& s, RecordSource& source, const FrameHeader& header,
                             int64_t offset, const uint8_t* data, uint8_t* dest) {
  if (!s.key || header.dataBytes < 4 || header.dataBytes > MaxFrameDataBytes(s.frameBytes) ||
      offset < 0) {
    return DecodeResult::kBadData;
  }
  const Record r{header, offset, data};
  const uint32_t form = r.Form();
  DecodeResult res;
  const uint8_t* pixels;
  if (form == kStoredForm) {
    // A stored frame stands alone: it is shown, but nothing is built on it.
    if (header.dataBytes != static_cast<uint64_t>(s.frameBytes) + 4) return DecodeResult::kBadData;
    if (!dest) return DecodeResult::kStoredAsBase;
    std::memcpy(dest, data + 4, s.frameBytes);
    return DecodeResult::kOk;
  } else if (form == kKeyForm) {
    res = DecodeKey(s, r, dest);
    pixels = s.key.get();
  } else if (IsDifferenceForm(form)) {
    res = DecodeDifference(s, source, r, dest);
    pixels = s.frame.get();
  } else {
    res = DecodePredicted(s, source, r, dest);
    pixels = s.frame.get();
  }
  if (res == DecodeResult::kOk && dest) std::memcpy(dest, pixels, s.frameBytes);
  return res;
}

}  // namespace kz

#include "record/frame_coding.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "record/codec.h"

namespace kz {
namespace {

std::atomic<uint32_t> keyQuantPhase{0};

constexpr int32_t kMaxInterval = static_cast<int32_t>(kFrameCountMask);

uint8_t* NewArea(uint64_t bytes) {
  return new (std::nothrow) uint8_t[bytes];
}

// Dead-zone quantiser of reference frames: 0 inside (-q, q), else rounded half away from
// zero to a multiple of q, clamped to -255..255.
int32_t DeadZone(int32_t x, int32_t q) {
  if (x > -q && x < q) return 0;
  const int32_t half = x < 0 ? -(q / 2) : q / 2;
  const int32_t v = (x + half) / q * q;
  return std::clamp(v, -255, 255);
}

// H[i] = image[i] - image[i - g], the first g bytes as they are.
void HorizontalDifference(const uint8_t* image, uint32_t bytes, uint32_t g, uint8_t* h) {
  const uint32_t head = std::min(g, bytes);
  std::memcpy(h, image, head);
  for (uint32_t i = head; i < bytes; ++i) h[i] = static_cast<uint8_t>(image[i] - image[i - g]);
}

// Quantises the key image of a "KZVl" key frame with the moving phase.
void QuantiseKey(const uint8_t* frame, uint32_t bytes, uint32_t q, uint64_t period, uint8_t* key) {
  uint32_t phase = keyQuantPhase.load(std::memory_order_relaxed);
  for (uint64_t start = 0; start < bytes; start += period) {
    phase = (phase + 277) % q;
    const uint64_t end = std::min<uint64_t>(bytes, start + period);
    for (uint64_t i = start; i < end; ++i) {
      key[i] = static_cast<uint8_t>(std::min<uint32_t>(frame[i] / q * q + phase, 255));
    }
  }
  keyQuantPhase.store(phase, std::memory_order_relaxed);
}

}  // namespace

uint32_t KeyQuantPhase() {
  return keyQuantPhase.load(std::memory_order_relaxed);
}
void SetKeyQuantPhase(uint32_t phase) {
  keyQuantPhase.store(phase, std::memory_order_relaxed);
}

CodingParams DefaultCodingParams(uint32_t kind, CodingParams p) {
  if (kind == kStreamLossless) {
    if (p.keyInterval < 1) p.keyInterval = 30;
  } else if (kind == kStreamLossy) {
    if (p.refInterval < 1) p.refInterval = 15;
    if (p.keyInterval < 1) p.keyInterval = 150;
    if (p.keyInterval < p.refInterval) {
      p.keyInterval = static_cast<int32_t>(
          std::min<int64_t>(int64_t{10} * p.refInterval, std::numeric_limits<int32_t>::max()));
    }
    if (p.quantStep < 1) p.quantStep = 8;
    if (p.quantStep > 32) p.quantStep = 32;
    if (p.levels < 3) p.levels = 15;
    if (int64_t{p.levels - 1} * p.quantStep > 512) p.levels = 512 / p.quantStep + 1;
  }
  return p;
}

LevelTable LevelTable::Build(int32_t quantStep, int32_t levels) {
  const int32_t q = std::clamp(quantStep, 1, 32);
  const int32_t L = std::clamp(levels, 3, 512 / q + 1);
  int32_t p = 1;
  while (p * 2 <= q) p *= 2;
  while (p > 1 && p * L > 256) p /= 2;
  int32_t n = std::max(L - 2, 1);
  if (2 * p + n > 256) n = 256 - 2 * p;
  std::array<int32_t, 260> t{};
  t[0] = 0;
  for (int32_t i = 0; i <= n; ++i) t[i + 1] = (((256 - 2 * p) * i / n + p / 2) / p) * p + p;
  t[n + 2] = 256;

  LevelTable m;
  auto at = [&m](int32_t v) -> int16_t& {
    const int32_t index = v + 511;
    return m.values_[static_cast<size_t>(index)];
  };
  int32_t k = 0;
  for (int32_t v = 0; v < 256; ++v) {
    if (v == t[k + 1]) ++k;
    at(v) = static_cast<int16_t>(t[k]);
  }
  for (int32_t v = 256; v < 768; ++v) at(v) = at(v - 256);
  const double r = p * L / 256.0;
  const int32_t x = std::min(static_cast<int32_t>(r * r * p), 256);  // keeps x - v <= 767
  for (int32_t v = -511; v < 0; ++v) at(v) = static_cast<int16_t>(-at(x - v));
  std::array<bool, 256> seen{};
  for (int16_t level : m.values_) seen[static_cast<uint8_t>(level)] = true;
  for (uint32_t b = 0; b < 256; ++b) {
    if (seen[b]) m.levelBytes_[m.levelCount_++] = static_cast<uint8_t>(b);
  }
  return m;
}

int32_t LevelTable::Nearest(int32_t prev, int32_t target) const {
  int32_t best = 0, bestError = 256;
  for (uint32_t k = 0; k < levelCount_; ++k) {
    const int32_t error = std::abs(target - ((prev + levelBytes_[k]) & 255));
    if (error < bestError) {
      best = levelBytes_[k];
      bestError = error;
    }
  }
  return best;
}

bool InitFrameEncoder(FrameEncoderState& s, uint32_t kind, const CodingParams& params,
                      uint32_t width, uint32_t sampleDistance, uint32_t frameBytes) {
  if ((kind != kStreamLossless && kind != kStreamLossy) || frameBytes == 0 ||
      sampleDistance > kMaxSampleDistance) {
    return false;
  }
  s.kind = kind;
  s.params = DefaultCodingParams(kind, params);
  s.frameBytes = frameBytes;
  s.sampleDistance = std::max<uint32_t>(sampleDistance, 1);
  s.width = width;
  s.needKey = true;
  s.refValid = false;
  if (kind == kStreamLossy) {
    s.levelTable = LevelTable::Build(s.params.quantStep, s.params.levels);
    for (int32_t x = -255; x <= 255; ++x) {
      const int32_t index = x + 255;
      s.deadZone[static_cast<size_t>(index)] =
          static_cast<int16_t>(DeadZone(x, s.params.quantStep));
    }
  }
  const uint64_t outBytes = MaxFrameDataBytes(frameBytes);
  s.key.reset(NewArea(frameBytes));
  s.ref.reset(kind == kStreamLossy ? NewArea(frameBytes) : nullptr);
  s.residue.reset(NewArea(frameBytes));
  s.out.reset(NewArea(outBytes));
  s.codecWork = NewEncoderWork();
  return s.key && s.residue && s.out && s.codecWork && (kind != kStreamLossy || s.ref);
}

namespace {

// Codes `residue` behind `head` bytes of form fields; the stored form when the block would
// be longer than frameBytes - 16.
bool CodeBlock(FrameEncoderState& s, uint32_t head, EncodedFrame* e) {
  const int64_t worthwhile = static_cast<int64_t>(s.frameBytes) - 16;
  if (worthwhile < 1) return false;
  const size_t block = CompressFrame(s.out.get() + head, s.residue.get(), s.frameBytes,
                                     static_cast<size_t>(s.frameBytes), s.codecWork.get());
  if (static_cast<int64_t>(block) > worthwhile) return false;
  e->data = s.out.get();
  e->bytes = head + static_cast<uint32_t>(block);
  return true;
}

EncodedFrame Stored(FrameEncoderState& s, const uint8_t* frame) {
  PutU32(s.out.get(), kStoredForm);
  std::memcpy(s.out.get() + 4, frame, s.frameBytes);
  return {s.out.get(), s.frameBytes + 4, FrameForm::kStored};
}

// Distance fields of a reference to an earlier record; false when they do not fit the form.
bool Distances(uint32_t frameNumber, int64_t position, uint32_t baseFrame, int64_t baseOffset,
               uint32_t* frames, uint32_t* bytes) {
  *frames = frameNumber - baseFrame;
  const int64_t back = position - baseOffset;
  *bytes = static_cast<uint32_t>(back);
  return *frames >= 1 && *frames <= kFrameCountMask && back >= 48 && back <= kMaxFileBytes;
}

EncodedFrame EncodeKey(FrameEncoderState& s, const uint8_t* frame, uint32_t frameNumber,
                       int64_t position) {
  const uint32_t g = s.sampleDistance;
  if (s.kind == kStreamLossy) {
    const uint32_t q = static_cast<uint32_t>(s.params.quantStep);
    const uint64_t period =
        q == 1 ? s.frameBytes : std::max<uint64_t>(uint64_t{2} * s.width * g, 1024);
    QuantiseKey(frame, s.frameBytes, q, period, s.key.get());
  } else {
    std::memcpy(s.key.get(), frame, s.frameBytes);
  }
  s.keyFrame = frameNumber;
  s.keyOffset = position;
  if (!s.refValid) {
    // No reference frame yet: count reference intervals from this first key.
    s.refFrame = frameNumber;
    s.refOffset = position;
    s.refValid = true;
  }
  HorizontalDifference(s.key.get(), s.frameBytes, g, s.residue.get());
  PutU32(s.out.get(), kKeyForm);
  EncodedFrame e{nullptr, 0, FrameForm::kKey};
  // A stored key cannot serve as a base: the next frame is a key again.
  s.needKey = !CodeBlock(s, 4, &e);
  return s.needKey ? Stored(s, frame) : e;
}

}  // namespace

EncodedFrame EncodeFrame(FrameEncoderState& s, const uint8_t* frame, uint32_t frameNumber,
                         int64_t position, bool forceKey) {
  if (position < 0) {
    position = 0;
    forceKey = true;
  }
  const CodingParams& p = s.params;
  uint32_t keyFrames = 0, keyBytes = 0;
  const bool keyReachable =
      Distances(frameNumber, position, s.keyFrame, s.keyOffset, &keyFrames, &keyBytes);
  if (forceKey || s.needKey || !keyReachable ||
      keyFrames >= static_cast<uint32_t>(std::min(p.keyInterval, kMaxInterval))) {
    return EncodeKey(s, frame, frameNumber, position);
  }
  const uint32_t n = s.frameBytes;
  uint8_t* r = s.residue.get();
  const uint8_t* key = s.key.get();
  if (s.kind == kStreamLossless) {
    for (uint32_t i = 0; i < n; ++i) r[i] = static_cast<uint8_t>(frame[i] - key[i]);
    PutU32(s.out.get(), keyFrames);
    PutU32(s.out.get() + 4, keyBytes);
    EncodedFrame e{nullptr, 0, FrameForm::kDifference};
    return CodeBlock(s, 8, &e) ? e : Stored(s, frame);
  }

  uint8_t* ref = s.ref.get();
  const uint32_t refInterval = static_cast<uint32_t>(p.refInterval);
  if (frameNumber - s.refFrame >= refInterval && keyFrames >= refInterval) {
    for (uint32_t i = 0; i < n; ++i) {
      const int32_t index = frame[i] - key[i] + 255;
      r[i] = static_cast<uint8_t>(s.deadZone[static_cast<size_t>(index)]);
      ref[i] = static_cast<uint8_t>(key[i] + r[i]);
    }
    s.refFrame = frameNumber;
    s.refOffset = position;
    PutU32(s.out.get(), keyFrames);
    PutU32(s.out.get() + 4, keyBytes);
    EncodedFrame e{nullptr, 0, FrameForm::kReference};
    if (CodeBlock(s, 8, &e)) return e;
    s.needKey = true;
    return Stored(s, frame);
  }

  // Predicted: residues against the previous frame's reconstruction, accumulated per sample
  // kind so that a flat error is carried instead of coded again.
  uint32_t chainFrames = keyFrames, chainBytes = keyBytes, chainBits = kChainFromKey;
  if (s.refFrame > s.keyFrame) {
    if (!Distances(frameNumber, position, s.refFrame, s.refOffset, &chainFrames, &chainBytes)) {
      return EncodeKey(s, frame, frameNumber, position);
    }
    chainBits = kChainFromReference;
  }
  const uint8_t* base = frameNumber - 1 == s.keyFrame ? key : ref;
  const uint32_t g = s.sampleDistance;
  const LevelTable& m = s.levelTable;
  std::array<int8_t, kMaxSampleDistance> acc{};
  const uint32_t head = std::min(g, n);
  for (uint32_t i = 0; i < head; ++i) {
    r[i] = static_cast<uint8_t>(m.Level(frame[i] - base[i], base[i], frame[i]));
    acc[i] = static_cast<int8_t>(r[i]);
    ref[i] = static_cast<uint8_t>(base[i] + r[i]);
  }
  for (uint32_t i = head, j = 0; i < n; ++i) {
    const int32_t prev = static_cast<uint8_t>(base[i] + acc[j]);
    r[i] = static_cast<uint8_t>(m.Level((frame[i] - base[i]) - acc[j], prev, frame[i]));
    acc[j] = static_cast<int8_t>(static_cast<uint8_t>(acc[j] + r[i]));
    ref[i] = static_cast<uint8_t>(base[i] + acc[j]);
    if (++j == g) j = 0;
  }
  PutU32(s.out.get(), chainFrames | chainBits);
  PutU32(s.out.get() + 4, chainBytes);
  EncodedFrame e{nullptr, 0, FrameForm::kPredicted};
  if (CodeBlock(s, 8, &e)) return e;
  s.needKey = true;
  return Stored(s, frame);
}

}  // namespace kz

#include "record/frame_coding.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "record/test_data.h"

namespace kz {
namespace {

constexpr uint32_t kWidth = 96, kHeight = 64, kYuy2 = 6, kG = 4;
constexpr uint32_t kFrameBytes = kWidth * kHeight * 2;

// A recording held in memory: records appended as the writer lays them out.
class MemoryRecording : public RecordSource {
 public:
  explicit MemoryRecording(uint32_t kind) : kind_(kind) {}

  int64_t Append(uint32_t frameNumber, const EncodedFrame& e) {
    const int64_t at = static_cast<int64_t>(bytes.size());
    FrameHeader h;
    h.kind = kind_;
    h.dataBytes = e.bytes;
    h.width = kWidth;
    h.height = kHeight;
    h.format = kYuy2;
    h.frameNumber = frameNumber;
    uint8_t head[kFrameHeaderBytes], trailer[kTrailerBytes];
    EncodeFrameHeader(h, head);
    EncodeTrailer(static_cast<uint32_t>(h.RecordBytes()), trailer);
    bytes.insert(bytes.end(), head, head + sizeof head);
    bytes.insert(bytes.end(), e.data, e.data + e.bytes);
    bytes.insert(bytes.end(), trailer, trailer + sizeof trailer);
    offsets.push_back(at);
    return at;
  }

  FrameHeader Header(size_t i) const { return DecodeFrameHeader(&bytes[offsets[i]]); }
  const uint8_t* Data(size_t i) const { return &bytes[offsets[i] + kFrameHeaderBytes]; }

  bool FetchRecord(int64_t offset, FrameHeader* header, uint8_t* data, uint32_t capacity) override {
    ++fetches;
    if (offset < 0 || offset + 40 > static_cast<int64_t>(bytes.size())) return false;
    *header = DecodeFrameHeader(&bytes[offset]);
    const int64_t left = static_cast<int64_t>(bytes.size()) - offset;
    if (CheckFrameHeader(*header, kind_, left) != RecordCheck::kOk) return false;
    if (header->dataBytes > capacity) return false;
    std::memcpy(data, &bytes[offset + 40 + header->chunkBytes], header->dataBytes);
    return true;
  }

  std::vector<uint8_t> bytes;
  std::vector<int64_t> offsets;
  int fetches = 0;

 private:
  uint32_t kind_;
};

std::vector<uint8_t> Frame(uint32_t n) {
  return testdata::CameraFrame(kWidth, kHeight, n % 3 == 0 ? 1 : 0, 1000 + n, n / 2);
}

struct Coded {
  std::vector<FrameForm> forms;
  std::vector<std::vector<uint8_t>> inputs, recon;
};

// Records `count` frames; `noisy` frames are pure noise, which never pays to code.
Coded Record(MemoryRecording& file, uint32_t kind, CodingParams params, uint32_t count,
             const std::vector<uint32_t>& noisy = {}, bool still = false) {
  FrameEncoderState enc;
  EXPECT_TRUE(InitFrameEncoder(enc, kind, params, kWidth, kG, kFrameBytes));
  Coded c;
  for (uint32_t n = 0; n < count; ++n) {
    std::vector<uint8_t> f = Frame(still ? 0 : n);
    if (std::find(noisy.begin(), noisy.end(), n) != noisy.end()) {
      f = testdata::Noise(kFrameBytes, n);
    }
    const int64_t at = static_cast<int64_t>(file.bytes.size());
    const EncodedFrame e = EncodeFrame(enc, f.data(), n, at, n == 0);
    EXPECT_LE(e.bytes, kFrameBytes + 12);
    file.Append(n, e);
    c.forms.push_back(e.form);
    c.inputs.push_back(f);
    const uint8_t* r = e.form == FrameForm::kStored ? f.data()
                       : kind == kStreamLossless    ? f.data()
                       : e.form == FrameForm::kKey  ? enc.key.get()
                                                    : enc.ref.get();
    c.recon.emplace_back(r, r + kFrameBytes);
  }
  return c;
}

DecodeResult Decode(FrameDecoderState& d, MemoryRecording& file, size_t i,
                    std::vector<uint8_t>* out) {
  out->assign(kFrameBytes, 0);
  return DecodeFrameData(d, file, file.Header(i), file.offsets[i], file.Data(i), out->data());
}

// Readies `d` and decodes every record in turn, each giving exactly its `expect`.
void DecodeInTurn(FrameDecoderState& d, MemoryRecording& file,
                  const std::vector<std::vector<uint8_t>>& expect) {
  ASSERT_TRUE(InitFrameDecoder(d, kFrameBytes, kG));
  std::vector<uint8_t> out;
  for (size_t n = 0; n < expect.size(); ++n) {
    ASSERT_EQ(Decode(d, file, n, &out), DecodeResult::kOk) << n;
    ASSERT_EQ(out, expect[n]) << n;
  }
}

TEST(CodingParams, Defaults) {
  const struct {
    uint32_t kind;
    CodingParams in, out;
  } cases[] = {
      {kStreamLossless, {0, 0, 0, 0}, {30, 0, 0, 0}},
      {kStreamLossless, {7, -1, 99, 1}, {7, -1, 99, 1}},
      {kStreamLossy, {0, 0, 0, 0}, {150, 15, 8, 15}},
      {kStreamLossy, {0, 0, 40, 20}, {150, 15, 32, 17}},
      {kStreamLossy, {0, 0, 32, 17}, {150, 15, 32, 17}},
      {kStreamLossy, {5, 0, 8, 2}, {150, 15, 8, 15}},
      {kStreamLossy, {5, 20, 8, 3}, {200, 20, 8, 3}},
      {kStreamLossy, {1, 0x7FFFFFFF, 1, 1000}, {0x7FFFFFFF, 0x7FFFFFFF, 1, 513}},
      {kStreamLossy, {60, 15, -4, 0x7FFFFFFF}, {60, 15, 8, 65}},
  };
  for (const auto& c : cases) {
    const CodingParams p = DefaultCodingParams(c.kind, c.in);
    auto all = [](const CodingParams& q) {
      return std::tuple(q.keyInterval, q.refInterval, q.quantStep, q.levels);
    };
    EXPECT_EQ(all(p), all(c.out)) << c.in.keyInterval << "/" << c.in.quantStep;
  }
}

// q = 8, L = 15: p = 8, n = 13, thresholds 0, 8, 24, 48, ... (t[i+1] = ((240 i / 13 + 4) / 8)
// x 8 + 8), last 248 and 256; X = trunc((120 / 256)^2 x 8) = 1.
TEST(CodingParams, LevelTable) {
  const LevelTable m = LevelTable::Build(8, 15);
  const struct {
    int32_t v, m;
  } cases[] = {{0, 0},     {7, 0},     {8, 8},     {23, 8},     {24, 24}, {47, 24},   {48, 48},
               {247, 232}, {248, 248}, {255, 248}, {256, 0},    {264, 8}, {767, 248}, {-1, 0},
               {-6, 0},    {-7, -8},   {-23, -24}, {-300, -24}, {-511, 0}};
  for (const auto& c : cases) EXPECT_EQ(m[c.v], c.m) << c.v;
  // Extreme parameters stay inside the table.
  for (int32_t q : {1, 2, 3, 16, 32, 100, -5}) {
    for (int32_t levels : {0, 3, 17, 200, 513, 100000}) {
      const LevelTable t = LevelTable::Build(q, levels);
      for (int32_t v = -511; v < 768; ++v) ASSERT_LE(std::abs(t[v]), 255) << q << "/" << levels;
    }
  }
}

// Predicted frames over hard edges: every decoded byte stays within the rounding of the
// level table, never wrapped round to the far end of 0..255. The bound is the documented
// table's widest step between neighbouring levels (q 1 has steps of 1 but rounds negative
// steps by X = 4).
TEST(FrameCoding, PredictedEdgesStayWithinTheLevelRounding) {
  using Picture = uint8_t (*)(uint32_t i);
  const Picture pictures[] = {
      [](uint32_t) -> uint8_t { return 255; },                       // key: white
      [](uint32_t) -> uint8_t { return 0; },                         // white to black
      [](uint32_t) -> uint8_t { return 255; },                       // black to white
      [](uint32_t i) -> uint8_t { return i / 8 % 2 ? 0 : 255; },     // edges in a row
      [](uint32_t i) -> uint8_t { return i / 8 % 2 ? 255 : 0; },     // every edge turned
      [](uint32_t) -> uint8_t { return 128; },                       // mid grey
      [](uint32_t i) -> uint8_t { return i / 12 % 2 ? 64 : 192; },   // grey steps
      [](uint32_t i) -> uint8_t { return static_cast<uint8_t>(i % 7); },          // near 0
      [](uint32_t i) -> uint8_t { return static_cast<uint8_t>(255 - i % 7); },  // near 255
      [](uint32_t i) -> uint8_t { return static_cast<uint8_t>(i % 5 * 60); },
  };
  const struct {
    int32_t q, levels, bound;
  } cases[] = {{8, 15, 24}, {32, 17, 16}, {16, 9, 32}, {1, 513, 4}, {32, 3, 192}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.q);
    MemoryRecording file(kKindLossyFourcc);
    FrameEncoderState enc;
    ASSERT_TRUE(InitFrameEncoder(enc, kStreamLossy, {1000, 1000, c.q, c.levels}, kWidth, kG,
                                 kFrameBytes));
    FrameDecoderState d;
    ASSERT_TRUE(InitFrameDecoder(d, kFrameBytes, kG));
    std::vector<uint8_t> in(kFrameBytes), out;
    for (uint32_t n = 0; n < std::size(pictures); ++n) {
      SCOPED_TRACE(n);
      for (uint32_t i = 0; i < kFrameBytes; ++i) in[i] = pictures[n](i);
      const EncodedFrame e =
          EncodeFrame(enc, in.data(), n, static_cast<int64_t>(file.bytes.size()), n == 0);
      EXPECT_EQ(e.form, n == 0 ? FrameForm::kKey : FrameForm::kPredicted);
      file.Append(n, e);
      ASSERT_EQ(Decode(d, file, n, &out), DecodeResult::kOk);
      int worst = 0;
      for (uint32_t i = 0; i < kFrameBytes; ++i) worst = std::max(worst, std::abs(out[i] - in[i]));
      EXPECT_LE(worst, n == 0 ? c.q : c.bound);
    }
  }
}

// The vector rebuild against the plain loops of the decoder, for every delta distance
// (0: a difference to the key), lengths around the block size, in place or not, with a base
// or without, with a copy or without.
TEST(FrameCoding, RebuildMatchesPlainLoops) {
  for (uint32_t d = 0; d <= kMaxSampleDistance; ++d) {
    for (uint32_t n : {1u, 7u, 15u, 16u, 17u, 33u, 1000u, 4099u}) {
      const std::vector<uint8_t> delta = testdata::Noise(n, n + d), base = testdata::Noise(n, d);
      for (int mode = 0; mode < 4; ++mode) {  // bit 0: add the base; bit 1: in place
        const bool withBase = mode & 1, inPlace = mode & 2;
        std::vector<uint8_t> expect(n);
        for (uint32_t i = 0; i < n; ++i) {
          expect[i] = static_cast<uint8_t>(delta[i] + (d != 0 && i >= d ? expect[i - d] : 0));
        }
        for (uint32_t i = 0; withBase && i < n; ++i) expect[i] += base[i];
        std::vector<uint8_t> out = inPlace ? delta : std::vector<uint8_t>(n), copy(n);
        RebuildFrame(out.data(), mode == 3 ? nullptr : copy.data(),
                     inPlace ? out.data() : delta.data(), withBase ? base.data() : nullptr, n, d);
        ASSERT_EQ(out, expect) << d << " " << n << " " << mode;
        if (mode != 3) {
          ASSERT_EQ(copy, expect) << d << " " << n << " " << mode;
        }
      }
    }
  }
}

TEST(FrameCoding, LosslessSequenceDecodesExactly) {
  MemoryRecording file(kKindLosslessFourcc);
  const Coded c = Record(file, kStreamLossless, {30, 0, 0, 0}, 65);
  for (uint32_t n = 0; n < 65; ++n) {
    EXPECT_EQ(c.forms[n], n % 30 == 0 ? FrameForm::kKey : FrameForm::kDifference) << n;
  }
  // Frame 31 points back to frame 30's record.
  EXPECT_EQ(GetU32(file.Data(31)), 1u);
  EXPECT_EQ(GetU32(file.Data(31) + 4), file.offsets[31] - file.offsets[30]);
  EXPECT_EQ(GetU32(file.Data(59)), 29u);

  FrameDecoderState d;
  ASSERT_NO_FATAL_FAILURE(DecodeInTurn(d, file, c.inputs));
  EXPECT_EQ(file.fetches, 0);  // playing forward needs no record twice
  // Straight into the middle: the key is fetched once, then cached.
  FrameDecoderState fresh;
  ASSERT_TRUE(InitFrameDecoder(fresh, kFrameBytes, kG));
  std::vector<uint8_t> out;
  for (size_t n : {45u, 44u, 50u}) {
    ASSERT_EQ(Decode(fresh, file, n, &out), DecodeResult::kOk);
    EXPECT_EQ(out, c.inputs[n]);
  }
  EXPECT_EQ(file.fetches, 1);
}

TEST(FrameCoding, StoredLosslessFrames) {
  // 10: a noisy difference is stored and leaves the key alone; 30: a stored key makes 31
  // a key frame too.
  MemoryRecording file(kKindLosslessFourcc);
  const Coded c = Record(file, kStreamLossless, {30, 0, 0, 0}, 34, {10, 30});
  EXPECT_EQ(c.forms[10], FrameForm::kStored);
  EXPECT_EQ(c.forms[11], FrameForm::kDifference);
  EXPECT_EQ(GetU32(file.Data(11)), 11u);
  EXPECT_EQ(c.forms[30], FrameForm::kStored);
  EXPECT_EQ(c.forms[31], FrameForm::kKey);
  EXPECT_EQ(c.forms[32], FrameForm::kDifference);
  EXPECT_EQ(GetU32(file.Data(32)), 1u);
  EXPECT_EQ(GetU32(file.Data(10)), kStoredForm);
  EXPECT_EQ(file.Header(10).dataBytes, kFrameBytes + 4);
  FrameDecoderState d;
  ASSERT_NO_FATAL_FAILURE(DecodeInTurn(d, file, c.inputs));
  // A stored frame serves no one as a base.
  EXPECT_EQ(DecodeFrameData(d, file, file.Header(10), file.offsets[10], file.Data(10), nullptr),
            DecodeResult::kStoredAsBase);
}

TEST(FrameCoding, LossySequenceMatchesEncoderReconstruction) {
  SetKeyQuantPhase(0);
  MemoryRecording file(kKindLossyFourcc);
  const Coded c = Record(file, kStreamLossy, {60, 15, 8, 15}, 70);
  for (uint32_t n = 0; n < 70; ++n) {
    const FrameForm expect = n % 60 == 0   ? FrameForm::kKey
                             : n % 15 == 0 ? FrameForm::kReference
                                           : FrameForm::kPredicted;
    EXPECT_EQ(c.forms[n], expect) << n;
  }
  EXPECT_EQ(GetU32(file.Data(1)), 1u | kChainFromKey);
  EXPECT_EQ(GetU32(file.Data(16)), 1u | kChainFromReference);
  EXPECT_EQ(GetU32(file.Data(16) + 4), file.offsets[16] - file.offsets[15]);
  EXPECT_EQ(GetU32(file.Data(29)), 14u | kChainFromReference);
  EXPECT_EQ(GetU32(file.Data(30)), 30u);
  EXPECT_EQ(GetU32(file.Data(30) + 4), file.offsets[30]);
  EXPECT_EQ(GetU32(file.Data(61)), 1u | kChainFromKey);

  // The key's grid follows the phase: 277 mod 8 = 5 for the first block of bytes.
  for (size_t i = 0; i < 1024; ++i) {
    ASSERT_EQ(c.recon[0][i], std::min(c.inputs[0][i] / 8 * 8 + 5, 255)) << i;
  }
  FrameDecoderState d;
  ASSERT_NO_FATAL_FAILURE(DecodeInTurn(d, file, c.recon));
  EXPECT_EQ(file.fetches, 0);
  // Lossy, but close: the mean error of what was decoded stays below one quantiser step.
  for (size_t n = 0; n < 70; ++n) {
    uint64_t err = 0;
    for (size_t i = 0; i < kFrameBytes; ++i) err += std::abs(c.recon[n][i] - c.inputs[n][i]);
    EXPECT_LT(err / kFrameBytes, 8u) << n;
  }
  std::vector<uint8_t> out;
  // Into the middle of chains: rolled forward from the reference or the key.
  for (size_t n : {52u, 7u, 53u, 66u, 40u}) {
    FrameDecoderState fresh;
    ASSERT_TRUE(InitFrameDecoder(fresh, kFrameBytes, kG));
    ASSERT_EQ(Decode(fresh, file, n, &out), DecodeResult::kOk) << n;
    EXPECT_EQ(out, c.recon[n]) << n;
    ASSERT_EQ(Decode(d, file, n, &out), DecodeResult::kOk) << n;  // a warm decoder jumping
    EXPECT_EQ(out, c.recon[n]) << n;
  }
}

TEST(FrameCoding, StoredLossyFrameIsFollowedByKey) {
  // quantStep 1 with 513 levels codes exactly, so noise cannot be coded below its size;
  // the scene stands still around the noisy frames. 5 would be predicted, 21 a reference
  // (21 - 6 = 15 frames after the key that follows 5), 30 predicted again. The stored
  // reference still counts for the spacing of references: the next one is 46.
  MemoryRecording file(kKindLossyFourcc);
  const Coded c = Record(file, kStreamLossy, {0, 0, 1, 600}, 48, {5, 21, 30}, true);
  const std::vector<std::pair<uint32_t, FrameForm>> expect = {
      {0, FrameForm::kKey},        {4, FrameForm::kPredicted}, {5, FrameForm::kStored},
      {6, FrameForm::kKey},        {7, FrameForm::kPredicted}, {20, FrameForm::kPredicted},
      {21, FrameForm::kStored},    {22, FrameForm::kKey},      {29, FrameForm::kPredicted},
      {30, FrameForm::kStored},    {31, FrameForm::kKey},      {37, FrameForm::kPredicted},
      {46, FrameForm::kReference}, {47, FrameForm::kPredicted}};
  for (const auto& [n, form] : expect) EXPECT_EQ(c.forms[n], form) << n;
  EXPECT_EQ(c.recon, c.inputs);
  FrameDecoderState d;
  ASSERT_NO_FATAL_FAILURE(DecodeInTurn(d, file, c.recon));
}

TEST(FrameCoding, HostileRecordsFailCleanly) {
  MemoryRecording file(kKindLossyFourcc);
  Record(file, kStreamLossy, {60, 15, 8, 15}, 35);
  FrameDecoderState d;
  ASSERT_TRUE(InitFrameDecoder(d, kFrameBytes, kG));
  std::vector<uint8_t> out(kFrameBytes);

  auto decodeWith = [&](size_t i, uint32_t form, uint32_t back) {
    std::vector<uint8_t> data(file.Data(i), file.Data(i) + file.Header(i).dataBytes);
    PutU32(data.data(), form);
    PutU32(data.data() + 4, back);
    ResetFrameDecoder(d);
    return DecodeFrameData(d, file, file.Header(i), file.offsets[i], data.data(), out.data());
  };
  const uint32_t back20 = static_cast<uint32_t>(file.offsets[20] - file.offsets[15]);
  EXPECT_EQ(decodeWith(20, 5 | kChainFromReference, back20), DecodeResult::kOk);
  const struct {
    uint32_t form, back;
    DecodeResult result;
  } cases[] = {
      {5 | kChainFromReference, 0, DecodeResult::kBadReference},   // points at itself
      {5 | kChainFromReference, 20, DecodeResult::kBadReference},  // inside the record before
      {5 | kChainFromReference, 0xFFFFFFF0, DecodeResult::kBadReference},  // before the file
      {5 | kChainFromReference, back20 + 1, DecodeResult::kReadFailed},    // not a record start
      {4 | kChainFromReference, back20, DecodeResult::kBadReference},      // frame numbers disagree
      {5 | kChainFromKey, back20, DecodeResult::kBadReference},  // a reference is not a key
      {5 | 0x40000000u, back20, DecodeResult::kBadData},
      {0 | kChainFromReference, back20, DecodeResult::kBadReference},
      {5, back20, DecodeResult::kBadReference},  // a difference whose "key" is a reference
      {20, static_cast<uint32_t>(file.offsets[20]), DecodeResult::kOk},  // the real key
      {21, static_cast<uint32_t>(file.offsets[20]), DecodeResult::kBadReference},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decodeWith(20, c.form, c.back), c.result) << std::hex << c.form << " " << c.back;
  }
  // Sizes: a stored form of the wrong length, more data than a frame can need, a block
  // that decodes short.
  FrameHeader h = file.Header(20);
  std::vector<uint8_t> data(kFrameBytes + 64, 0);
  PutU32(data.data(), kStoredForm);
  h.dataBytes = kFrameBytes + 3;
  EXPECT_EQ(DecodeFrameData(d, file, h, file.offsets[20], data.data(), out.data()),
            DecodeResult::kBadData);
  h.dataBytes = kFrameBytes + 13;
  EXPECT_EQ(DecodeFrameData(d, file, h, file.offsets[20], data.data(), out.data()),
            DecodeResult::kBadData);
  h = file.Header(0);
  h.dataBytes = file.Header(0).dataBytes / 2;
  EXPECT_EQ(DecodeFrameData(d, file, h, 0, file.Data(0), out.data()), DecodeResult::kBadData);
  h.dataBytes = 3;
  EXPECT_EQ(DecodeFrameData(d, file, h, 0, file.Data(0), out.data()), DecodeResult::kBadData);

  // Random frame data and damaged files: any answer but a crash or an overrun.
  testdata::Rng rng(3);
  for (int round = 0; round < 300; ++round) {
    const size_t i = rng.Below(35);
    std::vector<uint8_t> junk(file.Data(i), file.Data(i) + file.Header(i).dataBytes);
    for (int k = 0; k < 1 + static_cast<int>(rng.Below(6)); ++k) {
      junk[rng.Below(static_cast<uint32_t>(std::min<size_t>(junk.size(), 64)))] = rng.Byte();
    }
    if (round % 3 == 0) junk = testdata::Noise(8 + rng.Below(200), round);
    FrameHeader jh = file.Header(i);
    jh.dataBytes = static_cast<uint32_t>(junk.size());
    if (round % 2) ResetFrameDecoder(d);
    DecodeFrameData(d, file, jh, file.offsets[i], junk.data(), out.data());
  }
  MemoryRecording damaged = file;
  for (int k = 0; k < 200; ++k) {
    damaged.bytes[rng.Below(static_cast<uint32_t>(damaged.bytes.size()))] ^= rng.Byte();
  }
  for (size_t i = 0; i < 35; ++i) {
    const FrameHeader dh = damaged.Header(i);
    if (CheckFrameHeader(dh, kKindLossyFourcc,
                         static_cast<int64_t>(damaged.bytes.size()) - damaged.offsets[i]) !=
            RecordCheck::kOk ||
        dh.dataBytes > MaxFrameDataBytes(kFrameBytes)) {
      continue;
    }
    DecodeFrameData(d, damaged, dh, damaged.offsets[i], damaged.Data(i), out.data());
  }
}

}  // namespace
}  // namespace kz

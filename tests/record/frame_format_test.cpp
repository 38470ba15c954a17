#include "record/frame_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace kz {
namespace {

// Fields of the 4-packed records are read by value: a reference to a packed double or
// pointer would be misaligned on 64-bit hosts.
template <typename T>
T Value(T v) {
  return v;
}

TEST(FrameFormat, HeaderBytesAndRoundTrip) {
  FrameHeader h;
  h.kind = kKindLosslessFourcc;
  h.chunkBytes = 376;
  h.dataBytes = 0x01020304;
  h.width = 640;
  h.height = 480;
  h.format = 6;
  h.msLow = 0xA1B2C3D4;
  h.msHigh = 0x0102;
  h.julian = 2460000.5;  // 0x4142C4B040000000
  h.frameNumber = 0x11223344;
  uint8_t out[40];
  std::memset(out, 0xEE, sizeof out);
  EncodeFrameHeader(h, out);
  const uint8_t expect[40] = {'K',  'Z',  'V',  'c',  0x78, 0x01, 0,    0,    0x04, 0x03,
                              0x02, 0x01, 0x80, 0x02, 0xE0, 0x01, 6,    0,    0,    0,
                              0xD4, 0xC3, 0xB2, 0xA1, 0x02, 0x01, 0,    0,    0,    0,
                              0,    0x40, 0xB0, 0xC4, 0x42, 0x41, 0x44, 0x33, 0x22, 0x11};
  EXPECT_EQ(0, std::memcmp(out, expect, 40));
  const FrameHeader back = DecodeFrameHeader(out);
  EXPECT_EQ(back.kind, h.kind);
  EXPECT_EQ(back.chunkBytes, h.chunkBytes);
  EXPECT_EQ(back.dataBytes, h.dataBytes);
  EXPECT_EQ(back.width, h.width);
  EXPECT_EQ(back.height, h.height);
  EXPECT_EQ(back.format, h.format);
  EXPECT_EQ(back.msLow, h.msLow);
  EXPECT_EQ(back.msHigh, h.msHigh);
  EXPECT_EQ(back.julian, h.julian);
  EXPECT_EQ(back.frameNumber, h.frameNumber);
  EXPECT_EQ(back.RecordBytes(), 48u + 376u + 0x01020304u);
}

int CallbackA(KZRECORD*, const void*) {
  return 1;
}

KZRECORD SampleRecord() {
  KZRECORD r{};
  r.size = sizeof(KZRECORD);
  r.session = 0x01020304;
  r.source = 3;
  r.width = -5;
  r.height = 480;
  r.format = 6;
  r.bitCount = 16;
  r.window = reinterpret_cast<KZHWND>(uintptr_t{0x12345678});
  r.sourceSetting = 7;
  std::strcpy(r.fileName, "c:\\video\\take1.kzv");
  r.fileFlags = 0x2002;
  r.maxFileMB = 100;
  r.startTime = 1.5;
  r.stopTime = -2.25;
  r.duration = 0.125;
  r.rate = 25.0;
  r.reserved = 0xCAFEBABE;
  r.keyInterval = 30;
  r.refInterval = 15;
  r.quantStep = 8;
  r.levels = 15;
  r.aviOptions = reinterpret_cast<KZHGLOBAL>(uintptr_t{0x0BADF00D});
  r.frameFilter = &CallbackA;
  r.recordFlags = 8;
  return r;
}

TEST(FrameFormat, RecordBlockInThirtyTwoBitLayout) {
  const KZRECORD r = SampleRecord();
  uint8_t b[368];
  EncodeRecordBlock(r, b);
  EXPECT_EQ(GetU32(b + 0), 368u);
  EXPECT_EQ(GetU32(b + 4), 0x01020304u);
  EXPECT_EQ(GetU32(b + 12), 0xFFFFFFFBu);
  EXPECT_EQ(GetU32(b + 28), 0x12345678u);
  EXPECT_EQ(GetU32(b + 32), 7u);
  EXPECT_STREQ(reinterpret_cast<const char*>(b + 36), "c:\\video\\take1.kzv");
  EXPECT_EQ(GetU32(b + 292), 0x2002u);
  EXPECT_EQ(GetU32(b + 296), 100u);
  EXPECT_EQ(GetF64(b + 300), 1.5);
  EXPECT_EQ(GetF64(b + 308), -2.25);
  EXPECT_EQ(GetF64(b + 316), 0.125);
  EXPECT_EQ(GetF64(b + 324), 25.0);
  EXPECT_EQ(GetU32(b + 332), 0xCAFEBABEu);
  EXPECT_EQ(GetU32(b + 336), 30u);
  EXPECT_EQ(GetU32(b + 340), 15u);
  EXPECT_EQ(GetU32(b + 344), 8u);
  EXPECT_EQ(GetU32(b + 348), 15u);
  EXPECT_EQ(GetU32(b + 352), 0x0BADF00Du);
  EXPECT_EQ(GetU32(b + 356), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&CallbackA)));
  EXPECT_EQ(GetU32(b + 360), 0u);
  EXPECT_EQ(GetU32(b + 364), 8u);

  KZRECORD back;
  std::memset(&back, 0x5A, sizeof back);
  DecodeRecordBlock(b, &back);
  EXPECT_EQ(back.size, sizeof(KZRECORD));
  EXPECT_EQ(back.session, r.session);
  EXPECT_EQ(back.width, -5);
  EXPECT_STREQ(back.fileName, r.fileName);
  EXPECT_EQ(Value(back.stopTime), -2.25);
  EXPECT_EQ(back.reserved, 0xCAFEBABEu);
  EXPECT_EQ(back.levels, 15);
  EXPECT_EQ(back.recordFlags, 8u);
  // Pointers and handles never come from a file.
  EXPECT_TRUE(back.window == nullptr);
  EXPECT_TRUE(back.aviOptions == nullptr);
  EXPECT_TRUE(back.frameFilter == nullptr);
  EXPECT_TRUE(back.endNotify == nullptr);
  // An unterminated name from a file comes back terminated.
  std::memset(b + 36, 'x', 256);
  DecodeRecordBlock(b, &back);
  EXPECT_EQ(std::strlen(back.fileName), 255u);
}

KZDISPLAY SampleDisplay() {
  KZDISPLAY d{};
  d.size = sizeof(KZDISPLAY);
  d.width = 320;
  d.height = 240;
  d.format = 4;
  d.bitCount = 16;
  d.window = reinterpret_cast<KZHWND>(uintptr_t{0x100});
  d.left = -3;
  d.top = 9;
  d.rate = 29.97;
  d.cropLeft = 1;
  d.cropTop = 2;
  d.cropWidth = 300;
  d.cropHeight = 200;
  d.orientation = 0x11;
  d.zoom = 2.5;
  d.aspect = 0.75;
  d.resampling = 0x2003;
  d.adjust.blackLevel = 0x101010;
  d.adjust.whiteLevel = 0xF0F0F0;
  d.adjust.whiteBalance = 0x808080;
  d.adjust.radialStrength = -40;
  d.adjust.contrast = 500;
  d.adjust.brightness = -250;
  d.adjust.gamma = 1.8;
  d.adjust.saturation = 77;
  d.adjust.chromaBalance = -12;
  d.drawFlags = 3;
  return d;
}

TEST(FrameFormat, DisplayBlockInThirtyTwoBitLayout) {
  const KZDISPLAY d = SampleDisplay();
  uint8_t b[160];
  EncodeDisplayBlock(d, b);
  const struct {
    size_t offset;
    uint32_t value;
  } words[] = {{0, 160},         {0x0c, 320},        {0x10, 240},    {0x14, 4},
               {0x1c, 0x100},    {0x24, 0xFFFFFFFD}, {0x28, 9},      {0x34, 1},
               {0x40, 200},      {0x44, 0x11},       {0x58, 0x2003}, {0x5c, 0x101010},
               {0x60, 0xF0F0F0}, {0x68, 0xFFFFFFD8}, {0x78, 500},    {0x7c, 0xFFFFFF06},
               {0x88, 77},       {0x8c, 0xFFFFFFF4}, {0x90, 0},      {0x9c, 3}};
  for (const auto& w : words) EXPECT_EQ(GetU32(b + w.offset), w.value) << w.offset;
  EXPECT_EQ(GetF64(b + 0x2c), 29.97);
  EXPECT_EQ(GetF64(b + 0x48), 2.5);
  EXPECT_EQ(GetF64(b + 0x50), 0.75);
  EXPECT_EQ(GetF64(b + 0x80), 1.8);

  KZDISPLAY back;
  std::memset(&back, 0x5A, sizeof back);
  DecodeDisplayBlock(b, &back);
  EXPECT_EQ(back.size, sizeof(KZDISPLAY));
  EXPECT_TRUE(back.window == nullptr);
  EXPECT_TRUE(back.beforeDrawCallback == nullptr);
  EXPECT_TRUE(back.afterDrawCallback == nullptr);
  EXPECT_EQ(back.left, -3);
  EXPECT_EQ(Value(back.rate), 29.97);
  EXPECT_EQ(Value(back.zoom), 2.5);
  EXPECT_EQ(back.resampling, 0x2003u);
  EXPECT_EQ(Value(back.adjust.gamma), 1.8);
  EXPECT_EQ(back.adjust.chromaBalance, -12);
  EXPECT_EQ(back.drawFlags, 3u);
}

TEST(FrameFormat, ChunkPartRoundTripAndWalk) {
  const KZRECORD r = SampleRecord();
  const KZDISPLAY d = SampleDisplay();
  std::vector<uint8_t> part(kMaxChunkPartBytes);
  ASSERT_EQ(EncodeChunkPart(r, nullptr, part.data()), 376u);
  EXPECT_EQ(0, std::memcmp(part.data(), "REC\0\x70\x01\0\0", 8));
  ASSERT_EQ(EncodeChunkPart(r, &d, part.data()), 544u);
  EXPECT_EQ(0, std::memcmp(part.data() + 376, "DISP\xA0\0\0\0", 8));

  ChunkContents c = DecodeChunkPart(part);
  EXPECT_TRUE(c.hasRecord);
  EXPECT_TRUE(c.hasDisplay);
  EXPECT_EQ(c.record.keyInterval, 30);
  EXPECT_EQ(c.display.cropWidth, 300);

  // Only the record description.
  c = DecodeChunkPart(std::span<const uint8_t>(part.data(), 376));
  EXPECT_TRUE(c.hasRecord);
  EXPECT_FALSE(c.hasDisplay);

  // An unknown chunk in front is passed over.
  std::vector<uint8_t> withOther{'X', 'Y', 'Z', 'W', 8, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
  withOther.insert(withOther.end(), part.begin(), part.end());
  c = DecodeChunkPart(withOther);
  EXPECT_TRUE(c.hasRecord && c.hasDisplay);

  // A length below 8 or past the end stops the walk; a block whose size field is wrong is
  // not taken.
  std::vector<uint8_t> shortLen = withOther;
  shortLen[4] = 7;
  EXPECT_FALSE(DecodeChunkPart(shortLen).hasRecord);
  std::vector<uint8_t> cut(part.begin(), part.begin() + 543);
  c = DecodeChunkPart(cut);
  EXPECT_TRUE(c.hasRecord);
  EXPECT_FALSE(c.hasDisplay);
  std::vector<uint8_t> badSize = part;
  badSize[8] = 0x6F;  // 367
  c = DecodeChunkPart(badSize);
  EXPECT_FALSE(c.hasRecord);
  EXPECT_TRUE(c.hasDisplay);
  EXPECT_FALSE(DecodeChunkPart({}).hasRecord);
}

TEST(FrameFormat, TrailerAndChecks) {
  uint8_t t[8];
  EncodeTrailer(424, t);
  const uint8_t expect[8] = {0xA8, 0x01, 0, 0, 'E', 'N', 'D', 0};
  EXPECT_EQ(0, std::memcmp(t, expect, 8));
  uint32_t bytes = 0;
  EXPECT_EQ(CheckTrailer(t, 424, &bytes), RecordCheck::kOk);
  EXPECT_EQ(bytes, 424u);
  EXPECT_EQ(CheckTrailer(t, 423, &bytes), RecordCheck::kBadTrailer);  // reaches before 0
  EncodeTrailer(47, t);
  EXPECT_EQ(CheckTrailer(t, 1000, &bytes), RecordCheck::kBadTrailer);
  EncodeTrailer(100, t);
  t[7] = 1;
  EXPECT_EQ(CheckTrailer(t, 1000, &bytes), RecordCheck::kBadTrailer);

  FrameHeader h;
  h.kind = kKindRawFourcc;
  h.width = 4;
  h.height = 2;
  h.format = 11;
  h.dataBytes = 8;
  const struct {
    uint32_t kind, expected;
    uint16_t width, format;
    uint32_t chunkBytes, dataBytes;
    int64_t remaining;
    RecordCheck result;
  } cases[] = {
      {kKindRawFourcc, 0, 4, 11, 0, 8, 56, RecordCheck::kOk},
      {kKindRawFourcc, kKindRawFourcc, 4, 11, 376, 8, 432, RecordCheck::kOk},
      {kKindRawFourcc, kKindLossyFourcc, 4, 11, 0, 8, 56, RecordCheck::kBadKind},
      {Fourcc('K', 'Z', 'V', 'x'), 0, 4, 11, 0, 8, 56, RecordCheck::kBadKind},
      {kKindLossyFourcc, 0, 0, 11, 0, 8, 56, RecordCheck::kBadFormat},
      {kKindLossyFourcc, 0, 4, 15, 0, 8, 56, RecordCheck::kBadFormat},
      {kKindRawFourcc, 0, 4, 11, 0, 8, 55, RecordCheck::kTruncated},
      {kKindRawFourcc, 0, 4, 11, 376, 8, 431, RecordCheck::kTruncated},
      {kKindRawFourcc, 0, 4, 11, 0xFFFFFFFF, 0xFFFFFFFF, int64_t{1} << 40, RecordCheck::kTruncated},
      {kKindRawFourcc, 0, 4, 11, 0, 8, -1, RecordCheck::kTruncated},
  };
  for (const auto& c : cases) {
    h.kind = c.kind;
    h.width = c.width;
    h.format = c.format;
    h.chunkBytes = c.chunkBytes;
    h.dataBytes = c.dataBytes;
    EXPECT_EQ(CheckFrameHeader(h, c.expected, c.remaining), c.result)
        << c.chunkBytes << " " << c.remaining;
  }
}

}  // namespace
}  // namespace kz

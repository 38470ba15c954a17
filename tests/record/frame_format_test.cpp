#include "record/frame_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace kz {
namespace {

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
  uint8_t out[40], again[40];
  std::memset(out, 0xEE, sizeof out);
  EncodeFrameHeader(h, out);
  const uint8_t expect[40] = {'K',  'Z',  'V',  'c',  0x78, 0x01, 0,    0,    0x04, 0x03,
                              0x02, 0x01, 0x80, 0x02, 0xE0, 0x01, 6,    0,    0,    0,
                              0xD4, 0xC3, 0xB2, 0xA1, 0x02, 0x01, 0,    0,    0,    0,
                              0,    0x40, 0xB0, 0xC4, 0x42, 0x41, 0x44, 0x33, 0x22, 0x11};
  EXPECT_EQ(0, std::memcmp(out, expect, 40));
  EncodeFrameHeader(DecodeFrameHeader(out), again);
  EXPECT_EQ(0, std::memcmp(again, expect, 40));
  EXPECT_EQ(DecodeFrameHeader(out).RecordBytes(), 48u + 376u + 0x01020304u);
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

KZDISPLAY SampleDisplay() {
  KZDISPLAY d{};
  d.size = sizeof(KZDISPLAY);
  d.width = 320;
  d.height = 240;
  d.format = 4;
  d.window = reinterpret_cast<KZHWND>(uintptr_t{0x100});
  d.left = -3;
  d.top = 9;
  d.rate = 29.97;
  d.cropLeft = 1;
  d.cropHeight = 200;
  d.orientation = 0x11;
  d.zoom = 2.5;
  d.aspect = 0.75;
  d.resampling = 0x2003;
  d.adjust.blackLevel = 0x101010;
  d.adjust.whiteLevel = 0xF0F0F0;
  d.adjust.radialStrength = -40;
  d.adjust.contrast = 500;
  d.adjust.brightness = -250;
  d.adjust.gamma = 1.8;
  d.adjust.saturation = 77;
  d.adjust.chromaBalance = -12;
  d.drawFlags = 3;
  return d;
}

// Both chunk blocks in the 32-bit layout: the words and doubles where they belong; read back
// and written again they give the same bytes, except handles, which never come from a file.
TEST(FrameFormat, ChunkBlocksInThirtyTwoBitLayout) {
  uint8_t rec[368], disp[160], again[368];
  EncodeRecordBlock(SampleRecord(), rec);
  EncodeDisplayBlock(SampleDisplay(), disp);
  const struct {
    const uint8_t* block;
    size_t offset;
    uint32_t value;
  } words[] = {
      {rec, 0, 368},          {rec, 4, 0x01020304},   {rec, 12, 0xFFFFFFFB},
      {rec, 28, 0x12345678},  {rec, 32, 7},           {rec, 292, 0x2002},
      {rec, 296, 100},        {rec, 332, 0xCAFEBABE}, {rec, 336, 30},
      {rec, 340, 15},         {rec, 344, 8},          {rec, 348, 15},
      {rec, 352, 0x0BADF00D}, {rec, 360, 0},          {rec, 364, 8},
      {disp, 0, 160},         {disp, 0x0c, 320},      {disp, 0x10, 240},
      {disp, 0x14, 4},        {disp, 0x1c, 0x100},    {disp, 0x24, 0xFFFFFFFD},
      {disp, 0x28, 9},        {disp, 0x34, 1},        {disp, 0x40, 200},
      {disp, 0x44, 0x11},     {disp, 0x58, 0x2003},   {disp, 0x5c, 0x101010},
      {disp, 0x60, 0xF0F0F0}, {disp, 0x68, 0xFFFFFFD8}, {disp, 0x78, 500},
      {disp, 0x7c, 0xFFFFFF06}, {disp, 0x88, 77},     {disp, 0x8c, 0xFFFFFFF4},
      {disp, 0x90, 0},        {disp, 0x9c, 3},
  };
  for (const auto& w : words) {
    EXPECT_EQ(GetU32(w.block + w.offset), w.value) << (w.block == rec ? "REC " : "DISP ") << w.offset;
  }
  EXPECT_EQ(GetU32(rec + 356), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&CallbackA)));
  EXPECT_STREQ(reinterpret_cast<const char*>(rec + 36), "c:\\video\\take1.kzv");
  const struct {
    const uint8_t* block;
    size_t offset;
    double value;
  } doubles[] = {{rec, 300, 1.5},    {rec, 308, -2.25},   {rec, 316, 0.125},  {rec, 324, 25.0},
                 {disp, 0x2c, 29.97}, {disp, 0x48, 2.5}, {disp, 0x50, 0.75}, {disp, 0x80, 1.8}};
  for (const auto& d : doubles) EXPECT_EQ(GetF64(d.block + d.offset), d.value) << d.offset;

  KZRECORD r;
  std::memset(&r, 0x5A, sizeof r);
  DecodeRecordBlock(rec, &r);
  EXPECT_EQ(r.size, sizeof(KZRECORD));
  EXPECT_TRUE(r.window == nullptr && r.aviOptions == nullptr && r.frameFilter == nullptr &&
              r.endNotify == nullptr);
  EncodeRecordBlock(r, again);
  for (size_t handle : {28, 352, 356}) std::memset(rec + handle, 0, 4);
  EXPECT_EQ(0, std::memcmp(again, rec, 368));
  KZDISPLAY d;
  std::memset(&d, 0x5A, sizeof d);
  DecodeDisplayBlock(disp, &d);
  EXPECT_EQ(d.size, sizeof(KZDISPLAY));
  EXPECT_TRUE(d.window == nullptr && d.beforeDrawCallback == nullptr);
  EncodeDisplayBlock(d, again);
  std::memset(disp + 28, 0, 4);
  EXPECT_EQ(0, std::memcmp(again, disp, 160));
  // An unterminated name from a file comes back terminated.
  std::memset(rec + 36, 'x', 256);
  DecodeRecordBlock(rec, &r);
  EXPECT_EQ(std::strlen(r.fileName), 255u);
}

TEST(FrameFormat, ChunkPartRoundTripAndWalk) {
  const KZRECORD r = SampleRecord();
  const KZDISPLAY d = SampleDisplay();
  std::vector<uint8_t> part(kMaxChunkPartBytes);
  ASSERT_EQ(EncodeChunkPart(r, nullptr, part.data()), 376u);
  EXPECT_EQ(0, std::memcmp(part.data(), "REC\0\x70\x01\0\0", 8));
  ASSERT_EQ(EncodeChunkPart(r, &d, part.data()), 544u);
  EXPECT_EQ(0, std::memcmp(part.data() + 376, "DISP\xA0\0\0\0", 8));
  // An unknown chunk in front is passed over.
  std::vector<uint8_t> withOther{'X', 'Y', 'Z', 'W', 8, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
  withOther.insert(withOther.end(), part.begin(), part.end());
  std::vector<uint8_t> shortLength = withOther, badSize = part;
  shortLength[4] = 7;  // a length below 8 stops the walk
  badSize[8] = 0x6F;   // a block whose size field is not 368 is not taken
  const struct {
    const char* what;
    std::vector<uint8_t> bytes;
    bool record, display;
  } cases[] = {
      {"both", part, true, true},
      {"record only", {part.begin(), part.begin() + 376}, true, false},
      {"other chunk first", withOther, true, true},
      {"short length", shortLength, false, false},
      {"display cut", {part.begin(), part.begin() + 543}, true, false},
      {"bad size field", badSize, false, true},
      {"empty", {}, false, false},
  };
  for (const auto& c : cases) {
    const ChunkContents got = DecodeChunkPart(c.bytes);
    EXPECT_EQ(got.hasRecord, c.record) << c.what;
    EXPECT_EQ(got.hasDisplay, c.display) << c.what;
    EXPECT_EQ(got.record.keyInterval, c.record ? 30 : 0) << c.what;
    EXPECT_EQ(got.display.cropHeight, c.display ? 200 : 0) << c.what;
  }
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
  h.height = 2;
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

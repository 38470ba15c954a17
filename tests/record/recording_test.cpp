// Recording the test-pattern camera: every counted frame in the file once, in order, with
// exact pixels for the lossless kinds; numbered continuation files; appending.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "recording_fixture.h"

namespace kz::rectest {
namespace {

constexpr uint32_t kYuy2 = Fourcc('Y', 'U', 'Y', '2');

struct Outcome {
  uint32_t done = 0;     // frames the stream counted as recorded when the ring was drained
  uint32_t dropped = 0;  // frames the recording lost to a full ring by then
};

class RecordingTest : public RecordTest {
 protected:
  // Records until the filter has let `frames` through, then stops pumping (so no frame can
  // arrive), lets the record thread drain the ring, reads the counters and stops.
  Outcome RecordFrames(KZRECORD block, uint32_t frames, bool displayed) {
    Outcome o;
    ResetSeen();
    block.frameFilter = CountingFilter;
    block.endNotify = NoteEnd;
    KZDISPLAY d = Display();
    if (displayed) {
      EXPECT_EQ(KZStartDisplay(&d), 1) << KZGetLastError();
    }
    EXPECT_EQ(KZStartRecord(&block), 1) << KZGetLastError();
    EXPECT_TRUE(PumpUntil([&] { return seen.filtered.load() >= frames; }));
    StreamRecord* e = SourceEntry(1);
    EXPECT_NE(e, nullptr);
    if (e) {
      EXPECT_TRUE(WaitUntil([&] {
        return e->readCount.load() == e->writeCount.load() && (e->busy.load() & kRecordBit) == 0;
      }));
    }
    KZRATE rate{};
    EXPECT_EQ(KZGetRecordRate(session_, 1, nullptr, &rate), 1);
    o.done = rate.framesDone;
    o.dropped = rate.framesDropped;
    EXPECT_EQ(KZStopRecord(session_, 1, nullptr), 1) << KZGetLastError();
    if (displayed) {
      EXPECT_EQ(KZStopDisplay(session_, 1, nullptr), 1);
    }
    EXPECT_TRUE(WaitUntil([] { return seen.ends.load() == 1; }));
    EXPECT_EQ(seen.endCode.load(), 0u);
    EXPECT_EQ(EntriesInUse(), 0);
    return o;
  }

  std::vector<uint8_t> CameraFrame(uint32_t n, LONG width = 160, LONG height = 120) {
    std::vector<uint8_t> f(static_cast<size_t>(width) * height * 2);
    EXPECT_EQ(
        kzwinRenderTestFrame(f.data(), static_cast<DWORD>(f.size()), width, height, kYuy2, 16, n),
        f.size());
    return f;
  }
};

TEST_F(RecordingTest, EveryCountedFrameOnceInOrderInEachKind) {
  struct Case {
    uint32_t kind;
    uint32_t fourcc;
    bool displayed;
  };
  const Case cases[] = {
      {KZ_KIND_RAW, kKindRawFourcc, false},           {KZ_KIND_RAW, kKindRawFourcc, true},
      {KZ_KIND_LOSSLESS, kKindLosslessFourcc, false}, {KZ_KIND_LOSSLESS, kKindLosslessFourcc, true},
      {KZ_KIND_LOSSY, kKindLossyFourcc, false},       {KZ_KIND_LOSSY, kKindLossyFourcc, true},
  };
  constexpr uint32_t kFrames = 40;
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(index);
    const std::string file = Path("take" + std::to_string(index++) + ".kzv");
    KZRECORD block = Block(file, c.kind);
    block.keyInterval = 7;  // several key frames and their followers
    // Lossy at its finest grid with every frame between keys a reference frame gives the
    // frames back exactly. (Predicted frames cannot follow the pattern's white-to-black
    // steps: the level table maps differences near -255 to 0.)
    block.refInterval = 1;
    block.quantStep = 1;
    const Outcome o = RecordFrames(block, kFrames, c.displayed);
    const std::vector<Record> records = WalkFile(file, 160, 120, kYuy2, 16, 4);
    ASSERT_EQ(records.size(), seen.filtered.load());
    ASSERT_GE(records.size(), o.done);
    ASSERT_LE(records.size(), o.done + 1u);  // one may come while the stop pumps
    ASSERT_GE(o.done, kFrames);
    for (size_t i = 0; i < records.size(); ++i) {
      const Record& r = records[i];
      SCOPED_TRACE(i);
      EXPECT_EQ(r.header.kind, c.fourcc);
      EXPECT_EQ(r.header.frameNumber, i);
      EXPECT_EQ(r.header.width, 160);
      EXPECT_EQ(r.header.height, 120);
      EXPECT_EQ(r.header.format, KZ_FORMAT_YUY2);
      EXPECT_EQ(r.header.chunkBytes, i == 0 ? (c.displayed ? 544u : 376u) : 0u);
      ASSERT_TRUE(r.numberRead);
      if (i > 0) {
        EXPECT_GT(r.cameraNumber, records[i - 1].cameraNumber);
        const uint64_t ms = (uint64_t{r.header.msHigh} << 32) | r.header.msLow;
        const uint64_t before =
            (uint64_t{records[i - 1].header.msHigh} << 32) | records[i - 1].header.msLow;
        EXPECT_GE(ms, before);
        EXPECT_GE(r.header.julian, records[i - 1].header.julian);
      }
      EXPECT_EQ(r.frame, CameraFrame(r.cameraNumber));
    }
    EXPECT_EQ(records[0].header.msLow, 0u);
    EXPECT_TRUE(records[0].chunks.hasRecord);
    EXPECT_EQ(records[0].chunks.record.fileFlags, c.kind);
    EXPECT_EQ(records[0].chunks.hasDisplay, c.displayed);
    if (!c.displayed) {
      // Every frame the camera delivered up to the last recorded one was either recorded
      // or dropped by a full ring; frames may still be dropped after it before the two
      // counters are read, so the count of recorded and dropped frames can only be larger.
      EXPECT_EQ(records[0].cameraNumber, 0u);
      EXPECT_LE(records[o.done - 1].cameraNumber + 1, o.done + o.dropped);
    }
  }
}

TEST_F(RecordingTest, SizeLimitSplitsIntoNumberedFilesHoldingEveryFrameOnce) {
  const std::string first = Path("split.kzv");
  KZRECORD block = Block(first, KZ_KIND_RAW);
  block.maxFileMB = 1;  // 38448-byte records: 27 to a file
  const Outcome o = RecordFrames(block, 70, false);
  std::vector<Record> all;
  std::vector<std::string> names = {first, Path("split2.kzv"), Path("split3.kzv")};
  for (size_t f = 0; f < names.size(); ++f) {
    SCOPED_TRACE(names[f]);
    const std::vector<Record> records = WalkFile(names[f], 160, 120, kYuy2, 16, 4);
    ASSERT_FALSE(records.empty());
    EXPECT_LE(std::filesystem::file_size(names[f]), 1048576u);
    EXPECT_EQ(records[0].header.chunkBytes, 376u);
    EXPECT_EQ(std::string(records[0].chunks.record.fileName), names[f]);
    if (f + 1 < names.size()) {
      EXPECT_EQ(records.size(), 27u);
    }
    all.insert(all.end(), records.begin(), records.end());
  }
  EXPECT_FALSE(std::filesystem::exists(Path("split4.kzv")));
  ASSERT_EQ(all.size(), seen.filtered.load());
  for (size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(all[i].header.frameNumber, i);
    if (i > 0) {
      EXPECT_GT(all[i].cameraNumber, all[i - 1].cameraNumber);
    }
  }
  EXPECT_EQ(all[o.done - 1].cameraNumber + 1, o.done + o.dropped);
}

TEST_F(RecordingTest, LosslessSplitStartsEachFileWithAKeyFrame) {
  const std::string first = Path("coded.kzv");
  KZRECORD block = Block(first, KZ_KIND_LOSSLESS);
  block.maxFileMB = 1;
  block.width = 640;
  block.height = 480;
  block.keyInterval = 1000;
  RecordFrames(block, 70, false);
  const std::vector<Record> one = WalkFile(first, 640, 480, kYuy2, 16, 4, false);
  ASSERT_FALSE(one.empty());
  ASSERT_TRUE(std::filesystem::exists(Path("coded2.kzv")));
  {
    const std::vector<Record> two = WalkFile(Path("coded2.kzv"), 640, 480, kYuy2, 16, 4);
    ASSERT_FALSE(two.empty());
    EXPECT_EQ(two[0].header.frameNumber, one.back().header.frameNumber + 1);
    EXPECT_EQ(two[0].header.chunkBytes, 376u);
    EXPECT_EQ(two[0].frame, CameraFrame(two[0].cameraNumber, 640, 480));
    const std::vector<uint8_t> bytes = ReadAll(Path("coded2.kzv"));
    const uint32_t form = GetU32(&bytes[40 + 376]);
    EXPECT_TRUE(form == kKeyForm || form == kStoredForm) << form;
    // Without the split these frames would all be differences to frame 0.
    const uint32_t before = GetU32(&ReadAll(first)[one.back().offset + 40]);
    EXPECT_EQ(before, one.back().header.frameNumber);
  }
}

TEST_F(RecordingTest, AppendContinuesNumbersAndMilliseconds) {
  struct Case {
    uint32_t kind;
    uint32_t mode;
  };
  const Case cases[] = {{KZ_KIND_RAW, KZ_OPEN_APPEND},
                        {KZ_KIND_LOSSLESS, KZ_OPEN_APPEND_ONLY},
                        {KZ_KIND_LOSSY, KZ_OPEN_APPEND}};
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(index);
    const std::string file = Path("append" + std::to_string(index++) + ".kzv");
    RecordFrames(Block(file, c.kind), 5, false);
    const std::vector<Record> before = WalkFile(file, 160, 120, kYuy2, 16, 4);
    ASSERT_FALSE(before.empty());
    RecordFrames(Block(file, c.kind, c.mode), 5, false);
    const std::vector<Record> after = WalkFile(file, 160, 120, kYuy2, 16, 4);
    ASSERT_GT(after.size(), before.size());
    const Record& last = before.back();
    const Record& next = after[before.size()];
    EXPECT_EQ(next.header.frameNumber, last.header.frameNumber + 1);
    EXPECT_EQ(next.header.chunkBytes, 0u);
    EXPECT_EQ(next.header.msLow, last.header.msLow + 100);
    EXPECT_EQ(next.header.msHigh, last.header.msHigh);
    for (size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i].header.frameNumber, i);
    if (c.kind == KZ_KIND_LOSSLESS) {
      // The first appended record is a key frame: its data starts with 0 or the stored mark.
      const std::vector<uint8_t> bytes = ReadAll(file);
      const uint32_t form = GetU32(&bytes[next.offset + 40]);
      EXPECT_TRUE(form == kKeyForm || form == kStoredForm) << form;
    }
  }
}

}  // namespace
}  // namespace kz::rectest

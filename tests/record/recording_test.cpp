// Recording the test-pattern camera: every frame the filter let through in the file once, in
// order, with exact pixels for the lossless kinds; numbered continuation files; appending.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recording_fixture.h"

namespace kz::rectest {
namespace {

constexpr uint32_t kYuy2 = Fourcc('Y', 'U', 'Y', '2');

uint64_t Ms(const Record& r) {
  return (uint64_t{r.header.msHigh} << 32) | r.header.msLow;
}

class RecordingTest : public RecordTest {
 protected:
  // Records until the filter has let exactly `frames` through (it refuses every later one,
  // so no timing decides what the file holds) and stops. Returns the frames the recording
  // lost to a full ring by the time the last one was written.
  uint32_t RecordFrames(KZRECORD block, uint32_t frames, bool displayed = false) {
    KZDISPLAY d = Display();
    if (displayed) {
      EXPECT_EQ(KZStartDisplay(&d), 1) << KZGetLastError();
    }
    EXPECT_TRUE(StartCounted(block, frames)) << KZGetLastError();
    // A generous limit: 640 x 480 frames take a while under ThreadSanitizer.
    EXPECT_TRUE(PumpUntil([&] { return seen.filtered.load() >= frames; }, 120));
    KZRATE rate{};
    EXPECT_EQ(KZGetRecordRate(session_, 1, nullptr, &rate), 1);
    EXPECT_EQ(KZStopAll(session_, 0, nullptr), 1) << KZGetLastError();
    EXPECT_TRUE(WaitUntil([] { return seen.ends.load() == 1; }));
    EXPECT_EQ(seen.endCode.load(), 0u);
    EXPECT_EQ(seen.filtered.load(), frames);
    return rate.framesDropped;
  }

  // The records of `files` in turn: numbered from 0 and in the camera's order, each file
  // starting with its chunk part, and every camera frame missing between them dropped.
  std::vector<Record> CheckFiles(const std::vector<std::string>& files, LONG width, LONG height,
                                 uint32_t dropped) {
    std::vector<Record> all;
    for (const std::string& file : files) {
      SCOPED_TRACE(file);
      const std::vector<Record> records =
          WalkFile(file, static_cast<uint32_t>(width), static_cast<uint32_t>(height), kYuy2, 16, 4);
      if (records.empty()) {
        ADD_FAILURE() << "no records";
        continue;
      }
      EXPECT_NE(records[0].header.chunkBytes, 0u);
      EXPECT_EQ(std::string(records[0].chunks.record.fileName), file);
      all.insert(all.end(), records.begin(), records.end());
    }
    std::vector<uint8_t> expect(static_cast<size_t>(width) * height * 2);
    for (size_t i = 0; i < all.size(); ++i) {
      const Record& r = all[i];
      SCOPED_TRACE(i);
      EXPECT_EQ(r.header.frameNumber, i);
      EXPECT_EQ(r.header.width, width);
      EXPECT_EQ(r.header.format, KZ_FORMAT_YUY2);
      if (!r.numberRead) {
        ADD_FAILURE() << "no camera number";
        continue;
      }
      if (i > 0) {
        EXPECT_GT(r.cameraNumber, all[i - 1].cameraNumber);
        EXPECT_GE(Ms(r), Ms(all[i - 1]));
        EXPECT_GE(r.header.julian, all[i - 1].header.julian);
      }
      kzwinRenderTestFrame(expect.data(), static_cast<DWORD>(expect.size()), width, height, kYuy2,
                           16, r.cameraNumber);
      EXPECT_EQ(r.frame, expect);
    }
    if (!all.empty()) {
      EXPECT_EQ(Ms(all[0]), 0u);
      EXPECT_LE(all.back().cameraNumber + 1 - all.size(), dropped);
    }
    return all;
  }
};

TEST_F(RecordingTest, EveryFilteredFrameOnceInOrderInEachKind) {
  const struct {
    uint32_t kind, fourcc;
    bool displayed;
  } cases[] = {
      {KZ_KIND_RAW, kKindRawFourcc, false},           {KZ_KIND_RAW, kKindRawFourcc, true},
      {KZ_KIND_LOSSLESS, kKindLosslessFourcc, false}, {KZ_KIND_LOSSLESS, kKindLosslessFourcc, true},
      {KZ_KIND_LOSSY, kKindLossyFourcc, false},       {KZ_KIND_LOSSY, kKindLossyFourcc, true},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(index);
    const std::string file = Path("take" + std::to_string(index++) + ".kzv");
    KZRECORD block = Block(file, c.kind);
    block.keyInterval = 7;  // several key frames and their followers
    // Lossy at its finest grid with every frame between keys a reference frame gives the
    // frames back exactly.
    block.refInterval = 1;
    block.quantStep = 1;
    const uint32_t dropped = RecordFrames(block, 40, c.displayed);
    // With a display, frames it gave up are not the recording's drops.
    const std::vector<Record> records =
        CheckFiles({file}, 160, 120, c.displayed ? 0xFFFFFFFFu : dropped);
    ASSERT_EQ(records.size(), 40u);
    EXPECT_EQ(records[0].header.kind, c.fourcc);
    EXPECT_EQ(records[0].header.chunkBytes, c.displayed ? 544u : 376u);
    EXPECT_EQ(records[0].chunks.record.fileFlags, c.kind);
    EXPECT_EQ(records[0].chunks.hasDisplay, c.displayed);
    for (size_t i = 1; i < records.size(); ++i) EXPECT_EQ(records[i].header.chunkBytes, 0u);
  }
}

TEST_F(RecordingTest, SizeLimitSplitsIntoNumberedFilesHoldingEveryFrameOnce) {
  const struct {
    const char* name;
    uint32_t kind;
    LONG width, height;
    size_t perFile;  // 0: not fixed (coded sizes vary)
    uint32_t frames;
  } cases[] = {
      {"split", KZ_KIND_RAW, 160, 120, 27, 70},  // 38448-byte records: 27 to a MiB
      // A difference of two consecutive camera frames codes to about 11 KB and frames the
      // recording misses only make it larger: 110 frames pass a MiB however the threads ran.
      {"coded", KZ_KIND_LOSSLESS, 640, 480, 0, 110},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string base = c.name;
    KZRECORD block = Block(Path(base + ".kzv"), c.kind);
    block.width = c.width;
    block.height = c.height;
    block.maxFileMB = 1;
    block.keyInterval = 1000;
    const uint32_t dropped = RecordFrames(block, c.frames);
    std::vector<std::string> files = {Path(base + ".kzv")};
    for (int n = 2; std::filesystem::exists(Path(base + std::to_string(n) + ".kzv")); ++n) {
      files.push_back(Path(base + std::to_string(n) + ".kzv"));
    }
    ASSERT_GE(files.size(), 2u);
    const std::vector<Record> all = CheckFiles(files, c.width, c.height, dropped);
    EXPECT_EQ(all.size(), c.frames);
    for (const std::string& file : files) {
      EXPECT_LE(std::filesystem::file_size(file), 1048576u);
      const std::vector<uint8_t> bytes = ReadAll(file);
      // Each file starts with a key frame (or a stored one): the earlier file is no base.
      if (c.kind == KZ_KIND_LOSSLESS) {
        const uint32_t form = GetU32(&bytes[40 + 376]);
        EXPECT_TRUE(form == kKeyForm || form == kStoredForm) << form;
      }
      if (c.perFile && file != files.back()) {
        EXPECT_EQ(bytes.size(), 38448u + 376 + 26 * 38448u);
      }
    }
  }
}

TEST_F(RecordingTest, AppendContinuesNumbersAndMilliseconds) {
  const struct {
    uint32_t kind, mode;
  } cases[] = {{KZ_KIND_RAW, KZ_OPEN_APPEND},
               {KZ_KIND_LOSSLESS, KZ_OPEN_APPEND_ONLY},
               {KZ_KIND_LOSSY, KZ_OPEN_APPEND}};
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(index);
    const std::string file = Path("append" + std::to_string(index++) + ".kzv");
    RecordFrames(Block(file, c.kind), 5);
    RecordFrames(Block(file, c.kind, c.mode), 5);
    const std::vector<Record> after = Walk(file);
    ASSERT_EQ(after.size(), 10u);
    const Record& last = after[4];
    const Record& next = after[5];
    EXPECT_EQ(next.header.chunkBytes, 0u);
    EXPECT_EQ(Ms(next), Ms(last) + 100);
    for (size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i].header.frameNumber, i);
    // The first appended record is a key frame: its data starts with 0 or the stored mark.
    if (c.kind != KZ_KIND_RAW) {
      const uint32_t form = GetU32(&ReadAll(file)[next.offset + 40]);
      EXPECT_TRUE(form == kKeyForm || form == kStoredForm) << form;
    }
  }
}

}  // namespace
}  // namespace kz::rectest

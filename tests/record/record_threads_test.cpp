// The record thread against starts, stops and the display sharing its stream.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "expect_call.h"
#include "recording_fixture.h"

namespace kz::rectest {
namespace {

class RecordThreadTest : public RecordTest {};

TEST_F(RecordThreadTest, ImmediateStopsAndRestartsKeepOneWalkableFile) {
  const std::string file = Path("quick.kzv");
  uint32_t frames = 0;
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(StartCounted(
        Block(file, KZ_KIND_LOSSLESS, round == 0 ? KZ_OPEN_NEW : KZ_OPEN_APPEND)))
        << KZGetLastError();
    // Odd rounds stop at once, before the thread has done anything; even ones after a frame.
    if (round % 2 == 0) {
      ASSERT_TRUE(PumpUntil([&] { return seen.filtered.load() > 0; }));
    }
    ASSERT_EQ(KZStopRecord(session_, 1, nullptr), 1) << KZGetLastError();
    ASSERT_TRUE(WaitUntil([&] { return seen.ends.load() == 1; }));
    EXPECT_EQ(seen.endCode.load(), 0u);
    EXPECT_EQ(EntriesInUse(), 0);
    frames += seen.filtered.load();
  }
  const std::vector<Record> records = Walk(file);
  ASSERT_EQ(records.size(), frames);
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].header.frameNumber, i);
    EXPECT_EQ(records[i].header.chunkBytes, i == 0 ? 376u : 0u);
  }
}

TEST_F(RecordThreadTest, DisplayComesAndGoesWhileTheRecordingGoesOn) {
  const std::string file = Path("shared.kzv");
  KZRECORD block = Block(file, KZ_KIND_RAW);
  block.sourceSetting = 5;
  ASSERT_TRUE(StartCounted(block));
  ASSERT_TRUE(PumpUntil([] { return seen.filtered.load() >= 5; }));

  // A display joins with the recording's format and window; another size or window is
  // refused.
  KZDISPLAY d = Display();
  d.width = 320;
  EXPECT_CALL_ERR(KZStartDisplay(&d), 0, KZ_ERR_OTHER_FORMAT);
  d = Display();
  d.drawFlags = KZ_DRAW_KEEP_SETTING;
  ASSERT_EQ(KZStartDisplay(&d), 1) << KZGetLastError();
  KZDISPLAY shown{};
  shown.size = sizeof shown;
  ASSERT_EQ(KZGetDisplay(session_, 1, nullptr, &shown), 1);
  EXPECT_EQ(shown.sourceSetting, 5u);  // kept from the recording
  KZRATE rate{};
  ASSERT_TRUE(PumpUntil(
      [&] { return KZGetDisplayRate(session_, 1, nullptr, &rate) == 1 && rate.framesDone >= 5; }));
  uint32_t before = seen.filtered.load();
  ASSERT_TRUE(PumpUntil([&] { return seen.filtered.load() >= before + 10; }));

  // The display goes; the recording goes on alone.
  ASSERT_EQ(KZStopDisplay(session_, 1, nullptr), 1);
  before = seen.filtered.load();
  ASSERT_TRUE(PumpUntil([&] { return seen.filtered.load() >= before + 10; }));

  // A recording of the same source cannot start twice; a display can come back.
  KZRECORD again = Block(Path("again.kzv"), KZ_KIND_RAW);
  EXPECT_CALL_ERR(KZStartRecord(&again), 0, KZ_ERR_ALREADY_RECORDING);
  ASSERT_EQ(KZStartDisplay(&d), 1);
  ASSERT_EQ(KZStopRecord(session_, 1, nullptr), 1);
  EXPECT_TRUE(WaitUntil([] { return seen.ends.load() == 1; }));
  EXPECT_EQ(EntriesInUse(), 1);  // the display keeps the stream
  ASSERT_EQ(KZStopDisplay(session_, 1, nullptr), 1);

  const std::vector<Record> records = Walk(file);
  ASSERT_EQ(records.size(), seen.filtered.load());
  for (size_t i = 1; i < records.size(); ++i) {
    EXPECT_GT(records[i].cameraNumber, records[i - 1].cameraNumber);
  }
}

TEST_F(RecordThreadTest, RecordingStartsOnADisplayedSourceWithItsFormat) {
  KZDISPLAY d = Display();
  ASSERT_EQ(KZStartDisplay(&d), 1);
  struct Case {
    const char* what;
    int32_t width;
    uint32_t format;
    bool otherWindow;
    uint32_t error;
  };
  const Case cases[] = {
      {"width", 320, KZ_FORMAT_YUY2, false, KZ_ERR_OTHER_FORMAT},
      {"format", 160, KZ_FORMAT_UYVY, false, KZ_ERR_OTHER_FORMAT},
      {"window", 160, KZ_FORMAT_YUY2, true, KZ_ERR_OTHER_ACTIVITY_WINDOW},
  };
  HWND other = CreateWindowExA(0, nullptr, "other", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                               nullptr, nullptr, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    KZRECORD b = Block(Path("x.kzv"), KZ_KIND_RAW, KZ_OPEN_OVERWRITE);
    b.width = c.width;
    b.format = c.format;
    if (c.otherWindow) b.window = other;
    EXPECT_CALL_ERR(KZStartRecord(&b), 0, c.error);
  }
  DestroyWindow(other);
  KZRECORD b = Block(Path("x.kzv"), KZ_KIND_RAW, KZ_OPEN_OVERWRITE);
  b.format = 0;  // matched by bit count: the stream's format is taken
  ASSERT_TRUE(StartCounted(b)) << KZGetLastError();
  KZRECORD got{};
  got.size = sizeof got;
  ASSERT_EQ(KZGetRecord(session_, 1, window_, &got), 1);
  EXPECT_EQ(got.format, static_cast<uint32_t>(KZ_FORMAT_YUY2));
  ASSERT_TRUE(PumpUntil([] { return seen.filtered.load() >= 3; }));
  ASSERT_EQ(KZStopAll(session_, 0, nullptr), 1);
  const std::vector<Record> records = Walk(Path("x.kzv"));
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records[0].header.chunkBytes, 544u);
  EXPECT_EQ(records[0].chunks.display.width, 160);
}

}  // namespace
}  // namespace kz::rectest

// KZLoadFrame and positioning by each of the four modes, within files and across the
// files of a sequence, at both ends and outside them.
#include <gtest/gtest.h>
#include <kzvideo.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "recording_maker.h"

namespace {

using kztest::RecordingSpec;

class LoadFrame : public ::testing::Test {
 protected:
  void SetUp() override {
    session_ = KZBegin(nullptr);
    dir_ = kztest::TempFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
  }
  void TearDown() override { KZEnd(session_); }
  std::string Path(const char* name) const { return dir_ + "/" + name; }
  // Three files of four frames: frames 0..11 of the sequence, 40 ms apart.
  void WriteSequence(const RecordingSpec& s) {
    kztest::WriteRecording(Path("seq.kzv"), s, 0, 4);
    kztest::WriteRecording(Path("seq2.kzv"), s, 4, 4);
    kztest::WriteRecording(Path("seq3.kzv"), s, 8, 4);
  }
  uint32_t session_ = 0;
  std::string dir_;
};

KZPLAYBACK Block(uint32_t flags) {
  KZPLAYBACK b{};
  b.size = sizeof b;
  b.flags = flags;
  b.zoom = 1.0;
  return b;
}

// The frame number the pixels carry (raw and lossless kinds).
uint32_t CarriedNumber(HGLOBAL h) {
  void* p = GlobalLock(h);
  uint32_t n = 0xFFFFFFFF;
  if (p) std::memcpy(&n, p, 4);
  GlobalUnlock(h);
  return n;
}

TEST_F(LoadFrame, EveryModeLandsOnTheFrameAcrossFiles) {
  for (uint32_t kind : {1u, 2u, 3u}) {
    SCOPED_TRACE(kind);
    RecordingSpec s;
    s.kind = kind;
    WriteSequence(s);
    const double j0 = s.firstJulian;
    struct Case {
      const char* what;
      uint32_t flags;
      int32_t index;
      uint64_t ms;
      uint32_t frame;
      double time;
      uint32_t expected;
    };
    const Case cases[] = {
        {"no move", 0, 0, 0, 0, 0, 0},
        {"index in second file", KZ_PLAY_MOVE_START, 5, 0, 0, 0, 5},
        {"index in last file", KZ_PLAY_MOVE_START, 11, 0, 0, 0, 11},
        {"index past the end, clamped", KZ_PLAY_MOVE_START, 100, 0, 0, 0, 11},
        {"index from the end", KZ_PLAY_MOVE_END, -3, 0, 0, 0, 8},
        {"index before the start, clamped", KZ_PLAY_MOVE_END, -50, 0, 0, 0, 0},
        {"ms exact", KZ_PLAY_MOVE_START | KZ_PLAY_MODE_MS, 0, 280, 0, 0, 7},
        {"ms nearest", KZ_PLAY_MOVE_START | KZ_PLAY_MODE_MS, 0, 165, 0, 0, 4},
        {"ms negative from end", KZ_PLAY_MOVE_END | KZ_PLAY_MODE_MS, 0, ~uint64_t{79}, 0, 0, 9},
        {"ms negative past start", KZ_PLAY_MOVE_END | KZ_PLAY_MODE_MS, 0, ~uint64_t{9999}, 0, 0,
         0},
        {"frame number", KZ_PLAY_MOVE_START | KZ_PLAY_MODE_FRAME, 0, 0, 10, 0, 10},
        {"frame from the end", KZ_PLAY_MOVE_END | KZ_PLAY_MODE_FRAME, 0, 0, 0xFFFFFFFF, 0, 10},
        {"frame from current (first)", KZ_PLAY_MOVE_CURRENT | KZ_PLAY_MODE_FRAME, 0, 0, 3, 0, 3},
        {"time", KZ_PLAY_MOVE_START | KZ_PLAY_MODE_TIME, 0, 0, 0, j0 + 6 * 40 / 86400000.0, 6},
        {"time from current", KZ_PLAY_MOVE_CURRENT | KZ_PLAY_MODE_TIME, 0, 0, 0,
         2 * 40 / 86400000.0, 2},
        {"time strict exact first", KZ_PLAY_MOVE_START | KZ_PLAY_MODE_TIME | KZ_PLAY_STRICT, 0, 0,
         0, j0, 0},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      KZPLAYBACK b = Block(c.flags);
      b.index = c.index;
      b.msLow = static_cast<uint32_t>(c.ms);
      b.msHigh = static_cast<uint32_t>(c.ms >> 32);
      b.frame = c.frame;
      b.time = c.time;
      HGLOBAL h = KZLoadFrame(Path("seq2.kzv").c_str(), &b, nullptr, 0);
      ASSERT_NE(h, nullptr) << KZGetLastError();
      EXPECT_EQ(GlobalSize(h), kztest::FrameBytesOf(s));
      if (kind != 3) {
        EXPECT_EQ(CarriedNumber(h), c.expected);
        const auto want = kztest::FramePixels(s, c.expected);
        void* p = GlobalLock(h);
        EXPECT_EQ(std::memcmp(p, want.data(), want.size()), 0);
        GlobalUnlock(h);
      }
      EXPECT_EQ(b.frame, c.expected);
      EXPECT_EQ(b.index, static_cast<int32_t>(c.expected));
      EXPECT_EQ(b.msLow, 40 * c.expected);
      EXPECT_EQ(b.flags & (KZ_PLAY_MOVE_MASK | KZ_PLAY_SEEKING), 0u);
      GlobalFree(h);
    }
  }
}

TEST_F(LoadFrame, StrictTargetsOutsideFailAndBadArgumentsAreRefused) {
  RecordingSpec s;
  WriteSequence(s);
  const std::string path = Path("seq.kzv");
  struct Case {
    const char* what;
    uint32_t flags;
    int32_t index;
    uint32_t frame;
    uint32_t error;
  };
  const Case cases[] = {
      {"index past the end", KZ_PLAY_MOVE_START | KZ_PLAY_STRICT, 12, 0, KZ_ERR_POSITION},
      {"index before the start", KZ_PLAY_MOVE_START | KZ_PLAY_STRICT, -1, 0, KZ_ERR_POSITION},
      {"frame past the end", KZ_PLAY_MOVE_START | KZ_PLAY_MODE_FRAME | KZ_PLAY_STRICT, 0, 12,
       KZ_ERR_POSITION},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    KZPLAYBACK b = Block(c.flags);
    b.index = c.index;
    b.frame = c.frame;
    EXPECT_EQ(KZLoadFrame(path.c_str(), &b, nullptr, 0), nullptr);
    EXPECT_EQ(KZGetLastError(), c.error);
  }
  // A strict millisecond target between two frames matches none of them.
  KZPLAYBACK b = Block(KZ_PLAY_MOVE_START | KZ_PLAY_MODE_MS | KZ_PLAY_STRICT);
  b.msLow = 50;
  EXPECT_EQ(KZLoadFrame(path.c_str(), &b, nullptr, 0), nullptr);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_NO_MATCH));

  KZPLAYBACK wrong = Block(0);
  wrong.size = 435;
  EXPECT_EQ(KZLoadFrame(path.c_str(), &wrong, nullptr, 0), nullptr);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_RECORD_SIZE));
  KZDISPLAY d{};
  d.size = 159;
  EXPECT_EQ(KZLoadFrame(path.c_str(), nullptr, &d, 0), nullptr);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_RECORD_SIZE));
  EXPECT_EQ(KZLoadFrame(nullptr, nullptr, nullptr, 0), nullptr);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_NULL));
  EXPECT_EQ(KZLoadFrame("", nullptr, nullptr, 0), nullptr);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_NO_FILE_NAME));
}

TEST_F(LoadFrame, ThisFileFlagReadsTheNamedFileAndTheDisplayBlockGivesDrawingFieldsOnly) {
  RecordingSpec s;
  s.withDisplay = true;
  WriteSequence(s);
  // Without the flag a later file starts the sequence from its first file.
  HGLOBAL h = KZLoadFrame(Path("seq3.kzv").c_str(), nullptr, nullptr, 0);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(CarriedNumber(h), 0u);
  GlobalFree(h);
  KZPLAYBACK b = Block(KZ_PLAY_MOVE_END);
  KZDISPLAY d{};
  d.size = sizeof d;
  d.window = reinterpret_cast<HWND>(0x1234);
  h = KZLoadFrame(Path("seq3.kzv").c_str(), &b, &d, KZ_LOAD_THIS_FILE);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(CarriedNumber(h), 11u);
  GlobalFree(h);
  // The last file's first record carried a display block; the end of it does not, but
  // the first record of the file is what a no-move load reads.
  KZDISPLAY first{};
  first.size = sizeof first;
  first.window = reinterpret_cast<HWND>(0x1234);
  h = KZLoadFrame(Path("seq3.kzv").c_str(), nullptr, &first, KZ_LOAD_THIS_FILE);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(CarriedNumber(h), 8u);
  const double zoom = first.zoom;
  EXPECT_EQ(zoom, 2.0);
  EXPECT_EQ(first.cropWidth, 7);
  const HWND window = first.window;  // never a window from a file
  EXPECT_EQ(window, reinterpret_cast<HWND>(0x1234));
  EXPECT_EQ(first.width, 32);
  EXPECT_EQ(first.size, sizeof(KZDISPLAY));
  GlobalFree(h);
}

TEST_F(LoadFrame, AsDrawnGivesThePackedBitmap) {
  RecordingSpec s;
  s.width = 4;
  s.height = 2;
  kztest::WriteRecording(Path("tiny.kzv"), s, 0, 2);
  HGLOBAL h = KZLoadFrame(Path("tiny.kzv").c_str(), nullptr, nullptr, KZ_IMAGE_AS_DRAWN);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(GlobalSize(h), 40u + 12 * 2);
  auto* p = static_cast<const uint8_t*>(GlobalLock(h));
  BITMAPINFOHEADER bi;
  std::memcpy(&bi, p, sizeof bi);
  EXPECT_EQ(bi.biWidth, 4);
  EXPECT_EQ(bi.biHeight, 2);
  EXPECT_EQ(bi.biBitCount, 24);
  // RGB24 frames are bottom-up B, G, R rows already: the body is the frame itself.
  const auto want = kztest::FramePixels(s, 0);
  EXPECT_EQ(std::memcmp(p + 40, want.data(), want.size()), 0);
  GlobalUnlock(h);
  GlobalFree(h);
}

TEST_F(LoadFrame, TruncatedSequencesPlayWhatIsWhole) {
  RecordingSpec s;
  s.kind = 2;
  kztest::WriteRecording(Path("cut.kzv"), s, 0, 4);
  auto second = kztest::RecordingBytes(s, 4, 4);
  second.resize(second.size() - 30);  // the recorder stopped in the middle of frame 7
  kztest::WriteFile(Path("cut2.kzv"), second);
  KZPLAYBACK b = Block(KZ_PLAY_MOVE_END);
  HGLOBAL h = KZLoadFrame(Path("cut.kzv").c_str(), &b, nullptr, 0);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(CarriedNumber(h), 6u);
  GlobalFree(h);
}

}  // namespace

// KZLoadFrame and positioning by each of the four modes, within files and across the
// files of a sequence, at both ends and outside them.
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>

#include "expect_call.h"
#include "recording_maker.h"

namespace {

using kztest::RecordingSpec;
using LoadFrame = kztest::PlaybackTest;

KZPLAYBACK Position(uint32_t flags) {
  KZPLAYBACK b{};
  b.size = sizeof b, b.flags = flags, b.zoom = 1.0;
  return b;
}

// The frame number the pixels carry (raw and lossless kinds).
uint32_t CarriedNumber(HGLOBAL h) {
  uint32_t n = 0xFFFFFFFF;
  if (void* p = GlobalLock(h)) std::memcpy(&n, p, 4);
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
    } const cases[] = {
        {"no move", 0, 0, 0, 0, 0, 0},
        {"index in second file", KZ_PLAY_MOVE_START, 5, 0, 0, 0, 5},
        {"index in last file", KZ_PLAY_MOVE_START, 11, 0, 0, 0, 11},
        {"index past the end, clamped", KZ_PLAY_MOVE_START, 100, 0, 0, 0, 11},
        {"index from the end", KZ_PLAY_MOVE_END, -3, 0, 0, 0, 8},
        {"index before the start, clamped", KZ_PLAY_MOVE_END, -50, 0, 0, 0, 0},
        {"ms exact", KZ_PLAY_MOVE_START | KZ_PLAY_MODE_MS, 0, 280, 0, 0, 7},
        {"ms nearest", KZ_PLAY_MOVE_START | KZ_PLAY_MODE_MS, 0, 165, 0, 0, 4},
        {"ms negative from end", KZ_PLAY_MOVE_END | KZ_PLAY_MODE_MS, 0, ~uint64_t{79}, 0, 0, 9},
        {"ms negative past start", KZ_PLAY_MOVE_END | KZ_PLAY_MODE_MS, 0, ~uint64_t{9999}, 0, 0, 0},
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
      KZPLAYBACK b = Position(c.flags);
      b.index = c.index, b.msLow = static_cast<uint32_t>(c.ms);
      b.msHigh = static_cast<uint32_t>(c.ms >> 32), b.frame = c.frame, b.time = c.time;
      HGLOBAL h = KZLoadFrame(Path("seq2.kzv").c_str(), &b, nullptr, 0);
      ASSERT_NE(h, nullptr) << KZGetLastError();
      ASSERT_EQ(GlobalSize(h), kztest::FrameBytesOf(s));
      if (kind != 3) {
        const auto want = kztest::FramePixels(s, c.expected);
        EXPECT_EQ(std::memcmp(GlobalLock(h), want.data(), want.size()), 0);
        GlobalUnlock(h);
      }
      EXPECT_EQ(std::tuple(uint32_t{b.frame}, int32_t{b.index}, uint32_t{b.msLow},
                           b.flags & (KZ_PLAY_MOVE_MASK | KZ_PLAY_SEEKING)),
                std::tuple(c.expected, static_cast<int32_t>(c.expected), 40 * c.expected, 0u));
      GlobalFree(h);
    }
  }
}

TEST_F(LoadFrame, RefusedTargetsAndArguments) {
  WriteSequence(RecordingSpec{});
  const std::string seq = Path("seq.kzv");
  const uint32_t strict = KZ_PLAY_MOVE_START | KZ_PLAY_STRICT;
  const uint32_t block = sizeof(KZPLAYBACK);
  struct Case {
    const char *what, *path;
    uint32_t flags;
    int32_t index;
    uint32_t frame, ms;
    uint32_t blockSize, displaySize;  // 0: no block, no display block
    uint32_t error;
  } const cases[] = {
      {"index past the end", seq.c_str(), strict, 12, 0, 0, block, 0, KZ_ERR_POSITION},
      {"index before the start", seq.c_str(), strict, -1, 0, 0, block, 0, KZ_ERR_POSITION},
      {"frame past the end", seq.c_str(), strict | KZ_PLAY_MODE_FRAME, 0, 12, 0, block, 0,
       KZ_ERR_POSITION},
      {"ms between two frames", seq.c_str(), strict | KZ_PLAY_MODE_MS, 0, 0, 50, block, 0,
       KZ_ERR_NO_MATCH},
      {"block size", seq.c_str(), 0, 0, 0, 0, block - 1, 0, KZ_ERR_RECORD_SIZE},
      {"display size", seq.c_str(), 0, 0, 0, 0, 0, sizeof(KZDISPLAY) - 1, KZ_ERR_RECORD_SIZE},
      {"no path", nullptr, 0, 0, 0, 0, 0, 0, KZ_ERR_NULL},
      {"empty path", "", 0, 0, 0, 0, 0, 0, KZ_ERR_NO_FILE_NAME},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    KZPLAYBACK b = Position(c.flags);
    b.size = c.blockSize, b.index = c.index, b.frame = c.frame, b.msLow = c.ms;
    KZDISPLAY d{};
    d.size = c.displaySize;
    EXPECT_CALL_ERR(
        KZLoadFrame(c.path, c.blockSize ? &b : nullptr, c.displaySize ? &d : nullptr, 0), nullptr,
        c.error);
  }
}

TEST_F(LoadFrame, ThisFileFlagAndRecordedDisplayBlocksAndCutFiles) {
  RecordingSpec s;
  s.kind = 2;
  s.withDisplay = true;
  WriteSequence(s);
  // Without the flag a later file starts the sequence from its first file.
  HGLOBAL h = KZLoadFrame(Path("seq3.kzv").c_str(), nullptr, nullptr, 0);
  EXPECT_EQ(CarriedNumber(h), 0u);
  GlobalFree(h);
  KZPLAYBACK b = Position(KZ_PLAY_MOVE_END);
  h = KZLoadFrame(Path("seq3.kzv").c_str(), &b, nullptr, KZ_LOAD_THIS_FILE);
  EXPECT_EQ(CarriedNumber(h), 11u);
  GlobalFree(h);
  // The first record of the file carried a display block: drawing fields only come back.
  KZDISPLAY first{};
  first.size = sizeof first;
  first.window = reinterpret_cast<HWND>(0x1234);
  h = KZLoadFrame(Path("seq3.kzv").c_str(), nullptr, &first, KZ_LOAD_THIS_FILE);
  EXPECT_EQ(CarriedNumber(h), 8u);
  GlobalFree(h);
  // Packed fields are read through copies.
  EXPECT_EQ(std::tuple(double{first.zoom}, int32_t{first.cropWidth}, HWND{first.window},
                       int32_t{first.width}, uint32_t{first.size}),
            std::tuple(2.0, 7, reinterpret_cast<HWND>(0x1234), 32, uint32_t{sizeof(KZDISPLAY)}));

  // The recorder stopped in the middle of frame 7: the end is the last whole frame.
  auto cut = kztest::RecordingBytes(s, 4, 4);
  cut.resize(cut.size() - 30);
  kztest::WriteFile(Path("seq2.kzv"), cut);
  std::filesystem::remove(Path("seq3.kzv"));
  b = Position(KZ_PLAY_MOVE_END);
  h = KZLoadFrame(Path("seq.kzv").c_str(), &b, nullptr, 0);
  EXPECT_EQ(CarriedNumber(h), 6u);
  GlobalFree(h);
}

}  // namespace

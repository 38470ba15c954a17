// Playing recordings into a window on the manual clock: order of frames, their due
// times, speed, direction, passes, bounce, pause, step mode and the end report.
#include <gtest/gtest.h>
#include <kzvideo.h>
#include <kzwin_test.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frame/stream.h"
#include "playback/drawing_fields.h"
#include "recording_maker.h"

namespace {

using kztest::RecordingSpec;

struct Shown {
  uint32_t frame;
  int32_t index;
  uint32_t clock;
};

std::mutex shownMutex;
std::vector<Shown> shown;
std::atomic<int> ended{0};
std::atomic<uint32_t> endStatus{0xFFFF};

void KZCALLBACK AfterDraw(KZPLAYBACK* copy, const void*, const void*) {
  std::lock_guard lock(shownMutex);
  shown.push_back({copy->frame, copy->index, timeGetTime()});
}

void KZCALLBACK OnEnd(KZPLAYBACK*, uint32_t status) {
  endStatus = status;
  ended = 1;
}

template <class F>
bool WaitFor(F done, int seconds = 20) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::vector<Shown> Taken() {
  std::lock_guard lock(shownMutex);
  return shown;
}

class Playback : public ::testing::Test {
 protected:
  void SetUp() override {
    kzwinUseManualClock(TRUE, 0xFFFFFF00u);  // the clock wraps during the test
    session_ = KZBegin(nullptr);
    dir_ = kztest::TempFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
    window_ = CreateWindowExA(0, nullptr, "play", 0, 0, 0, 64, 32, nullptr, nullptr, nullptr,
                              nullptr);
    {
      std::lock_guard lock(shownMutex);
      shown.clear();
    }
    ended = 0;
    endStatus = 0xFFFF;
  }
  void TearDown() override {
    KZStopPlayback(0, 0, nullptr);
    DestroyWindow(window_);
    KZEnd(session_);
    kzwinUseManualClock(FALSE, 0);
  }
  std::string Path(const char* name) const { return dir_ + "/" + name; }
  void WriteSequence(const RecordingSpec& s) {
    kztest::WriteRecording(Path("seq.kzv"), s, 0, 4);
    kztest::WriteRecording(Path("seq2.kzv"), s, 4, 4);
    kztest::WriteRecording(Path("seq3.kzv"), s, 8, 4);
  }
  KZPLAYBACK Block(double rate, uint32_t flags) const {
    KZPLAYBACK b{};
    b.size = sizeof b;
    b.session = session_;
    std::snprintf(b.fileName, sizeof b.fileName, "%s", Path("seq2.kzv").c_str());
    b.window = window_;
    b.rate = rate;
    b.zoom = 1.0;
    b.flags = flags;
    b.afterDrawCallback = AfterDraw;
    b.endCallback = OnEnd;
    return b;
  }
  uint32_t session_ = 0;
  std::string dir_;
  HWND window_ = nullptr;
};

std::vector<uint32_t> Frames(const std::vector<Shown>& v) {
  std::vector<uint32_t> out;
  for (const Shown& s : v) out.push_back(s.frame);
  return out;
}

std::vector<uint32_t> Range(int from, int to) {
  std::vector<uint32_t> out;
  for (int i = from; from <= to ? i <= to : i >= to; from <= to ? ++i : --i) {
    out.push_back(static_cast<uint32_t>(i));
  }
  return out;
}

std::vector<uint32_t> Join(std::vector<uint32_t> a, const std::vector<uint32_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(Playback, SpeedDirectionPassesAndBounceChangeTheFramesShown) {
  struct Case {
    const char* what;
    double rate;
    uint32_t flags;
    int32_t repeat;
    std::vector<uint32_t> frames;
    uint32_t spacing;  // clock between two frames shown
  };
  const uint32_t end = KZ_PLAY_END;
  const Case cases[] = {
      {"forward", 1.0, end, 0, Range(0, 11), 40},
      {"double speed", 2.0, end, 0, Range(0, 11), 20},
      {"half speed", 0.5, end, 0, Range(0, 11), 80},
      {"backward from the end", -1.0, end | KZ_PLAY_MOVE_END, 0, Range(11, 0), 40},
      {"two passes", 1.0, end, 2, Join(Range(0, 11), Range(0, 11)), 0},
      {"bounce", 1.0, end | KZ_PLAY_BOUNCE, 2, Join(Range(0, 11), Range(10, 0)), 40},
      {"bounce three", 4.0, end | KZ_PLAY_BOUNCE, 3,
       Join(Join(Range(0, 11), Range(10, 0)), Range(1, 11)), 10},
      {"step mode", 0.0, end | KZ_PLAY_STEP, 0, Range(0, 11), 0},
  };
  for (uint32_t kind : {1u, 2u, 3u}) {
    RecordingSpec s;
    s.kind = kind;
    WriteSequence(s);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + " kind " + std::to_string(kind));
      {
        std::lock_guard lock(shownMutex);
        shown.clear();
      }
      ended = 0;
      KZPLAYBACK b = Block(c.rate, c.flags);
      b.repeatCount = c.repeat;
      const uint32_t id = KZStartPlayback(&b);
      ASSERT_NE(id, 0u) << KZGetLastError();
      EXPECT_GE(id, KZ_PLAYBACK_ID_BASE);
      ASSERT_TRUE(WaitFor([] { return ended.load() != 0; }));
      EXPECT_EQ(endStatus.load(), 0u);
      const auto v = Taken();
      EXPECT_EQ(Frames(v), c.frames);
      for (size_t i = 1; c.spacing && i < v.size(); ++i) {
        EXPECT_EQ(v[i].clock - v[i - 1].clock, c.spacing) << i;
      }
      // The thread released its own entry.
      EXPECT_EQ(KZGetPlaybackID(0, Path("seq.kzv").c_str(), nullptr), 0u);
    }
  }
}

TEST_F(Playback, LosslessPlaybackDrawsExactPixels) {
  RecordingSpec s;
  s.kind = 2;
  WriteSequence(s);
  KZPLAYBACK b = Block(1.0, 0);  // pauses on the last frame
  const uint32_t id = KZStartPlayback(&b);
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(WaitFor([] { return Taken().size() == 12; }));
  // Paused on the last frame: the active block says so, and the thread stays.
  KZPLAYBACK now{};
  now.size = sizeof now;
  ASSERT_TRUE(WaitFor([&] {
    return KZGetPlayback(0, id, nullptr, &now) == 1 && now.rate == 0.0 && now.frame == 11;
  }));
  std::vector<DWORD> px(64 * 32);
  LONG w = 0, h = 0;
  ASSERT_TRUE(kzwinReadSurface(nullptr, window_, &w, &h, px.data(), static_cast<LONG>(px.size())));
  const auto f = kztest::FramePixels(s, 11);
  int wrong = 0;
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 32; ++x) {
      const uint8_t* bgr = f.data() + (15 - y) * 96 + 3 * x;
      const DWORD want = (DWORD{bgr[2]} << 16) | (DWORD{bgr[1]} << 8) | bgr[0];
      wrong += px[y * 64 + x] != want;
    }
  }
  EXPECT_EQ(wrong, 0);
  KZPLAYBACKFRAME pos{};
  pos.size = sizeof pos;
  ASSERT_EQ(KZGetPlaybackFrame(0, id, nullptr, &pos), 1);
  EXPECT_EQ(pos.frame, 11u);
  EXPECT_EQ(pos.index, 11);
  EXPECT_EQ(pos.fileNumber, 2);
  HGLOBAL raw = KZGetPlaybackImage(0, id, nullptr, 0, 100);
  ASSERT_NE(raw, nullptr);
  ASSERT_EQ(GlobalSize(raw), f.size());
  EXPECT_EQ(std::memcmp(GlobalLock(raw), f.data(), f.size()), 0);
  GlobalUnlock(raw);
  GlobalFree(raw);
  EXPECT_EQ(KZStopPlayback(0, id, nullptr), 1);
  ASSERT_TRUE(WaitFor([] { return ended.load() != 0; }));
  EXPECT_EQ(endStatus.load(), 0u);
}

TEST_F(Playback, PauseAndChangeResume) {
  RecordingSpec s;
  WriteSequence(s);
  KZPLAYBACK b = Block(0.0, KZ_PLAY_END);
  const uint32_t id = KZStartPlayback(&b);
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(WaitFor([] { return Taken().size() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(Taken().size(), 1u);  // paused: nothing more is shown
  EXPECT_EQ(KZWaitForPlayback(0, id, nullptr, 1000), 1);
  // Resume at double speed without a move: the playback goes on from frame 1.
  b.rate = 2.0;
  ASSERT_EQ(KZChangePlayback(&b), 1);
  ASSERT_TRUE(WaitFor([] { return ended.load() != 0; }));
  EXPECT_EQ(Frames(Taken()), Range(0, 11));
  const auto v = Taken();
  for (size_t i = 2; i < v.size(); ++i) EXPECT_EQ(v[i].clock - v[i - 1].clock, 20u);
}

TEST_F(Playback, ChangeWithAMoveRestartsFromThere) {
  RecordingSpec s;
  WriteSequence(s);
  KZPLAYBACK b = Block(0.0, 0);
  const uint32_t id = KZStartPlayback(&b);
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(WaitFor([] { return Taken().size() == 1; }));
  b.flags = KZ_PLAY_END | KZ_PLAY_MOVE_START | KZ_PLAY_MODE_FRAME;
  b.frame = 9;
  b.rate = 1.0;
  ASSERT_EQ(KZChangePlayback(&b), 1);
  ASSERT_TRUE(WaitFor([] { return ended.load() != 0; }));
  EXPECT_EQ(Frames(Taken()), (std::vector<uint32_t>{0, 9, 10, 11}));
}

TEST_F(Playback, ApiRulesAndErrors) {
  RecordingSpec s;
  WriteSequence(s);
  KZPLAYBACK b = Block(0.0, 0);
  EXPECT_EQ(KZStartPlayback(nullptr), 0u);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_NULL));
  KZPLAYBACK bad = b;
  bad.size = 1;
  EXPECT_EQ(KZStartPlayback(&bad), 0u);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_RECORD_SIZE));
  bad = b;
  bad.fileName[0] = 0;
  EXPECT_EQ(KZStartPlayback(&bad), 0u);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_NO_FILE_NAME));
  bad = b;
  bad.window = nullptr;
  EXPECT_EQ(KZStartPlayback(&bad), 0u);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_WINDOW));
  bad = b;
  std::snprintf(bad.fileName, sizeof bad.fileName, "%s", Path("none.kzv").c_str());
  EXPECT_EQ(KZStartPlayback(&bad), 0u);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_FILE_OPEN));

  // Started with the first file of its sequence, the playback is found by any of them.
  std::snprintf(b.fileName, sizeof b.fileName, "%s", Path("seq.kzv").c_str());
  const uint32_t id = KZStartPlayback(&b);
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(WaitFor([] { return Taken().size() == 1; }));
  EXPECT_EQ(KZGetPlaybackID(0, Path("seq3.kzv").c_str(), nullptr), id);
  EXPECT_EQ(KZGetPlaybackID(0, Path("seq2.kzv").c_str(), nullptr), id);
  EXPECT_EQ(KZStartPlayback(&b), 0u);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_PLAYED_ALREADY));
  KZPLAYBACK shared = b;
  shared.flags |= KZ_PLAY_SHARE;
  EXPECT_EQ(KZStartPlayback(&shared), 0u);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_PLAYED_IN_WINDOW));

  HWND other = reinterpret_cast<HWND>(0x77);
  KZPLAYBACK out{};
  out.size = sizeof out;
  EXPECT_EQ(KZGetPlayback(0, id, other, &out), 0);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_OTHER_WINDOW));
  EXPECT_EQ(KZGetPlayback(0, id + 1, nullptr, &out), 0);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_NO_PLAYBACK));
  out.size = 3;
  EXPECT_EQ(KZGetPlayback(0, id, nullptr, &out), 0);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_RECORD_SIZE));
  KZPLAYBACKFRAME frame{};
  frame.size = 55;
  EXPECT_EQ(KZGetPlaybackFrame(0, id, nullptr, &frame), 0);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_RECORD_SIZE));
  KZRATE rate{};
  EXPECT_EQ(KZGetPlaybackRate(0, id, nullptr, &rate), 1);
  EXPECT_EQ(rate.framesDone, 1u);
  EXPECT_EQ(KZGetPlaybackRate(0, id, nullptr, nullptr), 0);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_NULL));
  EXPECT_EQ(KZRefreshPlayback(0, id, nullptr), 1);
  HGLOBAL drawn = KZGetPlaybackImage(0, id, nullptr, KZ_IMAGE_AS_DRAWN, 100);
  ASSERT_NE(drawn, nullptr);
  EXPECT_EQ(GlobalSize(drawn), 40u + 96 * 16);
  GlobalFree(drawn);
  // Paused: no new frame comes within the limit.
  EXPECT_EQ(KZGetPlaybackImage(0, id, nullptr, KZ_IMAGE_NEXT, 5), nullptr);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_TIMEOUT));

  KZDISPLAY d{};
  d.size = sizeof d;
  KZRECORD r{};
  r.size = sizeof r;
  EXPECT_EQ(KZGetPlaybackInfo(0, 0, Path("seq.kzv").c_str(), nullptr, nullptr, &r, 0), 1);
  EXPECT_EQ(r.keyInterval, 5);
  // The file carries no display block; the running playback's own block answers.
  EXPECT_EQ(KZGetPlaybackInfo(0, 0, Path("seq.kzv").c_str(), nullptr, &d, nullptr, 0), 0);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_NO_DISPLAY_BLOCK));
  EXPECT_EQ(KZGetPlaybackInfo(0, 0, Path("seq.kzv").c_str(), nullptr, &d, nullptr, 1), 1);
  EXPECT_EQ(d.width, 32);
  EXPECT_EQ(KZGetPlaybackInfo(0, 0, nullptr, nullptr, nullptr, nullptr, 0), 0);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_NULL));

  EXPECT_EQ(KZStopPlayback(0, id, nullptr), 1);
  EXPECT_EQ(KZStopPlayback(0, id, nullptr), 0);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_NO_PLAYBACK));
}

TEST_F(Playback, FilesThatCannotBePositionedEndWithTheirCode) {
  RecordingSpec s;
  WriteSequence(s);
  KZPLAYBACK b = Block(1.0, KZ_PLAY_MOVE_START | KZ_PLAY_STRICT);
  b.index = 40;
  ASSERT_NE(KZStartPlayback(&b), 0u);
  ASSERT_TRUE(WaitFor([] { return ended.load() != 0; }));
  EXPECT_EQ(endStatus.load(), static_cast<uint32_t>(KZ_ERR_POSITION));
  EXPECT_TRUE(Taken().empty());
}

TEST_F(Playback, ACutRecordingPlaysToItsLastWholeFrame) {
  RecordingSpec s;
  s.kind = 2;
  kztest::WriteRecording(Path("seq.kzv"), s, 0, 4);
  auto cut = kztest::RecordingBytes(s, 4, 4);
  cut.resize(cut.size() - 20);
  kztest::WriteFile(Path("seq2.kzv"), cut);
  KZPLAYBACK b = Block(1.0, KZ_PLAY_END);
  ASSERT_NE(KZStartPlayback(&b), 0u);
  ASSERT_TRUE(WaitFor([] { return ended.load() != 0; }));
  EXPECT_EQ(endStatus.load(), 0u);  // the normal end
  EXPECT_EQ(Frames(Taken()), Range(0, 6));
}

TEST_F(Playback, OneFrameFileLoopsAtAPace) {
  RecordingSpec s;
  kztest::WriteRecording(Path("seq.kzv"), s, 0, 1);
  KZPLAYBACK b = Block(1.0, KZ_PLAY_END);
  std::snprintf(b.fileName, sizeof b.fileName, "%s", Path("seq.kzv").c_str());
  b.repeatCount = 5;
  ASSERT_NE(KZStartPlayback(&b), 0u);
  ASSERT_TRUE(WaitFor([] { return ended.load() != 0; }));
  const auto v = Taken();
  ASSERT_EQ(v.size(), 5u);
  for (size_t i = 1; i < v.size(); ++i) EXPECT_GE(v[i].clock - v[i - 1].clock, 1000u);
}

}  // namespace

namespace {

TEST_F(Playback, InfoBlocksAreFoundInLaterFilesOnlyWhenSearched) {
  RecordingSpec plain;
  RecordingSpec shown = plain;
  shown.withDisplay = true;
  kztest::WriteRecording(Path("info.kzv"), plain, 0, 3);
  kztest::WriteRecording(Path("info2.kzv"), shown, 3, 3);
  KZDISPLAY d{};
  d.size = sizeof d;
  d.window = window_;
  // The first record of the first file has no display block.
  EXPECT_EQ(KZGetPlaybackInfo(0, 0, Path("info.kzv").c_str(), nullptr, &d, nullptr, 0), 0);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_NO_DISPLAY_BLOCK));
  // Searching walks on into the next file of the sequence.
  ASSERT_EQ(KZGetPlaybackInfo(0, 0, Path("info.kzv").c_str(), nullptr, &d, nullptr, 1), 1);
  const double zoom = d.zoom;
  EXPECT_EQ(zoom, 2.0);
  EXPECT_EQ(d.cropWidth, 7);
  const HWND window = d.window;  // a window is never taken from a file
  EXPECT_EQ(window, window_);
  KZDISPLAY wrong{};
  wrong.size = 100;
  EXPECT_EQ(KZGetPlaybackInfo(0, 0, Path("info.kzv").c_str(), nullptr, &wrong, nullptr, 1), 0);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_RECORD_SIZE));
  KZRECORD r{};
  r.size = sizeof r;
  EXPECT_EQ(KZGetPlaybackInfo(0, 0, Path("missing.kzv").c_str(), nullptr, nullptr, &r, 0), 0);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_FILE_OPEN));
}

TEST_F(Playback, AChangeEqualToTheActiveBlockCancelsAPendingOne) {
  RecordingSpec s;
  WriteSequence(s);
  KZPLAYBACK b = Block(0.0, 0);
  const uint32_t id = KZStartPlayback(&b);
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(WaitFor([] { return Taken().size() == 1; }));
  KZPLAYBACK active{};
  active.size = sizeof active;
  ASSERT_TRUE(WaitFor([&] {
    return KZGetPlayback(0, id, nullptr, &active) == 1 &&
           (active.flags & KZ_PLAY_SEEKING) == 0;
  }));
  // A change that only reads back what is active leaves nothing pending.
  EXPECT_EQ(KZChangePlayback(&active), 1);
  KZPLAYBACK again{};
  again.size = sizeof again;
  ASSERT_EQ(KZGetPlayback(0, id, nullptr, &again), 1);
  EXPECT_EQ(std::memcmp(&again, &active, sizeof again), 0);
  // Another session's id is refused, a wrong window too.
  b.window = reinterpret_cast<HWND>(0x99);
  EXPECT_EQ(KZChangePlayback(&b), 0);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_OTHER_WINDOW));
}

}  // namespace

namespace {

// Pixel (x, y) of a 24-bit packed bitmap as 0xRRGGBB (rows are stored bottom-up).
DWORD PixelAt(const uint8_t* bitmap, int x, int y) {
  BITMAPINFOHEADER bi;
  std::memcpy(&bi, bitmap, sizeof bi);
  const uint8_t* p = bitmap + 40 + (bi.biHeight - 1 - y) * ((3 * bi.biWidth + 3) & ~3) + 3 * x;
  return (DWORD{p[2]} << 16) | (DWORD{p[1]} << 8) | p[0];
}

// The playback's first frame is published (the counters start at 0 with every playback).
bool ShownOnce(uint32_t id) {
  KZRATE rate{};
  return WaitFor([&] { return KZGetPlaybackRate(0, id, nullptr, &rate) && rate.framesDone; });
}

std::vector<uint8_t> Bytes(HGLOBAL h) {
  std::vector<uint8_t> v(h ? GlobalSize(h) : 0);
  if (h) std::memcpy(v.data(), GlobalLock(h), v.size());
  if (h) GlobalUnlock(h);
  if (h) GlobalFree(h);
  return v;
}

TEST_F(Playback, PlaybackAndLoadFrameDrawThroughTheSharedShowStep) {
  constexpr DWORD kCyan = 0x00FFFF;  // the test pattern's third bar, at source (50, 50)
  struct Case {
    const char* what;
    void (*set)(KZDISPLAY&);
    int32_t width, height;  // of the picture drawn
    int x, y;               // a pixel of it (RGB24 only), -1: none
    DWORD rgb;
  };
  const Case cases[] = {
      {"crop", [](KZDISPLAY& d) {
         d.drawFlags = 1;
         d.cropLeft = 40, d.cropTop = 10, d.cropWidth = 60, d.cropHeight = 50;
       }, 60, 50, 10, 40, kCyan},
      {"zoom", [](KZDISPLAY& d) { d.drawFlags = 2, d.zoom = 2.0, d.aspect = 1.0; }, 320, 240,
       100, 100, kCyan},
      {"quarter turn", [](KZDISPLAY& d) { d.orientation = 1; }, 120, 160, 69, 50, kCyan},
      {"brightness", [](KZDISPLAY& d) { d.adjust.brightness = 1000; }, 160, 120, 50, 50,
       0x19FFFF},
      {"all at once", [](KZDISPLAY& d) {
         d.drawFlags = 3, d.cropLeft = 8, d.cropTop = 4, d.cropWidth = 100, d.cropHeight = 90;
         d.zoom = 1.5, d.aspect = 1.0, d.resampling = 1, d.orientation = 0x0B;
         d.adjust.contrast = 2500, d.adjust.saturation = -1000, d.adjust.gamma = 1.4;
       }, 135, 150, -1, -1, 0},
  };
  for (uint32_t format : {uint32_t{KZ_FORMAT_RGB24}, uint32_t{KZ_FORMAT_UYVY}}) {
    RecordingSpec s;
    s.kind = 2;
    s.width = 160;
    s.height = 120;
    s.format = format;
    s.testPattern = true;
    kztest::WriteRecording(Path("pattern.kzv"), s, 0, 1);
    const auto frame = kztest::FramePixels(s, 0);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + " format " + std::to_string(format));
      KZDISPLAY d{};
      d.size = sizeof d;
      d.session = session_;
      d.width = s.width;
      d.height = s.height;
      d.format = format;
      d.bitCount = format == KZ_FORMAT_RGB24 ? 24 : 16;
      d.zoom = 1.0;
      c.set(d);
      // What the live display's show step makes of the same frame and options.
      HGLOBAL image = GlobalAlloc(GMEM_MOVEABLE, frame.size());
      std::memcpy(GlobalLock(image), frame.data(), frame.size());
      GlobalUnlock(image);
      const auto want = Bytes(KZImageToBitmap(image, &d));
      GlobalFree(image);
      ASSERT_EQ(want.size(), 40 + static_cast<size_t>((3 * c.width + 3) & ~3) * c.height);
      if (format == KZ_FORMAT_RGB24 && c.x >= 0) {
        EXPECT_EQ(PixelAt(want.data(), c.x, c.y), c.rgb);
      }

      KZPLAYBACK b = Block(0.0, d.drawFlags);
      std::snprintf(b.fileName, sizeof b.fileName, "%s", Path("pattern.kzv").c_str());
      kz::CopyDrawingFields(&b, d);
      KZPLAYBACK copy = b;
      EXPECT_EQ(Bytes(KZLoadFrame(b.fileName, &copy, nullptr, KZ_IMAGE_AS_DRAWN)), want);
      const uint32_t id = KZStartPlayback(&b);
      ASSERT_NE(id, 0u);
      ASSERT_TRUE(ShownOnce(id));
      EXPECT_EQ(Bytes(KZGetPlaybackImage(0, id, nullptr, KZ_IMAGE_AS_DRAWN, 0)), want);
      EXPECT_EQ(KZStopPlayback(0, id, nullptr), 1);
    }
  }
}

TEST_F(Playback, ThePublishedPictureKeepsTheImageLock) {
  RecordingSpec s;
  kztest::WriteRecording(Path("two.kzv"), s, 0, 2);
  KZPLAYBACK b = Block(0.0, 0);
  std::snprintf(b.fileName, sizeof b.fileName, "%s", Path("two.kzv").c_str());
  const uint32_t id = KZStartPlayback(&b);
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(ShownOnce(id));
  std::atomic<uint32_t>& lock = kz::FindStream(id, kz::kPlaybackBit)->show.imageLock;
  // A publisher in the middle of its swap past the time limit: the buffer is busy.
  lock.fetch_or(4);
  std::atomic<bool> done{false};
  std::thread clock([&] {
    while (!done) kzwinAdvanceClock(1), std::this_thread::yield();
  });
  EXPECT_EQ(KZGetPlaybackImage(0, id, nullptr, 0, 3), nullptr);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_PLAYBACK_BUSY));
  done = true;
  clock.join();
  lock.fetch_and(~4u);
  // A caller pinning while the next frame comes: the publisher gives way and drops it.
  lock.fetch_or(2);
  b.flags = KZ_PLAY_MOVE_START;
  b.index = 1;
  ASSERT_EQ(KZChangePlayback(&b), 1);
  // Drawn means the change has restarted the counters; counted means the publisher is done.
  ASSERT_TRUE(WaitFor([] { return Taken().size() == 2; }));
  ASSERT_TRUE(ShownOnce(id));
  lock.fetch_and(~2u);
  EXPECT_EQ(Bytes(KZGetPlaybackImage(0, id, nullptr, 0, 0)), kztest::FramePixels(s, 0));
}

}  // namespace

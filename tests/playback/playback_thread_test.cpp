// Playing recordings into a window on the manual clock: order of frames, their due
// times, speed, direction, passes, bounce, pause, step mode, changes, the end report, the
// API's rules, the shared show step and the image lock.
#include <kzwin_test.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "expect_call.h"
#include "frame/stream.h"
#include "playback/drawing_fields.h"
#include "recording_maker.h"

namespace {

using kztest::Frames;
using kztest::RecordingSpec;
using kztest::Taken;
using kztest::WaitFor;
using Playback = kztest::PlaybackTest;

std::vector<uint32_t> Range(int from, int to, int times = 1) {
  std::vector<uint32_t> out;
  for (int t = 0; t < times; ++t) {
    for (int i = from; from <= to ? i <= to : i >= to; from <= to ? ++i : --i) {
      out.push_back(static_cast<uint32_t>(i));
    }
  }
  return out;
}

std::vector<uint32_t> Join(std::vector<uint32_t> a, const std::vector<uint32_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The playback's first frame is published (the counters start at 0 with every playback
// and every change).
bool ShownOnce(uint32_t id) {
  KZRATE rate{};
  return WaitFor([&] { return KZGetPlaybackRate(0, id, nullptr, &rate) && rate.framesDone; });
}

std::vector<uint8_t> Bytes(HGLOBAL h) {
  std::vector<uint8_t> v(h ? GlobalSize(h) : 0);
  if (!h) return v;
  std::memcpy(v.data(), GlobalLock(h), v.size());
  GlobalUnlock(h);
  GlobalFree(h);
  return v;
}

TEST_F(Playback, SpeedDirectionPassesBounceAndEndsChangeTheFramesShown) {
  enum Files { kSequence, kCut, kOneFrame };
  struct Case {
    const char* what;
    Files files;
    double rate;
    uint32_t flags;
    int32_t repeat;
    std::vector<uint32_t> frames;
    uint32_t spacing;  // clock between two frames shown (at least that with a one-frame file)
    uint32_t status;   // given to the end callback
  };
  const uint32_t end = KZ_PLAY_END, strictMove = KZ_PLAY_MOVE_START | KZ_PLAY_STRICT;
  const Case cases[] = {
      {"forward", kSequence, 1.0, end, 0, Range(0, 11), 40, 0},
      {"double speed", kSequence, 2.0, end, 0, Range(0, 11), 20, 0},
      {"half speed", kSequence, 0.5, end, 0, Range(0, 11), 80, 0},
      {"backward from the end", kSequence, -1.0, end | KZ_PLAY_MOVE_END, 0, Range(11, 0), 40, 0},
      {"two passes", kSequence, 1.0, end, 2, Range(0, 11, 2), 0, 0},
      {"bounce", kSequence, 1.0, end | KZ_PLAY_BOUNCE, 2, Join(Range(0, 11), Range(10, 0)), 40, 0},
      {"bounce three", kSequence, 4.0, end | KZ_PLAY_BOUNCE, 3,
       Join(Join(Range(0, 11), Range(10, 0)), Range(1, 11)), 10, 0},
      {"step mode", kSequence, 0.0, end | KZ_PLAY_STEP, 0, Range(0, 11), 0, 0},
      {"cut mid-record: the last whole frame, a normal end", kCut, 1.0, end, 0, Range(0, 6), 40, 0},
      {"one frame loops at a pace", kOneFrame, 1.0, end, 5, Range(0, 0, 5), 1000, 0},
      {"cannot be positioned", kSequence, 1.0, strictMove, 0, {}, 0, KZ_ERR_POSITION},
  };
  for (uint32_t kind : {1u, 2u, 3u}) {
    RecordingSpec s;
    s.kind = kind;
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + " kind " + std::to_string(kind));
      WriteSequence(s);
      if (c.files != kSequence) std::filesystem::remove(Path("seq3.kzv"));
      if (c.files == kOneFrame) {
        std::filesystem::remove(Path("seq2.kzv"));
        kztest::WriteRecording(Path("seq.kzv"), s, 0, 1);
      }
      if (c.files == kCut) {
        auto cut = kztest::RecordingBytes(s, 4, 4);
        cut.resize(cut.size() - 20);
        kztest::WriteFile(Path("seq2.kzv"), cut);
      }
      kztest::ForgetShown();
      KZPLAYBACK b = Block(c.rate, c.flags, c.files == kOneFrame ? "seq.kzv" : "seq2.kzv");
      b.repeatCount = c.repeat;
      b.index = c.status ? 40 : 0;  // the strict move to a frame that is not there
      const uint32_t id = KZStartPlayback(&b);
      ASSERT_GE(id, KZ_PLAYBACK_ID_BASE) << KZGetLastError();
      ASSERT_TRUE(WaitFor(kztest::Ended));
      EXPECT_EQ(kztest::EndStatus(), c.status);
      const auto v = Taken();
      EXPECT_EQ(Frames(v), c.frames);
      for (size_t i = 1; c.spacing && i < v.size(); ++i) {
        const uint32_t spacing = v[i].clock - v[i - 1].clock;
        EXPECT_TRUE(c.files == kOneFrame ? spacing >= c.spacing : spacing == c.spacing) << i;
      }
      // The thread released its own entry.
      EXPECT_EQ(KZGetPlaybackID(0, b.fileName, nullptr), 0u);
    }
  }
}

TEST_F(Playback, ChangesWhilePaused) {
  struct Case {
    const char* what;
    double rate;
    uint32_t flags, frame;
    std::vector<uint32_t> frames;
    uint32_t spacing;  // from the third frame on
  };
  const uint32_t move = KZ_PLAY_END | KZ_PLAY_MOVE_START | KZ_PLAY_MODE_FRAME;
  const Case cases[] = {
      {"resume at double speed, no move", 2.0, KZ_PLAY_END, 0, Range(0, 11), 20},
      {"a move restarts from there", 1.0, move, 9, {0, 9, 10, 11}, 40},
  };
  RecordingSpec s;
  WriteSequence(s);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kztest::ForgetShown();
    KZPLAYBACK b = Block(0.0, KZ_PLAY_END);
    const uint32_t id = KZStartPlayback(&b);
    ASSERT_TRUE(ShownOnce(id));
    EXPECT_EQ(KZWaitForPlayback(0, id, nullptr, 1000), 1);
    b.rate = c.rate, b.flags = c.flags, b.frame = c.frame;
    ASSERT_EQ(KZChangePlayback(&b), 1);
    ASSERT_TRUE(WaitFor(kztest::Ended));
    const auto v = Taken();
    EXPECT_EQ(Frames(v), c.frames);
    for (size_t i = 2; i < v.size(); ++i) EXPECT_EQ(v[i].clock - v[i - 1].clock, c.spacing);
  }
  // A change equal to the active block leaves nothing pending; a move while paused shows
  // the frame it lands on, at its place in the sequence.
  kztest::ForgetShown();
  KZPLAYBACK b = Block(0.0, 0);
  const uint32_t id = KZStartPlayback(&b);
  KZPLAYBACK active{};
  active.size = sizeof active;
  ASSERT_TRUE(WaitFor([&] {
    return KZGetPlayback(0, id, nullptr, &active) && (active.flags & KZ_PLAY_SEEKING) == 0 &&
           Taken().size() == 1;
  }));
  EXPECT_EQ(KZChangePlayback(&active), 1);
  KZPLAYBACK again{};
  again.size = sizeof again;
  ASSERT_EQ(KZGetPlayback(0, id, nullptr, &again), 1);
  EXPECT_EQ(std::memcmp(&again, &active, sizeof again), 0);
  b.flags = KZ_PLAY_MOVE_START | KZ_PLAY_MODE_FRAME, b.frame = 9;
  ASSERT_EQ(KZChangePlayback(&b), 1);
  ASSERT_TRUE(WaitFor([] { return Taken().size() == 2; }));
  KZPLAYBACKFRAME pos{};
  pos.size = sizeof pos;
  ASSERT_TRUE(WaitFor([&] { return KZGetPlaybackFrame(0, id, nullptr, &pos) && pos.frame == 9; }));
  EXPECT_EQ(std::pair(int32_t{pos.index}, int32_t{pos.fileNumber}), std::pair(9, 2));
  b.window = reinterpret_cast<HWND>(0x99);
  EXPECT_CALL_ERR(KZChangePlayback(&b), 0, KZ_ERR_OTHER_WINDOW);
}

TEST_F(Playback, ApiRulesAndErrors) {
  RecordingSpec s;
  WriteSequence(s);
  KZPLAYBACK b = Block(0.0, 0, "seq.kzv");
  EXPECT_CALL_ERR(KZStartPlayback(nullptr), 0u, KZ_ERR_NULL);
  struct Bad {
    void (*spoil)(KZPLAYBACK&);
    int error;
  } const bad[] = {{[](KZPLAYBACK& x) { x.size = 1; }, KZ_ERR_RECORD_SIZE},
                   {[](KZPLAYBACK& x) { x.fileName[0] = 0; }, KZ_ERR_NO_FILE_NAME},
                   {[](KZPLAYBACK& x) { x.window = nullptr; }, KZ_ERR_WINDOW},
                   {[](KZPLAYBACK& x) { std::strcat(x.fileName, ".none"); }, KZ_ERR_FILE_OPEN}};
  for (const Bad& c : bad) {
    KZPLAYBACK x = b;
    c.spoil(x);
    EXPECT_CALL_ERR(KZStartPlayback(&x), 0u, c.error);
  }

  // Started with the first file of its sequence, the playback is found by any of them.
  const uint32_t id = KZStartPlayback(&b);
  ASSERT_TRUE(ShownOnce(id));
  EXPECT_EQ(KZGetPlaybackID(0, Path("seq3.kzv").c_str(), nullptr), id);
  EXPECT_EQ(KZGetPlaybackID(0, Path("seq2.kzv").c_str(), nullptr), id);
  EXPECT_CALL_ERR(KZStartPlayback(&b), 0u, KZ_ERR_PLAYED_ALREADY);
  KZPLAYBACK shared = b;
  shared.flags |= KZ_PLAY_SHARE;
  EXPECT_CALL_ERR(KZStartPlayback(&shared), 0u, KZ_ERR_PLAYED_IN_WINDOW);

  KZPLAYBACK out{};
  out.size = sizeof out;
  EXPECT_CALL_ERR(KZGetPlayback(0, id, reinterpret_cast<HWND>(0x77), &out), 0, KZ_ERR_OTHER_WINDOW);
  EXPECT_CALL_ERR(KZGetPlayback(0, id + 1, nullptr, &out), 0, KZ_ERR_NO_PLAYBACK);
  EXPECT_CALL_ERR(KZGetPlayback(0, id, nullptr, nullptr), 0, KZ_ERR_NULL);
  out.size = 3;
  EXPECT_CALL_ERR(KZGetPlayback(0, id, nullptr, &out), 0, KZ_ERR_RECORD_SIZE);
  KZPLAYBACKFRAME frame{};
  frame.size = 55;
  EXPECT_CALL_ERR(KZGetPlaybackFrame(0, id, nullptr, &frame), 0, KZ_ERR_RECORD_SIZE);
  KZRATE rate{};
  EXPECT_TRUE(KZGetPlaybackRate(0, id, nullptr, &rate) == 1 && rate.framesDone == 1);
  EXPECT_CALL_ERR(KZGetPlaybackRate(0, id, nullptr, nullptr), 0, KZ_ERR_NULL);
  EXPECT_EQ(KZRefreshPlayback(0, id, nullptr), 1);
  EXPECT_EQ(Bytes(KZGetPlaybackImage(0, id, nullptr, KZ_IMAGE_AS_DRAWN, 100)).size(),
            40u + 96 * 16);
  // Paused: no new frame comes within the limit.
  EXPECT_CALL_ERR(KZGetPlaybackImage(0, id, nullptr, KZ_IMAGE_NEXT, 5), nullptr, KZ_ERR_TIMEOUT);

  // Blocks stored in the files, or held by the running playback.
  RecordingSpec shown = s;
  shown.withDisplay = true;
  kztest::WriteRecording(Path("info.kzv"), s, 0, 3);
  kztest::WriteRecording(Path("info2.kzv"), shown, 3, 3);
  KZDISPLAY d{};
  d.size = sizeof d, d.window = window_;
  KZRECORD r{};
  r.size = sizeof r;
  const std::string seq = Path("seq.kzv");
  const std::string info = Path("info.kzv");
  EXPECT_EQ(KZGetPlaybackInfo(0, 0, seq.c_str(), nullptr, nullptr, &r, 0), 1);
  EXPECT_EQ(r.keyInterval, 5);
  EXPECT_CALL_ERR(KZGetPlaybackInfo(0, 0, seq.c_str(), nullptr, &d, nullptr, 0), 0,
                  KZ_ERR_NO_DISPLAY_BLOCK);
  // The running playback's own block answers in mode 1.
  EXPECT_EQ(KZGetPlaybackInfo(0, 0, seq.c_str(), nullptr, &d, nullptr, 1), 1);
  EXPECT_EQ(d.width, 32);
  // Only a search walks on into the next file of a sequence; a window never comes from it.
  EXPECT_CALL_ERR(KZGetPlaybackInfo(0, 0, info.c_str(), nullptr, &d, nullptr, 0), 0,
                  KZ_ERR_NO_DISPLAY_BLOCK);
  d = KZDISPLAY{};
  d.size = sizeof d, d.window = window_;
  ASSERT_EQ(KZGetPlaybackInfo(0, 0, info.c_str(), nullptr, &d, nullptr, 1), 1);
  // Packed fields are read through copies.
  EXPECT_EQ(std::tuple(double{d.zoom}, int32_t{d.cropWidth}, HWND{d.window}),
            std::tuple(2.0, 7, window_));
  EXPECT_CALL_ERR(KZGetPlaybackInfo(0, 0, nullptr, nullptr, nullptr, nullptr, 0), 0, KZ_ERR_NULL);
  d.size = 100;
  EXPECT_CALL_ERR(KZGetPlaybackInfo(0, 0, info.c_str(), nullptr, &d, nullptr, 1), 0,
                  KZ_ERR_RECORD_SIZE);
  EXPECT_CALL_ERR(KZGetPlaybackInfo(0, 0, Path("no.kzv").c_str(), nullptr, nullptr, &r, 0), 0,
                  KZ_ERR_FILE_OPEN);

  EXPECT_EQ(StopPlayback(id), 1);
  EXPECT_CALL_ERR(KZStopPlayback(0, id, nullptr), 0, KZ_ERR_NO_PLAYBACK);
}

// Pixel (x, y) of a 24-bit packed bitmap as 0xRRGGBB (rows are stored bottom-up).
DWORD PixelAt(const std::vector<uint8_t>& bitmap, int x, int y) {
  BITMAPINFOHEADER bi;
  std::memcpy(&bi, bitmap.data(), sizeof bi);
  const uint8_t* p =
      bitmap.data() + 40 + (bi.biHeight - 1 - y) * ((3 * bi.biWidth + 3) & ~3) + 3 * x;
  return (DWORD{p[2]} << 16) | (DWORD{p[1]} << 8) | p[0];
}

TEST_F(Playback, PlaybackAndLoadFrameDrawThroughTheSharedShowStep) {
  constexpr DWORD kCyan = 0x00FFFF;  // the test pattern's third bar, at source (50, 50)
  struct Case {
    const char* what;
    void (*set)(KZDISPLAY&);
    int32_t width, height;  // of the picture drawn
    int x, y;               // a pixel of it (RGB24 only), -1: none
    DWORD rgb;
  } const cases[] = {
      {"crop",
       [](KZDISPLAY& d) {
         d.drawFlags = 1;
         d.cropLeft = 40, d.cropTop = 10, d.cropWidth = 60, d.cropHeight = 50;
       },
       60, 50, 10, 40, kCyan},
      {"zoom", [](KZDISPLAY& d) { d.drawFlags = 2, d.zoom = 2.0, d.aspect = 1.0; }, 320, 240, 100,
       100, kCyan},
      {"quarter turn", [](KZDISPLAY& d) { d.orientation = 1; }, 120, 160, 69, 50, kCyan},
      {"brightness", [](KZDISPLAY& d) { d.adjust.brightness = 1000; }, 160, 120, 50, 50, 0x19FFFF},
      {"all at once",
       [](KZDISPLAY& d) {
         d.drawFlags = 3, d.cropLeft = 8, d.cropTop = 4, d.cropWidth = 100, d.cropHeight = 90;
         d.zoom = 1.5, d.aspect = 1.0, d.resampling = 1, d.orientation = 0x0B;
         d.adjust.contrast = 2500, d.adjust.saturation = -1000, d.adjust.gamma = 1.4;
       },
       135, 150, -1, -1, 0},
  };
  for (uint32_t format : {uint32_t{KZ_FORMAT_RGB24}, uint32_t{KZ_FORMAT_UYVY}}) {
    RecordingSpec s;
    s.kind = 2, s.width = 160, s.height = 120, s.format = format, s.testPattern = true;
    kztest::WriteRecording(Path("pattern.kzv"), s, 0, 1);
    const auto frame = kztest::FramePixels(s, 0);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + " format " + std::to_string(format));
      KZDISPLAY d{};
      d.size = sizeof d, d.session = session_, d.width = s.width, d.height = s.height;
      d.format = format, d.bitCount = format == KZ_FORMAT_RGB24 ? 24 : 16, d.zoom = 1.0;
      c.set(d);
      // What the live display's show step makes of the same frame and options.
      HGLOBAL image = GlobalAlloc(GMEM_MOVEABLE, frame.size());
      std::memcpy(GlobalLock(image), frame.data(), frame.size());
      GlobalUnlock(image);
      const auto want = Bytes(KZImageToBitmap(image, &d));
      GlobalFree(image);
      ASSERT_EQ(want.size(), 40 + static_cast<size_t>((3 * c.width + 3) & ~3) * c.height);
      EXPECT_TRUE(format != KZ_FORMAT_RGB24 || c.x < 0 || PixelAt(want, c.x, c.y) == c.rgb);

      KZPLAYBACK b = Block(0.0, d.drawFlags, "pattern.kzv");
      kz::CopyDrawingFields(&b, d);
      KZPLAYBACK copy = b;
      EXPECT_EQ(Bytes(KZLoadFrame(b.fileName, &copy, nullptr, KZ_IMAGE_AS_DRAWN)), want);
      const uint32_t id = KZStartPlayback(&b);
      ASSERT_TRUE(ShownOnce(id));
      EXPECT_EQ(Bytes(KZGetPlaybackImage(0, id, nullptr, KZ_IMAGE_AS_DRAWN, 0)), want);
      // The window shows the same picture where it fits.
      std::vector<DWORD> px(64 * 32);
      LONG w = 0, h = 0;
      ASSERT_TRUE(kzwinReadSurface(nullptr, window_, &w, &h, px.data(), 64 * 32));
      int wrong = 0;
      for (int y = 0; y < 32 && y < c.height; ++y) {
        for (int x = 0; x < 64 && x < c.width; ++x) wrong += px[y * 64 + x] != PixelAt(want, x, y);
      }
      EXPECT_EQ(wrong, 0);
      EXPECT_EQ(StopPlayback(id), 1);
    }
  }
}

TEST_F(Playback, ThePublishedPictureKeepsTheImageLock) {
  RecordingSpec s;
  kztest::WriteRecording(Path("two.kzv"), s, 0, 2);
  KZPLAYBACK b = Block(0.0, 0, "two.kzv");
  const uint32_t id = KZStartPlayback(&b);
  ASSERT_TRUE(ShownOnce(id));
  std::atomic<uint32_t>& lock = kz::FindStream(id, kz::kPlaybackBit)->show.imageLock;
  // A publisher in the middle of its swap past the time limit: the buffer is busy.
  lock.fetch_or(4);
  std::atomic<bool> done{false};
  std::thread clock([&] {
    while (!done) kzwinAdvanceClock(1), std::this_thread::yield();
  });
  EXPECT_CALL_ERR(KZGetPlaybackImage(0, id, nullptr, 0, 3), nullptr, KZ_ERR_PLAYBACK_BUSY);
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

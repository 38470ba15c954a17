// Live display of the test-pattern camera: frames, pixels, changes, rates and stopping.
#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <utility>

#include "image/convert.h"
#include "image/pixfmt.h"
#include "image/show.h"
#include "live/ring.h"
#include "live_fixture.h"
#include "expect_call.h"

namespace kz::test {
namespace {

constexpr DWORD kYuy2 = MAKEFOURCC('Y', 'U', 'Y', '2');

// Without pumping no new frame can arrive (the grab waits for this thread): once the
// display has emptied the ring, the image it publishes stays put.
bool Settle(uint32_t source) {
  StreamRecord* e = SourceEntry(source);
  return e && WaitUntil([e] { return RingFill(*e) == 0; });
}

// The packed bitmap the show step makes for `frame` with `block` (on a temporary record).
std::vector<uint8_t> Expected(const KZDISPLAY& block, const std::vector<uint8_t>& frame) {
  auto t = std::make_unique<StreamRecord>();
  t->display = block;
  PrepareShow(*t);
  uint8_t* bitmap = ShowStep(*t, frame.data(), frame.size(), ShowCallbacks{}, ShowHooks{});
  std::vector<uint8_t> out;
  if (bitmap) {
    BITMAPINFOHEADER h;
    std::memcpy(&h, bitmap, sizeof h);
    out.assign(bitmap, bitmap + 40 + h.biClrUsed * 4 + h.biSizeImage);
    BlockFree(bitmap);
  }
  ReleaseShow(*t);
  return out;
}

BITMAPINFOHEADER HeaderOf(const std::vector<uint8_t>& dib) {
  BITMAPINFOHEADER h{};
  if (dib.size() >= sizeof h) std::memcpy(&h, dib.data(), sizeof h);
  return h;
}

// Drawing into a window, the step converts and draws band by band; these sizes put band
// edges off every alignment. It copies the raw frame when asked (here to an odd address).
// When the frame is kept beside the bitmap it leaves the bitmap's pixels to be made from it,
// except where something sees them (a PAL8 palette, an after-draw hook).
TEST(ShowStepInBands, GivesTheWholeFrameBitmapAndRawCopy) {
  HWND window = CreateWindowExA(0, nullptr, "bands", WS_OVERLAPPEDWINDOW, 0, 0, 1100, 400, nullptr,
                                nullptr, nullptr, nullptr);
  ASSERT_TRUE(window);
  struct Case {
    int32_t format, bits, w, h;
    bool leavable, afterDraw;
  } const cases[] = {
      {KZ_FORMAT_YUY2, 16, 1000, 333, true, false}, {KZ_FORMAT_RGB24, 24, 257, 300, true, false},
      {KZ_FORMAT_I420, 12, 318, 250, true, false},  {KZ_FORMAT_Y800, 8, 3, 2, true, false},
      {KZ_FORMAT_PAL8, 8, 101, 7, false, false},    {KZ_FORMAT_UYVY, 16, 64, 40, false, true}};
  static std::vector<uint8_t> seen;  // the bitmap as the after-draw hook saw it
  uint32_t seed = 1;
  for (const Case& c : cases) {
    for (bool ask : {false, true}) {
      KZDISPLAY block{};
      block.size = sizeof block, block.width = c.w, block.height = c.h;
      block.format = static_cast<uint32_t>(c.format),
      block.bitCount = static_cast<uint32_t>(c.bits);
      const int64_t bytes = SourceBytesNeeded(SourceFrame{c.format, c.w, c.h, {}, nullptr});
      ASSERT_GT(bytes, 0);
      std::vector<uint8_t> frame(static_cast<size_t>(bytes));
      for (auto& b : frame) b = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
      const std::vector<uint8_t> want = Expected(block, frame);  // no window: one piece

      auto rec = std::make_unique<StreamRecord>();
      rec->display = block;
      rec->display.window = window;
      PrepareShow(*rec);
      std::vector<uint8_t> copy(frame.size() + 2, 0xEE);
      ShowHooks hooks;
      PixelsLater later{1, 1, 1};
      hooks.keepsFrame = ask;
      hooks.later = ask ? &later : nullptr;
      hooks.rawCopy = ask ? nullptr : copy.data() + 1;
      seen.clear();
      if (c.afterDraw) {
        hooks.context = const_cast<std::vector<uint8_t>*>(&want);
        hooks.afterDraw = [](void* wanted, const void*, const void* bitmap) {
          const auto* b = static_cast<const uint8_t*>(bitmap);
          seen.assign(b, b + static_cast<const std::vector<uint8_t>*>(wanted)->size());
        };
      }
      const std::string what = std::to_string(c.w) + "x" + std::to_string(c.h) + " format " +
                               std::to_string(c.format) + (ask ? " asked" : "");
      uint8_t* bitmap = ShowStep(*rec, frame.data(), frame.size(), ShowCallbacks{}, hooks);
      ASSERT_TRUE(bitmap) << what;
      if (!ask) {
        EXPECT_TRUE(std::equal(frame.begin(), frame.end(), copy.begin() + 1)) << what;
        EXPECT_TRUE(copy.front() == 0xEE && copy.back() == 0xEE);
      }
      EXPECT_TRUE(!c.afterDraw || seen == want) << what;
      if (!(ask && c.leavable)) {
        EXPECT_TRUE(!ask || later.width == 0) << what;
        EXPECT_TRUE(std::equal(want.begin(), want.end(), bitmap)) << what;
      } else {
        EXPECT_EQ(std::tuple(later.format, later.width, later.height),
                  std::tuple(c.format, c.w, c.h))
            << what;
        // The header is there for the size of the image; the pixels come from the raw frame.
        EXPECT_TRUE(std::equal(want.begin(), want.begin() + 40, bitmap)) << what;
        std::vector<uint8_t> made(want.size() + 1, 0xEE);
        const uint8_t* raw = frame.data();
        ASSERT_TRUE(MakePixelsLater(later, raw, frame.size(), made.data(), want.size())) << what;
        EXPECT_TRUE(std::equal(want.begin(), want.end(), made.begin())) << what;
        EXPECT_EQ(made.back(), 0xEE);
        EXPECT_FALSE(MakePixelsLater(later, raw, frame.size(), made.data(), want.size() - 1));
        EXPECT_FALSE(MakePixelsLater(later, raw, frame.size() - 1, made.data(), want.size()));
      }
      BlockFree(bitmap);
      ReleaseShow(*rec);
    }
  }
  DestroyWindow(window);
}

class LiveDisplay : public LiveTest {
 protected:
  // Driver `index` as the default camera with `edit` applied.
  static void SetCamera(UINT index, void (*edit)(KZWIN_CAMERA&) = nullptr) {
    KZWIN_CAMERA c;
    kzwinDefaultCamera(&c);
    if (edit) edit(c);
    ASSERT_TRUE(kzwinSetCamera(index, &c));
  }
  HGLOBAL Image(uint32_t source, uint32_t flags, int32_t ms, HWND window = nullptr) {
    return KZGetDisplayImage(session_, source, window, flags, ms);
  }
  // The display block of a source as KZGetDisplay reads it.
  KZDISPLAY Current(uint32_t source, HWND window = nullptr) {
    KZDISPLAY b{};
    b.size = sizeof b;
    EXPECT_EQ(KZGetDisplay(session_, source, window, &b), 1);
    return b;
  }
  // Frame number of the raw frame on screen now, and the drawn image with it.
  bool Shown(uint32_t source, uint32_t* n, std::vector<uint8_t>* dib, const KZDISPLAY& b) {
    if (!Settle(source)) return false;
    std::vector<uint8_t> raw = TakeHandle(Image(source, KZ_IMAGE_NOW, 100));
    *dib = TakeHandle(Image(source, KZ_IMAGE_AS_DRAWN, 100));
    const PixelFormat* row = FormatByCode(b.format);
    if (!row || raw.empty() || dib->empty()) return false;
    if (!kzwinDecodeTestFrame(raw.data(), static_cast<DWORD>(raw.size()), b.width, b.height,
                              row->fourcc, static_cast<WORD>(row->bits), n)) {
      return false;
    }
    EXPECT_EQ(raw, Render(*n, b.width, b.height, row->fourcc, static_cast<WORD>(row->bits)));
    return true;
  }

  // The drawn image equals the show step's bitmap of the camera frame it carries.
  void ExpectExact(uint32_t source) {
    const KZDISPLAY b = Current(source);
    uint32_t number = 0;
    std::vector<uint8_t> dib;
    ASSERT_TRUE(Shown(source, &number, &dib, b));
    const PixelFormat* row = FormatByCode(b.format);
    const std::vector<uint8_t> frame =
        Render(number, b.width, b.height, row->fourcc, static_cast<WORD>(row->bits));
    EXPECT_EQ(dib, Expected(b, frame)) << "frame " << number;
  }
};

TEST_F(LiveDisplay, ShowsTheCameraFramesPixelExact) {
  KZDISPLAY b = Block();
  b.left = 10;
  b.top = 20;
  ASSERT_EQ(KZStartDisplay(&b), 1) << KZGetLastError();
  EXPECT_EQ(SourceBits(1), kDisplayBit | kGrabBit);
  // Nothing is shown before this thread lets the grabs through.
  KZRATE rate{};
  ASSERT_EQ(KZGetDisplayRate(session_, 1, window_, &rate), 1);
  EXPECT_EQ(std::pair(rate.framesDone, rate.framesDelivered), std::pair(0u, 0u));
  EXPECT_CALL_ERR(Image(1, KZ_IMAGE_NOW, 100, window_), nullptr, KZ_ERR_NO_IMAGE);

  std::vector<uint8_t> raw = TakeHandle(Image(1, KZ_IMAGE_NEXT, 10000, window_));
  ASSERT_EQ(raw.size(), 320u * 240 * 2);
  uint32_t first = 0;
  ASSERT_TRUE(kzwinDecodeTestFrame(raw.data(), 320 * 240 * 2, 320, 240, kYuy2, 16, &first));
  EXPECT_EQ(raw, Render(first, 320, 240, kYuy2, 16));

  uint32_t n = 0;
  std::vector<uint8_t> dib;
  ASSERT_TRUE(WaitFrames(1, 3));
  ASSERT_TRUE(Shown(1, &n, &dib, b));
  EXPECT_GT(n, first);
  // Without a plan the drawn image is the direct conversion of the frame.
  const BITMAPINFOHEADER h = HeaderOf(dib);
  EXPECT_EQ(std::tuple(h.biWidth, h.biHeight, h.biBitCount), std::tuple(320, 240, 24));
  const std::vector<uint8_t> frame = Render(n, 320, 240, kYuy2, 16);
  std::vector<uint8_t> rows(dib.size() - 40);
  ASSERT_TRUE(ConvertDirect(SourceFrame{KZ_FORMAT_YUY2, 320, 240, frame, nullptr}, rows, 960));
  EXPECT_TRUE(std::equal(rows.begin(), rows.end(), dib.begin() + 40));
  // And it is what the window shows at (left, top).
  LONG w = 0, hh = 0;
  ASSERT_TRUE(kzwinReadSurface(nullptr, window_, &w, &hh, nullptr, 0));
  std::vector<DWORD> surface(static_cast<size_t>(w) * hh);
  ASSERT_TRUE(kzwinReadSurface(nullptr, window_, &w, &hh, surface.data(), w * hh));
  int wrong = 0;
  for (int y = 0; y < 240; ++y) {
    const uint8_t* p = rows.data() + (239 - y) * 960;
    for (int x = 0; x < 320; ++x, p += 3) {
      const DWORD rgb = DWORD{p[2]} << 16 | DWORD{p[1]} << 8 | p[0];
      wrong += surface[static_cast<size_t>(y + 20) * w + x + 10] != rgb;
    }
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(KZStopDisplay(session_, 1, window_), 1);
}

// The camera's 8-bit frames hold their rows alone, no palette, and are drawn all the same.
TEST_F(LiveDisplay, EightBitFramesAreDrawn) {
  KZDISPLAY b = Block(1, 160, 120, KZ_FORMAT_RGB8);
  ASSERT_EQ(KZStartDisplay(&b), 1) << KZGetLastError();
  ASSERT_TRUE(WaitFrames(1, 2));
  uint32_t n = 0;
  std::vector<uint8_t> dib;
  ASSERT_TRUE(Shown(1, &n, &dib, b));
  ASSERT_EQ(dib.size(), 40u + 1024 + 160 * 120);
  const std::vector<uint8_t> frame = Render(n, 160, 120, 0, 8);
  EXPECT_TRUE(std::equal(frame.begin(), frame.end(), dib.begin() + 40 + 1024));
  EXPECT_EQ(KZStopDisplay(session_, 1, window_), 1);
}

// Once running, a display allocates nothing per frame: with every allocation failing, new
// pictures are still drawn and published.
TEST_F(LiveDisplay, ARunningDisplayAllocatesNothingPerFrame) {
  KZDISPLAY b = Block();
  ASSERT_EQ(KZStartDisplay(&b), 1) << KZGetLastError();
  ASSERT_TRUE(WaitFrames(1, 3));
  StreamRecord* e = FindStream(1, kDisplayBit);
  ASSERT_NE(e, nullptr);
  kzwinFailAllocAfter(0);
  // A frame on its way when allocations began to fail may still have got its bitmap.
  const uint32_t settled = e->live.framesShown.load() + 2;
  ASSERT_TRUE(PumpUntil([&] { return e->live.framesShown.load() >= settled; }));
  const uint8_t* before = e->show.shownImage.load();
  const bool published = PumpUntil([&] {
    return e->live.framesShown.load() >= settled + 3 && e->show.shownImage.load() != before;
  });
  kzwinFailAllocAfter(-1);
  EXPECT_TRUE(published);
  EXPECT_EQ(KZStopDisplay(session_, 1, window_), 1);
}

TEST_F(LiveDisplay, ZoomTurnAndColourChangeWhileItRuns) {
  KZDISPLAY b = Block(1, 160, 120);
  ASSERT_EQ(KZStartDisplay(&b), 1);
  ASSERT_TRUE(WaitFrames(1, 2));
  ExpectExact(1);

  struct Change {
    double zoom;
    uint32_t orientation;
    int32_t brightness;
    int32_t width, height;  // of the drawn image
  } changes[] = {{2.0, 0, 0, 320, 240}, {0.0, 1, 0, 120, 160}, {0.0, 0, 40, 160, 120}};
  for (const Change& c : changes) {
    KZDISPLAY next = b;
    next.zoom = c.zoom;
    next.drawFlags = c.zoom > 0 ? KZ_DRAW_ZOOM : 0;
    next.orientation = c.orientation;
    next.adjust.brightness = c.brightness;
    ASSERT_EQ(KZChangeDisplay(&next), 1);
    // The pending block, before it applies.
    EXPECT_EQ(Current(1, window_).orientation, c.orientation);
    ASSERT_TRUE(PumpUntil([&] {
      const BITMAPINFOHEADER h =
          HeaderOf(TakeHandle(Image(1, KZ_IMAGE_NEXT | KZ_IMAGE_AS_DRAWN, 5000, window_)));
      return h.biWidth == c.width && h.biHeight == c.height;
    }));
    ASSERT_TRUE(WaitFrames(1, 2));
    ExpectExact(1);
  }
  EXPECT_EQ(KZStopDisplay(session_, 1, nullptr), 1);
}

TEST_F(LiveDisplay, ChangeDisplayKeepsTheStreamFieldsAndCancelsBackToTheActiveBlock) {
  KZDISPLAY b = Block();
  ASSERT_EQ(KZStartDisplay(&b), 1);
  KZDISPLAY same = b;
  same.width = 99;  // stream fields are taken from the stream
  same.format = 0;
  ASSERT_EQ(KZChangeDisplay(&same), 1);
  StreamRecord* e = SourceEntry(1);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->pending.load() & kDisplayBit, 0u);
  KZDISPLAY faster = b;
  faster.rate = 5.0;
  ASSERT_EQ(KZChangeDisplay(&faster), 1);
  const KZDISPLAY read = Current(1);
  EXPECT_EQ(double{read.rate}, 5.0);
  EXPECT_EQ(read.width, 320);
  // Changing back to the active block cancels what is pending.
  ASSERT_EQ(KZChangeDisplay(&b), 1);
  EXPECT_EQ(double{Current(1).rate}, 0.0);
  ASSERT_TRUE(WaitFrames(1, 2));
  EXPECT_EQ(e->live.displayInterval.load(), 0u);
  ASSERT_EQ(KZChangeDisplay(&faster), 1);
  ASSERT_TRUE(PumpUntil([&] { return e->live.displayInterval.load() == 199u; }));
}

TEST_F(LiveDisplay, RatesFollowTheFramesShown) {
  KZDISPLAY b = Block(1, 160, 120);
  ASSERT_EQ(KZStartDisplay(&b), 1);
  ASSERT_TRUE(WaitFrames(1, 12));
  KZRATE r{};
  ASSERT_EQ(KZGetDisplayRate(session_, 1, window_, &r), 1);
  EXPECT_GT(double{r.startTime}, 2400000.0);
  EXPECT_CALL_ERR(KZGetDisplayRate(session_, 1, window_, nullptr), 0, KZ_ERR_NULL);
  EXPECT_CALL_ERR(KZGetDisplayRate(session_, 2, window_, &r), 0, KZ_ERR_NO_DISPLAY);
}

TEST_F(LiveDisplay, StopReleasesEverythingAndTheSourceStartsAgain) {
  for (int round = 0; round < 2; ++round) {
    KZDISPLAY b = Block();
    ASSERT_EQ(KZStartDisplay(&b), 1) << round;
    EXPECT_EQ(kzwinCameraConnections(0), 1);
    EXPECT_EQ(KZIsSourceInUse(session_, 1, window_), kDisplayBit | kGrabBit);
    ASSERT_TRUE(WaitFrames(1, 3));
    ExpectExact(1);
    EXPECT_EQ(KZWaitForDisplay(session_, 1, window_, 1000), 1);
    ASSERT_EQ(KZStopDisplay(session_, 1, window_), 1);
    EXPECT_CALL_ERR(KZIsSourceInUse(session_, 1, window_), 0u, 0u);
    EXPECT_EQ(SourceBits(1), 0u);
    ExpectNothingLeft(1);
    EXPECT_CALL_ERR(KZStopDisplay(session_, 1, window_), 0, KZ_ERR_NO_DISPLAY);
  }
}

TEST_F(LiveDisplay, TwoSourcesIntoTwoWindows) {
  SetCamera(1);
  HWND other = MakeWindow();
  KZDISPLAY a = Block(1, 320, 240);
  KZDISPLAY c = Block(2, 160, 120, KZ_FORMAT_RGB24);
  c.bitCount = 24;
  c.window = other;
  ASSERT_EQ(KZStartDisplay(&a), 1);
  ASSERT_EQ(KZStartDisplay(&c), 1) << KZGetLastError();
  ASSERT_TRUE(WaitFrames(1, 2));
  ASSERT_TRUE(WaitFrames(2, 2));
  ExpectExact(1);
  ExpectExact(2);
  // Each stream answers only for its own window.
  EXPECT_CALL_ERR(KZWaitForDisplay(session_, 2, window_, 100), 0, KZ_ERR_OTHER_WINDOW);
  EXPECT_EQ(KZStopDisplay(session_, 0, other), 1);
  EXPECT_EQ(SourceBits(2), 0u);
  EXPECT_NE(SourceBits(1), 0u);
  EXPECT_EQ(KZStopAll(session_, 0, nullptr), 1);
  EXPECT_EQ(SourceBits(1), 0u);
}

// The display ends with its window; the idle entry it leaves goes with the next start on
// its source (round 1), the next stop call (round 1) or the end of the session (round 2).
TEST_F(LiveDisplay, AWindowDestroyedUnderARunningDisplayEndsIt) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    if (round > 0) window_ = MakeWindow();
    KZDISPLAY b = Block();
    ASSERT_EQ(KZStartDisplay(&b), 1) << KZGetLastError();
    ASSERT_TRUE(WaitFrames(1, 2));
    ASSERT_TRUE(DestroyWindow(window_));
    ASSERT_TRUE(PumpUntil([] { return SourceBits(1) == 0; }));
    EXPECT_TRUE(SourceEntryExists(1));
    EXPECT_CALL_ERR(Image(1, KZ_IMAGE_NEXT, 50), nullptr, KZ_ERR_NO_DISPLAY);
    EXPECT_CALL_ERR(KZWaitForDisplay(session_, 1, nullptr, 50), 0, KZ_ERR_NO_DISPLAY);
    if (round == 0) continue;
    EXPECT_EQ(round == 1 ? KZStopDisplay(session_, 1, nullptr) : KZEnd(session_), 1);
    EXPECT_FALSE(SourceEntryExists(1));
  }
  session_ = KZBegin(nullptr);
}

// An end of another session stopping this one's stream is met by the source-in-use test.
TEST_F(LiveDisplay, StopAllStopsDisplaysOfEverySession) {
  SetCamera(1);
  const uint32_t other = KZBegin(nullptr);
  ASSERT_NE(other, 0u);
  KZDISPLAY a = Block(1), c = Block(2);
  c.session = other, c.window = MakeWindow();
  ASSERT_EQ(KZStartDisplay(&a), 1);
  ASSERT_EQ(KZStartDisplay(&c), 1);
  ASSERT_TRUE(WaitFrames(1, 1));
  EXPECT_EQ(KZStopAll(0, 0, nullptr), 1);
  EXPECT_EQ(std::tuple(SourceBits(1), SourceBits(2), EntriesInUse()), std::tuple(0u, 0u, 0));
  EXPECT_EQ(KZEnd(other), 1);
}

TEST_F(LiveDisplay, BadStartsAreRefusedAndLeaveNothing) {
  struct Case {
    const char* what;
    void (*edit)(KZDISPLAY&);
    uint32_t error;
    LONG failThreadsAfter = -1, failAllocAfter = -1;
  } cases[] = {
      {"size", [](KZDISPLAY& d) { d.size = 159; }, KZ_ERR_RECORD_SIZE},
      {"closed session", [](KZDISPLAY& d) { d.session = 0x7FFF0000; }, KZ_ERR_SESSION},
      {"source 0", [](KZDISPLAY& d) { d.source = 0; }, KZ_ERR_SOURCE},
      {"not a window", [](KZDISPLAY& d) { d.window = reinterpret_cast<HWND>(0x5150); },
       KZ_ERR_WINDOW},
      {"no driver", [](KZDISPLAY& d) { d.source = 5; }, KZ_ERR_SOURCE},
      {"width 0", [](KZDISPLAY& d) { d.width = 0; }, KZ_ERR_FORMAT_REFUSED},
      {"huge", [](KZDISPLAY& d) { d.width = d.height = 0x7FFFFFFF; }, KZ_ERR_FORMAT_REFUSED},
      {"size beyond a ring", [](KZDISPLAY& d) { d.width = d.height = 30000; },
       KZ_ERR_FORMAT_REFUSED},
      {"unknown format", [](KZDISPLAY& d) { d.format = 99; }, KZ_ERR_FORMAT_REFUSED},
      {"no row of 7 bits", [](KZDISPLAY& d) { d.format = 0, d.bitCount = 7; },
       KZ_ERR_FORMAT_REFUSED},
      {"size the camera refuses", [](KZDISPLAY& d) { d.width = 100; }, KZ_ERR_FORMAT_REFUSED},
      {"no display thread", [](KZDISPLAY&) {}, KZ_ERR_THREAD, 0},
      {"no grab thread", [](KZDISPLAY&) {}, KZ_ERR_THREAD, 1},
      {"no memory", [](KZDISPLAY&) {}, KZ_ERR_MEMORY, -1, 0},
  };
  EXPECT_CALL_ERR(KZStartDisplay(nullptr), 0, KZ_ERR_NULL);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    KZDISPLAY d = Block();
    c.edit(d);
    kzwinFailThreadsAfter(c.failThreadsAfter);
    kzwinFailAllocAfter(c.failAllocAfter);
    EXPECT_CALL_ERR(KZStartDisplay(&d), 0, c.error);
    kzwinFailThreadsAfter(-1);
    kzwinFailAllocAfter(-1);
    ExpectNothingLeft(1);
  }
}

TEST_F(LiveDisplay, ASourceInUseIsRefused) {
  KZDISPLAY d = Block();
  ASSERT_EQ(KZStartDisplay(&d), 1);
  EXPECT_CALL_ERR(KZStartDisplay(&d), 0, KZ_ERR_ALREADY_DISPLAYING);
  const uint32_t other = KZBegin(nullptr);
  KZDISPLAY o = d;
  o.session = other;
  EXPECT_CALL_ERR(KZStartDisplay(&o), 0, KZ_ERR_SOURCE_IN_USE);
  // The other session sees the stream but may not touch it.
  EXPECT_CALL_ERR(KZChangeDisplay(&o), 0, KZ_ERR_OTHER_SESSION);
  EXPECT_CALL_ERR(KZGetDisplayImage(other, 1, nullptr, 0, 10), nullptr, KZ_ERR_OTHER_SESSION);
  EXPECT_CALL_ERR(KZStopDisplay(other, 1, nullptr), 0, KZ_ERR_OTHER_SESSION);
  EXPECT_NE(SourceBits(1) & kDisplayBit, 0u);
  KZDISPLAY moved = d;
  moved.window = MakeWindow();
  EXPECT_CALL_ERR(KZChangeDisplay(&moved), 0, KZ_ERR_OTHER_WINDOW);
  KZDISPLAY out{};
  EXPECT_CALL_ERR(KZGetDisplay(session_, 1, nullptr, nullptr), 0, KZ_ERR_NULL);
  EXPECT_CALL_ERR(KZGetDisplay(session_, 1, nullptr, &out), 0, KZ_ERR_RECORD_SIZE);
  EXPECT_CALL_ERR(KZWaitForDisplay(session_, 0, nullptr, 10), 0, KZ_ERR_NO_DISPLAY);
  KZDISPLAY none = d;
  none.source = 2;
  EXPECT_CALL_ERR(KZChangeDisplay(&none), 0, KZ_ERR_NO_DISPLAY);
  EXPECT_CALL_ERR(KZChangeDisplay(nullptr), 0, KZ_ERR_NULL);
  EXPECT_EQ(KZEnd(other), 1);  // stops every stream, this one too
  EXPECT_EQ(SourceBits(1), 0u);
}

TEST_F(LiveDisplay, ADriverThatStopsDeliveringFramesNeverHangs) {
  SetCamera(0, [](KZWIN_CAMERA& c) { c.framesBeforeFailure = 0; });
  KZDISPLAY d = Block();
  ASSERT_EQ(KZStartDisplay(&d), 1);
  EXPECT_CALL_ERR(Image(1, KZ_IMAGE_NEXT, 30), nullptr, KZ_ERR_TIMEOUT);
  EXPECT_CALL_ERR(Image(1, KZ_IMAGE_NEXT_UNPACED, -1), nullptr, KZ_ERR_TIMEOUT);
  EXPECT_EQ(SourceEntry(1)->live.unpacedWaiters.load(), 0u);
  EXPECT_CALL_ERR(Image(1, KZ_IMAGE_NOW, 30), nullptr, KZ_ERR_NO_IMAGE);
  ASSERT_EQ(KZStopDisplay(session_, 1, nullptr), 1);

  SetCamera(0, [](KZWIN_CAMERA& c) { c.framesBeforeFailure = 4; });
  ASSERT_EQ(KZStartDisplay(&d), 1);
  uint32_t last = 0;
  ASSERT_TRUE(PumpUntil([&] {
    std::vector<uint8_t> raw = TakeHandle(Image(1, KZ_IMAGE_NOW, 10));
    return !raw.empty() &&
           kzwinDecodeTestFrame(raw.data(), static_cast<DWORD>(raw.size()), 320, 240, kYuy2, 16,
                                &last) &&
           last == 3;
  }));
  EXPECT_CALL_ERR(Image(1, KZ_IMAGE_NEXT, 50), nullptr, KZ_ERR_TIMEOUT);
  ASSERT_EQ(KZStopDisplay(session_, 1, nullptr), 1);
}

TEST_F(LiveDisplay, AnUnpacedImageRequestLiftsTheRateOnlyForItsWait) {
  KZDISPLAY b = Block(1, 160, 120);
  b.rate = 0.001;  // a frame every 16 minutes and a half
  ASSERT_EQ(KZStartDisplay(&b), 1);
  // The first request is never held back.
  ASSERT_FALSE(TakeHandle(Image(1, KZ_IMAGE_NEXT, 10000)).empty());
  EXPECT_CALL_ERR(Image(1, KZ_IMAGE_NEXT, 100), nullptr, KZ_ERR_TIMEOUT);
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(TakeHandle(Image(1, KZ_IMAGE_NEXT_UNPACED, 10000)).empty()) << i;
  }
  // The caller's rate was never touched, and the pace is back.
  EXPECT_EQ(double{Current(1).rate}, 0.001);
  // A request made during the override may still be on its way; then the frames stop.
  int late = 0;
  while (late < 10 && !TakeHandle(Image(1, KZ_IMAGE_NEXT, 100)).empty()) ++late;
  EXPECT_LE(late, 2);
  EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_TIMEOUT));
}

}  // namespace
}  // namespace kz::test

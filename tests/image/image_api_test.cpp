// KZShowImage, KZImageToBitmap, KZDisplayCoord and KZDisplayCoord2 through the interface:
// exact pixels on surfaces, callback order and copies, every error code.
#include <gtest/gtest.h>
#include <kzvideo.h>
#include <kzwin_test.h>
#include <windows.h>

#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "frame/stream.h"
#include "image/convert.h"
#include "image/pixfmt.h"
#include "expect_call.h"

namespace {

class ImageApi : public ::testing::Test {
 protected:
  void SetUp() override {
    session_ = KZBegin(nullptr);
    ASSERT_NE(session_, 0u);
  }
  void TearDown() override {
    kzwinFailAllocAfter(-1);
    KZEnd(session_);
  }
  KZDISPLAY Block(int code, int w, int h) {
    KZDISPLAY d{};
    d.size = sizeof d, d.session = session_, d.width = w, d.height = h;
    d.format = static_cast<uint32_t>(code), d.bitCount = kz::FormatByCode(code)->bits;
    return d;
  }
  static HGLOBAL Image(const std::vector<uint8_t>& bytes) {
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
    std::memcpy(GlobalLock(h), bytes.data(), bytes.size());
    GlobalUnlock(h);
    return h;
  }
  // The bytes of a global handle, which is freed (empty for none).
  static std::vector<uint8_t> Take(HGLOBAL h) {
    std::vector<uint8_t> out;
    if (!h) return out;
    const auto* p = static_cast<const uint8_t*>(GlobalLock(h));
    out.assign(p, p + GlobalSize(h));
    GlobalUnlock(h);
    GlobalFree(h);
    return out;
  }
  static BITMAPINFOHEADER HeaderOf(const std::vector<uint8_t>& packed) {
    BITMAPINFOHEADER h{};
    if (packed.size() >= sizeof h) std::memcpy(&h, packed.data(), sizeof h);
    return h;
  }
  static std::vector<uint8_t> Random(int code, int w, int h, uint32_t seed = 7) {
    std::vector<uint8_t> f(
        static_cast<size_t>(kz::ConversionReadSize(w, h, *kz::FormatByCode(code))));
    std::mt19937 gen(seed);
    for (auto& b : f) b = static_cast<uint8_t>(gen());
    return f;
  }
  uint32_t session_ = 0;
};

// B, G, R of bitmap pixel (x, y), y = 0 the top row, as 0x00RRGGBB.
uint32_t BitmapPixel(const uint8_t* packed, int x, int y) {
  const auto* h = reinterpret_cast<const BITMAPINFOHEADER*>(packed);
  const bool eight = h->biBitCount == 8;
  const int64_t stride = kz::BitmapStride(h->biWidth, eight);
  const uint8_t* rows = packed + 40 + (eight ? 1024 : 0);
  const uint8_t* p = rows + (h->biHeight - 1 - y) * stride + x * (eight ? 1 : 3);
  if (eight) return 0x010101u * p[0];
  return (uint32_t{p[2]} << 16) | (p[1] << 8) | p[0];
}

TEST_F(ImageApi, ShowImageDrawsExactlyTheConvertedBitmap) {
  for (int code : {4, 5, 11, 13, 14}) {
    KZDISPLAY d = Block(code, 7, 5);
    d.orientation = 1 | KZ_ORIENT_MIRROR, d.drawFlags = KZ_DRAW_ZOOM, d.zoom = 1.5;
    d.resampling = 2, d.adjust.contrast = 1200;
    auto frame = Random(code, 7, 5, static_cast<uint32_t>(code));
    HGLOBAL image = Image(frame);
    HGLOBAL bitmap = KZImageToBitmap(image, &d);
    ASSERT_NE(bitmap, nullptr) << KZGetLastError();
    const auto* packed = static_cast<const uint8_t*>(GlobalLock(bitmap));
    const auto* bh = reinterpret_cast<const BITMAPINFOHEADER*>(packed);
    ASSERT_EQ(std::pair(bh->biWidth, bh->biHeight), (std::pair<LONG, LONG>(7, 10)));  // turned

    // Into a memory DC at (3, 2), and into a window's client surface at (1, 1).
    HDC mem = CreateCompatibleDC(nullptr);
    ASSERT_TRUE(kzwinSetMemoryDCSize(mem, 12, 14));
    d.left = 3, d.top = 2;
    ASSERT_EQ(KZShowImage(image, &d, mem), 1) << KZGetLastError();
    HWND window = CreateWindowExA(0, nullptr, "show", WS_OVERLAPPEDWINDOW, 0, 0, 9, 12, nullptr,
                                  nullptr, nullptr, nullptr);
    HDC wdc = GetDC(window);
    d.left = 1, d.top = 1;
    ASSERT_EQ(KZShowImage(image, &d, wdc), 1) << KZGetLastError();
    for (auto [dc, win, ox, oy, sw] :
         {std::tuple{mem, HWND{}, 3, 2, 12}, std::tuple{HDC{}, window, 1, 1, 9}}) {
      LONG w, h;
      kzwinReadSurface(dc, win, &w, &h, nullptr, 0);
      std::vector<DWORD> px(static_cast<size_t>(w * h));
      ASSERT_TRUE(kzwinReadSurface(dc, win, &w, &h, px.data(), w * h));
      for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
          const bool in = x >= ox && y >= oy && x < ox + 7 && y < oy + 10;
          const uint32_t want = in ? BitmapPixel(packed, x - ox, y - oy) : 0;
          ASSERT_EQ(px[static_cast<size_t>(y * sw + x)], want) << code << " " << x << "," << y;
        }
      }
    }
    ReleaseDC(window, wdc);
    DestroyWindow(window);
    DeleteDC(mem);
    GlobalUnlock(bitmap);
    GlobalFree(bitmap);
    GlobalFree(image);
  }
}

struct Calls {
  std::vector<std::string> order;
  const KZDISPLAY* original = nullptr;
  int beforeResult = 1;
};
Calls calls;

int KZCALLBACK Before(KZDISPLAY* copy, const void*) {
  calls.order.push_back(copy != calls.original && copy->left == 4 ? "before" : "before-bad");
  copy->left = 99;  // a private copy: changes nothing
  copy->zoom = 50;
  return calls.beforeResult;
}
int KZCALLBACK AfterConvert(KZDISPLAY* copy, const void*, const void* bitmap) {
  const auto* h = static_cast<const BITMAPINFOHEADER*>(bitmap);
  calls.order.push_back(
      copy != calls.original && copy->left == 4 && h->biWidth == 3 ? "convert" : "convert-bad");
  return 1;
}
void KZCALLBACK AfterDraw(KZDISPLAY* copy, const void*, const void*) {
  calls.order.push_back(copy->left == 4 ? "draw" : "draw-bad");
}

TEST_F(ImageApi, CallbacksRunInOrderOnPrivateCopies) {
  KZDISPLAY d = Block(11, 3, 2);
  d.left = 4;
  d.beforeDrawCallback = Before;
  d.afterConvertCallback = AfterConvert;
  d.afterDrawCallback = AfterDraw;
  calls = Calls{{}, &d, 1};
  HGLOBAL image = Image({10, 20, 30, 40, 50, 60});
  HDC mem = CreateCompatibleDC(nullptr);
  ASSERT_TRUE(kzwinSetMemoryDCSize(mem, 8, 3));
  ASSERT_EQ(KZShowImage(image, &d, mem), 1);
  EXPECT_EQ(calls.order, (std::vector<std::string>{"before", "convert", "draw"}));
  EXPECT_EQ(d.left, 4);
  DWORD px[24];
  LONG w, h;
  ASSERT_TRUE(kzwinReadSurface(mem, nullptr, &w, &h, px, 24));
  EXPECT_EQ(px[4], 0x0A0A0Au);  // drawn at the caller's left, not the callback's
  EXPECT_EQ(px[8 + 6], 0x3C3C3Cu);

  // Before-draw returning 0: nothing converted, nothing drawn, no after-draw call.
  kzwinFillSurface(mem, nullptr, 0x123456);
  calls = Calls{{}, &d, 0};
  ASSERT_EQ(KZShowImage(image, &d, mem), 1);
  EXPECT_EQ(calls.order, (std::vector<std::string>{"before"}));
  ASSERT_TRUE(kzwinReadSurface(mem, nullptr, &w, &h, px, 24));
  for (DWORD p : px) ASSERT_EQ(p, 0x123456u);
  // KZImageToBitmap then hands out a bitmap of zeros, never stale memory.
  const std::vector<uint8_t> bitmap = Take(KZImageToBitmap(image, &d));
  ASSERT_EQ(bitmap.size(), 40u + 1024 + 8);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(bitmap[40 + 1024 + i], 0);
  DeleteDC(mem);
  GlobalFree(image);
}

// Output sizes after zoom and turns are met by the show test above and the plan tests.
TEST_F(ImageApi, ImageToBitmapPaddingAndGreyGv8) {
  // A width of 5 pads rows of 15 bytes to 16 with zeros.
  KZDISPLAY p = Block(13, 5, 3);
  p.orientation = 2;
  HGLOBAL image = Image(Random(13, 5, 3));
  std::vector<uint8_t> bitmap = Take(KZImageToBitmap(image, &p));
  ASSERT_EQ(bitmap.size(), 40u + 16 * 3);
  for (int r = 0; r < 3; ++r) EXPECT_EQ(bitmap[40 + r * 16 + 15], 0) << r;
  GlobalFree(image);

  // GV8 with the grey ramp stays 8-bit; one changed palette byte makes it 24-bit colour.
  std::vector<uint8_t> gv8(768 + 4);
  for (int i = 0; i < 256; ++i)
    gv8[3 * i] = gv8[3 * i + 1] = gv8[3 * i + 2] = static_cast<uint8_t>(i);
  gv8[768] = 9;
  KZDISPLAY g = Block(14, 2, 2);
  for (int coloured = 0; coloured < 2; ++coloured) {
    if (coloured) gv8[3 * 9] = 200;
    image = Image(gv8);
    bitmap = Take(KZImageToBitmap(image, &g));
    ASSERT_FALSE(bitmap.empty());
    EXPECT_EQ(HeaderOf(bitmap).biBitCount, coloured ? 24 : 8);
    EXPECT_EQ(BitmapPixel(bitmap.data(), 0, 0), coloured ? 0xC80909u : 0x090909u);
    GlobalFree(image);
  }
}

// Window (direction 0) or frame (direction 1) coordinates of a point, {-1, -1} on failure.
std::pair<int32_t, int32_t> Coord(const KZDISPLAY& d, int32_t x, int32_t y, int32_t direction) {
  int32_t ox = -1, oy = -1;
  if (KZDisplayCoord2(&d, x, y, &ox, &oy, direction) != 1) return {-1, -1};
  return {ox, oy};
}

TEST_F(ImageApi, DisplayCoord2FollowsZoomTurnsMirrorAndCrop) {
  using P = std::pair<int32_t, int32_t>;
  KZDISPLAY d = Block(11, 100, 80);
  d.left = 10, d.top = 20;
  EXPECT_EQ(Coord(d, 0, 0, 0), P(10, 20));
  EXPECT_EQ(Coord(d, 10, 20, 1), P(0, 0));
  d.zoom = 2;  // takes part even with the zoom flag clear
  EXPECT_EQ(Coord(d, 3, 5, 0), P(17, 31));
  EXPECT_EQ(Coord(d, 16, 30, 1), P(3, 5));
  EXPECT_EQ(Coord(d, 17, 31, 1), P(4, 6));
  d.zoom = 0;  // orientations: see the inversion below and the plan tests
  int32_t x = -1, y = -1;
  d.drawFlags = KZ_DRAW_CROP;
  d.cropLeft = d.cropTop = 10, d.cropWidth = d.cropHeight = 50;
  EXPECT_EQ(KZDisplayCoord2(&d, 5, 5, &x, nullptr, 0), 2);
  EXPECT_EQ(KZDisplayCoord2(&d, -1, 0, nullptr, &y, 0), 3);
  EXPECT_EQ(KZDisplayCoord2(&d, 10, 10, &x, &y, 0), 1);
  // At zoom 1 the directions invert each other for every orientation and pixel.
  for (uint32_t o = 0; o < 32; ++o) {
    if (o & 4) continue;
    KZDISPLAY b = Block(11, 7, 5);
    b.orientation = o;
    b.left = -3, b.top = 8;
    for (int py = 0; py < 5; ++py) {
      for (int px = 0; px < 7; ++px) {
        const P w = Coord(b, px, py, 0);
        ASSERT_EQ(Coord(b, w.first, w.second, 1), P(px, py)) << o;
      }
    }
  }
  // Unusable zoom values take no part instead of reaching the integer results.
  d.drawFlags = 0;
  d.zoom = INFINITY;
  d.aspect = NAN;
  EXPECT_EQ(Coord(d, 3, 5, 0), P(13, 25));
}

TEST_F(ImageApi, EveryErrorCode) {
  auto good = Random(11, 5, 4);
  HGLOBAL image = Image(good);
  HGLOBAL small = Image(std::vector<uint8_t>(19));
  HGLOBAL rgbShort = Image(std::vector<uint8_t>(60));      // 5x4 RGB24 reads 4 rows of 16
  HGLOBAL gv8 = Image(std::vector<uint8_t>(768 + 20, 1));  // coloured palette (all 1)
  HWND window = CreateWindowExA(0, nullptr, "err", WS_OVERLAPPEDWINDOW, 0, 0, 4, 4, nullptr,
                                nullptr, nullptr, nullptr);
  HDC mem = CreateCompatibleDC(nullptr);
  KZDISPLAY ok = Block(11, 5, 4);
  auto with = [&](auto change) {
    KZDISPLAY d = ok;
    change(d);
    return d;
  };
  // Warm the block table so the allocation seam hits the bitmap itself.
  HGLOBAL warm = KZImageToBitmap(image, &ok);
  GlobalFree(warm);

  struct Case {
    const char* what;
    HGLOBAL image;
    KZDISPLAY display;
    uint32_t error;
    long failAlloc = -1;
    bool nullDisplay = false;
  } cases[] = {
      {"null display", image, ok, KZ_ERR_NULL, -1, true},
      {"size", image, with([](KZDISPLAY& d) { d.size = 159; }), KZ_ERR_RECORD_SIZE},
      {"session", image, with([](KZDISPLAY& d) { d.session = 0x7777777; }), KZ_ERR_SESSION},
      {"null image", nullptr, ok, KZ_ERR_IMAGE_NULL},
      {"bad handle", reinterpret_cast<HGLOBAL>(uintptr_t{0x999}), ok, KZ_ERR_IMAGE_HANDLE},
      {"format", image, with([](KZDISPLAY& d) { d.format = 15; }), KZ_ERR_PIXEL_FORMAT},
      {"fourcc bits", image,
       with([](KZDISPLAY& d) { d.format = kz::Fourcc('Y', 'U', 'Y', '2'), d.bitCount = 8; }),
       KZ_ERR_PIXEL_FORMAT},
      {"too small", small, ok, KZ_ERR_IMAGE_SIZE},
      {"padded rows", rgbShort, with([](KZDISPLAY& d) { d.format = 1, d.bitCount = 24; }),
       KZ_ERR_IMAGE_SIZE},
      {"zero width", image, with([](KZDISPLAY& d) { d.width = 0; }), KZ_ERR_IMAGE_SIZE},
      {"32-bit overflow", image, with([](KZDISPLAY& d) { d.width = 65536, d.height = 65536; }),
       KZ_ERR_IMAGE_SIZE},
      {"huge", image, with([](KZDISPLAY& d) { d.width = INT32_MAX, d.height = INT32_MAX; }),
       KZ_ERR_IMAGE_SIZE},
      {"bitmap memory", image, ok, KZ_ERR_MEMORY, 0},
      {"gv8 memory", gv8, with([](KZDISPLAY& d) { d.format = 14, d.bitCount = 8; }), KZ_ERR_MEMORY,
       0},
  };
  for (const Case& c : cases) {
    for (int fn = 0; fn < 2; ++fn) {
      SCOPED_TRACE(std::string(c.what) + (fn ? " (bitmap)" : " (show)"));
      kzwinFailAllocAfter(c.failAlloc);
      const KZDISPLAY* d = c.nullDisplay ? nullptr : &c.display;
      SetLastError(0);
      if (fn == 0) {
        EXPECT_EQ(KZShowImage(c.image, d, mem), 0);
      } else {
        EXPECT_EQ(KZImageToBitmap(c.image, d), nullptr);
      }
      kzwinFailAllocAfter(-1);
      EXPECT_EQ(KZGetLastError(), c.error);
    }
  }
  // A plan too large to allocate falls back to the frame's own size.
  KZDISPLAY huge = with([](KZDISPLAY& d) { d.drawFlags = KZ_DRAW_ZOOM, d.zoom = 1e9; });
  EXPECT_EQ(HeaderOf(Take(KZImageToBitmap(image, &huge))).biWidth, 5);

  // A DC that belongs to no window while the block names one.
  KZDISPLAY named = with([&](KZDISPLAY& d) { d.window = window; });
  EXPECT_CALL_ERR(KZShowImage(image, &named, mem), 0, KZ_ERR_DC_WINDOW);
  EXPECT_CALL_ERR(KZShowImage(image, &ok, mem), 1, 0u);  // the same DC with no window named

  int32_t x, y;
  EXPECT_CALL_ERR(KZDisplayCoord2(nullptr, 0, 0, &x, &y, 0), 0, KZ_ERR_NULL);
  EXPECT_CALL_ERR(KZDisplayCoord2(&ok, 0, 0, nullptr, nullptr, 0), 0, KZ_ERR_NULL);
  EXPECT_CALL_ERR(KZDisplayCoord(0x7777777, 1, nullptr, 0, 0, &x, &y, 0), 0, KZ_ERR_SESSION);
  EXPECT_CALL_ERR(KZDisplayCoord(session_, 3, nullptr, 0, 0, &x, &y, 0), 0, KZ_ERR_NO_DISPLAY);

  // A display stream entry of this session in `window`: found, another session's refused,
  // another window's refused; a pending block is the one used.
  kz::StreamRecord* e;
  {
    std::lock_guard lock(kz::StreamTableMutex());
    int index;
    e = kz::TakeEntry(&index);
    ASSERT_NE(e, nullptr);
    e->streamId = 3, e->session = session_, e->running = kz::kDisplayBit;
    e->display = Block(11, 100, 80);
    e->display.window = window, e->display.left = 5;
    e->pendingDisplay = e->display;
    e->pendingDisplay.left = 50;
  }
  EXPECT_TRUE(KZDisplayCoord(session_, 3, window, 1, 2, &x, &y, 0) == 1 && x == 6);
  e->pending = kz::kDisplayBit;
  EXPECT_TRUE(KZDisplayCoord(0, 0, nullptr, 1, 2, &x, &y, 0) == 1 && x == 51);
  EXPECT_CALL_ERR(
      KZDisplayCoord(session_, 3, reinterpret_cast<HWND>(uintptr_t{0x4444}), 1, 2, &x, &y, 0), 0,
      KZ_ERR_OTHER_WINDOW);
  const uint32_t other = KZBegin(nullptr);
  EXPECT_CALL_ERR(KZDisplayCoord(other, 3, nullptr, 1, 2, &x, &y, 0), 0, KZ_ERR_OTHER_SESSION);
  EXPECT_CALL_ERR(KZDisplayCoord(session_, 3, nullptr, 1, 2, nullptr, nullptr, 0), 0, KZ_ERR_NULL);
  e->running = 0;
  kz::ReleaseEntry(e);
  KZEnd(other);

  DeleteDC(mem);
  DestroyWindow(window);
  for (HGLOBAL h : {image, small, rgbShort, gv8}) GlobalFree(h);
}

}  // namespace

// Device contexts, DIB drawing with orientation, palettes and clipping, reading back.
#include <gtest/gtest.h>
#include <kzwin_test.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "platform/scratch.h"

namespace {

std::vector<DWORD> Read(HDC dc, HWND window, LONG* w = nullptr, LONG* h = nullptr) {
  LONG width = 0, height = 0;
  EXPECT_TRUE(kzwinReadSurface(dc, window, &width, &height, nullptr, 0));
  std::vector<DWORD> px(static_cast<size_t>(width) * height);
  EXPECT_TRUE(
      kzwinReadSurface(dc, window, &width, &height, px.data(), static_cast<LONG>(px.size())));
  if (w) *w = width;
  if (h) *h = height;
  return px;
}

DWORD Colour(int x, int y) {
  return static_cast<DWORD>(0x10000 * (x * 20 + 5) + 0x100 * (y * 30 + 7) + (x + y));
}

// A w x h bottom-up 24-bit DIB whose pixel (x, y) (y = 0 the top image row) is Colour(x, y).
struct Dib {
  std::vector<uint8_t> info = std::vector<uint8_t>(40, 0), bits;
  BITMAPINFO* header() { return reinterpret_cast<BITMAPINFO*>(info.data()); }
  Dib(int w, int h) {
    BITMAPINFOHEADER& bh = header()->bmiHeader;
    bh.biSize = 40, bh.biWidth = w, bh.biHeight = h, bh.biPlanes = 1, bh.biBitCount = 24;
    const int stride = (w * 3 + 3) / 4 * 4;
    bits.assign(static_cast<size_t>(stride * h), 0xCD);
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        uint8_t* p = bits.data() + (h - 1 - y) * stride + x * 3;
        p[0] = Colour(x, y) & 0xFF, p[1] = (Colour(x, y) >> 8) & 0xFF, p[2] = Colour(x, y) >> 16;
      }
    }
  }
};

// What SetDIBitsToDevice must leave on a surface of sw x sh words, pixel by pixel.
struct Draw {
  int dibW, dibH, sw, sh, xDest, yDest, width, height, xSrc, ySrc, startScan, scanLines;
};

std::vector<DWORD> ReferenceDraw(const Draw& d, int bits, bool topDown, const uint8_t* rows,
                                 const uint8_t* palette, int colours, DWORD background) {
  std::vector<DWORD> px(static_cast<size_t>(d.sw) * d.sh, background);
  const int stride = ((d.dibW * bits + 31) / 32) * 4;
  for (int j = 0; j < d.height; ++j) {
    for (int i = 0; i < d.width; ++i) {
      const int dx = d.xDest + i, dy = d.yDest + j, sx = d.xSrc + i;
      const int line = topDown ? d.ySrc + j : d.ySrc + d.height - 1 - j;
      if (dx < 0 || dx >= d.sw || dy < 0 || dy >= d.sh || sx < 0 || sx >= d.dibW || line < 0 ||
          line >= d.dibH || line < d.startScan || line >= d.startScan + d.scanLines) {
        continue;
      }
      const uint8_t* p = rows + (line - d.startScan) * stride + sx * (bits / 8);
      DWORD c = 0;
      if (bits == 8) {
        c = p[0] < colours
                ? palette[4 * p[0]] | (palette[4 * p[0] + 1] << 8) | (palette[4 * p[0] + 2] << 16)
                : 0;
      } else if (bits == 16) {
        const int w = p[0] | (p[1] << 8);
        const auto five = [](int v) { return (v << 3) | (v >> 2); };
        c = five(w & 31) | (five((w >> 5) & 31) << 8) | (five((w >> 10) & 31) << 16);
      } else {
        c = p[0] | (p[1] << 8) | (p[2] << 16);
      }
      px[static_cast<size_t>(dy) * d.sw + dx] = c;
    }
  }
  return px;
}

TEST(Gdi, EveryRowKernelDrawsWhatThePlainPerPixelReferenceDraws) {
  // Widths around the kernels' 4- and 16-pixel steps, clipped on every side, from part of
  // the scan lines, and a 1920-wide frame as the library draws it.
  const Draw draws[] = {
      {1, 1, 3, 3, 1, 1, 1, 1, 0, 0, 0, 1},     {5, 3, 9, 4, 2, 0, 5, 3, 0, 0, 0, 3},
      {17, 4, 20, 6, 1, 1, 17, 4, 0, 0, 0, 4},  {47, 5, 40, 4, -3, -1, 47, 5, 0, 0, 0, 5},
      {65, 6, 70, 7, 0, 0, 60, 5, 3, 1, 0, 6},  {66, 7, 50, 9, 4, 2, 70, 9, -2, -1, 0, 7},
      {35, 9, 40, 12, 0, 1, 35, 9, 0, 0, 2, 4}, {1920, 2, 1920, 2, 0, 0, 1920, 2, 0, 0, 0, 2},
      {19, 4, 10, 4, 12, 0, 19, 4, 0, 0, 0, 4},  // wholly off the surface
  };
  uint8_t info[40 + 1024] = {};
  auto* bh = reinterpret_cast<BITMAPINFOHEADER*>(info);
  uint32_t seed = 12345;
  const auto next = [&seed] {
    return static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
  };
  for (uint8_t& b : std::span(info + 40, 1024)) b = next();
  for (LONG level : {0, 1, 2}) {
    if (!kzwinUseDibRows(level)) continue;
    for (const Draw& d : draws) {
      for (int bits : {8, 16, 24, 32}) {
        for (bool topDown : {false, true}) {
          bh->biSize = 40, bh->biWidth = d.dibW, bh->biHeight = topDown ? -d.dibH : d.dibH;
          bh->biPlanes = 1, bh->biBitCount = static_cast<WORD>(bits);
          bh->biClrUsed = bits == 8 ? 200 : 0;  // indices 200 and up are black
          // Exactly the scan lines given, so a kernel reading past them is caught.
          std::vector<uint8_t> rows(static_cast<size_t>(((d.dibW * bits + 31) / 32) * 4) *
                                    d.scanLines);
          for (uint8_t& b : rows) b = next();
          HDC dc = CreateCompatibleDC(nullptr);
          ASSERT_TRUE(kzwinSetMemoryDCSize(dc, d.sw, d.sh));
          ASSERT_TRUE(kzwinFillSurface(dc, nullptr, 0xABCDEF));
          EXPECT_EQ(SetDIBitsToDevice(dc, d.xDest, d.yDest, DWORD(d.width), DWORD(d.height), d.xSrc,
                                      d.ySrc, UINT(d.startScan), UINT(d.scanLines), rows.data(),
                                      reinterpret_cast<BITMAPINFO*>(info), DIB_RGB_COLORS),
                    d.scanLines);
          EXPECT_EQ(Read(dc, nullptr),
                    ReferenceDraw(d, bits, topDown, rows.data(), info + 40, 200, 0xABCDEF))
              << "kernel " << level << ", " << bits << " bits, " << d.dibW << " wide at " << d.xDest
              << "," << d.yDest << (topDown ? " top-down" : " bottom-up");
          EXPECT_TRUE(DeleteDC(dc));
        }
      }
    }
  }
  EXPECT_TRUE(kzwinUseDibRows(-1));
}

TEST(Gdi, RefusesBadDibsAndHandles) {
  HDC dc = CreateCompatibleDC(nullptr);
  EXPECT_EQ(WindowFromDC(dc), nullptr);
  Dib dib(4, 4);
  BITMAPINFOHEADER& bh = dib.header()->bmiHeader;
  auto draw = [&](HDC to, const void* bits, const BITMAPINFO* info) {
    return SetDIBitsToDevice(to, 0, 0, 4, 4, 0, 0, 0, 4, bits, info, 0);
  };
  EXPECT_EQ(draw(dc, nullptr, dib.header()), 0);
  EXPECT_EQ(draw(dc, dib.bits.data(), nullptr), 0);
  bh.biBitCount = 4;
  EXPECT_EQ(draw(dc, dib.bits.data(), dib.header()), 0);
  bh.biBitCount = 24, bh.biCompression = BI_BITFIELDS;
  EXPECT_EQ(draw(dc, dib.bits.data(), dib.header()), 0);
  bh.biCompression = BI_RGB;
  EXPECT_EQ(draw(reinterpret_cast<HDC>(uintptr_t{0x1234}), dib.bits.data(), dib.header()), 0);
  EXPECT_FALSE(kzwinSetMemoryDCSize(dc, 0, 4));
  EXPECT_FALSE(kzwinSetMemoryDCSize(dc, 1 << 20, 1 << 20));
  EXPECT_TRUE(DeleteDC(dc));
  EXPECT_FALSE(DeleteDC(dc));
}

TEST(Gdi, WindowDcsDrawIntoTheClientSurfaceAndSaveAsBmp) {
  const LONG before = kzwinCountDCs();
  HWND window = CreateWindowExA(0, nullptr, "gdi", WS_OVERLAPPEDWINDOW, 0, 0, 7, 5, nullptr,
                                nullptr, nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  HDC dc = GetDC(window);
  ASSERT_NE(dc, nullptr);
  EXPECT_EQ(WindowFromDC(dc), window);
  EXPECT_FALSE(DeleteDC(dc));  // given back with ReleaseDC only
  // Bottom-up: pins the reference's row order to known pixels.
  Dib dib(5, 4);
  EXPECT_EQ(SetDIBitsToDevice(dc, 1, 1, 5, 4, 0, 0, 0, 4, dib.bits.data(), dib.header(), 0), 4);
  LONG w, h;
  auto px = Read(nullptr, window, &w, &h);
  ASSERT_EQ(w, 7);
  ASSERT_EQ(h, 5);
  EXPECT_EQ(std::vector<DWORD>({px[0], px[1 * 7 + 1], px[4 * 7 + 5]}),
            std::vector<DWORD>({0, Colour(0, 0), Colour(4, 3)}));

  const std::string path = ::testing::TempDir() + "kzwin_gdi_test.bmp";
  ASSERT_TRUE(kzwinSaveSurfaceBmp(nullptr, window, path.c_str()));
  const std::string text = kzwin_test::ReadText(path);
  const std::vector<uint8_t> file(text.begin(), text.end());
  std::remove(path.c_str());
  ASSERT_EQ(file.size(), 54u + 24u * 5u);  // rows of 21 bytes padded to 24
  EXPECT_EQ(std::vector<int>({file[0], file[18], file[22]}), std::vector<int>({'B', 7, 5}));
  // Pixel (1, 1) sits in the fourth stored row (bottom-up).
  const uint8_t* p = file.data() + 54 + 3 * 24 + 3;
  EXPECT_EQ(p[0] | (p[1] << 8) | (p[2] << 16), static_cast<int>(Colour(0, 0)));

  EXPECT_EQ(ReleaseDC(window, dc), 1);
  EXPECT_EQ(ReleaseDC(window, dc), 0);
  EXPECT_EQ(kzwinCountDCs(), before);
  // A DC of a window that is gone draws nothing.
  HDC stale = GetDC(window);
  EXPECT_TRUE(DestroyWindow(window));
  EXPECT_EQ(SetDIBitsToDevice(stale, 0, 0, 5, 4, 0, 0, 0, 4, dib.bits.data(), dib.header(), 0), 0);
  EXPECT_EQ(GetDC(window), nullptr);
  ReleaseDC(window, stale);
}

}  // namespace

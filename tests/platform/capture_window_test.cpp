// The test-pattern camera's format rules and pictures. Connections, dialogs, failing drivers
// and frames on the owner thread are met through real use in the capture and live suites.
#include <gtest/gtest.h>
#include <kzwin_test.h>
#include <windows.h>
#include <vfw.h>

#include <cstring>
#include <tuple>
#include <vector>

namespace {

constexpr DWORD FourCC(const char (&s)[5]) {
  return MAKEFOURCC(s[0], s[1], s[2], s[3]);
}

struct Fmt {
  DWORD compression;
  WORD bits;
};

// Every format the camera delivers.
const Fmt kFormats[] = {{FourCC("UYVY"), 16}, {FourCC("Y422"), 16}, {FourCC("YUY2"), 16},
                        {BI_RGB, 24},         {BI_RGB, 8},          {FourCC("Y800"), 8},
                        {FourCC("Y444"), 24}, {BI_RGB, 16},         {FourCC("I420"), 12},
                        {FourCC("Y411"), 12}, {FourCC("YVU9"), 9},  {FourCC("GV24"), 24},
                        {FourCC("GV8\0"), 8}};

// The frame size rule, written out independently of the camera.
DWORD ExpectedBytes(const Fmt& f, LONG w, LONG h) {
  DWORD row = ((f.bits * w) / 8 + 3) & ~3u;
  if (f.compression == FourCC("GV24")) row = 3 * w;
  if (f.compression == FourCC("GV8\0")) return w * h + 768;
  return row * h;
}

std::vector<uint8_t> Header(LONG w, LONG h, const Fmt& f) {
  std::vector<uint8_t> info(40 + 1024, 0);
  BITMAPINFOHEADER bh{40, w, h, 1, f.bits, f.compression, 0, 0, 0, 0, 0};
  std::memcpy(info.data(), &bh, 40);
  return info;
}

// Every format at a few sizes is accepted and reported in the camera's own shape; sizes out of
// range, short headers and unknown FOURCCs are refused.
TEST(CaptureWindow, FormatsAcceptedAndRefused) {
  kzwinResetCameras();
  HWND a = capCreateCaptureWindowA("KZ Video Capture", WS_CHILD, 0, 0, 160, 120, nullptr, 0);
  ASSERT_NE(SendMessageA(a, WM_CAP_DRIVER_CONNECT, 0, 0), 0);
  uint8_t small[20];
  std::memset(small, 0xAB, sizeof small);
  EXPECT_EQ(SendMessageA(a, WM_CAP_GET_VIDEOFORMAT, 12, reinterpret_cast<LPARAM>(small)), 12);
  EXPECT_EQ(small[12], 0xAB);  // never past the room given
  for (const Fmt& f : kFormats) {
    for (auto [w, h] : {std::pair<LONG, LONG>{176, 144}, {1920, 1080}}) {
      auto info = Header(w, h, f);
      ASSERT_NE(SendMessageA(a, WM_CAP_SET_VIDEOFORMAT, 40, reinterpret_cast<LPARAM>(info.data())),
                0)
          << f.compression << "/" << f.bits << " " << w;
      DWORD palette =
          f.compression == FourCC("GV8\0") ? 192 : (f.bits == 8 && !f.compression ? 256 : 0);
      std::vector<uint8_t> one(1064);
      ASSERT_EQ(SendMessageA(a, WM_CAP_GET_VIDEOFORMAT, 1064, reinterpret_cast<LPARAM>(one.data())),
                LRESULT(40 + 4 * palette));
      BITMAPINFOHEADER bh;
      std::memcpy(&bh, one.data(), 40);
      EXPECT_EQ(std::tuple(bh.biWidth, bh.biHeight, bh.biClrUsed, bh.biSizeImage),
                std::tuple(w, h, palette, ExpectedBytes(f, w, h) - (palette == 192 ? 768 : 0)));
      EXPECT_TRUE(!palette || one[40 + 4 * 100] == 100);  // grey ramp
    }
  }
  struct Bad {
    LONG w, h;
    DWORD compression;
    WORD bits;
    WPARAM bytes;
  } bad[] = {{0, 240, 0, 24, 40},   {320, -240, 0, 24, 40},
             {128, 96, 0, 24, 40},  {2048, 1080, 0, 24, 40},
             {320, 240, 0, 24, 39}, {322, 240, 0, 24, 40},
             {320, 240, FourCC("MJPG"), 24, 40}, {320, 240, 0, 32, 40}};
  for (const Bad& x : bad) {
    auto info = Header(x.w, x.h, Fmt{x.compression, x.bits});
    EXPECT_EQ(
        SendMessageA(a, WM_CAP_SET_VIDEOFORMAT, x.bytes, reinterpret_cast<LPARAM>(info.data())), 0)
        << x.w << "x" << x.h;
  }
  EXPECT_EQ(SendMessageA(a, WM_CAP_SET_VIDEOFORMAT, 40, 0), 0);
  EXPECT_TRUE(DestroyWindow(a));
  EXPECT_EQ(kzwinCameraConnections(0), 0);
}

TEST(TestPattern, KnownPixelsAndFrameNumbersInEveryFormat) {
  std::vector<uint8_t> frame(640 * 480 * 3 + 768);
  // YUY2 frame 0, row 1: a white bar at x = 0 and a red bar at x = 210 (of 320).
  ASSERT_EQ(
      kzwinRenderTestFrame(frame.data(), DWORD(frame.size()), 320, 240, FourCC("YUY2"), 16, 0),
      320u * 240 * 2);
  const uint8_t* row1 = frame.data() + 640;
  // Y, U of white; Y, U, V (clamped) of red.
  EXPECT_EQ(std::vector<int>({row1[0], row1[1], row1[420], row1[421], row1[423]}),
            std::vector<int>({255, 128, 77, 85, 255}));
  // Frame 10 moves the bars left by 40 pixels: x = 170 is now red.
  kzwinRenderTestFrame(frame.data(), DWORD(frame.size()), 320, 240, FourCC("YUY2"), 16, 10);
  EXPECT_EQ(row1[2 * 170], 77);
  // RGB24 is bottom-up: the gradient's bottom-right pixel is the first row's last pixel.
  kzwinRenderTestFrame(frame.data(), DWORD(frame.size()), 320, 240, BI_RGB, 24, 0);
  EXPECT_EQ(std::vector<int>(frame.begin() + 3 * 319, frame.begin() + 3 * 320),
            std::vector<int>({128, 255, 255}));  // B; G = 255 * 239 / 239; R = 255 * 319 / 319

  for (const Fmt& f : kFormats) {
    for (DWORD n : {0u, 1u, 0x80000001u, 0xDEADBEEFu, 0xFFFFFFFFu}) {
      DWORD bytes = kzwinRenderTestFrame(frame.data(), DWORD(frame.size()), 352, 288, f.compression,
                                         f.bits, n);
      ASSERT_EQ(bytes, ExpectedBytes(f, 352, 288));
      DWORD decoded = 0;
      ASSERT_TRUE(
          kzwinDecodeTestFrame(frame.data(), bytes, 352, 288, f.compression, f.bits, &decoded));
      EXPECT_EQ(decoded, n);
    }
    EXPECT_FALSE(kzwinDecodeTestFrame(frame.data(), 10, 352, 288, f.compression, f.bits, nullptr));
  }
  // Too little room, unknown formats and unsupported sizes write nothing.
  EXPECT_EQ(kzwinRenderTestFrame(frame.data(), 100, 320, 240, BI_RGB, 24, 0), 0u);
  EXPECT_EQ(
      kzwinRenderTestFrame(frame.data(), DWORD(frame.size()), 320, 240, FourCC("MJPG"), 24, 0), 0u);
  EXPECT_EQ(kzwinRenderTestFrame(frame.data(), DWORD(frame.size()), 100, 240, BI_RGB, 24, 0), 0u);
  EXPECT_FALSE(kzwinDecodeTestFrame(frame.data(), 16, 320, 240, BI_RGB, 24, nullptr));
  std::memset(frame.data(), 128, 64);  // grey is neither bit
  EXPECT_FALSE(kzwinDecodeTestFrame(frame.data(), 640, 320, 240, FourCC("Y800"), 8, nullptr));
}

}  // namespace

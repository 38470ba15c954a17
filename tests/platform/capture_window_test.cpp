// Capture windows over the test-pattern camera: the message contract the library relies on,
// exact frames, failing drivers and driver dialogs through the dialog host.
#include <gtest/gtest.h>
#include <kzwin_test.h>
#include <windows.h>
#include <vfw.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>
#include "expect_call.h"

namespace {

constexpr DWORD FourCC(const char (&s)[5]) {
  return MAKEFOURCC(s[0], s[1], s[2], s[3]);
}

struct Fmt {
  DWORD compression;
  WORD bits;
  bool bottomUp;
};

// Every format the camera delivers.
const Fmt kFormats[] = {
    {FourCC("UYVY"), 16, false}, {FourCC("Y422"), 16, false}, {FourCC("YUY2"), 16, false},
    {BI_RGB, 24, true},          {BI_RGB, 8, true},           {FourCC("Y800"), 8, false},
    {FourCC("Y444"), 24, false}, {BI_RGB, 16, true},          {FourCC("I420"), 12, false},
    {FourCC("Y411"), 12, false}, {FourCC("YVU9"), 9, false},  {FourCC("GV24"), 24, false},
    {FourCC("GV8\0"), 8, false},
};

// The frame size rule, written out independently of the camera.
DWORD ExpectedBytes(const Fmt& f, LONG w, LONG h) {
  DWORD row = ((f.bits * w) / 8 + 3) & ~3u;
  if (f.compression == FourCC("GV24")) row = 3 * w;
  if (f.compression == FourCC("GV8\0")) return w * h + 768;
  return row * h;
}

std::vector<uint8_t> Header(LONG w, LONG h, const Fmt& f) {
  std::vector<uint8_t> info(40 + 1024, 0);
  BITMAPINFOHEADER bh{};
  bh.biSize = 40;
  bh.biWidth = w;
  bh.biHeight = h;
  bh.biPlanes = 1;
  bh.biBitCount = f.bits;
  bh.biCompression = f.compression;
  std::memcpy(info.data(), &bh, 40);
  return info;
}

BITMAPINFOHEADER Current(HWND cap) {
  BITMAPINFOHEADER bh{};
  std::vector<uint8_t> info(1064);
  LRESULT n =
      SendMessageA(cap, WM_CAP_GET_VIDEOFORMAT, info.size(), reinterpret_cast<LPARAM>(info.data()));
  EXPECT_GE(n, 40);
  std::memcpy(&bh, info.data(), 40);
  return bh;
}

struct Reset : ::testing::Test {
  void SetUp() override { kzwinResetCameras(); }
  void TearDown() override {
    kzwinResetCameras();
    kzwinSetDialogResponder(nullptr, nullptr);
  }
};

using CaptureWindow = Reset;

HWND MakeCapture() {
  return capCreateCaptureWindowA("KZ Video Capture", WS_CHILD, -4000, -4000, 1600, 1200, nullptr,
                                 0);
}

TEST_F(CaptureWindow, DriversConnectionsAndFormatReplies) {
  char name[80], version[80];
  ASSERT_TRUE(capGetDriverDescriptionA(0, name, 80, version, 80));
  EXPECT_STREQ(name, "KZ Test Pattern Camera");
  EXPECT_FALSE(capGetDriverDescriptionA(1, name, 80, version, 80));
  EXPECT_FALSE(capGetDriverDescriptionA(10, name, 80, version, 80));
  KZWIN_CAMERA cam;
  kzwinDefaultCamera(&cam);
  cam.name = "Second camera with a long name";
  ASSERT_TRUE(kzwinSetCamera(1, &cam));
  ASSERT_TRUE(capGetDriverDescriptionA(1, name, 7, version, 80));
  EXPECT_STREQ(name, "Second");  // cut to the room given
  EXPECT_FALSE(kzwinSetCamera(10, &cam));

  HWND a = MakeCapture();
  HWND b = MakeCapture();
  ASSERT_TRUE(a && b);
  EXPECT_NE(SendMessageA(a, WM_CAP_DRIVER_CONNECT, 0, 0), 0);
  EXPECT_EQ(SendMessageA(b, WM_CAP_DRIVER_CONNECT, 0, 0), 0);  // one connection at a time
  EXPECT_EQ(SendMessageA(b, WM_CAP_DRIVER_CONNECT, 5, 0), 0);  // no such driver
  EXPECT_EQ(kzwinCameraConnections(0), 1);

  EXPECT_EQ(SendMessageA(a, WM_CAP_GET_VIDEOFORMAT, 0, 0), 40);
  BITMAPINFOHEADER bh = Current(a);
  EXPECT_EQ(bh.biWidth, 320);
  EXPECT_EQ(bh.biHeight, 240);
  EXPECT_EQ(bh.biCompression, FourCC("YUY2"));
  EXPECT_EQ(bh.biSizeImage, 320u * 240 * 2);
  uint8_t small[20];
  std::memset(small, 0xAB, sizeof small);
  EXPECT_EQ(SendMessageA(a, WM_CAP_GET_VIDEOFORMAT, 12, reinterpret_cast<LPARAM>(small)), 12);
  EXPECT_EQ(small[12], 0xAB);  // never past the room given

  // Every format at a few sizes: accepted, current at once, in the camera's own shape.
  for (const Fmt& f : kFormats) {
    for (auto [w, h] : {std::pair<LONG, LONG>{640, 480}, {176, 144}, {1920, 1080}}) {
      auto info = Header(w, h, f);
      ASSERT_NE(SendMessageA(a, WM_CAP_SET_VIDEOFORMAT, 40, reinterpret_cast<LPARAM>(info.data())),
                0)
          << f.compression << "/" << f.bits << " " << w;
      DWORD palette =
          f.compression == FourCC("GV8\0") ? 192 : (f.bits == 8 && !f.compression ? 256 : 0);
      EXPECT_EQ(SendMessageA(a, WM_CAP_GET_VIDEOFORMAT, 0, 0), LRESULT(40 + 4 * palette));
      std::vector<uint8_t> one(1064), two(1064);
      ASSERT_EQ(SendMessageA(a, WM_CAP_GET_VIDEOFORMAT, 1064, reinterpret_cast<LPARAM>(one.data())),
                LRESULT(40 + 4 * palette));
      SendMessageA(a, WM_CAP_GET_VIDEOFORMAT, 1064, reinterpret_cast<LPARAM>(two.data()));
      EXPECT_EQ(one, two);
      std::memcpy(&bh, one.data(), 40);
      EXPECT_EQ(bh.biWidth, w);
      EXPECT_EQ(bh.biHeight, h);
      EXPECT_EQ(bh.biClrUsed, palette);
      EXPECT_EQ(bh.biSizeImage, ExpectedBytes(f, w, h) - (palette == 192 ? 768 : 0));
      if (palette) {
        EXPECT_EQ(one[40 + 4 * 100], 100);  // grey ramp
      }
    }
  }
  // Refusals: sizes out of range, zero and negative sizes, short headers, unknown FOURCCs.
  struct Bad {
    LONG w, h;
    DWORD compression;
    WORD bits;
    WPARAM bytes;
  } bad[] = {{0, 240, 0, 24, 40},
             {320, -240, 0, 24, 40},
             {128, 96, 0, 24, 40},
             {2048, 1080, 0, 24, 40},
             {320, 240, 0, 24, 39},
             {322, 240, 0, 24, 40},
             {320, 240, FourCC("MJPG"), 24, 40},
             {320, 240, 0, 32, 40}};
  for (const Bad& x : bad) {
    auto info = Header(x.w, x.h, Fmt{x.compression, x.bits, false});
    EXPECT_EQ(
        SendMessageA(a, WM_CAP_SET_VIDEOFORMAT, x.bytes, reinterpret_cast<LPARAM>(info.data())), 0)
        << x.w << "x" << x.h;
  }
  EXPECT_EQ(SendMessageA(a, WM_CAP_SET_VIDEOFORMAT, 40, 0), 0);

  CAPDRIVERCAPS caps{};
  EXPECT_NE(SendMessageA(a, WM_CAP_DRIVER_GET_CAPS, sizeof caps, reinterpret_cast<LPARAM>(&caps)),
            0);
  EXPECT_TRUE(caps.fHasDlgVideoSource);
  EXPECT_TRUE(caps.fHasDlgVideoFormat);

  EXPECT_NE(SendMessageA(a, WM_CAP_DRIVER_DISCONNECT, 0, 0), 0);
  for (UINT m : {WM_CAP_GET_VIDEOFORMAT, WM_CAP_GRAB_FRAME, WM_CAP_DRIVER_GET_CAPS,
                 WM_CAP_DLG_VIDEOFORMAT, WM_CAP_DRIVER_DISCONNECT}) {
    EXPECT_EQ(SendMessageA(a, m, 0, 0), 0) << m;
  }
  EXPECT_NE(SendMessageA(b, WM_CAP_DRIVER_CONNECT, 0, 0), 0);  // free again
  EXPECT_TRUE(DestroyWindow(b));                               // destroying releases the driver
  EXPECT_EQ(kzwinCameraConnections(0), 0);
  EXPECT_TRUE(DestroyWindow(a));
}

std::atomic<int> callbacks{0};
std::atomic<DWORD> callbackThread{0};
std::vector<uint8_t> lastFrame;
DWORD lastUsed = 0;

LRESULT CALLBACK OnFrame(HWND, LPVIDEOHDR header) {
  callbacks.fetch_add(1);
  callbackThread.store(GetCurrentThreadId());
  lastUsed = header->dwBytesUsed;
  lastFrame.assign(header->lpData, header->lpData + header->dwBytesUsed);
  return TRUE;
}

TEST_F(CaptureWindow, GrabbedFramesAreExactAndArriveOnTheOwnerThread) {
  std::atomic<HWND> cap{nullptr};
  std::atomic<bool> stop{false};
  std::atomic<DWORD> ownerId{0};
  std::thread owner([&] {
    ownerId.store(GetCurrentThreadId());
    HWND w = MakeCapture();
    SendMessageA(w, WM_CAP_DRIVER_CONNECT, 0, 0);
    SendMessageA(w, WM_CAP_SET_CALLBACK_FRAME, 0, reinterpret_cast<LPARAM>(OnFrame));
    cap.store(w);
    while (!stop.load()) PeekMessageA(nullptr, nullptr, 0, 0, PM_NOREMOVE);
    DestroyWindow(w);
  });
  while (!cap.load()) std::this_thread::yield();
  EXPECT_NE(SendMessageA(cap.load(), WM_CAP_SET_PREVIEWRATE, 1, 0), 0);
  callbacks.store(0);
  DWORD frameNumber = 0;
  std::vector<uint8_t> expected(1920 * 1080 * 3 + 768);
  for (const Fmt& f : kFormats) {
    auto info = Header(320, 240, f);
    ASSERT_NE(
        SendMessageA(cap.load(), WM_CAP_SET_VIDEOFORMAT, 40, reinterpret_cast<LPARAM>(info.data())),
        0);
    int before = callbacks.load();
    ASSERT_NE(SendMessageA(cap.load(), WM_CAP_GRAB_FRAME, 0, 0), 0);
    EXPECT_EQ(callbacks.load(), before + 1);  // exactly once, before the reply
    EXPECT_EQ(callbackThread.load(), ownerId.load());
    EXPECT_EQ(lastUsed, ExpectedBytes(f, 320, 240));
    DWORD n = kzwinRenderTestFrame(expected.data(), static_cast<DWORD>(expected.size()), 320, 240,
                                   f.compression, f.bits, frameNumber);
    ASSERT_EQ(n, lastUsed);
    EXPECT_TRUE(std::equal(lastFrame.begin(), lastFrame.end(), expected.begin()));
    DWORD decoded = 0;
    ASSERT_TRUE(kzwinDecodeTestFrame(lastFrame.data(), lastUsed, 320, 240, f.compression, f.bits,
                                     &decoded));
    EXPECT_EQ(decoded, frameNumber);
    ++frameNumber;
  }
  stop.store(true);
  owner.join();
  EXPECT_FALSE(IsWindow(cap.load()));
  EXPECT_EQ(SendMessageA(cap.load(), WM_CAP_GRAB_FRAME, 0, 0), 0);
  EXPECT_EQ(kzwinCameraConnections(0), 0);
}

TEST(TestPattern, KnownPixelsAndFrameNumbersInEveryFormat) {
  std::vector<uint8_t> frame(640 * 480 * 3 + 768);
  // YUY2 frame 0, row 1: a white bar at x = 0 and a red bar at x = 210 (of 320).
  ASSERT_EQ(
      kzwinRenderTestFrame(frame.data(), DWORD(frame.size()), 320, 240, FourCC("YUY2"), 16, 0),
      320u * 240 * 2);
  const uint8_t* row1 = frame.data() + 640;
  EXPECT_EQ(row1[0], 255);
  EXPECT_EQ(row1[1], 128);
  EXPECT_EQ(row1[420], 77);   // Y of red
  EXPECT_EQ(row1[421], 85);   // U of red
  EXPECT_EQ(row1[423], 255);  // V of red, clamped
  // Frame 10 moves the bars left by 40 pixels: x = 170 is now red.
  kzwinRenderTestFrame(frame.data(), DWORD(frame.size()), 320, 240, FourCC("YUY2"), 16, 10);
  EXPECT_EQ(row1[2 * 170], 77);
  // RGB24 is bottom-up: the gradient's bottom-right pixel is the first row's last pixel.
  kzwinRenderTestFrame(frame.data(), DWORD(frame.size()), 320, 240, BI_RGB, 24, 0);
  EXPECT_EQ(frame[3 * 319 + 0], 128);  // B
  EXPECT_EQ(frame[3 * 319 + 1], 255);  // G = 255 * 239 / 239
  EXPECT_EQ(frame[3 * 319 + 2], 255);  // R = 255 * 319 / 319

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

using FailingDriver = Reset;

TEST_F(FailingDriver, ConnectFailsFramesStopAndDelaysUseTheClock) {
  KZWIN_CAMERA cam;
  kzwinDefaultCamera(&cam);
  cam.failConnect = TRUE;
  kzwinSetCamera(2, &cam);
  kzwinDefaultCamera(&cam);
  cam.framesBeforeFailure = 2;
  cam.delayMs = 40;
  kzwinSetCamera(3, &cam);

  HWND cap = MakeCapture();
  EXPECT_EQ(SendMessageA(cap, WM_CAP_DRIVER_CONNECT, 2, 0), 0);
  kzwinUseManualClock(TRUE, 0xFFFFFFF0u);
  EXPECT_NE(SendMessageA(cap, WM_CAP_DRIVER_CONNECT, 3, 0), 0);
  EXPECT_EQ(timeGetTime(), 0xFFFFFFF0u + 40);
  SendMessageA(cap, WM_CAP_SET_CALLBACK_FRAME, 0, reinterpret_cast<LPARAM>(OnFrame));
  callbacks.store(0);
  EXPECT_NE(SendMessageA(cap, WM_CAP_GRAB_FRAME, 0, 0), 0);
  EXPECT_NE(SendMessageA(cap, WM_CAP_GRAB_FRAME, 0, 0), 0);
  EXPECT_EQ(SendMessageA(cap, WM_CAP_GRAB_FRAME, 0, 0), 0);  // frames have stopped
  EXPECT_EQ(callbacks.load(), 2);
  EXPECT_EQ(timeGetTime(), DWORD(0xFFFFFFF0u + 4 * 40));  // wrapped past 2^32
  kzwinUseManualClock(FALSE, 0);
  EXPECT_TRUE(DestroyWindow(cap));
}

struct Answer {
  int result;
  LONG newWidth;  // 0: leave the payload alone
  DWORD kind = 0;
  HWND owner = nullptr;
};

int Responder(KZWIN_DIALOG* dialog, void* context) {
  auto* answer = static_cast<Answer*>(context);
  answer->kind = dialog->kind;
  answer->owner = dialog->owner;
  if (answer->newWidth) {
    BITMAPINFOHEADER bh;
    std::memcpy(&bh, dialog->payload, 40);
    bh.biWidth = answer->newWidth;
    std::memcpy(dialog->payload, &bh, 40);
  }
  return answer->result;
}

using DriverDialogs = Reset;

TEST_F(DriverDialogs, ResponderChoosesCancelsOrFails) {
  HWND parent =
      CreateWindowExA(0, nullptr, "owner", 0, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
  HWND cap = capCreateCaptureWindowA("KZ Video Capture", WS_CHILD, 0, 0, 1600, 1200, parent, 0);
  ASSERT_NE(SendMessageA(cap, WM_CAP_DRIVER_CONNECT, 0, 0), 0);
  LONG shown = kzwinCountDialogs();
  // No responder: the current choice is kept and the dialog completes.
  EXPECT_NE(SendMessageA(cap, WM_CAP_DLG_VIDEOFORMAT, 0, 0), 0);
  EXPECT_EQ(Current(cap).biWidth, 320);

  struct Case {
    UINT message;
    Answer answer;
    LRESULT reply;
    LONG widthAfter;
  } cases[] = {
      {WM_CAP_DLG_VIDEOFORMAT, {KZWIN_DIALOG_OK, 640}, 1, 640},
      {WM_CAP_DLG_VIDEOSOURCE, {KZWIN_DIALOG_OK, 352}, 1, 352},
      {WM_CAP_DLG_VIDEOFORMAT, {KZWIN_DIALOG_CANCEL, 800}, 0, 352},
      {WM_CAP_DLG_VIDEOFORMAT, {KZWIN_DIALOG_FAIL, 0}, 0, 352},
      {WM_CAP_DLG_VIDEOFORMAT, {7, 0}, 0, 352},                  // nonsense counts as failure
      {WM_CAP_DLG_VIDEOFORMAT, {KZWIN_DIALOG_OK, 100}, 0, 352},  // a choice the camera refuses
  };
  for (Case& c : cases) {
    kzwinSetDialogResponder(Responder, &c.answer);
    EXPECT_EQ(SendMessageA(cap, c.message, 0, 0) != 0, c.reply != 0) << c.answer.newWidth;
    EXPECT_EQ(Current(cap).biWidth, c.widthAfter);
    EXPECT_EQ(c.answer.kind, c.message == WM_CAP_DLG_VIDEOFORMAT
                                 ? DWORD{KZWIN_DIALOG_VIDEO_FORMAT}
                                 : DWORD{KZWIN_DIALOG_VIDEO_SOURCE});
    EXPECT_EQ(c.answer.owner, parent);
  }
  EXPECT_EQ(kzwinCountDialogs(), shown + 7);
  kzwinSetDialogResponder(nullptr, nullptr);
  DestroyWindow(parent);  // takes the capture window with it
  EXPECT_FALSE(IsWindow(cap));

  KZWIN_CAMERA cam;
  kzwinDefaultCamera(&cam);
  cam.noFormatDialog = TRUE;
  kzwinSetCamera(0, &cam);
  cap = MakeCapture();
  ASSERT_NE(SendMessageA(cap, WM_CAP_DRIVER_CONNECT, 0, 0), 0);
  CAPDRIVERCAPS caps{};
  SendMessageA(cap, WM_CAP_DRIVER_GET_CAPS, sizeof caps, reinterpret_cast<LPARAM>(&caps));
  EXPECT_TRUE(caps.fHasDlgVideoSource);
  EXPECT_FALSE(caps.fHasDlgVideoFormat);
  shown = kzwinCountDialogs();
  EXPECT_EQ(SendMessageA(cap, WM_CAP_DLG_VIDEOFORMAT, 0, 0), 0);
  EXPECT_EQ(kzwinCountDialogs(), shown);  // nothing shown
  DestroyWindow(cap);
}

}  // namespace

namespace {

TEST_F(CaptureWindow, ClosedByAPostedCloseOrWithItsThread) {
  // WM_CLOSE posted from another thread: the owner's message loop destroys the window.
  std::atomic<HWND> cap{nullptr};
  std::thread owner([&] {
    HWND w = MakeCapture();
    SendMessageA(w, WM_CAP_DRIVER_CONNECT, 0, 0);
    cap.store(w);
    MSG msg;
    while (IsWindow(w) && GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
  });
  while (!cap.load()) std::this_thread::yield();
  EXPECT_WIN_ERR(DestroyWindow(cap.load()), FALSE, ERROR_ACCESS_DENIED);  // not from this thread
  EXPECT_TRUE(PostMessageA(cap.load(), WM_CLOSE, 0, 0));
  owner.join();  // its loop ends only once the window is gone
  EXPECT_FALSE(IsWindow(cap.load()));
  EXPECT_EQ(kzwinCameraConnections(0), 0);

  // A thread that ends without destroying its capture window takes it along.
  std::thread quitter([&] {
    HWND w = MakeCapture();
    SendMessageA(w, WM_CAP_DRIVER_CONNECT, 0, 0);
    cap.store(w);
  });
  quitter.join();
  EXPECT_FALSE(IsWindow(cap.load()));
  EXPECT_EQ(kzwinCameraConnections(0), 0);
  EXPECT_EQ(SendMessageA(cap.load(), WM_CAP_GRAB_FRAME, 0, 0), 0);
}

}  // namespace

// A caller of the display API on the test thread: a session, a window, the test camera,
// waits that pump sent messages, and the leak counts of the platform layer.
#pragma once

#include <gtest/gtest.h>
#include <kzvideo.h>
#include <kzwin_test.h>
#include <windows.h>
#include <kzwin/test_camera.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

#include "frame/blocks.h"
#include "frame/stream.h"

namespace kz::test {

// Pumps the calling thread's sent messages until `done` or, as a bound on a hang only,
// until the seconds pass.
template <class Done>
bool PumpUntil(Done done, int seconds = 20) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  MSG msg;
  while (!done()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    Sleep(1);
  }
  return true;
}

// Waits without pumping, so no grab (which needs this thread's capture window) can finish
// meanwhile; the seconds bound a hang only.
template <class Done>
bool WaitUntil(Done done, int seconds = 20) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    Sleep(1);
  }
  return true;
}

// The table entry of a source, or null.
inline StreamRecord* SourceEntry(uint32_t source) {
  std::lock_guard lock(StreamTableMutex());
  for (int i = 0; i < StreamCount(); ++i) {
    StreamRecord& e = StreamTable()[i];
    if (e.streamId.load() == source) return &e;
  }
  return nullptr;
}

// Activity bits of the stream on a source (0 when none), read from the table.
inline uint32_t SourceBits(uint32_t source) {
  const StreamRecord* e = SourceEntry(source);
  return e ? e->running.load() : 0;
}
// Entries in use (any id), whatever the high-water mark says.
inline int EntriesInUse() {
  std::lock_guard lock(StreamTableMutex());
  int n = 0;
  for (int i = 0; i < StreamCount(); ++i) n += StreamTable()[i].streamId.load() != 0;
  return n;
}
inline bool SourceEntryExists(uint32_t source) {
  return SourceEntry(source) != nullptr;
}

// The test-pattern camera's frame `n`.
inline std::vector<uint8_t> Render(uint32_t n, LONG w, LONG h, DWORD fourcc, WORD bits) {
  std::vector<uint8_t> frame(static_cast<size_t>(w) * h * 4 + 1024);
  const DWORD bytes =
      kzwinRenderTestFrame(frame.data(), static_cast<DWORD>(frame.size()), w, h, fourcc, bits, n);
  frame.resize(bytes);
  return frame;
}

struct Counts {
  LONG blocks = kzwinCountGlobalBlocks();
  LONG handles = kzwinCountOpenHandles();
  LONG windows = kzwinCountWindows();
  int tableBlocks = BlockCount();
};

class LiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kzwinUseManualClock(FALSE, 0);
    kzwinResetCameras();
    // The block table is one global block of its own, made at the first allocation.
    BlockFree(BlockAlloc(16));
    before_ = Counts();
    session_ = KZBegin(nullptr);
    ASSERT_NE(session_, 0u);
    window_ = MakeWindow();
  }
  void TearDown() override {
    KZStopAll(0, 0, nullptr);
    if (IsWindow(window_)) DestroyWindow(window_);
    for (HWND w : extraWindows_) {
      if (IsWindow(w)) DestroyWindow(w);
    }
    KZEnd(session_);
    kzwinFailThreadsAfter(-1);
    kzwinFailAllocAfter(-1);
    kzwinResetCameras();
    kzwinUseManualClock(FALSE, 0);
    ExpectNothingLeft();
  }

  HWND MakeWindow() {
    HWND w = CreateWindowExA(0, nullptr, "caller", WS_OVERLAPPEDWINDOW, 0, 0, 800, 700, nullptr,
                             nullptr, nullptr, nullptr);
    EXPECT_NE(w, nullptr);
    if (window_) extraWindows_.push_back(w);
    return w;
  }

  // Nothing of a stream is left; `windows` of the caller's own may remain.
  void ExpectNothingLeft(LONG windows = 0) {
    const Counts now;
    EXPECT_EQ(std::tuple(now.windows, now.blocks, now.handles, now.tableBlocks),
              std::tuple(before_.windows + windows, before_.blocks, before_.handles,
                         before_.tableBlocks));
    EXPECT_EQ(std::pair(kzwinCameraConnections(0), EntriesInUse()), std::pair(LONG{0}, 0));
  }

  KZDISPLAY Block(uint32_t source = 1, int32_t width = 320, int32_t height = 240,
                  uint32_t format = KZ_FORMAT_YUY2) {
    KZDISPLAY d{};
    d.size = sizeof d, d.session = session_, d.source = source, d.width = width, d.height = height;
    d.format = format, d.bitCount = 16, d.window = window_;
    return d;
  }

  // Waits (pumping) until the display has shown `frames` more frames than now.
  bool WaitFrames(uint32_t source, uint32_t frames, HWND window = nullptr) {
    KZRATE r{};
    if (!KZGetDisplayRate(session_, source, window, &r)) return false;
    const uint32_t target = r.framesDone + frames;
    return PumpUntil([&] {
      KZRATE now{};
      return KZGetDisplayRate(session_, source, window, &now) && now.framesDone >= target;
    });
  }

  uint32_t session_ = 0;
  HWND window_ = nullptr;
  std::vector<HWND> extraWindows_;
  Counts before_;
};

// The bytes of a global handle (and frees it).
inline std::vector<uint8_t> TakeHandle(HGLOBAL h) {
  std::vector<uint8_t> out;
  if (!h) return out;
  out.resize(GlobalSize(h));
  const void* p = GlobalLock(h);
  if (p) std::memcpy(out.data(), p, out.size());
  GlobalUnlock(h);
  GlobalFree(h);
  return out;
}

}  // namespace kz::test

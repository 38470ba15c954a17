// The display under the manual clock and with callers on other threads.
#include <atomic>
#include <mutex>
#include <thread>

#include "live/live_state.h"
#include "live_fixture.h"

namespace kz::test {
namespace {

constexpr DWORD kYuy2 = MAKEFOURCC('Y', 'U', 'Y', '2');

// What the after-draw callback saw: request time and frame number of each shown frame.
std::mutex seenMutex;
std::vector<std::pair<uint32_t, uint32_t>> seen;

void KZCALLBACK NoteFrame(KZDISPLAY* copy, const void* source, const void*) {
  // The frame sits right behind its slot header in the ring.
  SlotHeader header;
  std::memcpy(&header, static_cast<const uint8_t*>(source) - sizeof header, sizeof header);
  uint32_t n = 0;
  kzwinDecodeTestFrame(source, static_cast<DWORD>(copy->width * copy->height * 2), copy->width,
                       copy->height, kYuy2, 16, &n);
  std::lock_guard lock(seenMutex);
  seen.emplace_back(header.requestTime, n);
}

class LiveConcurrency : public LiveTest {};

TEST_F(LiveConcurrency, DisplayRequestsKeepTheirPaceAsTheClockPassesTwoToThe31And32) {
  // The clock starts before 2^31 and 2^32 (it runs fast: every Sleep advances it); frames
  // are collected until one was requested past the mark, so some gap spans it.
  for (DWORD mark : {0x80000000u, 0u}) {
    const DWORD start = mark - 50000;
    {
      std::lock_guard lock(seenMutex);
      seen.clear();
    }
    kzwinUseManualClock(TRUE, start);
    KZDISPLAY b = Block(1, 160, 120);
    b.rate = 10.0;
    b.afterDrawCallback = NoteFrame;
    ASSERT_EQ(KZStartDisplay(&b), 1);
    ASSERT_TRUE(PumpUntil(
        [&] {
          std::lock_guard lock(seenMutex);
          // Once frames flow, the clock is put a second before the mark: however few passes
          // loaded threads make, the mark comes within a dozen frames.
          const DWORD passed = timeGetTime() - start;
          if (!seen.empty() && passed < 49000) kzwinAdvanceClock(49000 - passed);
          return seen.size() >= 3 && seen.back().first - start >= 50000 + 200;
        },
        60));
    kzwinUseManualClock(FALSE, 0);
    ASSERT_EQ(KZStopDisplay(session_, 1, nullptr), 1);
    std::lock_guard lock(seenMutex);
    EXPECT_LT(seen.front().first - start, 50000u) << "first frame only after the mark";
    for (size_t i = 1; i < seen.size(); ++i) {
      const uint32_t gap = seen[i].first - seen[i - 1].first;
      EXPECT_GE(gap, 99u) << i;
      EXPECT_LT(gap, 0x10000000u) << i;  // forward in time, across the mark too
      EXPECT_GT(seen[i].second, seen[i - 1].second) << i;
    }
  }
}

TEST_F(LiveConcurrency, CallersOnOtherThreadsAlwaysGetWholeFrames) {
  KZDISPLAY b = Block(1, 160, 120);
  ASSERT_EQ(KZStartDisplay(&b), 1);
  ASSERT_TRUE(WaitFrames(1, 1));
  std::atomic<int> bad{0};
  std::atomic<int> good{0};
  std::atomic<int> callersDone{0};
  auto caller = [&](uint32_t flags) {
    for (int i = 0; i < 60; ++i) {
      std::vector<uint8_t> image = TakeHandle(KZGetDisplayImage(session_, 1, nullptr, flags, 2000));
      if (image.empty()) {
        bad.fetch_add(1);
        continue;
      }
      if (flags & KZ_IMAGE_AS_DRAWN) {
        BITMAPINFOHEADER h;
        std::memcpy(&h, image.data(), sizeof h);
        (h.biWidth == 160 && h.biHeight == 120 && image.size() == 40 + h.biSizeImage ? good : bad)
            .fetch_add(1);
        continue;
      }
      uint32_t n = 0;
      std::vector<uint8_t> expected(image.size());
      if (!kzwinDecodeTestFrame(image.data(), static_cast<DWORD>(image.size()), 160, 120, kYuy2, 16,
                                &n) ||
          kzwinRenderTestFrame(expected.data(), static_cast<DWORD>(expected.size()), 160, 120,
                               kYuy2, 16, n) != image.size() ||
          expected != image) {
        bad.fetch_add(1);
      } else {
        good.fetch_add(1);
      }
    }
    callersDone.fetch_add(1);
  };
  std::thread raw(caller, KZ_IMAGE_NOW);
  std::thread drawn(caller, KZ_IMAGE_AS_DRAWN);
  // This thread owns the capture window: it keeps the frames coming.
  EXPECT_TRUE(PumpUntil([&] { return callersDone.load() == 2; }, 60));
  raw.join();
  drawn.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(good.load(), 120);
  ASSERT_EQ(KZStopDisplay(session_, 1, nullptr), 1);
}

TEST_F(LiveConcurrency, AStopRightAfterTheStartStopsIt) {
  for (int i = 0; i < 5; ++i) {
    KZDISPLAY b = Block();
    ASSERT_EQ(KZStartDisplay(&b), 1);
    ASSERT_EQ(KZStopDisplay(session_, 1, nullptr), 1);
    EXPECT_FALSE(SourceEntryExists(1));
  }
  // From another thread, while this one (the window's owner) pumps in its own stop wait.
  KZDISPLAY b = Block();
  ASSERT_EQ(KZStartDisplay(&b), 1);
  std::atomic<int> result{-1};
  std::thread stopper([&] { result.store(KZStopAll(session_, 1, nullptr)); });
  EXPECT_TRUE(PumpUntil([&] { return result.load() != -1; }));
  stopper.join();
  EXPECT_EQ(result.load(), 1);
  EXPECT_EQ(SourceBits(1), 0u);
  // The capture window belongs to this thread; the stop from elsewhere asked it to close.
  EXPECT_TRUE(PumpUntil([] { return kzwinCameraConnections(0) == 0; }));
}

}  // namespace
}  // namespace kz::test

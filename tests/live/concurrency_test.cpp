// The display with callers on other threads. Its pace across the clock's wraps is pinned by
// the pacing tests.
#include <atomic>
#include <mutex>
#include <thread>

#include "live/live_state.h"
#include "live_fixture.h"

namespace kz::test {
namespace {

constexpr DWORD kYuy2 = MAKEFOURCC('Y', 'U', 'Y', '2');

class LiveConcurrency : public LiveTest {};

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
      if (!kzwinDecodeTestFrame(image.data(), static_cast<DWORD>(image.size()), 160, 120, kYuy2, 16,
                                &n) ||
          Render(n, 160, 120, kYuy2, 16) != image) {
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

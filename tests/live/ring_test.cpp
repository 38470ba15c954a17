// The frame ring: storing, dropping, the consumer rules and the handover between threads.
#include <gtest/gtest.h>
#include <windows.h>
#include <vfw.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "frame/blocks.h"
#include "frame/stream.h"
#include "image/publish.h"
#include "live/ring.h"

namespace kz {
namespace {

constexpr uint32_t kFrame = 24;

// A stream record with a ring of 24-byte frames, outside the table.
struct RingFixture {
  std::unique_ptr<StreamRecord> e = std::make_unique<StreamRecord>();
  std::vector<uint8_t> frame = std::vector<uint8_t>(kFrame);
  RingFixture() {
    EXPECT_TRUE(AllocateRing(*e, kFrame));
    e->running.store(kGrabBit | kDisplayBit);
  }
  ~RingFixture() { FreeRing(*e); }

  // Stores a frame whose bytes are all `fill`, requested for `want`.
  bool Store(uint8_t fill, uint32_t want, uint32_t bytesUsed = kFrame,
             uint32_t bufferLength = kFrame) {
    std::memset(frame.data(), fill, frame.size());
    e->live.nextHeader.want = want;
    e->live.nextHeader.requestTime = fill;
    VIDEOHDR h{};
    h.lpData = frame.data();
    h.dwBytesUsed = bytesUsed;
    h.dwBufferLength = bufferLength;
    return StoreFrame(*e, &h);
  }
  void Counts(uint32_t read, uint32_t write) {
    e->readCount.store(read), e->writeCount.store(write);
  }
  uint8_t HeadFill() { return SlotFrame(*e, e->readCount.load())[0]; }
};

TEST(LiveRing, RefusesFramesThatDoNotMatchOrLie) {
  RingFixture f;
  struct Case {
    uint32_t used, length;
    bool stored;
  } cases[] = {
      {kFrame, kFrame, true},      {kFrame - 1, kFrame, false}, {kFrame + 1, kFrame + 1, false},
      {kFrame, kFrame - 1, false}, {kFrame, 0, false},          {kFrame, kFrame + 100, true}};
  uint32_t stored = 0;
  for (const Case& c : cases) {
    EXPECT_EQ(f.Store(7, 1, c.used, c.length), c.stored) << c.used << " " << c.length;
    stored += c.stored;
    EXPECT_EQ(f.e->writeCount.load(), stored);
  }
  EXPECT_FALSE(StoreFrame(*f.e, nullptr));
  VIDEOHDR empty{};
  empty.dwBytesUsed = empty.dwBufferLength = kFrame;
  EXPECT_FALSE(StoreFrame(*f.e, &empty));
  EXPECT_EQ(f.e->live.displayDropped.load(), 0u);
}

TEST(LiveRing, CountersWrapPastTwoToThe32AndAFullRingDrops) {
  RingFixture f;
  for (uint32_t start : {0u, 0x7FFFFFFCu, 0xFFFFFFFAu}) {
    f.Counts(start, start);
    f.e->live.displayDropped.store(0), f.e->rec.recordDropped.store(0);
    for (uint8_t i = 0; i < 8; ++i) EXPECT_TRUE(f.Store(i + 1, 3));
    EXPECT_EQ(RingFill(*f.e), 8u);
    for (uint32_t want : {1, 2, 3}) EXPECT_FALSE(f.Store(99, want));
    EXPECT_EQ(std::pair(f.e->live.displayDropped.load(), f.e->rec.recordDropped.load()),
              std::pair(2u, 2u));
    // The contents were not overwritten, and every count finds its own slot.
    for (uint32_t i = 0; i < 8; ++i) {
      EXPECT_EQ(SlotFrame(*f.e, start + i)[0], i + 1) << start;
      EXPECT_EQ(SlotHead(*f.e, start + i)->requestTime, i + 1);
    }
    f.e->readCount.store(start + 1);
    EXPECT_TRUE(f.Store(9, 1));
    EXPECT_EQ(SlotFrame(*f.e, start + 8)[0], 9);
    EXPECT_EQ(f.e->writeCount.load(), start + 9);
  }
}

TEST(LiveRing, DisplaySkipsOlderDisplayOnlyFramesUpToARecordFrame) {
  struct Case {
    std::vector<uint32_t> wants;
    uint32_t chosen;  // offset from the head
  } cases[] = {
      {{1}, 0}, {{1, 1, 1, 1}, 3}, {{1, 1, 3, 1}, 1}, {{1, 2, 1}, 0}, {{3, 1, 1}, 2},
  };
  for (const Case& c : cases) {
    RingFixture f;
    f.Counts(0xFFFFFFFE, 0xFFFFFFFE);
    for (uint32_t w : c.wants) f.Store(static_cast<uint8_t>(w), w);
    const uint32_t r = ChooseForDisplay(*f.e);
    EXPECT_EQ(r - 0xFFFFFFFEu, c.chosen);
    FinishForDisplay(*f.e, r);
    EXPECT_EQ(f.e->readCount.load(), r + 1);
  }
}

TEST(LiveRing, TheHeadBelongsToTheRecordingOnlyWhileItRunsAndHasBegun) {
  struct Case {
    uint32_t want, running, begun;
    bool display;
  } cases[] = {
      {1, 7, 1, true}, {2, 7, 1, false}, {3, 7, 1, false}, {3, 7, 0, true},
      {2, 5, 1, true}, {3, 5, 0, true},  {2, 7, 0, true},
  };
  for (const Case& c : cases) {
    RingFixture f;
    f.e->running.store(c.running);
    f.e->live.recordBegun.store(c.begun);
    EXPECT_FALSE(HeadForDisplay(*f.e));
    f.Store(1, c.want);
    EXPECT_EQ(HeadForDisplay(*f.e), c.display) << c.want << " " << c.running << " " << c.begun;
  }
}

TEST(LiveRing, RecordingConsumesSharesOrHandsBackItsFrames) {
  struct Case {
    std::vector<uint32_t> wants;
    uint32_t running;
    uint32_t readAfter;  // offset from the start
    uint32_t headWant;   // want of the (old) head after the step
    uint32_t nextWant;   // want of the frame after it
  } cases[] = {
      // Recording only: consumed.
      {{2, 1}, 7, 1, 2, 1},
      // Shared, ring under half full: the display takes it later.
      {{3, 2}, 7, 0, 1, 2},
      // Shared, ring half full: the recording keeps it, the display gets the next.
      {{3, 2, 2, 2}, 7, 1, 3, 3},
      // Shared, but no display runs any more: consumed.
      {{3, 1}, 6, 1, 3, 1},
  };
  for (const Case& c : cases) {
    RingFixture f;
    f.e->running.store(c.running);
    f.Counts(0xFFFFFFFC, 0xFFFFFFFC);
    for (uint32_t w : c.wants) f.Store(static_cast<uint8_t>(w), w);
    ASSERT_EQ(HeadForRecord(*f.e), RecordHead::kWrite);
    ConsumeForRecord(*f.e);
    EXPECT_EQ(std::tuple(f.e->readCount.load() - 0xFFFFFFFCu, SlotWant(*f.e, 0xFFFFFFFC),
                         SlotWant(*f.e, 0xFFFFFFFD)),
              std::tuple(c.readAfter, c.headWant, c.nextWant));
  }
}

TEST(LiveRing, RecordingGoesOnPastFramesOfAStoppedDisplay) {
  RingFixture f;
  f.e->running.store(kGrabBit | kRecordBit | kDisplayBit);
  f.Store(1, 1);
  f.Store(2, 1);
  f.Store(3, 2);
  // While the display runs, its frames are its own.
  EXPECT_EQ(HeadForRecord(*f.e), RecordHead::kWait);
  EXPECT_EQ(f.e->readCount.load(), 0u);
  f.e->running.store(kGrabBit | kRecordBit);
  EXPECT_EQ(HeadForRecord(*f.e), RecordHead::kWrite);
  EXPECT_EQ(std::pair(f.e->readCount.load(), int{f.HeadFill()}), std::pair(2u, 3));
  ConsumeForRecord(*f.e);
  EXPECT_EQ(HeadForRecord(*f.e), RecordHead::kEmpty);
}

TEST(LiveRing, OneConsumerAtATimeHoldsTheClaim) {
  RingFixture f;
  EXPECT_TRUE(ClaimRing(*f.e, kWantDisplay));
  EXPECT_FALSE(ClaimRing(*f.e, kWantRecord));
  ReleaseRing(*f.e, kWantRecord);  // not the holder: changes nothing
  EXPECT_FALSE(ClaimRing(*f.e, kWantRecord));
  ReleaseRing(*f.e, kWantDisplay);
  EXPECT_TRUE(ClaimRing(*f.e, kWantRecord));
  ReleaseRing(*f.e, kWantRecord);
}

// The display publishes the frame it shows by handing the slot's block over and putting its
// spare block into the slot; while a caller pins the image, the slot keeps its block. Blocks
// go round without allocations and all come back.
TEST(LiveRing, TheShownFrameIsPublishedByHandingItsBlockOver) {
  const int blocksBefore = BlockCount();
  {
    RingFixture f;
    StreamRecord& e = *f.e;
    e.display.size = sizeof e.display;  // 4 x 3 YUY2: the fixture's 24 bytes
    e.display.format = KZ_FORMAT_YUY2, e.display.width = 4, e.display.height = 3;
    PrepareShow(e);
    std::atomic<uint32_t> shown{0};
    uint8_t* spare = nullptr;
    // Shows the newest frame as the display thread does; the block it showed.
    auto show = [&] {
      const uint32_t r = ChooseForDisplay(e);
      uint8_t*& slot = SlotFrameBlock(e, r);
      uint8_t* const block = slot;
      ShowAndPublish(e, block, static_cast<int32_t>(r % kLiveSlots), ShowCallbacks{}, ShowHooks{},
                     shown, spare, &slot);
      FinishForDisplay(e, r);
      return block;
    };
    ASSERT_TRUE(f.Store(1, kWantDisplay));
    ASSERT_TRUE(f.Store(2, kWantDisplay));
    uint8_t* const first = show();
    EXPECT_EQ(e.show.shownFrame, first);
    EXPECT_NE(SlotFrameBlock(e, 1), first);
    EXPECT_EQ(spare, nullptr);
    for (uint8_t fill = 3; fill < 3 + kLiveSlots; ++fill) ASSERT_TRUE(f.Store(fill, kWantDisplay));
    // Every slot has been written again since; the published frame is untouched.
    EXPECT_EQ(std::vector<uint8_t>(first, first + kFrame), std::vector<uint8_t>(kFrame, 2));

    e.show.imageLock.fetch_or(2);  // a caller pinning right now: the new image is dropped
    uint8_t* const dropped = show();
    e.show.imageLock.fetch_and(~2u);
    EXPECT_EQ(e.show.shownFrame, first);
    EXPECT_EQ(SlotFrameBlock(e, 9), dropped);
    ASSERT_NE(spare, nullptr);

    const int blocksRunning = BlockCount();
    ASSERT_TRUE(f.Store(11, kWantDisplay));
    uint8_t* const second = show();
    EXPECT_EQ(e.show.shownFrame, second);
    EXPECT_EQ(spare, first);  // the frame shown before is the next spare
    EXPECT_EQ(BlockCount(), blocksRunning);
    EXPECT_EQ(shown.load(), 3u);
    ClearPublished(e);
    BlockFree(spare);
    ReleaseShow(e);
  }
  EXPECT_EQ(BlockCount(), blocksBefore);
}

// A producer stores numbered frames while a display and a recording consume them on
// threads of their own: every frame read is whole, frames come in order, each recorded
// frame is one the recording wanted, and the counters end where the frames say. The
// display keeps each frame it shows by taking the slot's block and giving it the block it
// kept before, which nobody may have written to in between.
TEST(LiveRing, HandoverBetweenThreadsKeepsFramesWholeAndInOrder) {
  RingFixture f;
  f.e->running.store(kGrabBit | kDisplayBit | kRecordBit);
  f.e->live.recordBegun.store(1);
  f.Counts(0xFFFFFF00u, 0xFFFFFF00u);
  constexpr uint32_t kFrames = 3000;
  std::atomic<bool> done{false};
  std::atomic<uint32_t> bad{0};
  std::atomic<uint32_t> recorded{0};
  std::atomic<uint32_t> shown{0};

  // The frame number in `p`, counting a frame whose bytes do not follow from it as bad.
  auto whole = [&](const uint8_t* p) {
    uint32_t n;
    std::memcpy(&n, p, 4);
    for (uint32_t i = 4; i < kFrame; ++i) {
      if (p[i] != static_cast<uint8_t>(n + i)) bad.fetch_add(1);
    }
    return n;
  };
  auto check = [&](uint32_t count, uint32_t* last) {
    const uint32_t n = whole(SlotFrame(*f.e, count));
    if (*last != 0xFFFFFFFF && n <= *last) bad.fetch_add(1);
    *last = n;
    return n;
  };
  std::thread display([&] {
    uint32_t last = 0xFFFFFFFF;
    uint8_t* kept = static_cast<uint8_t*>(BlockAlloc(kFrame));
    bool keeping = false;
    while (!done.load() || RingFill(*f.e) != 0) {
      if (!ClaimRing(*f.e, kWantDisplay)) continue;
      if (HeadForDisplay(*f.e)) {
        const uint32_t r = ChooseForDisplay(*f.e);
        check(r, &last);
        if (keeping && whole(kept) >= last) bad.fetch_add(1);
        std::swap(SlotFrameBlock(*f.e, r), kept);
        keeping = true;
        FinishForDisplay(*f.e, r);
        shown.fetch_add(1);
      }
      ReleaseRing(*f.e, kWantDisplay);
      std::this_thread::yield();
    }
    if (keeping && whole(kept) != last) bad.fetch_add(1);
    BlockFree(kept);
  });
  std::thread record([&] {
    uint32_t last = 0xFFFFFFFF;
    while (!done.load() || RingFill(*f.e) != 0) {
      if (!ClaimRing(*f.e, kWantRecord)) continue;
      if (HeadForRecord(*f.e) == RecordHead::kWrite) {
        const uint32_t n = check(f.e->readCount.load(), &last);
        if (n % 3 == 0) bad.fetch_add(1);  // frames 0, 3, 6... were for the display only
        recorded.fetch_add(1);
        ConsumeForRecord(*f.e);
      }
      ReleaseRing(*f.e, kWantRecord);
      std::this_thread::yield();
    }
  });
  uint32_t stored = 0;
  for (uint32_t n = 0; n < kFrames;) {
    for (uint32_t i = 0; i < kFrame; ++i) f.frame[i] = static_cast<uint8_t>(n + i);
    std::memcpy(f.frame.data(), &n, 4);
    f.e->live.nextHeader.want = n % 3 == 0 ? 1 : 3;
    VIDEOHDR h{};
    h.lpData = f.frame.data();
    h.dwBytesUsed = h.dwBufferLength = kFrame;
    if (StoreFrame(*f.e, &h)) {
      ++stored;
      ++n;
    } else {
      std::this_thread::yield();
    }
  }
  done.store(true);
  display.join();
  record.join();
  EXPECT_EQ(std::tuple(bad.load(), stored, f.e->readCount.load(), f.e->writeCount.load()),
            std::tuple(0u, kFrames, 0xFFFFFF00u + kFrames, 0xFFFFFF00u + kFrames));
  EXPECT_TRUE(recorded.load() > 0 && shown.load() > 0);
}

}  // namespace
}  // namespace kz

#include <gtest/gtest.h>
#include <kzvideo.h>
#include <kzwin_test.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "frame/blocks.h"
#include "frame/errors.h"
#include "frame/session.h"
#include "frame/stream.h"
#include "expect_call.h"

namespace kz {
namespace {

HWND FakeWindow(uintptr_t n) {
  return reinterpret_cast<HWND>(n);
}

// A plain window standing in for a capture window: it destroys itself on WM_CLOSE.
HWND MakeWindow() {
  static const WORD atom = [] {
    WNDCLASSA c{};
    c.lpfnWndProc = DefWindowProcA;
    c.lpszClassName = "KzFrameTestWindow";
    return RegisterClassA(&c);
  }();
  EXPECT_NE(atom, 0);
  return CreateWindowExA(0, "KzFrameTestWindow", "capture", WS_POPUP, 0, 0, 16, 16, nullptr,
                         nullptr, nullptr, nullptr);
}

// A stream entry with one stand-in worker per activity bit. Each worker polls its
// `stopRequest` bit and, unless held, clears its bits as its last act.
class FakeStream {
 public:
  FakeStream(uint32_t session, uint32_t id, uint32_t bits, HWND window = nullptr) {
    std::lock_guard lock(StreamTableMutex());
    entry_ = TakeEntry(&index_);
    if (!entry_) return;
    entry_->session = session;
    entry_->streamId = id;
    if (IsPlaybackId(id)) {
      entry_->playback.window = window;
    } else {
      entry_->display.window = window;
    }
    entry_->ring = static_cast<uint8_t*>(BlockAlloc(64));
    entry_->show.resamplePlan = static_cast<decltype(entry_->show.resamplePlan)>(BlockAlloc(16));
    entry_->show.shownImage = static_cast<uint8_t*>(BlockAlloc(16));
    entry_->running = bits;
    for (uint32_t bit = 1; bit <= kSaveBit; bit <<= 1) {
      if (bits & bit) workers_.emplace_back([this, bit, e = entry_] { Work(e, bit); });
    }
  }
  ~FakeStream() {
    // A test that failed half-way must not hang here: whatever still runs is told to stop.
    if (entry_) entry_->stopRequest.fetch_or(entry_->running.load());
    hold_ = false;
    for (auto& w : workers_) w.join();
    if (entry_ && entry_->streamId.load() != 0 && entry_->running.load() == 0) {
      ReleaseEntry(entry_);
    }
  }
  StreamRecord* entry() const { return entry_; }
  int index() const { return index_; }
  void Hold(bool on) { hold_ = on; }
  uint32_t recordCode() const { return recordCode_.load(); }

 private:
  void Work(StreamRecord* e, uint32_t bit) {
    while (!(e->stopRequest.load() & bit) || hold_.load()) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    // What an end callback would be given.
    if (bit == kRecordBit) recordCode_ = e->rec.recordEndCode.load();
    e->stopRequest.fetch_and(~bit);
    e->running.fetch_and(~bit);
  }

  StreamRecord* entry_ = nullptr;
  int index_ = -1;
  std::atomic<bool> hold_{false};
  std::atomic<uint32_t> recordCode_{0xFFFFFFFFu};
  std::vector<std::thread> workers_;
};

struct ManualClock {
  explicit ManualClock(DWORD start) { kzwinUseManualClock(TRUE, start); }
  ~ManualClock() { kzwinUseManualClock(FALSE, 0); }
};

struct OpenSession {
  uint32_t id = KZBegin(nullptr);
  ~OpenSession() { KZEnd(id); }
};

TEST(StreamTable, EmptyTableStopsNothing) {
  ASSERT_EQ(StreamCount(), 0);
  EXPECT_EQ(StopStreams(0, kAllBits), kStopNothing);
  EXPECT_EQ(StopStreams(3, kDisplayBit), kStopNothing);
  EXPECT_EQ(FindStream(3, 0), nullptr);
}

TEST(StreamTable, TakeAndReleaseEntries) {
  std::vector<StreamRecord*> taken;
  {
    std::lock_guard lock(StreamTableMutex());
    for (int i = 0; i < kStreamTableSize; ++i) {
      int index = -1;
      StreamRecord* e = TakeEntry(&index);
      ASSERT_NE(e, nullptr);
      EXPECT_EQ(index, i);
      e->streamId = KZ_PLAYBACK_ID_BASE + i;
      taken.push_back(e);
    }
    EXPECT_EQ(TakeEntry(nullptr), nullptr);  // the 33rd
  }
  const int blocks = BlockCount();
  const uint32_t generation = taken[5]->generation.load();
  taken[5]->ring = static_cast<uint8_t*>(BlockAlloc(100));
  taken[5]->rec.recordWork = static_cast<uint8_t*>(BlockAlloc(100));
  taken[5]->exp.ranges = static_cast<int32_t*>(BlockAlloc(100));
  taken[5]->show.pinnedFrame = static_cast<uint8_t*>(BlockAlloc(100));
  taken[5]->live.framesShown = 77;
  taken[5]->display.window = FakeWindow(0x55);
  taken[5]->stopTimedOut = 1;
  EXPECT_TRUE(ReleaseEntry(taken[5]));
  EXPECT_EQ(BlockCount(), blocks);  // every block it held is freed
  EXPECT_EQ(taken[5]->streamId.load(), 0u);
  EXPECT_EQ(taken[5]->live.framesShown.load(), 0u);  // a fresh entry
  const HWND window = taken[5]->display.window;      // packed record: read by value
  EXPECT_EQ(window, nullptr);
  EXPECT_EQ(taken[5]->stopTimedOut.load(), 0u);
  EXPECT_EQ(taken[5]->ring, nullptr);
  EXPECT_EQ(StreamCount(), kStreamTableSize);  // not the last: the count stays
  {
    std::lock_guard lock(StreamTableMutex());
    int index = -1;
    EXPECT_EQ(TakeEntry(&index), taken[5]);  // the hole is reused first
    EXPECT_EQ(index, 5);
    taken[5]->streamId = 99;
  }
  // A release meant for the stream that was there before leaves the new one alone.
  EXPECT_FALSE(ReleaseEntry(taken[5], generation));
  EXPECT_EQ(taken[5]->streamId.load(), 99u);
  // Something runs: no release.
  taken[7]->running = kPlaybackBit;
  EXPECT_FALSE(ReleaseEntry(taken[7]));
  taken[7]->running = 0;
  // Releasing the last entry shrinks the count by one step only.
  EXPECT_TRUE(ReleaseEntry(taken[30]));
  EXPECT_EQ(StreamCount(), kStreamTableSize);
  EXPECT_TRUE(ReleaseEntry(taken[31]));
  EXPECT_EQ(StreamCount(), kStreamTableSize - 1);
  for (int i = kStreamTableSize - 1; i >= 0; --i) ReleaseEntry(taken[i]);
  EXPECT_EQ(StreamCount(), 0);
}

TEST(StreamTable, StopDisplayLeavesRecordingAndGrab) {
  OpenSession s;
  const int blocks = BlockCount();
  {
    FakeStream f(s.id, 3, kDisplayBit | kRecordBit | kGrabBit, FakeWindow(0x100));
    ASSERT_NE(f.entry(), nullptr);
    EXPECT_EQ(FindStream(3, kRecordBit), f.entry());
    EXPECT_EQ(FindStream(3, kPlaybackBit), nullptr);

    EXPECT_CALL_ERR(KZStopDisplay(s.id, 3, FakeWindow(0x100)), 1, 0u);
    EXPECT_CALL_ERR(KZStopDisplay(s.id, 3, nullptr), 0, KZ_ERR_NO_DISPLAY);

    // A refused stop (another window) leaves the recording running.
    EXPECT_CALL_ERR(KZStopRecord(s.id, 0, FakeWindow(0x200)), 0, KZ_ERR_OTHER_WINDOW);
    EXPECT_EQ(f.entry()->running.load(), kRecordBit | kGrabBit);

    // The last activity takes the grab thread with it and the entry is released.
    EXPECT_EQ(KZStopRecord(0, 0, nullptr), 1);
    EXPECT_EQ(f.entry()->streamId.load(), 0u);
    EXPECT_EQ(StreamCount(), 0);
  }
  EXPECT_EQ(BlockCount(), blocks);
}

TEST(StreamTable, StopFamilyMatchesItsOwnBitOnly) {
  OpenSession s;
  FakeStream play(s.id, KZ_PLAYBACK_ID_BASE + 0, kPlaybackBit, FakeWindow(0x300));
  FakeStream live(s.id, 2, kDisplayBit | kGrabBit, FakeWindow(0x400));
  EXPECT_CALL_ERR(KZStopRecord(s.id, 0, nullptr), 0, KZ_ERR_NO_RECORD);
  EXPECT_CALL_ERR(KZStopPlayback(s.id, 2, nullptr), 0, KZ_ERR_NO_PLAYBACK);  // 2: no playback
  // A playback is matched by its own window.
  EXPECT_CALL_ERR(KZStopPlayback(s.id, 0, FakeWindow(0x400)), 0, KZ_ERR_OTHER_WINDOW);
  EXPECT_EQ(KZStopPlayback(s.id, KZ_PLAYBACK_ID_BASE, FakeWindow(0x300)), 1);
  EXPECT_EQ(play.entry()->streamId.load(), 0u);
  EXPECT_EQ(live.entry()->running.load(), kDisplayBit | kGrabBit);
  EXPECT_CALL_ERR(KZStopAll(s.id, 0, FakeWindow(0x999)), 0, KZ_ERR_OTHER_WINDOW);
  EXPECT_EQ(KZStopAll(s.id, 2, FakeWindow(0x400)), 1);
  EXPECT_EQ(live.entry()->streamId.load(), 0u);
  EXPECT_CALL_ERR(KZStopAll(0, 0, nullptr), 0, KZ_ERR_NOTHING_STOPPED);
  // The session is checked first, by every member of the family.
  const uint32_t closed = KZBegin(nullptr);
  ASSERT_EQ(KZEnd(closed), 1);
  for (auto stop : {KZStopDisplay, KZStopRecord, KZStopPlayback, KZStopAll}) {
    EXPECT_CALL_ERR(stop(closed, 0, nullptr), 0, KZ_ERR_SESSION);
  }
}

TEST(StreamTable, StopAllKeepsToItsSession) {
  OpenSession a;
  OpenSession b;
  FakeStream mine(a.id, 1, kDisplayBit | kGrabBit);
  FakeStream theirs(b.id, 2, kRecordBit | kGrabBit);
  EXPECT_EQ(KZStopAll(a.id, 0, nullptr), 1);
  EXPECT_EQ(mine.entry()->streamId.load(), 0u);
  EXPECT_CALL_ERR(KZStopAll(a.id, 2, nullptr), 0, KZ_ERR_OTHER_SESSION);
  EXPECT_EQ(theirs.entry()->running.load(), kRecordBit | kGrabBit);
  EXPECT_EQ(KZStopAll(0, 0, nullptr), 1);
  EXPECT_EQ(theirs.entry()->streamId.load(), 0u);
}

TEST(StreamTable, AStopThatTimesOutIsFinishedLater) {
  OpenSession s;
  ManualClock clock(0x7FFFF000u);  // the wait crosses the sign change of the clock
  FakeStream f(s.id, KZ_PLAYBACK_ID_BASE + 1, kPlaybackBit);
  f.Hold(true);
  const DWORD start = timeGetTime();
  EXPECT_CALL_ERR(KZStopPlayback(s.id, 0, nullptr), 0, KZ_ERR_STOP_TIMEOUT);
  EXPECT_GE(timeGetTime() - start, kStopWaitMs);
  EXPECT_EQ(f.entry()->stopTimedOut.load(), 1u);
  EXPECT_EQ(f.entry()->stopRequest.load() & kPlaybackBit, kPlaybackBit);
  EXPECT_NE(f.entry()->streamId.load(), 0u);
  EXPECT_CALL_ERR(KZEnd(s.id + 5000), 0, KZ_ERR_SESSION);  // an unknown session stops nothing

  f.Hold(false);
  while (f.entry()->running.load() != 0) std::this_thread::yield();
  EXPECT_EQ(KZStopPlayback(s.id, 0, nullptr), 1);  // nothing runs now: released
  EXPECT_EQ(f.entry()->streamId.load(), 0u);
  EXPECT_EQ(StreamCount(), 0);
}

TEST(StreamTable, StopKeepsFailureCodes) {
  // A recording that is failing (it asked for its own stop, then stored its code) keeps
  // the code when a stop arrives; one stopped while it runs normally ends with 0.
  FakeStream failing(0, 4, kRecordBit | kGrabBit);
  failing.Hold(true);
  failing.entry()->stopRequest.fetch_or(kRecordBit);
  failing.entry()->rec.recordEndCode = KZ_ERR_WRITE;
  std::thread letGo([&] {
    // The stop has asked for the grab thread too once it is past the status step.
    while (!(failing.entry()->stopRequest.load() & kGrabBit)) std::this_thread::yield();
    failing.Hold(false);
  });
  EXPECT_EQ(StopStreams(4, kRecordBit), kStopDone);
  letGo.join();
  EXPECT_EQ(failing.recordCode(), uint32_t{KZ_ERR_WRITE});

  FakeStream stopped(0, 5, kRecordBit | kGrabBit);
  stopped.entry()->rec.recordEndCode = KZ_END_RECORD;
  EXPECT_EQ(StopStreams(5, kRecordBit), kStopDone);
  EXPECT_EQ(stopped.recordCode(), 0u);
  EXPECT_EQ(StreamCount(), 0);
}

TEST(StreamTable, EndStopsStreamsOfEverySession) {
  OpenSession keep;
  const uint32_t closing = KZBegin(nullptr);
  ASSERT_NE(closing, 0u);
  FakeStream a(keep.id, 1, kDisplayBit | kGrabBit);
  FakeStream b(closing, KZ_EXPORT_ID_BASE + 1, kSaveBit);
  EXPECT_EQ(KZEnd(closing), 1);
  EXPECT_EQ(a.entry()->streamId.load(), 0u);
  EXPECT_EQ(b.entry()->streamId.load(), 0u);
  EXPECT_TRUE(IsSessionOpen(keep.id));
}

TEST(StreamTable, ReleaseClosesTheCaptureWindowOnItsOwnThread) {
  // Opened on this thread: destroyed at once.
  {
    FakeStream f(0, 7, kDisplayBit | kGrabBit);
    HWND mine = MakeWindow();
    ASSERT_NE(mine, nullptr);
    f.entry()->captureWindow = mine;
    EXPECT_EQ(StopStreams(7, kDisplayBit), kStopDone);
    EXPECT_FALSE(IsWindow(mine));
  }
  OpenSession s;  // session 0 below is "any session" once one has been opened
  // Opened on another thread, which keeps pumping: that thread is asked to close it.
  std::atomic<HWND> theirs{nullptr};
  std::atomic<bool> done{false};
  std::thread owner([&] {
    theirs = MakeWindow();
    HWND w = theirs.load();
    MSG m;
    while (w && IsWindow(w) && !done.load()) {
      if (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageA(&m);
      } else {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    }
  });
  while (!theirs.load()) std::this_thread::yield();
  {
    FakeStream f(0, 8, kRecordBit | kGrabBit);
    f.entry()->captureWindow = theirs.load();
    EXPECT_EQ(KZStopAll(0, 8, nullptr), 1);
    EXPECT_EQ(f.entry()->streamId.load(), 0u);
  }
  // Bounded only against a hang: the owner ends its loop once the window is gone.
  for (int i = 0; i < 10000 && IsWindow(theirs.load()); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_FALSE(IsWindow(theirs.load()));
  done = true;
  owner.join();
}

TEST(StreamTable, MatchStreamRules) {
  OpenSession s;
  OpenSession other;
  FakeStream f(s.id, 6, kDisplayBit | kGrabBit, FakeWindow(0x600));
  struct Case {
    const char* name;
    uint32_t session, source;
    uintptr_t window;
    uint32_t bit;
    bool found;
    uint32_t error;
  } cases[] = {
      {"exact match", s.id, 6, 0x600, kDisplayBit, true, 0},
      {"any session, source, window", 0, 0, 0, kDisplayBit, true, 0},
      {"grab bit, any window", s.id, 6, 0, kGrabBit, true, 0},
      {"bit not running", s.id, 6, 0, kRecordBit, false, KZ_ERR_NO_RECORD},
      {"unknown source", s.id, 7, 0, kDisplayBit, false, KZ_ERR_NO_DISPLAY},
      {"other session", other.id, 6, 0x600, kDisplayBit, false, KZ_ERR_OTHER_SESSION},
      {"other window", s.id, 6, 0x601, kDisplayBit, false, KZ_ERR_OTHER_WINDOW},
      {"closed session", s.id + other.id + 100, 6, 0x600, kDisplayBit, false, KZ_ERR_SESSION},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetError(0);
    const uint32_t notFound = c.bit == kRecordBit ? KZ_ERR_NO_RECORD : KZ_ERR_NO_DISPLAY;
    StreamRecord* e = MatchStream(c.session, c.source, FakeWindow(c.window), c.bit, notFound);
    EXPECT_EQ(e, c.found ? f.entry() : nullptr);
    EXPECT_EQ(GetError(), c.error);
  }
  EXPECT_EQ(StreamWindow(f.entry()), FakeWindow(0x600));
  KZStopAll(s.id, 0, nullptr);
}

}  // namespace
}  // namespace kz

// A display joining and leaving a stream that a recording runs on. The recording here is a
// stand-in with the record thread's ring discipline: it takes the frames it wants.
#include <atomic>

#include "live/live_stream.h"
#include "live/ring.h"
#include "live_fixture.h"
#include "expect_call.h"

namespace kz::test {
namespace {

std::atomic<uint32_t> recorded{0};
std::atomic<bool> recordPaused{false};

DWORD WINAPI StandInRecord(LPVOID parameter) {
  StreamRecord& e = *static_cast<StreamRecord*>(parameter);
  if (!WaitForGo(e, kRecordBit)) return 0;
  while ((e.stopRequest.load() & kRecordBit) == 0) {
    e.busy.fetch_or(kRecordBit);
    bool took = false;
    if (!recordPaused.load() && ClaimRing(e, kWantRecord)) {
      if (HeadForRecord(e) == RecordHead::kWrite) {
        recorded.fetch_add(1);
        ConsumeForRecord(e);
        took = true;
      }
      ReleaseRing(e, kWantRecord);
    }
    e.busy.fetch_and(~kRecordBit);
    if (!took) Sleep(1);
  }
  EndThread(e, kRecordBit);
  return 0;
}

class LiveSharedRing : public LiveTest {
 protected:
  StreamRecord* StartRecording(bool begun) {
    const LiveOpenRequest q{.session = session_,
                            .source = 1,
                            .width = 320,
                            .height = 240,
                            .format = KZ_FORMAT_YUY2,
                            .window = window_};
    const PixelFormat* row = nullptr;
    uint32_t error = 0;
    StreamRecord* e = OpenLiveStream(q, &row, &error);
    EXPECT_NE(e, nullptr) << error;
    if (!e) return nullptr;
    {
      std::lock_guard lock(e->blockMutex);
      e->display = Block(1, 320, 240, static_cast<uint32_t>(row->code));
      e->display.bitCount = row->bits;
    }
    e->live.recordBegun.store(begun ? 1 : 0);
    EXPECT_TRUE(StartLiveThreads(*e, kRecordBit, StandInRecord, &e->recordThread, true));
    FinishOpening(*e);
    return e;
  }

  uint32_t Shown() {
    KZRATE r{};
    return KZGetDisplayRate(session_, 1, nullptr, &r) ? r.framesDone : 0;
  }
};

TEST_F(LiveSharedRing, ADisplayJoinsAndLeavesARunningRecording) {
  recorded.store(0);
  recordPaused.store(false);
  StreamRecord* e = StartRecording(true);
  ASSERT_NE(e, nullptr);
  ASSERT_TRUE(PumpUntil([] { return recorded.load() >= 3; }));

  KZDISPLAY b = Block();
  struct Case {
    void (*edit)(KZDISPLAY&);
    uint32_t error;
  } refused[] = {
      {[](KZDISPLAY& d) { d.width = 160; }, KZ_ERR_OTHER_FORMAT},
      {[](KZDISPLAY& d) { d.format = KZ_FORMAT_UYVY; }, KZ_ERR_OTHER_FORMAT},
      {[](KZDISPLAY& d) { d.window = GetDesktopWindow(); }, KZ_ERR_OTHER_ACTIVITY_WINDOW},
  };
  for (const Case& c : refused) {
    KZDISPLAY d = b;
    c.edit(d);
    EXPECT_CALL_ERR(KZStartDisplay(&d), 0, c.error);
    EXPECT_EQ(SourceBits(1), kRecordBit | kGrabBit);
  }
  b.format = 0;  // any format of the stream's bit count
  b.rate = 0.0;
  ASSERT_EQ(KZStartDisplay(&b), 1) << KZGetLastError();
  EXPECT_EQ(SourceBits(1), kDisplayBit | kRecordBit | kGrabBit);
  EXPECT_CALL_ERR(KZStartDisplay(&b), 0, KZ_ERR_ALREADY_DISPLAYING);

  // Both take frames from the one ring.
  const uint32_t before = recorded.load();
  ASSERT_TRUE(PumpUntil([&] { return Shown() >= 5 && recorded.load() >= before + 5; }));

  // The display stops; the recording and the grab thread go on, and so do the frames.
  ASSERT_EQ(KZStopDisplay(session_, 1, nullptr), 1);
  EXPECT_EQ(SourceBits(1), kRecordBit | kGrabBit);
  const uint32_t after = recorded.load();
  ASSERT_TRUE(PumpUntil([&] { return recorded.load() >= after + 10; }));

  // And a display can join again.
  ASSERT_EQ(KZStartDisplay(&b), 1);
  ASSERT_TRUE(PumpUntil([&] { return Shown() >= 2; }));
  ASSERT_EQ(KZStopRecord(session_, 1, nullptr), 1);
  EXPECT_EQ(SourceBits(1), kDisplayBit | kGrabBit);
  ASSERT_EQ(KZStopDisplay(session_, 1, nullptr), 1);
  EXPECT_FALSE(SourceEntryExists(1));
}

TEST_F(LiveSharedRing, ADisplayNeverFreezesBehindARecordingThatHasNotBegun) {
  recorded.store(0);
  recordPaused.store(true);
  StreamRecord* e = StartRecording(true);
  ASSERT_NE(e, nullptr);
  // The ring fills with frames that only the (paused) recording wants.
  ASSERT_TRUE(PumpUntil([&] { return RingFill(*e) == 8; }));
  KZDISPLAY b = Block();
  ASSERT_EQ(KZStartDisplay(&b), 1);
  // While the recording has begun, they are its own: the display waits for them.
  int passes = 0;
  PumpUntil([&] { return ++passes > 50; });
  EXPECT_EQ(Shown(), 0u);
  EXPECT_EQ(RingFill(*e), 8u);
  // The recording is put off to a later start: the display takes the frames it holds.
  e->live.recordBegun.store(0);
  ASSERT_TRUE(PumpUntil([&] { return Shown() >= 5; }));
  EXPECT_EQ(recorded.load(), 0u);
  recordPaused.store(false);
  ASSERT_EQ(KZStopAll(session_, 1, nullptr), 1);
  EXPECT_FALSE(SourceEntryExists(1));
}

}  // namespace
}  // namespace kz::test

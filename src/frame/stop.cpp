// StopStreams, the one way work in the stream table ends, and the exported stop family.
#include <kzvideo.h>

#include "frame/errors.h"
#include "frame/session.h"
#include "frame/stream.h"

namespace kz {
namespace {

// A stop arriving for a running activity means "stopped by the caller": its status becomes
// 0. Only a stop that finds the bit not yet asked does it, and only from the value the code
// had before, so a failure code the worker stores meanwhile is never lost. The status is
// cleared before the request is made: a worker that sees the request reads the cleared code.
void ClearStatus(std::atomic<uint32_t>& code, uint32_t before, uint32_t bit, uint32_t asked,
                 uint32_t already) {
  if ((asked & bit) && !(already & bit)) code.compare_exchange_strong(before, 0);
}

// Asks the entry's threads to stop, waits for them and releases the entry when nothing
// runs on it. False when a waited thread is still running after the wait.
bool StopEntry(StreamRecord& e, uint32_t mask) {
  const uint32_t generation = e.generation.load(std::memory_order_acquire);
  const uint32_t running = e.running.load(std::memory_order_acquire);
  uint32_t asked = running & mask;
  uint32_t waited = mask;
  // The grab thread serves the other activities only: it goes with the last of them.
  if ((asked | kGrabBit) == running) {
    asked = running;
    waited |= kGrabBit;
  }
  if (asked == 0) {
    // Nothing to ask; an entry whose earlier stop timed out is released once idle.
    if (running == 0 && e.stopTimedOut.load(std::memory_order_acquire)) {
      ReleaseEntry(&e, generation);
    }
    return true;
  }
  {
    // A worker that ends by itself releases the entry, and releasing renews the status
    // sub-records in place under the table lock: they are read and cleared under it too,
    // and only while the entry is still the one this stop was asked for.
    std::lock_guard lock(StreamTableMutex());
    if (e.generation.load(std::memory_order_acquire) != generation ||
        e.releasing.load(std::memory_order_acquire) != 0) {
      return true;
    }
    const uint32_t recordCode = e.rec.recordEndCode.load(std::memory_order_acquire);
    const uint32_t playbackCode = e.play.playbackEndCode.load(std::memory_order_acquire);
    const uint32_t exportCode = e.exp.status.load(std::memory_order_acquire);
    const uint32_t already = e.stopRequest.load(std::memory_order_acquire);
    ClearStatus(e.rec.recordEndCode, recordCode, kRecordBit, asked, already);
    ClearStatus(e.play.playbackEndCode, playbackCode, kPlaybackBit, asked, already);
    ClearStatus(e.exp.status, exportCode, kSaveBit, asked, already);
    e.stopRequest.fetch_or(asked, std::memory_order_acq_rel);
  }

  const bool stopped = PumpWait(
      kStopWaitMs, [&] { return (e.running.load(std::memory_order_acquire) & waited) == 0; });
  if (!stopped) {
    e.stopTimedOut.store(1, std::memory_order_release);
    return false;
  }
  if (e.running.load(std::memory_order_acquire) == 0) ReleaseEntry(&e, generation);
  return true;
}

// Whether StopStreams has business with an entry: something of `mask` runs on it, or an
// earlier stop of it timed out.
bool Wanted(StreamRecord& e, uint32_t mask) {
  if (e.streamId.load(std::memory_order_acquire) == 0) return false;
  if (e.releasing.load(std::memory_order_acquire) != 0) return false;
  if (e.running.load(std::memory_order_acquire) & mask) return true;
  return e.stopTimedOut.load(std::memory_order_acquire) != 0;
}

}  // namespace

int StopStreams(uint32_t streamId, uint32_t mask) {
  StreamRecord* table = StreamTable();
  if (streamId != 0) {
    StreamRecord* found = nullptr;
    for (int i = 0; i < StreamCount() && !found; ++i) {
      if (table[i].streamId.load(std::memory_order_acquire) == streamId && Wanted(table[i], mask)) {
        found = &table[i];
      }
    }
    if (!found) return kStopNothing;
    return StopEntry(*found, mask) ? kStopDone : kStopTimedOut;
  }
  // Every entry below the count is visited, first to last.
  bool any = false;
  for (int i = 0; i < StreamCount(); ++i) {
    StreamRecord& e = table[i];
    if (e.streamId.load(std::memory_order_acquire) == 0) continue;
    if (e.releasing.load(std::memory_order_acquire) != 0) continue;
    any = true;
    if (!StopEntry(e, mask)) return kStopTimedOut;
  }
  return any ? kStopDone : kStopNothing;
}

namespace {

// Why a stream that matches by source is not the caller's to stop: 0 when it is.
uint32_t Refusal(StreamRecord& e, uint32_t session, HWND window) {
  if (session != 0 && e.session.load(std::memory_order_acquire) != session) {
    return KZ_ERR_OTHER_SESSION;
  }
  if (window && StreamWindow(&e) != window) return KZ_ERR_OTHER_WINDOW;
  return 0;
}

// KZStopDisplay, KZStopRecord and KZStopPlayback: every matching stream that runs `bit`.
int StopFamily(uint32_t session, uint32_t source, HWND window, uint32_t bit,
               uint32_t nothingStopped) {
  SetError(0);
  if (!CheckSession(session)) return 0;
  uint32_t refused = 0;
  bool stopped = false;
  StreamRecord* table = StreamTable();
  for (int i = 0; i < StreamCount(); ++i) {
    StreamRecord& e = table[i];
    uint32_t id;
    {
      std::lock_guard lock(StreamTableMutex());
      id = e.streamId.load(std::memory_order_acquire);
      if (id == 0 || e.releasing.load(std::memory_order_acquire)) continue;
      // A stream whose earlier stop timed out is taken too, so that it is released now; so
      // is one whose recording ended by itself while its grab thread is still winding down
      // (a caller answering the end report must not leave the source held).
      const uint32_t running = e.running.load(std::memory_order_acquire);
      const bool timedOut =
          (running & ~kGrabBit) == 0 && e.stopTimedOut.load(std::memory_order_acquire);
      if ((running & bit) == 0 && !timedOut) continue;
      if (source != 0 && id != source) continue;
      if (const uint32_t why = Refusal(e, session, window)) {
        refused = why;
        continue;
      }
    }
    const int result = StopStreams(id, bit);
    if (result == kStopTimedOut) return Fail(KZ_ERR_STOP_TIMEOUT);
    if (result == kStopDone) stopped = true;
  }
  if (stopped) {
    SetError(0);
    return 1;
  }
  return Fail(refused ? refused : nothingStopped);
}

}  // namespace
}  // namespace kz

extern "C" {

int KZAPI KZStopDisplay(uint32_t session, uint32_t source, KZHWND window) {
  return kz::StopFamily(session, source, window, kz::kDisplayBit, KZ_ERR_NO_DISPLAY);
}

int KZAPI KZStopRecord(uint32_t session, uint32_t source, KZHWND window) {
  return kz::StopFamily(session, source, window, kz::kRecordBit, KZ_ERR_NO_RECORD);
}

int KZAPI KZStopPlayback(uint32_t session, uint32_t id, KZHWND window) {
  return kz::StopFamily(session, id, window, kz::kPlaybackBit, KZ_ERR_NO_PLAYBACK);
}

// Stops every activity of the streams that match (source 0: all), of the given session
// (0: any). An entry on which nothing runs counts as stopped.
int KZAPI KZStopAll(uint32_t session, uint32_t source, KZHWND window) {
  using namespace kz;
  SetError(0);
  if (!CheckSession(session)) return 0;
  uint32_t refused = 0;
  bool stopped = false;
  StreamRecord* table = StreamTable();
  for (int i = 0; i < StreamCount(); ++i) {
    StreamRecord& e = table[i];
    uint32_t id;
    bool idle;
    {
      std::lock_guard lock(StreamTableMutex());
      id = e.streamId.load(std::memory_order_acquire);
      if (id == 0 || e.releasing.load(std::memory_order_acquire)) continue;
      if (source != 0 && id != source) continue;
      if (const uint32_t why = Refusal(e, session, window)) {
        refused = why;
        continue;
      }
      idle = e.running.load(std::memory_order_acquire) == 0 &&
             e.stopTimedOut.load(std::memory_order_acquire) == 0;
    }
    if (idle) {
      stopped = true;
      continue;
    }
    if (StopStreams(id, kAllBits) == kStopTimedOut) return Fail(KZ_ERR_STOP_TIMEOUT);
    stopped = true;
  }
  if (stopped) {
    SetError(0);
    return 1;
  }
  return Fail(refused ? refused : KZ_ERR_NOTHING_STOPPED);
}

}  // extern "C"

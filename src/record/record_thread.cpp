// The record thread: waits for the scheduled start, takes the frames the recording wants
// from the ring and writes them, and tells the caller how the recording ended.
#include <kzvideo.h>

#include <cmath>
#include <cstring>
#include <mutex>

#include "frame/files.h"
#include "frame/stream.h"
#include "live/live_stream.h"
#include "live/pacing.h"
#include "live/ring.h"
#include "record/record.h"
#include "record/writer.h"
#include "time/julian.h"

namespace kz {
namespace {

constexpr double kMsPerDay = 86400000.0;

// A change made by KZChangeRecord: the schedule, limits and callbacks are taken over, the
// kind, file name, open mode and coding parameters stay.
void ApplyPendingRecord(StreamRecord& e) {
  {
    std::lock_guard lock(e.blockMutex);
    TakeRecordChange(e.record, e.rec.pendingRecord);
    e.pending.fetch_and(~kRecordBit, std::memory_order_acq_rel);
  }
  e.rec.recordEnd = 0.0;
  e.rec.recordStart.store(0.0, std::memory_order_relaxed);
  e.rec.recordMsLeft = 0;
  ApplyRecordRate(e);
  Schedule(e, CurrentJulian());
}

// The clock reading of the frame `back` places before the newest one written.
uint32_t RecordTime(const StreamRecord& e, uint32_t back) {
  uint32_t t = 0;
  e.rec.recordTimes.Get(back, &t);
  return t;
}

}  // namespace

void TakeRecordChange(KZRECORD& r, const KZRECORD& p) {
  r.maxFileMB = p.maxFileMB;
  r.startTime = p.startTime;
  r.stopTime = p.stopTime;
  r.duration = p.duration;
  r.rate = p.rate;
  r.reserved = p.reserved;
  r.recordFlags = p.recordFlags;
  r.frameFilter = p.frameFilter;
  r.endNotify = p.endNotify;
}

void ApplyRecordRate(StreamRecord& e) {
  e.live.recordInterval.store(PaceInterval(e.record.rate), std::memory_order_release);
}

void EndRecording(StreamRecord& e, uint32_t code) {
  e.stopRequest.fetch_or(kRecordBit, std::memory_order_acq_rel);
  e.rec.recordEndCode.store(code, std::memory_order_release);
}

void Schedule(StreamRecord& e, double now) {
  RecordState& s = e.rec;
  if (!(e.record.duration > 0.0)) {
    std::lock_guard lock(e.blockMutex);
    e.record.duration = 0.0;
  }
  s.recordStart.store(0.0, std::memory_order_relaxed);
  if (e.record.startTime > now) {
    e.live.recordBegun.store(0, std::memory_order_release);
    return;
  }
  s.recordStart.store(now, std::memory_order_relaxed);
  if (s.julianBase == 0.0) s.julianBase = now;
  double span = 0.0;
  if (s.recordEnd != 0.0) {
    span = s.recordEnd - now;
    if (span == 0.0) span = -1.0;
  } else if (e.record.stopTime != 0.0) {
    span = e.record.stopTime - now;
  } else if (e.record.duration > 0.0) {
    span = e.record.duration;
  }
  s.recordEnd = now + span;
  if (span < 0.0) {
    s.recordMsLeft = -1;
  } else {
    const double ms = std::trunc(span * kMsPerDay);
    // A positive span under a millisecond is the shortest limit, never "no limit".
    s.recordMsLeft =
        span > 0.0 && ms < 1.0 ? 1 : static_cast<int32_t>(std::min(ms, double{kMaxRecordMs}));
  }
  e.live.recordBegun.store(1, std::memory_order_release);
}

void WriteStep(StreamRecord& e, uint32_t r) {
  RecordState& s = e.rec;
  if (s.framesRecorded.load(std::memory_order_relaxed) != 0 && s.recordMsLeft != 0) {
    s.recordMsLeft -= static_cast<int32_t>(RecordTime(e, 0) - RecordTime(e, 1));
    if (s.recordMsLeft == 0) s.recordMsLeft = -1;
  }
  if (s.recordMsLeft < 0) {
    // The Julian end time decides: a countdown that ran out early is renewed.
    Schedule(e, CurrentJulian());
    if (s.recordMsLeft < 0) {
      ConsumeForRecord(e);
      EndRecording(e, KZ_END_RECORD);
      return;
    }
  }
  if (e.record.frameFilter) {
    KZRECORD copy;
    {
      std::lock_guard lock(e.blockMutex);
      copy = e.record;
    }
    if (copy.frameFilter(&copy, SlotFrame(e, r)) == 0) {
      ConsumeForRecord(e);
      return;
    }
  }
  const uint32_t code = (e.record.fileFlags & KZ_KIND_MASK) == KZ_KIND_AVI
                            ? WriteAviRecordFrame(e, r)
                            : WriteOwnKindFrame(e, SlotFrame(e, r), RecordFrameTime(e, r));
  if (code) {
    EndRecording(e, code);
    return;
  }
  ConsumeForRecord(e);
}

DWORD WINAPI RecordThread(LPVOID parameter) {
  StreamRecord& e = *static_cast<StreamRecord*>(parameter);
  if (!WaitForGo(e, kRecordBit)) return 0;
  RecordState& s = e.rec;
  while ((e.stopRequest.load(std::memory_order_acquire) & kRecordBit) == 0) {
    e.busy.fetch_or(kRecordBit, std::memory_order_acq_rel);
    if (e.pending.load(std::memory_order_acquire) & kRecordBit) ApplyPendingRecord(e);
    if (s.recordStart.load(std::memory_order_relaxed) == 0.0) {
      const double now = CurrentJulian();
      if (e.record.startTime > now) {
        e.busy.fetch_and(~kRecordBit, std::memory_order_acq_rel);
        Sleep(1);
        continue;
      }
      Schedule(e, now);
    }
    bool wrote = false;
    if (ClaimRing(e, kWantRecord)) {
      if (HeadForRecord(e) == RecordHead::kWrite) {
        s.recordTimes.Push(timeGetTime());
        WriteStep(e, e.readCount.load(std::memory_order_relaxed));
        s.framesRecorded.fetch_add(1, std::memory_order_relaxed);
        wrote = true;
      }
      ReleaseRing(e, kWantRecord);
    }
    e.busy.fetch_and(~kRecordBit, std::memory_order_acq_rel);
    if (!wrote) Sleep(1);
  }

  if ((e.record.fileFlags & KZ_KIND_MASK) == KZ_KIND_AVI) FinishAviRecording(e);
  FinishRecordingFile(e);
  e.live.recordBegun.store(0, std::memory_order_release);
  KZRECORD snapshot;
  {
    std::lock_guard lock(e.blockMutex);
    snapshot = e.record;
  }
  const uint32_t code = s.recordEndCode.load(std::memory_order_acquire);
  // A recording that ended by itself takes the grab thread with it when nothing else runs;
  // the idle entry is released by the next stop call or start on the source, on the thread
  // that owns its capture window.
  if (code != 0 && e.running.load(std::memory_order_acquire) == (kRecordBit | kGrabBit)) {
    e.stopRequest.fetch_or(kGrabBit, std::memory_order_acq_rel);
    e.stopTimedOut.store(1, std::memory_order_release);
  }
  // The entry may be released as soon as the bit is clear: from here on only the
  // snapshot is used.
  EndThread(e, kRecordBit);
  if (snapshot.endNotify) snapshot.endNotify(&snapshot, code == KZ_END_RECORD ? 0 : code);
  return 0;
}

}  // namespace kz

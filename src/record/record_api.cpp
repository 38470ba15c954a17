// The record API: KZStartRecord, KZChangeRecord, KZGetRecord and KZGetRecordRate.
#include <kzvideo.h>

#include <cstring>
#include <mutex>

#include "frame/errors.h"
#include "frame/files.h"
#include "frame/session.h"
#include "frame/stream.h"
#include "live/live_stream.h"
#include "live/rate.h"
#include "record/frame_format.h"
#include "record/prepare.h"
#include "record/record.h"
#include "time/julian.h"

namespace kz {
namespace {

// How long a start waits for the grab thread of a recording that ended by itself.
constexpr DWORD kIdleWaitMs = 5000;

bool IsKind(uint32_t kind) {
  return kind == KZ_KIND_RAW || kind == KZ_KIND_LOSSLESS || kind == KZ_KIND_LOSSY ||
         kind == KZ_KIND_AVI;
}

// Fresh recording state of a stream whose record bit is clear (no record thread reads it).
void ResetRecordState(StreamRecord& e, const AppendValues& append) {
  RecordState& s = e.rec;
  s.recordTimes.Clear();
  s.framesRecorded.store(0, std::memory_order_relaxed);
  s.recordDropped.store(0, std::memory_order_relaxed);
  s.recordEndCode.store(0, std::memory_order_relaxed);
  s.recordStart.store(0.0, std::memory_order_relaxed);
  s.recordEnd = 0.0;
  s.recordMsLeft = 0;
  s.julianBase = 0.0;
  s.appendBaseLow = append.baseLow;
  s.appendBaseHigh = append.baseHigh;
  s.nextFrameNumber = append.nextFrameNumber;
  s.encoderReady = false;
  e.pending.fetch_and(~kRecordBit, std::memory_order_acq_rel);
  e.stopRequest.fetch_and(~kRecordBit, std::memory_order_acq_rel);
  e.live.recordBegun.store(0, std::memory_order_release);
  ApplyRecordRate(e);
  Schedule(e, CurrentJulian());
}

// Starts a recording on a stream that runs already (a display). Table lock held.
uint32_t AttachRecord(StreamRecord& e, const KZRECORD& block, const AppendValues& append) {
  if (e.session.load(std::memory_order_acquire) != block.session) return KZ_ERR_SOURCE_IN_USE;
  const uint32_t running = e.running.load(std::memory_order_acquire);
  if (running & kRecordBit) return KZ_ERR_ALREADY_RECORDING;
  if ((running & kGrabBit) == 0 ||
      (e.stopRequest.load(std::memory_order_acquire) & kGrabBit) != 0) {
    return KZ_ERR_SOURCE_IN_USE;
  }
  {
    std::lock_guard lock(e.blockMutex);
    const KZDISPLAY& d = e.display;
    if (block.width != d.width || block.height != d.height || block.bitCount != d.bitCount ||
        (block.format != 0 && block.format != d.format)) {
      return KZ_ERR_OTHER_FORMAT;
    }
    if (block.window != d.window) return KZ_ERR_OTHER_ACTIVITY_WINDOW;
  }
  if (const uint32_t created = CreateRecordFile(block)) return created;
  {
    std::lock_guard lock(e.blockMutex);
    const KZDISPLAY& d = e.display;
    if ((block.recordFlags & KZ_RECORD_KEEP_SETTING) == 0) {
      e.display.sourceSetting = block.sourceSetting;
      e.pendingDisplay.sourceSetting = block.sourceSetting;
    }
    e.record = block;
    e.record.size = sizeof(KZRECORD);
    e.record.format = d.format;
    e.record.bitCount = d.bitCount;
  }
  ResetRecordState(e, append);
  if (!StartLiveThreads(e, kRecordBit, RecordThread, &e.recordThread, false)) {
    return KZ_ERR_THREAD;
  }
  return 0;
}

// Opens the source as a new live stream that records.
uint32_t OpenRecord(const KZRECORD& block, const AppendValues& append) {
  const PixelFormat* row = nullptr;
  uint32_t error = 0;
  StreamRecord* e = OpenLiveStream(OpenRequestOf(block), &row, &error);
  if (!e) return error;
  if (const uint32_t created = CreateRecordFile(block)) {
    AbandonLiveStream(*e);
    return created;
  }
  {
    std::lock_guard lock(e->blockMutex);
    e->record = block;
    e->record.size = sizeof(KZRECORD);
    e->record.format = static_cast<uint32_t>(row->code);
    e->record.bitCount = row->bits;
    // The display block describes the stream for every later start on it.
    KZDISPLAY d{};
    d.size = sizeof(KZDISPLAY);
    d.session = block.session;
    d.source = block.source;
    d.width = block.width;
    d.height = block.height;
    d.format = e->record.format;
    d.bitCount = e->record.bitCount;
    d.window = block.window;
    d.sourceSetting = block.sourceSetting;
    e->display = d;
    e->pendingDisplay = d;
  }
  ResetRecordState(*e, append);
  if (!StartLiveThreads(*e, kRecordBit, RecordThread, &e->recordThread, true)) {
    AbandonLiveStream(*e);
    return KZ_ERR_THREAD;
  }
  FinishOpening(*e);
  return 0;
}

// Starts the recording on the source's stream, or opens one. An idle entry left by a
// recording that ended by itself is released first, once its grab thread has gone.
uint32_t StartOnSource(const KZRECORD& copy, const AppendValues& append) {
  const DWORD since = timeGetTime();
  for (;;) {
    StreamRecord* idle = nullptr;
    bool waiting = false;
    {
      std::lock_guard lock(StreamTableMutex());
      StreamRecord* e = SourceEntryLocked(copy.source);
      if (e) {
        if (e->live.opening.load(std::memory_order_acquire)) return KZ_ERR_SOURCE_IN_USE;
        const uint32_t running = e->running.load(std::memory_order_acquire);
        const bool ending =
            running == kGrabBit && (e->stopRequest.load(std::memory_order_acquire) & kGrabBit) != 0;
        if (running != 0 && !ending) return AttachRecord(*e, copy, append);
        if (ending && static_cast<DWORD>(timeGetTime() - since) >= kIdleWaitMs) {
          return KZ_ERR_SOURCE_IN_USE;
        }
        waiting = ending;
        idle = ending ? nullptr : e;
      }
    }
    if (waiting) {
      // The grab thread may be waiting in a grab request for this thread, which owns the
      // capture window: its sent messages are run while the start waits.
      MSG msg;
      PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
      Sleep(1);
      continue;
    }
    if (!idle) break;
    if (!ReleaseEntry(idle)) Sleep(1);
  }
  return OpenRecord(copy, append);
}

RateSample RecordSample(StreamRecord& e) {
  RateSample s;
  s.start = e.rec.recordStart.load(std::memory_order_relaxed);
  TakeHistory(e.rec.recordTimes, &s);
  s.done = e.rec.framesRecorded.load(std::memory_order_relaxed);
  s.dropped = e.rec.recordDropped.load(std::memory_order_relaxed);
  return s;
}

}  // namespace
}  // namespace kz

extern "C" {

int KZAPI KZStartRecord(KZRECORD* block) {
  using namespace kz;
  SetError(0);
  if (!block) return Fail(KZ_ERR_NULL);
  if (block->size != sizeof(KZRECORD)) return Fail(KZ_ERR_RECORD_SIZE);
  if (!CheckOpenSession(block->session)) return 0;
  if (block->source < 1 || block->source > KZ_MAX_SOURCES) return Fail(KZ_ERR_SOURCE);
  KZRECORD copy = *block;  // the caller's block is read once
  {
    std::lock_guard lock(StreamTableMutex());
    StreamRecord* e = SourceEntryLocked(copy.source);
    if (e && e->session.load(std::memory_order_acquire) == copy.session &&
        (e->running.load(std::memory_order_acquire) & kRecordBit)) {
      return Fail(KZ_ERR_ALREADY_RECORDING);
    }
    if (e && e->session.load(std::memory_order_acquire) != copy.session) {
      return Fail(KZ_ERR_SOURCE_IN_USE);
    }
  }
  if (!IsKind(copy.fileFlags & KZ_KIND_MASK)) return Fail(KZ_ERR_KIND);
  AppendValues append;
  // The file is only checked here; it is created or cut once the stream is the recording's.
  const uint32_t prepared = CheckRecordFile(copy, &append);
  if (prepared) return Fail(prepared);
  const uint32_t error = StartOnSource(copy, append);
  return error ? Fail(error) : 1;
}

int KZAPI KZChangeRecord(KZRECORD* block) {
  using namespace kz;
  SetError(0);
  if (!block) return Fail(KZ_ERR_NULL);
  if (block->size != sizeof(KZRECORD)) return Fail(KZ_ERR_RECORD_SIZE);
  if (!CheckSession(block->session)) return 0;
  const KZRECORD copy = *block;
  std::lock_guard lock(StreamTableMutex());
  StreamRecord* found =
      MatchStreamLocked(copy.session, copy.source, copy.window, kRecordBit, KZ_ERR_NO_RECORD, true);
  if (!found) return 0;
  std::lock_guard blockLock(found->blockMutex);
  if ((copy.recordFlags & KZ_RECORD_KEEP_SETTING) == 0) {
    found->display.sourceSetting = copy.sourceSetting;
    found->pendingDisplay.sourceSetting = copy.sourceSetting;
  }
  // The record thread takes the change over at its next pass.
  found->rec.pendingRecord = copy;
  found->pending.fetch_or(kRecordBit, std::memory_order_acq_rel);
  return 1;
}

int KZAPI KZGetRecord(uint32_t session, uint32_t source, KZHWND window, KZRECORD* out) {
  using namespace kz;
  SetError(0);
  return ReadStreamBlock(session, source, window, kRecordBit, KZ_ERR_NO_RECORD, out,
                         sizeof(KZRECORD), [](StreamRecord& e, void* to) -> uint32_t {
                           KZRECORD r = e.record;
                           if (e.pending.load(std::memory_order_acquire) & kRecordBit) {
                             TakeRecordChange(r, e.rec.pendingRecord);
                           }
                           *static_cast<KZRECORD*>(to) = r;
                           return 0;
                         });
}

int KZAPI KZGetRecordRate(uint32_t session, uint32_t source, KZHWND window, KZRATE* out) {
  return kz::GetActivityRate(session, source, window, out, kz::kRecordBit, KZ_ERR_NO_RECORD,
                             kz::RecordSample);
}

}  // extern "C"

// The display API: KZStartDisplay, KZChangeDisplay, KZGetDisplay, KZWaitForDisplay and
// KZGetDisplayRate.
#include <kzvideo.h>

#include <array>
#include <bit>
#include <mutex>

#include "frame/errors.h"
#include "frame/session.h"
#include "frame/stream.h"
#include "image/publish.h"
#include "image/show.h"
#include "live/display.h"
#include "live/live_stream.h"
#include "live/rate.h"
#include "time/julian.h"

namespace kz {
namespace {

// Statistics and published image of a display about to start (its bit is still clear,
// so no caller reads them).
void ResetDisplayState(StreamRecord& e) {
  e.live.displayTimes.Clear();
  e.live.framesShown.store(0, std::memory_order_relaxed);
  e.live.displayDropped.store(0, std::memory_order_relaxed);
  e.live.displayStart.store(CurrentJulian(), std::memory_order_relaxed);
  ClearPublished(e);
}

// Starts a display on a stream that runs already (a recording). Table lock held.
uint32_t AttachDisplay(StreamRecord& e, const KZDISPLAY& block) {
  if (e.session.load(std::memory_order_acquire) != block.session) return KZ_ERR_SOURCE_IN_USE;
  const uint32_t running = e.running.load(std::memory_order_acquire);
  if (running & kDisplayBit) return KZ_ERR_ALREADY_DISPLAYING;
  // A stream whose grab thread is ending or gone cannot carry a new display.
  if ((running & kGrabBit) == 0 ||
      (e.stopRequest.load(std::memory_order_acquire) & kGrabBit) != 0) {
    return KZ_ERR_SOURCE_IN_USE;
  }
  {
    std::lock_guard lock(e.blockMutex);
    const KZDISPLAY& s = e.display;
    if (block.width != s.width || block.height != s.height || block.bitCount != s.bitCount ||
        (block.format != 0 && block.format != s.format)) {
      return KZ_ERR_OTHER_FORMAT;
    }
    if (block.window != s.window) return KZ_ERR_OTHER_ACTIVITY_WINDOW;
    KZDISPLAY next = block;
    next.width = s.width;
    next.height = s.height;
    next.format = s.format;
    next.bitCount = s.bitCount;
    if (block.drawFlags & KZ_DRAW_KEEP_SETTING) next.sourceSetting = s.sourceSetting;
    e.pendingDisplay = next;
    e.display = next;
    e.pending.fetch_and(~kDisplayBit, std::memory_order_acq_rel);
  }
  PrepareShow(e);
  ApplyDisplayRate(e);
  ResetDisplayState(e);
  if (!StartLiveThreads(e, kDisplayBit, DisplayThread, &e.displayThread, false)) {
    return KZ_ERR_THREAD;
  }
  return 0;
}

// Opens the source as a new live stream with a display on it.
uint32_t OpenDisplay(const KZDISPLAY& block) {
  const PixelFormat* row = nullptr;
  uint32_t error = 0;
  StreamRecord* e = OpenLiveStream(OpenRequestOf(block), &row, &error);
  if (!e) return error;
  {
    std::lock_guard lock(e->blockMutex);
    e->display = block;
    e->display.size = sizeof(KZDISPLAY);
    e->display.format = static_cast<uint32_t>(row->code);
    e->display.bitCount = row->bits;
    e->pendingDisplay = e->display;
  }
  PrepareShow(*e);
  ApplyDisplayRate(*e);
  ResetDisplayState(*e);
  if (!StartLiveThreads(*e, kDisplayBit, DisplayThread, &e->displayThread, true)) {
    AbandonLiveStream(*e);
    return KZ_ERR_THREAD;
  }
  FinishOpening(*e);
  return 0;
}

// A change is a change of any byte (a rate of -0.0 differs from 0.0, as the caller wrote it).
bool SameBytes(const KZDISPLAY& a, const KZDISPLAY& b) {
  using Bytes = std::array<unsigned char, sizeof(KZDISPLAY)>;
  return std::bit_cast<Bytes>(a) == std::bit_cast<Bytes>(b);
}

RateSample DisplaySample(StreamRecord& e) {
  const LiveState& l = e.live;
  return SampleOf(l.displayStart, l.displayTimes, l.framesShown, l.displayDropped);
}

}  // namespace
}  // namespace kz

extern "C" {

int KZAPI KZStartDisplay(KZDISPLAY* block) {
  using namespace kz;
  SetError(0);
  if (!block) return Fail(KZ_ERR_NULL);
  if (block->size != sizeof(KZDISPLAY)) return Fail(KZ_ERR_RECORD_SIZE);
  if (!CheckOpenSession(block->session)) return 0;
  if (block->source < 1 || block->source > KZ_MAX_SOURCES) return Fail(KZ_ERR_SOURCE);
  const KZDISPLAY copy = *block;  // the caller's block is read once
  for (;;) {
    StreamRecord* idle = nullptr;
    {
      std::lock_guard lock(StreamTableMutex());
      StreamRecord* e = SourceEntryLocked(copy.source);
      if (e) {
        if (e->live.opening.load(std::memory_order_acquire)) return Fail(KZ_ERR_SOURCE_IN_USE);
        if (e->running.load(std::memory_order_acquire) != 0) {
          const uint32_t error = AttachDisplay(*e, copy);
          return error ? Fail(error) : 1;
        }
        // Left idle by a stop that timed out or a display whose window went away: it is
        // released first, never reused as if its grab thread still ran.
        idle = e;
      }
    }
    if (!idle) break;
    if (!ReleaseEntry(idle)) Sleep(1);
  }
  const uint32_t error = OpenDisplay(copy);
  return error ? Fail(error) : 1;
}

int KZAPI KZChangeDisplay(KZDISPLAY* block) {
  using namespace kz;
  SetError(0);
  if (!block) return Fail(KZ_ERR_NULL);
  if (block->size != sizeof(KZDISPLAY)) return Fail(KZ_ERR_RECORD_SIZE);
  if (!CheckSession(block->session)) return 0;
  const KZDISPLAY copy = *block;
  std::lock_guard lock(StreamTableMutex());
  StreamRecord* found = MatchStreamLocked(copy.session, copy.source, copy.window, kDisplayBit,
                                          KZ_ERR_NO_DISPLAY, true);
  if (!found) return 0;
  std::lock_guard blockLock(found->blockMutex);
  const KZDISPLAY& active = found->display;
  KZDISPLAY next = copy;
  next.size = sizeof(KZDISPLAY);
  next.session = active.session;
  next.source = active.source;
  next.width = active.width;
  next.height = active.height;
  next.format = active.format;
  next.bitCount = active.bitCount;
  next.window = active.window;
  const bool pending = (found->pending.load(std::memory_order_acquire) & kDisplayBit) != 0;
  if (!SameBytes(next, active)) {
    found->pendingDisplay = next;
    found->pending.fetch_or(kDisplayBit, std::memory_order_acq_rel);
  } else if (pending) {
    // Back to the active block: the pending change is overwritten, so it changes nothing.
    found->pendingDisplay = next;
  }
  return 1;
}

int KZAPI KZGetDisplay(uint32_t session, uint32_t source, KZHWND window, KZDISPLAY* out) {
  using namespace kz;
  SetError(0);
  return ReadStreamBlock(session, source, window, kDisplayBit, KZ_ERR_NO_DISPLAY, out,
                         sizeof(KZDISPLAY),
                         CopyActiveOrPending<KZDISPLAY, &StreamRecord::display,
                                             &StreamRecord::pendingDisplay, kDisplayBit>);
}

int KZAPI KZWaitForDisplay(uint32_t session, uint32_t source, KZHWND window, int32_t timeoutMs) {
  using namespace kz;
  SetError(0);
  if (!CheckSession(session)) return 0;
  if (source == 0) return Fail(KZ_ERR_NO_DISPLAY);  // the source is matched exactly
  StreamRecord* e = MatchStream(session, source, window, kDisplayBit, KZ_ERR_NO_DISPLAY);
  if (!e) return 0;
  const EntryIdentity id = IdentityOf(*e);
  const uint32_t shown = e->live.framesShown.load(std::memory_order_acquire);
  const int64_t limit = timeoutMs >= 0 ? timeoutMs : 100;
  const DWORD start = timeGetTime();
  MSG msg;
  for (;;) {
    if (e->live.framesShown.load(std::memory_order_acquire) != shown ||
        (e->busy.load(std::memory_order_acquire) & kDisplayBit) == 0) {
      return 1;
    }
    if (int64_t{static_cast<uint32_t>(timeGetTime() - start)} > limit) {
      return Fail(KZ_ERR_TIMEOUT);
    }
    // The caller may own the capture window: its sent messages (the frames) run here. A
    // pump can re-enter the library, so the entry is looked at again before its next use.
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    if (!StillSame(*e, id, kDisplayBit)) return Fail(KZ_ERR_NO_DISPLAY);
  }
}

int KZAPI KZGetDisplayRate(uint32_t session, uint32_t source, KZHWND window, KZRATE* out) {
  return kz::GetActivityRate(session, source, window, out, kz::kDisplayBit, KZ_ERR_NO_DISPLAY,
                             kz::DisplaySample);
}

}  // extern "C"

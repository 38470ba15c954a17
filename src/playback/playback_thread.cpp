// The playback thread: read ahead, wait for the due time, show, choose the next frame,
// and take the caller's changes between frames.
#include "playback/playback_thread.h"

#include <cstring>

#include "frame/blocks.h"
#include "playback/drawing_fields.h"
#include "playback/file_info.h"
#include "playback/playback_io.h"
#include "playback/show_frame.h"
#include "time/julian.h"

namespace kz {
namespace {

void ClearCounters(PlaybackState& p) {
  p.playbackTimes.Clear();
  p.framesPlayed.store(0, std::memory_order_release);
  p.framesSkipped.store(0, std::memory_order_release);
  p.playbackStart.store(CurrentJulian(), std::memory_order_release);
}


// Takes a pending change. False when the new position cannot be reached (the thread
// ends with the code stored).
bool ApplyChange(StreamRecord* e) {
  PlaybackState& p = e->play;
  // The bit is taken first, then the block copied: a change arriving in between sets the
  // bit again and is taken at the next pass.
  e->pending.fetch_and(~kPlaybackBit, std::memory_order_acq_rel);
  KZPLAYBACK b;
  {
    std::lock_guard lock(e->blockMutex);
    b = e->pendingPlayback;
    // The thread's own fields stay its own: the file and the window never change.
    std::memcpy(b.fileName, e->playback.fileName, sizeof b.fileName);
    b.window = e->playback.window;
    b.session = e->playback.session;
    const bool noMove = (b.flags & KZ_PLAY_MOVE_MASK) == 0;
    if (noMove && !(b.flags & KZ_PLAY_STEP) && b.rate == 0.0) {
      // Paused: the frame on screen is read and drawn again with the new settings.
      b.index = 0;
      b.flags = (b.flags & ~(KZ_PLAY_MOVE_MASK | KZ_PLAY_MODE_MASK)) | KZ_PLAY_MOVE_CURRENT;
    }
    b.flags |= e->playback.flags & kFullScan;
    e->playback = b;
    DisplayFromPlayback(&e->display, b);
  }
  PreparePlaybackShow(e);
  p.nextDue = timeGetTime();
  const bool moves = (b.flags & KZ_PLAY_MOVE_MASK) != 0;
  const int r = SeekPlayback(e);
  ClearCounters(p);
  if (r != kSeekDone) {
    EndPlayback(e, r == kSeekFailed ? KZ_ERR_POSITION : KZ_ERR_NO_MATCH);
    return false;
  }
  // Without a move the frame already read ahead stays; a move reads afresh.
  const int32_t state = p.playbackState.load(std::memory_order_acquire);
  if (moves || state < 0) p.playbackState.store(0, std::memory_order_release);
  return true;
}

void ShowNow(StreamRecord* e, uint32_t now) {
  PlaybackState& p = e->play;
  {
    std::lock_guard lock(e->blockMutex);
    if (p.curPos.time != 0.0) {
      e->playback.index = p.curPos.index;
      e->playback.time = p.curPos.time;
      e->playback.msLow = p.curPos.msLow;
      e->playback.msHigh = p.curPos.msHigh;
      e->playback.frame = p.curPos.frame;
    }
  }
  p.playbackTimes.Push(now);
  {
    // Before the frame counts as shown: a caller that sees the count sees its position.
    std::lock_guard lock(e->blockMutex);
    p.shownPos = p.curPos;
    e->playback.flags &= ~KZ_PLAY_SEEKING;
  }
  ShowPlaybackFrame(e);
  p.playbackState.store(2, std::memory_order_release);
  AdvancePlayback(e);
}

}  // namespace

DWORD WINAPI PlaybackThread(LPVOID param) {
  const auto id = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(param));
  StreamRecord* e = FindStream(id, kPlaybackBit);
  if (!e) return 0;
  PlaybackState& p = e->play;
  while (e->startGate.load(std::memory_order_acquire) == 0) Sleep(0);
  // The running bit was set by the start, before this thread existed.
  const int r = SeekPlayback(e);
  if (r != kSeekDone) {
    EndPlayback(e, r == kSeekFailed ? KZ_ERR_POSITION : KZ_ERR_NO_MATCH);
  }
  ClearCounters(p);
  PreparePlaybackShow(e);
  // The first frame is due now, whatever the clock reads.
  p.nextDue = timeGetTime();
  p.playbackState.store(0, std::memory_order_release);

  while (!PlaybackStopAsked(e)) {
    e->busy.fetch_or(kPlaybackBit, std::memory_order_acq_rel);
    if (e->pending.load(std::memory_order_acquire) & kPlaybackBit) {
      if (!ApplyChange(e)) break;
    }
    int32_t state = p.playbackState.load(std::memory_order_acquire);
    if (state != 1) {
      ReadNextFrame(e);
      p.waitedMs = 0;
      state = p.playbackState.load(std::memory_order_acquire);
    }
    const uint32_t now = timeGetTime();
    const bool due = state == 1 && static_cast<int32_t>(p.nextDue - now) <= 0;
    const bool redraw = p.redraw.exchange(0, std::memory_order_acq_rel) != 0;
    if (due) {
      ShowNow(e, now);
    } else if (redraw) {
      RedrawPlaybackFrame(e);
    } else {
      e->busy.fetch_and(~kPlaybackBit, std::memory_order_acq_rel);
      Sleep(1);
      if (state == 1) p.waitedMs += timeGetTime() - now;
      continue;
    }
    e->busy.fetch_and(~kPlaybackBit, std::memory_order_acq_rel);
    Sleep(0);
  }

  // Everything the entry holds for playback goes before the running bit: once it is
  // clear, a stop may release the entry at any moment.
  e->busy.fetch_and(~kPlaybackBit, std::memory_order_acq_rel);
  FreePlaybackMemory(e);
  // The published image and the plan stay with the entry: a caller may be copying the
  // image right now, and the release of the entry frees them.
  BlockFree(p.spareFrame);
  p.spareFrame = nullptr;
  KZPLAYBACK copy;
  {
    std::lock_guard lock(e->blockMutex);
    copy = e->playback;
  }
  const uint32_t code = p.playbackEndCode.load(std::memory_order_acquire);
  e->stopRequest.fetch_and(~kPlaybackBit, std::memory_order_acq_rel);
  e->running.fetch_and(~kPlaybackBit, std::memory_order_acq_rel);
  // A thread that ended by itself releases its entry; ReleaseEntry's claim makes sure
  // only one party does, should a stop arrive at the same moment.
  if (code != 0 && e->streamId.load(std::memory_order_acquire) == id) ReleaseEntry(e);
  if (copy.endCallback) copy.endCallback(&copy, code == KZ_END_PLAYBACK ? 0 : code);
  return 0;
}

}  // namespace kz

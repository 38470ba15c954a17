// The display thread and the publishing side of the image lock.
#include "live/display.h"

#include <cstring>
#include <mutex>

#include "frame/blocks.h"
#include "frame/stream.h"
#include "image/show.h"
#include "live/live_stream.h"
#include "live/pacing.h"
#include "live/ring.h"

namespace kz {
namespace {

enum : uint32_t { kLockHeld = 1, kLockPinning = 2, kLockPublishing = 4 };

// A frame buffer that is no longer shown nor held goes back to the thread's spare.
void Recycle(uint8_t* frame, uint8_t*& spare) {
  if (!frame) return;
  if (!spare) {
    spare = frame;
  } else {
    BlockFree(frame);
  }
}

// Applies a changed display block. The block and its pending copy change together under
// the block mutex, so a change is never torn nor lost; the plan is rebuilt outside it.
void ApplyPending(StreamRecord& e) {
  {
    std::lock_guard lock(e.blockMutex);
    e.display = e.pendingDisplay;
    e.pending.fetch_and(~kDisplayBit, std::memory_order_acq_rel);
  }
  PrepareShow(e);
  ApplyDisplayRate(e);
}

// The caller's window is gone: nothing can be drawn any more, so the display ends. A grab
// thread that served only the display goes with it, and the idle entry is released by the
// next stop call or start on its source.
void EndForLostWindow(StreamRecord& e) {
  const uint32_t running = e.running.load(std::memory_order_acquire);
  if ((running & ~(kDisplayBit | kGrabBit)) == 0) {
    e.stopRequest.fetch_or(kGrabBit, std::memory_order_acq_rel);
  }
  e.stopTimedOut.store(1, std::memory_order_release);
}

}  // namespace

void ApplyDisplayRate(StreamRecord& e) {
  e.live.displayInterval.store(PaceInterval(e.display.rate), std::memory_order_release);
}

void ClearPublished(StreamRecord& e) {
  ShowState& s = e.show;
  uint8_t* shown = s.shownImage.exchange(nullptr, std::memory_order_acq_rel);
  uint8_t* pinned = s.pinnedImage.exchange(nullptr, std::memory_order_acq_rel);
  BlockFree(shown);
  if (pinned != shown) BlockFree(pinned);
  if (s.pinnedFrame != s.shownFrame) BlockFree(s.pinnedFrame);
  BlockFree(s.shownFrame);
  s.shownFrame = nullptr;
  s.pinnedFrame = nullptr;
  s.imageLock.store(0, std::memory_order_release);
}

void PublishImage(StreamRecord& e, uint8_t* bitmap, const uint8_t* frame, int32_t slot,
                  uint8_t*& spare) {
  ShowState& s = e.show;
  // The raw frame is copied now, while its ring slot is still held, and outside the lock
  // so that a caller never waits for the copy.
  uint8_t* copy = spare ? spare : static_cast<uint8_t*>(BlockAlloc(e.frameBytes));
  spare = nullptr;
  if (!copy) {
    BlockFree(bitmap);
    e.live.framesShown.fetch_add(1, std::memory_order_acq_rel);
    return;
  }
  std::memcpy(copy, frame, e.frameBytes);

  // The publisher's bit goes up first and the caller's is tested after: of a caller and
  // the publisher, whichever sets its bit second sees the other's and gives way.
  const uint32_t before = s.imageLock.fetch_or(kLockPublishing, std::memory_order_acq_rel);
  if (before & kLockPinning) {
    s.imageLock.fetch_and(~kLockPublishing, std::memory_order_release);
    e.live.framesShown.fetch_add(1, std::memory_order_acq_rel);
    BlockFree(bitmap);
    spare = copy;
    return;
  }
  uint8_t* oldImage = s.shownImage.load(std::memory_order_relaxed);
  uint8_t* oldFrame = s.shownFrame;
  uint8_t* freeImages[2] = {nullptr, nullptr};
  uint8_t* freeFrames[2] = {nullptr, nullptr};
  if ((before & kLockHeld) == 0) {
    // Nobody holds an image: an earlier pinned one that is not the shown one goes too.
    uint8_t* pinned = s.pinnedImage.exchange(nullptr, std::memory_order_relaxed);
    if (pinned != oldImage) freeImages[1] = pinned;
    if (s.pinnedFrame != oldFrame) freeFrames[1] = s.pinnedFrame;
    s.pinnedFrame = nullptr;
    freeImages[0] = oldImage;
    freeFrames[0] = oldFrame;
  } else {
    if (oldImage != s.pinnedImage.load(std::memory_order_relaxed)) freeImages[0] = oldImage;
    if (oldFrame != s.pinnedFrame) freeFrames[0] = oldFrame;
  }
  s.shownImage.store(bitmap, std::memory_order_relaxed);
  s.shownFrame = copy;
  s.shownSlot.store(slot, std::memory_order_relaxed);
  // Counted before the lock bit goes down: a caller that sees the new image also sees the
  // count that goes with it, and one waiting for the next frame never gets this one twice.
  e.live.framesShown.fetch_add(1, std::memory_order_acq_rel);
  s.imageLock.fetch_and(~kLockPublishing, std::memory_order_release);
  // Freed after the lock bit is down: a caller waits only for the pointer swaps.
  for (uint8_t* image : freeImages) BlockFree(image);
  for (uint8_t* old : freeFrames) Recycle(old, spare);
}

void ShowLiveFrame(StreamRecord& e, uint8_t*& spare) {
  const uint32_t r = ChooseForDisplay(e);
  const uint8_t* frame = SlotFrame(e, r);
  const KZDISPLAY& d = e.display;
  ShowCallbacks callbacks;
  callbacks.beforeDraw = d.beforeDrawCallback;
  callbacks.afterConvert = d.afterConvertCallback;
  callbacks.afterDraw = d.afterDrawCallback;
  ShowHooks hooks;
  hooks.context = &e;
  hooks.isStream = true;
  hooks.aviWrite = e.live.aviWriter.load(std::memory_order_acquire);
  uint8_t* bitmap = ShowStep(e, frame, e.frameBytes, callbacks, hooks);
  if (bitmap) {
    Sleep(0);
    PublishImage(e, bitmap, frame, static_cast<int32_t>(r % kLiveSlots), spare);
  } else {
    e.live.framesShown.fetch_add(1, std::memory_order_acq_rel);
  }
  FinishForDisplay(e, r);
  Sleep(0);
}

DWORD WINAPI DisplayThread(LPVOID parameter) {
  StreamRecord& e = *static_cast<StreamRecord*>(parameter);
  if (!WaitForGo(e, kDisplayBit)) return 0;
  uint8_t* spare = nullptr;
  while ((e.stopRequest.load(std::memory_order_acquire) & kDisplayBit) == 0) {
    e.busy.fetch_or(kDisplayBit, std::memory_order_acq_rel);
    if (e.pending.load(std::memory_order_acquire) & kDisplayBit) ApplyPending(e);
    if (!IsWindow(e.display.window)) {
      e.busy.fetch_and(~kDisplayBit, std::memory_order_acq_rel);
      EndForLostWindow(e);
      break;
    }
    bool shown = false;
    if (ClaimRing(e, kWantDisplay)) {
      if (HeadForDisplay(e)) {
        e.live.displayTimes.Push(timeGetTime());
        ShowLiveFrame(e, spare);
        shown = true;
      }
      ReleaseRing(e, kWantDisplay);
    }
    e.busy.fetch_and(~kDisplayBit, std::memory_order_acq_rel);
    if (!shown) Sleep(1);
  }
  BlockFree(spare);
  EndThread(e, kDisplayBit);
  return 0;
}

}  // namespace kz

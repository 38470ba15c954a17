// The display thread: pending changes, and the show step on the ring's display frames.
#include "live/display.h"

#include <mutex>

#include "frame/blocks.h"
#include "frame/stream.h"
#include "image/publish.h"
#include "live/live_stream.h"
#include "live/pacing.h"
#include "live/ring.h"

namespace kz {
namespace {

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

void ShowLiveFrame(StreamRecord& e, uint8_t*& spare) {
  const uint32_t r = ChooseForDisplay(e);
  uint8_t*& block = SlotFrameBlock(e, r);
  const KZDISPLAY& d = e.display;
  ShowCallbacks callbacks;
  callbacks.beforeDraw = d.beforeDrawCallback;
  callbacks.afterConvert = d.afterConvertCallback;
  callbacks.afterDraw = d.afterDrawCallback;
  ShowHooks hooks;
  hooks.context = &e;
  hooks.isStream = true;
  hooks.aviWrite = e.live.aviWriter.load(std::memory_order_acquire);
  // Nobody reads the slot after the display: its frame is published by handing the block
  // over.
  ShowAndPublish(e, block, static_cast<int32_t>(r % kLiveSlots), callbacks, hooks,
                 e.live.framesShown, spare, &block);
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

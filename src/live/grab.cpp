// The grab thread: requests frames from the capture window at the pace its activities ask.
#include <windows.h>
#include <vfw.h>

#include "frame/stream.h"
#include "live/live_stream.h"
#include "live/pacing.h"

namespace kz {

DWORD WINAPI GrabThread(LPVOID parameter) {
  StreamRecord& e = *static_cast<StreamRecord*>(parameter);
  if (!WaitForGo(e, kGrabBit)) return 0;
  // Set before the thread was created and never changed while it runs.
  HWND window = e.captureWindow;
  while ((e.stopRequest.load(std::memory_order_acquire) & kGrabBit) == 0) {
    e.busy.fetch_or(kGrabBit, std::memory_order_acq_rel);
    const uint32_t now = timeGetTime();
    const uint32_t want = PlanGrab(e.live, e.running.load(std::memory_order_acquire), now);
    if (want == 0) {
      e.busy.fetch_and(~kGrabBit, std::memory_order_acq_rel);
      Sleep(1);
      continue;
    }
    e.live.grabPending.store(1, std::memory_order_release);
    // The frame arrives through the frame callback on the window's thread while this send
    // waits; a window that has gone away makes the request a no-op.
    const bool sent = IsWindow(window) && SendMessageA(window, WM_CAP_GRAB_FRAME, 0, 0) != 0;
    e.busy.fetch_and(~kGrabBit, std::memory_order_acq_rel);
    Sleep(sent ? 0 : 1);
  }
  EndThread(e, kGrabBit);
  return 0;
}

}  // namespace kz

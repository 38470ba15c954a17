// Hidden capture windows and the guarded way every capture message is sent.
#pragma once

#include <windows.h>
#include <vfw.h>

#include <cstdint>

namespace kz {

constexpr uint32_t kSourceCount = 10;  // sources 1..10 are capture drivers 0..9

// The hidden capture window (WS_CHILD only, at -4000,-4000, 1600 x 1200) as a child of
// `parent`, owned by the calling thread. Null when it cannot be made.
HWND CreateCaptureWindow(HWND parent);
// Sends a capture message only to a live window; anything else counts as a reply of 0.
LRESULT CapSend(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
// Disconnects the driver (while it is a window) and destroys the window.
void CloseCaptureWindow(HWND window);

// A capture window made for one call, connected to a source's driver; closed on scope exit.
class TemporaryCaptureWindow {
 public:
  TemporaryCaptureWindow(uint32_t source, HWND parent);
  ~TemporaryCaptureWindow();
  TemporaryCaptureWindow(const TemporaryCaptureWindow&) = delete;
  TemporaryCaptureWindow& operator=(const TemporaryCaptureWindow&) = delete;
  // Null when creating or connecting failed (the window is gone already then).
  HWND get() const { return window_; }

 private:
  HWND window_ = nullptr;
};

// What a stream that runs on a source shows of itself to the capture functions.
struct SourceStream {
  bool found = false;
  uint32_t session = 0;
  uint32_t running = 0;
  HWND captureWindow = nullptr;
};
// The first stream table entry whose stream id is `source` (of any session).
SourceStream FindSourceStream(uint32_t source);

}  // namespace kz

#include "capture/capture_window.h"

#include <mutex>

#include "frame/stream.h"

namespace kz {

HWND CreateCaptureWindow(HWND parent) {
  return capCreateCaptureWindowA("KZ Video Capture", WS_CHILD, -4000, -4000, 1600, 1200, parent, 0);
}

LRESULT CapSend(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!window || !IsWindow(window)) return 0;
  return SendMessageA(window, message, wParam, lParam);
}

void CloseCaptureWindow(HWND window) {
  if (!window) return;
  CapSend(window, WM_CAP_DRIVER_DISCONNECT);
  DestroyWindow(window);
}

TemporaryCaptureWindow::TemporaryCaptureWindow(uint32_t source, HWND parent) {
  if (source < 1 || source > kSourceCount) return;
  HWND window = CreateCaptureWindow(parent);
  if (!window) return;
  if (!IsWindow(window) || CapSend(window, WM_CAP_DRIVER_CONNECT, source - 1) == 0) {
    DestroyWindow(window);
    return;
  }
  window_ = window;
}

TemporaryCaptureWindow::~TemporaryCaptureWindow() {
  CloseCaptureWindow(window_);
}

SourceStream FindSourceStream(uint32_t source) {
  SourceStream found;
  if (source == 0) return found;  // 0 is a free entry's id, never a source
  std::lock_guard lock(StreamTableMutex());
  StreamRecord* entry = FindStream(source, 0);
  if (!entry) return found;
  found.found = true;
  found.session = entry->session.load(std::memory_order_acquire);
  found.running = entry->running.load(std::memory_order_acquire);
  found.captureWindow = entry->captureWindow;
  return found;
}

}  // namespace kz

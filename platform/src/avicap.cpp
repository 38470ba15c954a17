// Capture windows: the WM_CAP_* messages the library sends, over the installed drivers.
// Every message runs on the window's owner thread (SendMessageA brings it there), so a
// window's link to its driver is touched by that thread alone.
#include <windows.h>
#include <vfw.h>

#include <algorithm>
#include <cstring>

#include "capture_driver.h"
#include "window.h"

namespace kzwin {
namespace {

struct CaptureLink : WindowExtra {
  std::shared_ptr<CaptureDriver> driver;  // connected driver, or null
  UINT driverIndex = 0;
  CAPVIDEOCALLBACK frameCallback = nullptr;
  UINT previewRate = 0;

  void Disconnect() {
    if (driver) driver->Disconnect();
    driver.reset();
  }
  ~CaptureLink() override { Disconnect(); }
};

void CopyText(const std::string& text, LPSTR out, int room) {
  if (!out || room <= 0) return;
  size_t n = std::min(text.size(), static_cast<size_t>(room - 1));
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

LRESULT Connected(CaptureLink& link, HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  CaptureDriver& d = *link.driver;
  switch (message) {
    case WM_CAP_SET_CALLBACK_FRAME:
      link.frameCallback = reinterpret_cast<CAPVIDEOCALLBACK>(lParam);
      return TRUE;
    case WM_CAP_DRIVER_GET_CAPS: {
      if (!lParam) return FALSE;
      CAPDRIVERCAPS caps{};
      caps.wDeviceIndex = link.driverIndex;
      caps.fHasDlgVideoSource = d.HasSourceDialog();
      caps.fHasDlgVideoFormat = d.HasFormatDialog();
      caps.fCaptureInitialized = TRUE;
      std::memcpy(reinterpret_cast<void*>(lParam), &caps, std::min<size_t>(wParam, sizeof caps));
      return TRUE;
    }
    case WM_CAP_DLG_VIDEOSOURCE:
      return d.HasSourceDialog() && d.SourceDialog(GetParent(window), link.driverIndex);
    case WM_CAP_DLG_VIDEOFORMAT:
      return d.HasFormatDialog() && d.FormatDialog(GetParent(window), link.driverIndex);
    case WM_CAP_GET_VIDEOFORMAT: {
      // The size query is answered as the driver states it; a copy never exceeds the
      // caller's room nor the true format.
      if (wParam == 0 || lParam == 0) return static_cast<LRESULT>(d.ReportedFormatBytes());
      std::vector<uint8_t> info = d.Format();
      size_t n = std::min<size_t>(wParam, info.size());
      std::memcpy(reinterpret_cast<void*>(lParam), info.data(), n);
      return static_cast<LRESULT>(n);
    }
    case WM_CAP_SET_VIDEOFORMAT:
      if (!lParam || wParam < 40) return FALSE;
      return d.SetFormat(reinterpret_cast<const uint8_t*>(lParam), wParam) ? TRUE : FALSE;
    case WM_CAP_SET_PREVIEWRATE:
      link.previewRate = static_cast<UINT>(wParam);  // frames come only when grabbed
      return TRUE;
    case WM_CAP_GRAB_FRAME: {
      VIDEOHDR header;
      if (!d.GrabFrame(&header)) return FALSE;
      if (link.frameCallback) link.frameCallback(window, &header);
      return TRUE;
    }
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

LRESULT CALLBACK CaptureWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto link = std::static_pointer_cast<CaptureLink>(ExtraOfWindow(window));
  if (!link) return DefWindowProcA(window, message, wParam, lParam);
  switch (message) {
    case WM_CAP_DRIVER_CONNECT: {
      if (link->driver && link->driverIndex == wParam) return TRUE;
      link->Disconnect();
      auto driver = DriverAt(static_cast<UINT>(wParam));
      if (!driver || !driver->Connect()) return FALSE;
      link->driver = std::move(driver);
      link->driverIndex = static_cast<UINT>(wParam);
      return TRUE;
    }
    case WM_CAP_DRIVER_DISCONNECT:
      if (!link->driver) return FALSE;
      link->Disconnect();
      return TRUE;
    case WM_DESTROY:
      link->Disconnect();
      link->frameCallback = nullptr;
      return 0;
    default:
      if (message >= WM_CAP_START && message < WM_CAP_START + 200) {
        return link->driver ? Connected(*link, window, message, wParam, lParam) : 0;
      }
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

}  // namespace
}  // namespace kzwin

extern "C" {

BOOL VFWAPI capGetDriverDescriptionA(UINT driverIndex, LPSTR name, int nameRoom, LPSTR version,
                                     int versionRoom) {
  auto driver = kzwin::DriverAt(driverIndex);
  if (!driver) return FALSE;
  kzwin::CopyText(driver->Description(), name, nameRoom);
  kzwin::CopyText(driver->Version(), version, versionRoom);
  return TRUE;
}

HWND VFWAPI capCreateCaptureWindowA(LPCSTR title, DWORD style, int, int, int width, int height,
                                    HWND parent, int) {
  return kzwin::CreateWindowWith(title, style, width, height, parent, kzwin::CaptureWindowProc,
                                 std::make_shared<kzwin::CaptureLink>());
}

}  // extern "C"

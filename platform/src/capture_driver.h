// The one interface capture drivers plug in behind; capture windows talk only to it.
#pragma once

#include <windows.h>
#include <vfw.h>

#include <memory>
#include <string>
#include <vector>

namespace kzwin {

class CaptureDriver {
 public:
  virtual ~CaptureDriver() = default;
  virtual std::string Description() const = 0;
  virtual std::string Version() const = 0;
  // A driver takes one connection at a time: false while connected elsewhere or failing.
  virtual bool Connect() = 0;
  virtual void Disconnect() = 0;
  // The current BITMAPINFO (40-byte header plus biClrUsed palette entries), and the size
  // the driver reports for it (which a faulty driver may misstate).
  virtual std::vector<uint8_t> Format() = 0;
  virtual int64_t ReportedFormatBytes() = 0;
  // Takes a BITMAPINFO of `bytes` bytes; true when accepted and current from now on.
  virtual bool SetFormat(const uint8_t* info, size_t bytes) = 0;
  virtual bool HasSourceDialog() const = 0;
  virtual bool HasFormatDialog() const = 0;
  // Runs the dialog through the dialog host; true for OK (the format may have changed).
  virtual bool SourceDialog(HWND owner, UINT driverIndex) = 0;
  virtual bool FormatDialog(HWND owner, UINT driverIndex) = 0;
  // Delivers the next frame: `header` points at the driver's buffer, valid until the next
  // call. False when no frame comes.
  virtual bool GrabFrame(VIDEOHDR* header) = 0;
};

constexpr UINT kMaxDrivers = 10;

// The driver installed at an index (0 to 9), or null.
std::shared_ptr<CaptureDriver> DriverAt(UINT index);

}  // namespace kzwin

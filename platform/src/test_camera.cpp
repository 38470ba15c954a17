// The test-pattern camera driver and the table of installed drivers.
#include <kzwin_test.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "capture_driver.h"
#include "dialogs.h"
#include "test_pattern.h"

namespace kzwin {
namespace {

constexpr uint32_t kYuy2 = MAKEFOURCC('Y', 'U', 'Y', '2');
constexpr size_t kMaxFormatBytes = 40 + 256 * 4;

bool Listed(const KZWIN_CAMERA_FORMAT* list, LONG count, uint32_t compression, WORD bits) {
  for (LONG i = 0; i < count && i < KZWIN_CAMERA_MAX_FORMATS; ++i) {
    if (list[i].compression == compression && list[i].bitCount == bits) return true;
  }
  return false;
}

// CPU time spent drawing frames, so that a benchmark can tell the camera's share of the
// thread that grabs from the library's.
std::atomic<int64_t>& RenderCpu() {
  static std::atomic<int64_t> total{0};
  return total;
}

int64_t ThreadCpuNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

class TestCamera final : public CaptureDriver {
 public:
  TestCamera(UINT index, const KZWIN_CAMERA& config) : config_(config) {
    if (config.name) {
      name_ = config.name;
    } else {
      char text[40];
      if (index > 0) {
        std::snprintf(text, sizeof text, "KZ Test Pattern Camera %u", index);
      } else {
        std::snprintf(text, sizeof text, "KZ Test Pattern Camera");
      }
      name_ = text;
    }
    header_.biSize = 40;
    header_.biPlanes = 1;
    header_.biWidth = config.startWidth ? config.startWidth : 320;
    header_.biHeight = config.startHeight ? config.startHeight : 240;
    header_.biCompression = config.startWidth ? config.startCompression : kYuy2;
    header_.biBitCount = config.startWidth ? config.startBitCount : 16;
    Normalise();
  }

  std::string Description() const override { return name_; }
  std::string Version() const override { return "Version 1.0"; }

  bool Connect() override {
    Delay();
    if (config_.failConnect || connected_.exchange(true)) return false;
    std::lock_guard lock(mutex_);
    delivered_ = 0;
    return true;
  }
  void Disconnect() override { connected_.store(false); }
  bool Connected() const { return connected_.load(); }

  std::vector<uint8_t> Format() override {
    Delay();
    std::lock_guard lock(mutex_);
    std::vector<uint8_t> info(40 + 4 * static_cast<size_t>(header_.biClrUsed));
    std::memcpy(info.data(), &header_, 40);
    for (uint32_t i = 0; i < header_.biClrUsed; ++i) {
      uint8_t entry[4] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i), static_cast<uint8_t>(i),
                          0};
      std::memcpy(info.data() + 40 + 4 * i, entry, 4);
    }
    return info;
  }

  int64_t ReportedFormatBytes() override {
    if (config_.reportFormatBytes) return config_.reportFormatBytes;
    std::lock_guard lock(mutex_);
    return 40 + 4 * int64_t{header_.biClrUsed};
  }

  bool SetFormat(const uint8_t* info, size_t bytes) override {
    Delay();
    if (!info || bytes < 40) return false;
    BITMAPINFOHEADER h;
    std::memcpy(&h, info, 40);
    if (h.biWidth <= 0 || h.biHeight <= 0 || config_.refuseAllFormats) return false;
    const CameraFormat* f = FindCameraFormat(h.biCompression, h.biBitCount);
    if (!f || !CameraSizeOk(h.biWidth, h.biHeight)) return false;
    if (config_.onlyWidth && (h.biWidth != config_.onlyWidth || h.biHeight != config_.onlyHeight))
      return false;
    if (Listed(config_.refused, config_.refusedCount, h.biCompression, h.biBitCount)) return false;
    if (config_.onlyCount > 0 &&
        !Listed(config_.only, config_.onlyCount, h.biCompression, h.biBitCount))
      return false;
    std::lock_guard lock(mutex_);
    header_ = h;
    Normalise();
    return true;
  }

  bool HasSourceDialog() const override { return !config_.noSourceDialog; }
  bool HasFormatDialog() const override { return !config_.noFormatDialog; }
  bool SourceDialog(HWND owner, UINT index) override {
    return Dialog(KZWIN_DIALOG_VIDEO_SOURCE, "Video Source", owner, index);
  }
  bool FormatDialog(HWND owner, UINT index) override {
    return Dialog(KZWIN_DIALOG_VIDEO_FORMAT, "Video Format", owner, index);
  }

  bool GrabFrame(VIDEOHDR* out) override {
    Delay();
    std::lock_guard lock(mutex_);
    if (config_.framesBeforeFailure >= 0 && delivered_ >= uint64_t(config_.framesBeforeFailure))
      return false;
    const CameraFormat* f = FindCameraFormat(header_.biCompression, header_.biBitCount);
    if (!f || !CameraSizeOk(header_.biWidth, header_.biHeight)) return false;
    const uint32_t n = static_cast<uint32_t>(delivered_++);
    const int64_t before = ThreadCpuNs();
    RenderCameraFrame(frame_.data(), *f, header_.biWidth, header_.biHeight, n);
    RenderCpu().fetch_add(ThreadCpuNs() - before, std::memory_order_relaxed);
    std::memset(out, 0, sizeof *out);
    out->lpData = frame_.data();
    out->dwBufferLength = static_cast<DWORD>(frame_.size());
    out->dwBytesUsed = static_cast<DWORD>(frame_.size());
    const DWORD fps = config_.framesPerSecond ? config_.framesPerSecond : 30;
    out->dwTimeCaptured = static_cast<DWORD>(uint64_t{n} * 1000 / fps);
    out->dwFlags = 0x1 | 0x8;  // done, key frame
    return true;
  }

 private:
  void Delay() const {
    if (config_.delayMs) Sleep(config_.delayMs);
  }

  // Brings the current header into the shape the camera reports (the caller holds the lock
  // or owns the object alone) and sizes the frame buffer for it.
  void Normalise() {
    const CameraFormat* f = FindCameraFormat(header_.biCompression, header_.biBitCount);
    header_.biSize = 40;
    header_.biPlanes = 1;
    header_.biXPelsPerMeter = 0;
    header_.biYPelsPerMeter = 0;
    header_.biClrImportant = 0;
    header_.biClrUsed = 0;
    if (!f || !CameraSizeOk(header_.biWidth, header_.biHeight)) {
      frame_.clear();
      return;
    }
    const int64_t bytes = CameraFrameBytes(*f, header_.biWidth, header_.biHeight);
    const bool gv8 = f->layout == Layout::Gv8;
    header_.biSizeImage = static_cast<DWORD>(bytes - (gv8 ? 768 : 0));
    if (gv8) header_.biClrUsed = 192;
    if (f->layout == Layout::Rgb8) header_.biClrUsed = 256;
    frame_.resize(static_cast<size_t>(bytes));
  }

  bool Dialog(DWORD kind, const char* title, HWND owner, UINT index) {
    std::vector<uint8_t> current = Format();
    std::vector<uint8_t> payload(kMaxFormatBytes, 0);
    std::memcpy(payload.data(), current.data(), current.size());
    KZWIN_DIALOG dialog{};
    dialog.kind = kind;
    dialog.owner = owner;
    dialog.title = title;
    dialog.driverIndex = index;
    dialog.payload = payload.data();
    dialog.payloadBytes = static_cast<DWORD>(current.size());
    dialog.payloadRoom = static_cast<DWORD>(payload.size());
    if (RunDialog(dialog) != KZWIN_DIALOG_OK) return false;
    if (std::memcmp(payload.data(), current.data(), current.size()) == 0) return true;
    // The choice must be a format the camera takes; else the dialog fails.
    return SetFormat(payload.data(), payload.size());
  }

  const KZWIN_CAMERA config_;
  std::string name_;
  std::atomic<bool> connected_{false};
  std::mutex mutex_;
  BITMAPINFOHEADER header_{};
  std::vector<uint8_t> frame_;
  uint64_t delivered_ = 0;
};

KZWIN_CAMERA DefaultConfig() {
  KZWIN_CAMERA c;
  std::memset(&c, 0, sizeof c);
  c.framesBeforeFailure = -1;
  return c;
}

struct DriverTable {
  std::mutex mutex;
  std::array<std::shared_ptr<TestCamera>, kMaxDrivers> drivers;
  DriverTable() { drivers[0] = std::make_shared<TestCamera>(0, DefaultConfig()); }
};

DriverTable& Drivers() {
  static DriverTable* table = new DriverTable;
  return *table;
}

}  // namespace

std::shared_ptr<CaptureDriver> DriverAt(UINT index) {
  if (index >= kMaxDrivers) return nullptr;
  DriverTable& t = Drivers();
  std::lock_guard lock(t.mutex);
  return t.drivers[index];
}

}  // namespace kzwin

extern "C" {

void kzwinDefaultCamera(KZWIN_CAMERA* camera) {
  if (camera) *camera = kzwin::DefaultConfig();
}

BOOL kzwinSetCamera(UINT driverIndex, const KZWIN_CAMERA* camera) {
  if (driverIndex >= kzwin::kMaxDrivers) return FALSE;
  std::shared_ptr<kzwin::TestCamera> made;
  if (camera) {
    made = std::make_shared<kzwin::TestCamera>(driverIndex, *camera);
  } else if (driverIndex == 0) {
    made = std::make_shared<kzwin::TestCamera>(0, kzwin::DefaultConfig());
  }
  kzwin::DriverTable& t = kzwin::Drivers();
  std::lock_guard lock(t.mutex);
  t.drivers[driverIndex] = std::move(made);
  return TRUE;
}

void kzwinResetCameras(void) {
  for (UINT i = 0; i < kzwin::kMaxDrivers; ++i) kzwinSetCamera(i, nullptr);
}

LONG kzwinCameraConnections(UINT driverIndex) {
  if (driverIndex >= kzwin::kMaxDrivers) return 0;
  kzwin::DriverTable& t = kzwin::Drivers();
  std::lock_guard lock(t.mutex);
  return t.drivers[driverIndex] && t.drivers[driverIndex]->Connected() ? 1 : 0;
}

LONGLONG kzwinCameraRenderNanoseconds(void) {
  return kzwin::RenderCpu().load(std::memory_order_relaxed);
}

}  // extern "C"

#include "capture/driver_format.h"

#include <vfw.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "capture/capture_window.h"
#include "image/pixfmt.h"

namespace kz {
namespace {

// Guarded, so that two callers on different threads never tear the header; which of two
// concurrent probes wins stays unspecified, as it always was.
std::mutex rememberedMutex;
BITMAPINFOHEADER remembered{};

}  // namespace

BITMAPINFOHEADER RememberedHeader() {
  std::lock_guard lock(rememberedMutex);
  return remembered;
}

void SetRememberedHeader(const BITMAPINFOHEADER& header) {
  std::lock_guard lock(rememberedMutex);
  remembered = header;
}

std::optional<DriverFormat> GetDriverFormat(HWND window) {
  const LRESULT size = CapSend(window, WM_CAP_GET_VIDEOFORMAT, 0, 0);
  // A size below the header's own would leave part of it unread.
  if (size < 40 || size > static_cast<LRESULT>(kMaxFormatBytes)) return std::nullopt;
  alignas(BITMAPINFO) uint8_t info[kMaxFormatBytes] = {};
  const LRESULT got = CapSend(window, WM_CAP_GET_VIDEOFORMAT, static_cast<WPARAM>(size),
                              reinterpret_cast<LPARAM>(info));
  if (got < 40) return std::nullopt;  // 0 is a refusal; less would leave the header part-read
  DriverFormat f;
  std::memcpy(&f.header, info, sizeof f.header);
  const PixelFormat* row =
      LookupDriverFormat(static_cast<int16_t>(f.header.biBitCount), f.header.biCompression);
  if (!row) return std::nullopt;
  f.format = StoredFormat{f.header.biWidth, f.header.biHeight, row->code};
  return f;
}

std::optional<StoredFormat> ReadCurrentFormat(HWND window) {
  std::optional<DriverFormat> f = GetDriverFormat(window);
  if (!f) return std::nullopt;
  SetRememberedHeader(f->header);
  return f->format;
}

bool RestoreFormat(HWND window, const std::optional<BITMAPINFOHEADER>& saved,
                   StoredFormat* result) {
  std::optional<DriverFormat> f = GetDriverFormat(window);
  if (f) *result = f->format;
  if (saved) {
    alignas(BITMAPINFO) uint8_t info[kMaxFormatBytes] = {};
    BITMAPINFOHEADER header = *saved;
    const PixelFormat* row =
        LookupDriverFormat(static_cast<int16_t>(header.biBitCount), header.biCompression);
    if (row) {
      header.biClrUsed = row->paletteBytes / 4;
      std::memcpy(info, &header, sizeof header);
      for (uint32_t i = 0; i < header.biClrUsed; ++i) {
        const uint8_t entry[4] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i),
                                  static_cast<uint8_t>(i), 0};
        std::memcpy(info + 40 + 4 * i, entry, 4);
      }
      CapSend(window, WM_CAP_SET_VIDEOFORMAT, 40 + row->paletteBytes,
              reinterpret_cast<LPARAM>(info));
    }
    SetRememberedHeader(header);
  }
  return f.has_value();
}

int NoteCurrentFormat(uint32_t source, HWND window) {
  std::optional<DriverFormat> f = GetDriverFormat(window);
  if (!f) return 0;
  std::vector<StoredFormat> entries;
  if (LoadStoredEntries(source, &entries) &&
      std::find(entries.begin(), entries.end(), f->format) == entries.end()) {
    entries.push_back(f->format);
    SaveStoredEntries(source, entries);
  }
  std::lock_guard lock(rememberedMutex);
  const bool differs = std::memcmp(&remembered, &f->header, sizeof remembered) != 0;
  remembered = f->header;
  return differs ? 1 : 0;
}

}  // namespace kz

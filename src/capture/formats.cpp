// KZEnumFormats and KZGetFormat: a source's capture formats, probed once and then answered
// from the formats store.
#include <kzvideo.h>
#include <windows.h>
#include <vfw.h>

#include <algorithm>
#include <array>
#include <new>
#include <optional>
#include <vector>

#include "capture/capture_window.h"
#include "capture/driver_format.h"
#include "capture/format_store.h"
#include "frame/errors.h"
#include "frame/session.h"
#include "image/pixfmt.h"

namespace kz {
namespace {

struct Size {
  int32_t width, height;
};

// Most common first, so that the list a caller sees starts with the usual sizes.
constexpr std::array<Size, 10> kCandidateSizes{{{640, 480},
                                                {1280, 960},
                                                {320, 240},
                                                {160, 120},
                                                {1024, 768},
                                                {1600, 1200},
                                                {800, 600},
                                                {352, 288},
                                                {176, 144},
                                                {128, 96}}};

// Tries every candidate size in every pixel format on a connected driver; the driver is
// left in the format it had. Returns what it accepted.
std::vector<StoredFormat> ProbeDriver(HWND window) {
  std::vector<StoredFormat> list;
  list.reserve(1 + kCandidateSizes.size() * kPixelFormats.size() + 1);
  // Only a header read from this driver may be put back afterwards.
  std::optional<BITMAPINFOHEADER> before;
  if (std::optional<DriverFormat> current = GetDriverFormat(window)) {
    SetRememberedHeader(current->header);
    before = current->header;
    list.push_back(current->format);
  }
  alignas(BITMAPINFO) uint8_t info[kMaxFormatBytes];
  for (const Size& size : kCandidateSizes) {
    for (const PixelFormat& row : kPixelFormats) {
      const StoredFormat candidate{size.width, size.height, row.code};
      if (!list.empty() && list.front() == candidate) continue;
      const uint32_t bytes =
          BuildCaptureHeader(reinterpret_cast<BITMAPINFO*>(info), size.width, size.height, row);
      if (CapSend(window, WM_CAP_SET_VIDEOFORMAT, bytes, reinterpret_cast<LPARAM>(info)) != 0) {
        list.push_back(candidate);
      }
    }
  }
  StoredFormat last;
  if (RestoreFormat(window, before, &last) &&
      std::find(list.begin(), list.end(), last) == list.end()) {
    list.push_back(last);
  }
  return list;
}

void FillFormat(KZFORMAT* out, const StoredFormat& f) {
  const PixelFormat* row = FormatByCode(f.code);
  out->width = f.width;
  out->height = f.height;
  out->format = f.code;
  out->bitCount = row ? static_cast<int32_t>(row->bits) : 0;
}

int32_t EnumFormats(uint32_t session, uint32_t source, KZFORMAT* list, int32_t capacity,
                    uint32_t flags) {
  SetError(0);
  if (!CheckSession(session)) return 0;
  if (source < 1 || source > kSourceCount) return Fail(KZ_ERR_SOURCE);
  const uint32_t mode = flags & 3;
  std::vector<StoredFormat> formats;
  if (mode == 0 || mode == 3) {
    std::vector<StoredFormat> entries;
    if (!LoadStoredEntries(source, &entries)) return Fail(KZ_ERR_MEMORY);
    formats = UsableFormats(entries);
    if (mode == 3 && formats.empty()) return Fail(KZ_ERR_NOT_STORED);
  }
  if (formats.empty() || mode == 1 || mode == 2) {
    if (FindSourceStream(source).found) return Fail(KZ_ERR_SOURCE_IN_USE);
    {
      TemporaryCaptureWindow probe(source, GetActiveWindow());
      if (!probe.get()) return Fail(KZ_ERR_SOURCE);
      formats = ProbeDriver(probe.get());
    }
    SaveStoredEntries(source, formats);
  }
  if (formats.empty()) return Fail(KZ_ERR_NO_FORMAT);
  const auto number = static_cast<int32_t>(formats.size());
  if (!list) return number;
  const int32_t room = std::max(capacity, 0);  // a negative capacity is no room
  for (int32_t i = 0; i < number && i < room; ++i) FillFormat(&list[i], formats[i]);
  if (number > room) {
    SetError(KZ_ERR_FORMAT_LIST_SHORT);
    return room;
  }
  return number;
}

int GetFormat(uint32_t session, uint32_t source, KZFORMAT* format) {
  SetError(0);
  if (!format) return Fail(KZ_ERR_NULL);  // null pointers come first, as everywhere
  if (!CheckSession(session)) return 0;
  if (source < 1 || source > kSourceCount) return Fail(KZ_ERR_SOURCE);
  std::optional<StoredFormat> current;
  const SourceStream stream = FindSourceStream(source);
  if (stream.found) {
    current = ReadCurrentFormat(stream.captureWindow);
  } else {
    TemporaryCaptureWindow temporary(source, GetActiveWindow());
    if (!temporary.get()) return Fail(KZ_ERR_SOURCE);
    current = ReadCurrentFormat(temporary.get());
  }
  if (!current) return Fail(KZ_ERR_PIXEL_FORMAT);
  FillFormat(format, *current);
  return 1;
}

}  // namespace
}  // namespace kz

extern "C" {

int32_t KZAPI KZEnumFormats(uint32_t session, uint32_t source, KZFORMAT* list, int32_t capacity,
                            uint32_t flags) {
  try {
    return kz::EnumFormats(session, source, list, capacity, flags);
  } catch (const std::bad_alloc&) {
    return kz::Fail(KZ_ERR_MEMORY);
  }
}

int KZAPI KZGetFormat(uint32_t session, uint32_t source, KZFORMAT* format) {
  try {
    return kz::GetFormat(session, source, format);
  } catch (const std::bad_alloc&) {
    return kz::Fail(KZ_ERR_MEMORY);
  }
}

}  // extern "C"

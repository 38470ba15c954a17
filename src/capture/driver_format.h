// A connected driver's current format: reading it, noting it in the formats store, and
// putting a remembered one back.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>

#include "capture/format_store.h"

namespace kz {

constexpr size_t kMaxFormatBytes = 40 + 256 * 4;  // header and a full palette

struct DriverFormat {
  StoredFormat format;
  BITMAPINFOHEADER header{};
};

// The driver's current format, when its size is 40 to 1064 bytes and its header resolves
// to a pixel format by the driver lookup.
std::optional<DriverFormat> GetDriverFormat(HWND window);

// The one remembered header of the process (zero at load).
BITMAPINFOHEADER RememberedHeader();
void SetRememberedHeader(const BITMAPINFOHEADER& header);

// Read current format: the driver's format, which also becomes the remembered header.
std::optional<StoredFormat> ReadCurrentFormat(HWND window);

// Reads the driver's format into `result` (when readable), then sends `saved` back to the
// driver with the grey palette its format needs; `saved` becomes the remembered header.
// With no saved header nothing is sent (a header left by another source is never sent).
// True when the read succeeded.
bool RestoreFormat(HWND window, const std::optional<BITMAPINFOHEADER>& saved, StoredFormat* result);

// Note current format: adds the driver's format to the source's store when missing and
// returns 1 when its header differs from the remembered one (which it then replaces),
// else 0; 0 as well when the format cannot be read.
int NoteCurrentFormat(uint32_t source, HWND window);

}  // namespace kz

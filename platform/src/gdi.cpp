// Device contexts on window surfaces and memory surfaces, and DIB drawing into them.
#include <windows.h>
#include <kzwin_test.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "dib_rows.h"
#include "handles.h"
#include "surface.h"

namespace kzwin {
namespace {

struct DeviceContext {
  HWND window = nullptr;             // window DCs
  std::shared_ptr<Surface> surface;  // memory DCs own theirs; window DCs look it up
};

struct DcTable {
  using Map = std::unordered_map<uintptr_t, std::shared_ptr<DeviceContext>>;
  std::mutex mutex;
  Map dcs;
  uintptr_t next = 0x7D000000;
  // The window DC given back last, with its table node: GetDC on the same window takes it
  // again, so a window drawn on every frame costs no allocation. A DC never changes once
  // made, so someone still holding the old one cannot tell.
  Map::node_type spare;
};

DcTable& Dcs() {
  static auto* table = new DcTable;
  return *table;
}

HDC Enter(std::shared_ptr<DeviceContext> dc) {
  DcTable& t = Dcs();
  std::lock_guard lock(t.mutex);
  t.next += 8;
  t.dcs.emplace(t.next, std::move(dc));
  return reinterpret_cast<HDC>(t.next);  // NOLINT(performance-no-int-to-ptr): handle values
}

std::shared_ptr<DeviceContext> Find(HDC dc) {
  DcTable& t = Dcs();
  std::lock_guard lock(t.mutex);
  auto it = t.dcs.find(reinterpret_cast<uintptr_t>(dc));
  return it == t.dcs.end() ? nullptr : it->second;
}

// The surface a DC draws on; a window DC whose window is gone has none.
std::shared_ptr<Surface> SurfaceOf(HDC dc, HWND window) {
  if (!dc) return window ? SurfaceOfWindow(window) : nullptr;
  auto d = Find(dc);
  if (!d) return nullptr;
  return d->window ? SurfaceOfWindow(d->window) : d->surface;
}

// Copies n DIB pixels of one row to surface words. The row kernel is chosen once per
// call, so no pixel goes through a switch.
struct DibRows {
  int bits = 0;
  uint32_t colours[256] = {};  // 8-bit DIBs: the palette as surface words, 0 past its end

  void Copy(const uint8_t* row, uint32_t* out, int64_t n) const {
    switch (bits) {
      case 8:
        for (int64_t i = 0; i < n; ++i) out[i] = colours[row[i]];
        return;
      case 16:
        for (int64_t i = 0; i < n; ++i) {
          const uint32_t w = row[2 * i] | (uint32_t{row[2 * i + 1]} << 8);
          const uint32_t b = w & 31, g = (w >> 5) & 31, r = (w >> 10) & 31;
          out[i] =
              (((r << 3) | (r >> 2)) << 16) | (((g << 3) | (g >> 2)) << 8) | ((b << 3) | (b >> 2));
        }
        return;
      case 24:
        BgrRow()(row, out, n);
        return;
      default:  // 32
        for (int64_t i = 0; i < n; ++i) {
          const uint8_t* p = row + 4 * i;
          out[i] = (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
        }
        return;
    }
  }
};

}  // namespace
}  // namespace kzwin

using kzwin::DeviceContext;

extern "C" {

HDC WINAPI GetDC(HWND window) {
  if (!window) window = GetDesktopWindow();
  if (!kzwin::SurfaceOfWindow(window)) return nullptr;
  {
    kzwin::DcTable& t = kzwin::Dcs();
    std::lock_guard lock(t.mutex);
    if (!t.spare.empty() && t.spare.mapped()->window == window) {
      t.next += 8;
      t.spare.key() = t.next;
      t.dcs.insert(std::move(t.spare));
      return reinterpret_cast<HDC>(t.next);  // NOLINT(performance-no-int-to-ptr)
    }
  }
  auto dc = std::make_shared<DeviceContext>();
  dc->window = window;
  return kzwin::Enter(std::move(dc));
}

int WINAPI ReleaseDC(HWND window, HDC dc) {
  kzwin::DcTable& t = kzwin::Dcs();
  std::lock_guard lock(t.mutex);
  auto it = t.dcs.find(reinterpret_cast<uintptr_t>(dc));
  if (it == t.dcs.end() || !it->second->window) return 0;
  if (window && it->second->window != window) return 0;
  t.spare = t.dcs.extract(it);
  return 1;
}

HWND WINAPI WindowFromDC(HDC dc) {
  auto d = kzwin::Find(dc);
  return d ? d->window : nullptr;
}

HDC WINAPI CreateCompatibleDC(HDC) {
  auto dc = std::make_shared<DeviceContext>();
  dc->surface = std::make_shared<kzwin::Surface>();
  dc->surface->Resize(1, 1);
  return kzwin::Enter(std::move(dc));
}

BOOL WINAPI DeleteDC(HDC dc) {
  kzwin::DcTable& t = kzwin::Dcs();
  std::lock_guard lock(t.mutex);
  auto it = t.dcs.find(reinterpret_cast<uintptr_t>(dc));
  // DCs from GetDC are given back with ReleaseDC.
  if (it == t.dcs.end() || it->second->window) return FALSE;
  t.dcs.erase(it);
  return TRUE;
}

int WINAPI SetDIBitsToDevice(HDC dc, int xDest, int yDest, DWORD width, DWORD height, int xSrc,
                             int ySrc, UINT startScan, UINT scanLines, const void* bits,
                             const BITMAPINFO* info, UINT colorUse) {
  if (!bits || !info || colorUse != DIB_RGB_COLORS) return 0;
  const BITMAPINFOHEADER& h = info->bmiHeader;
  if (h.biSize < 40 || h.biSize > 4096 || h.biWidth <= 0 || h.biHeight == 0 || h.biPlanes != 1 ||
      h.biCompression != BI_RGB) {
    return 0;
  }
  kzwin::DibRows reader;
  reader.bits = h.biBitCount;
  if (reader.bits != 8 && reader.bits != 16 && reader.bits != 24 && reader.bits != 32) return 0;
  if (reader.bits == 8) {
    const uint32_t colours = h.biClrUsed == 0 ? 256 : (h.biClrUsed > 256 ? 256 : h.biClrUsed);
    const uint8_t* palette = reinterpret_cast<const uint8_t*>(info) + h.biSize;
    for (uint32_t i = 0; i < colours; ++i) {
      const uint8_t* q = palette + 4 * i;
      reader.colours[i] = (uint32_t{q[2]} << 16) | (uint32_t{q[1]} << 8) | q[0];
    }
  }
  auto surface = kzwin::SurfaceOf(dc, nullptr);
  if (!surface) return 0;

  const int64_t dibWidth = h.biWidth;
  const bool topDown = h.biHeight < 0;
  const int64_t dibHeight = topDown ? -int64_t{h.biHeight} : int64_t{h.biHeight};
  const int64_t stride = ((dibWidth * reader.bits + 31) / 32) * 4;
  const auto* base = static_cast<const uint8_t*>(bits);
  // The bits hold scan lines startScan .. startScan + scanLines - 1, counted from the DIB's
  // origin: the bottom row for bottom-up DIBs, the top row for top-down ones.
  const int64_t firstLine = startScan, lastLine = int64_t{startScan} + scanLines;

  std::lock_guard lock(surface->mutex);
  // The columns that land on the surface and come from the DIB, the same on every row.
  const int64_t i0 = std::max({int64_t{0}, -int64_t{xDest}, -int64_t{xSrc}});
  const int64_t i1 = std::min(
      {static_cast<int64_t>(width), surface->width - int64_t{xDest}, dibWidth - int64_t{xSrc}});
  if (i1 <= i0) return static_cast<int>(scanLines);
  // Only the rows j whose scan line the bits hold: a frame drawn in bands walks each row once.
  const int64_t rows = height, y = ySrc;
  const int64_t j0 = std::max(int64_t{0}, topDown ? firstLine - y : y + rows - lastLine);
  const int64_t j1 = std::min(rows, topDown ? lastLine - y : y + rows - firstLine);
  for (int64_t j = j0; j < j1; ++j) {
    const int64_t dy = int64_t{yDest} + j;
    if (dy < 0 || dy >= surface->height) continue;
    // Source rectangle: (xSrc, ySrc) is its lower-left corner in a bottom-up DIB and its
    // upper-left corner in a top-down one.
    const int64_t line =
        topDown ? int64_t{ySrc} + j : int64_t{ySrc} + static_cast<int64_t>(height) - 1 - j;
    if (line < 0 || line >= dibHeight || line < firstLine || line >= lastLine) continue;
    const uint8_t* row = base + (line - firstLine) * stride;
    uint32_t* out = surface->pixels.data() + dy * surface->width;
    reader.Copy(row + (int64_t{xSrc} + i0) * (reader.bits / 8), out + xDest + i0, i1 - i0);
  }
  return static_cast<int>(scanLines);
}

BOOL kzwinSetMemoryDCSize(HDC dc, LONG width, LONG height) {
  auto d = kzwin::Find(dc);
  if (!d || d->window || width <= 0 || height <= 0 ||
      int64_t{width} * height > (int64_t{1} << 28)) {
    return FALSE;
  }
  d->surface->Resize(width, height);
  return TRUE;
}

BOOL kzwinFillSurface(HDC dc, HWND window, DWORD colour) {
  auto s = kzwin::SurfaceOf(dc, window);
  if (!s) return FALSE;
  std::lock_guard lock(s->mutex);
  std::fill(s->pixels.begin(), s->pixels.end(), colour & 0xFFFFFFu);
  return TRUE;
}

BOOL kzwinReadSurface(HDC dc, HWND window, LONG* width, LONG* height, DWORD* pixels,
                      LONG capacity) {
  auto s = kzwin::SurfaceOf(dc, window);
  if (!s) return FALSE;
  std::lock_guard lock(s->mutex);
  if (width) *width = s->width;
  if (height) *height = s->height;
  if (!pixels) return TRUE;
  if (capacity < 0 || static_cast<size_t>(capacity) < s->pixels.size()) return FALSE;
  std::memcpy(pixels, s->pixels.data(), s->pixels.size() * sizeof(DWORD));
  return TRUE;
}

BOOL kzwinSaveSurfaceBmp(HDC dc, HWND window, LPCSTR path) {
  auto s = kzwin::SurfaceOf(dc, window);
  if (!s || !path) return FALSE;
  std::vector<uint8_t> file;
  {
    std::lock_guard lock(s->mutex);
    const int64_t w = s->width, h = s->height;
    const int64_t stride = (3 * w + 3) & ~int64_t{3};
    const int64_t size = 54 + stride * h;
    if (w <= 0 || h <= 0 || size > 0x7FFFFFFF) return FALSE;
    file.assign(static_cast<size_t>(size), 0);
    auto put = [&](size_t at, uint32_t v, int n) {
      for (int i = 0; i < n; ++i) file[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    file[0] = 'B', file[1] = 'M';
    put(2, static_cast<uint32_t>(size), 4);
    put(10, 54, 4);
    put(14, 40, 4);
    put(18, static_cast<uint32_t>(w), 4);
    put(22, static_cast<uint32_t>(h), 4);
    put(26, 1, 2);
    put(28, 24, 2);
    put(34, static_cast<uint32_t>(stride * h), 4);
    for (int64_t y = 0; y < h; ++y) {
      uint8_t* row = file.data() + 54 + (h - 1 - y) * stride;
      const uint32_t* in = s->pixels.data() + y * w;
      for (int64_t x = 0; x < w; ++x) {
        row[3 * x] = static_cast<uint8_t>(in[x]);
        row[3 * x + 1] = static_cast<uint8_t>(in[x] >> 8);
        row[3 * x + 2] = static_cast<uint8_t>(in[x] >> 16);
      }
    }
  }
  FILE* f = std::fopen(path, "wb");
  if (!f) return FALSE;
  const bool ok = std::fwrite(file.data(), 1, file.size(), f) == file.size();
  return std::fclose(f) == 0 && ok ? TRUE : FALSE;
}

LONG kzwinCountDCs(void) {
  kzwin::DcTable& t = kzwin::Dcs();
  std::lock_guard lock(t.mutex);
  return static_cast<LONG>(t.dcs.size());
}

}  // extern "C"

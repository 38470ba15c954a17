// Pixel surfaces shared by the user area (window client areas) and the gdi area.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace kzwin {

// 32-bit pixels 0x00RRGGBB, top row first; `mutex` guards pixels and size.
struct Surface {
  std::mutex mutex;
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint32_t> pixels;

  void Resize(int32_t w, int32_t h) {
    std::lock_guard lock(mutex);
    width = w > 0 ? w : 0;
    height = h > 0 ? h : 0;
    pixels.assign(static_cast<size_t>(width) * static_cast<size_t>(height), 0);
  }
};

// The client-area surface of a live window, or null (implemented by the user area).
std::shared_ptr<Surface> SurfaceOfWindow(HWND window);

}  // namespace kzwin

#include "image/show.h"

#include <windows.h>

#include <cstring>
#include <span>

#include "frame/blocks.h"
#include "frame/stream.h"
#include "image/colour.h"
#include "image/convert.h"
#include "image/pixfmt.h"
#include "image/plan.h"

namespace kz {

namespace {

// The spare bitmap when it has the size and depth asked for; otherwise it is freed.
uint8_t* TakeSpare(uint8_t*& spare, int32_t w, int32_t h, bool eightBit) {
  uint8_t* taken = spare;
  spare = nullptr;
  if (!taken) return nullptr;
  BITMAPINFOHEADER header;
  std::memcpy(&header, taken, sizeof header);
  if (header.biWidth == w && header.biHeight == h && header.biBitCount == (eightBit ? 8 : 24)) {
    return taken;
  }
  BlockFree(taken);
  return nullptr;
}

}  // namespace

void PrepareShow(StreamRecord& rec) {
  ShowState& s = rec.show;
  BuildPlan(rec.display, s.resamplePlan, s.adjustTables, s.shownWidth, s.shownHeight,
            s.adjustFlags);
  s.pixelKind = KindOfFormat(static_cast<int32_t>(rec.display.format));
}

void ReleaseShow(StreamRecord& rec) {
  FreePlan(rec.show.resamplePlan, rec.show.adjustTables);
}

uint8_t* ShowStep(StreamRecord& rec, const uint8_t* source, size_t sourceBytes,
                  const ShowCallbacks& callbacks, const ShowHooks& hooks) {
  ShowState& s = rec.show;
  const KZDISPLAY& block = rec.display;
  const bool eightBit = IsEightBitOutput(static_cast<int32_t>(block.format));
  // Without a plan the bitmap has the frame's own size, whatever an earlier plan said:
  // the direct conversion must never write past a smaller bitmap.
  const bool planned = s.resamplePlan && s.adjustTables;
  const int32_t w = planned ? s.resamplePlan->width : block.width;
  const int32_t h = planned ? s.resamplePlan->height : block.height;
  const int64_t bytes = PackedBitmapSize(w, h, eightBit);
  if (bytes < 0) return nullptr;
  uint8_t* bitmap = hooks.spare ? TakeSpare(*hooks.spare, w, h, eightBit) : nullptr;
  if (!bitmap) bitmap = static_cast<uint8_t*>(BlockAlloc(static_cast<size_t>(bytes)));
  if (!bitmap) return nullptr;
  uint8_t* rows = WritePackedBitmapHeader(bitmap, w, h, eightBit);
  const int64_t stride = BitmapStride(w, eightBit);
  const std::span<uint8_t> pixels(rows, static_cast<size_t>(stride * h));

  if (hooks.isStream) Sleep(0);
  bool drawing = true;
  if (callbacks.beforeDraw) {
    KZDISPLAY copy = block;
    drawing = callbacks.beforeDraw(&copy, source) != 0;
  }
  if (drawing) {
    const SourceFrame frame{static_cast<int32_t>(block.format), block.width, block.height,
                            std::span<const uint8_t>(source, source ? sourceBytes : 0), s.palette};
    const int64_t need = SourceBytesNeeded(frame);
    if (!source || need < 0 || static_cast<int64_t>(sourceBytes) < need) {
      drawing = false;
    } else if (planned) {
      // Padding first: the converter writes pixels only.
      const int64_t used = eightBit ? w : 3 * int64_t{w};
      for (int64_t r = 0; r < h; ++r) {
        std::memset(rows + r * stride + used, 0, static_cast<size_t>(stride - used));
      }
      RunGeneralConverter(*s.resamplePlan, *s.adjustTables, s.adjustFlags, block, frame,
                          rows + (h - 1) * stride, -stride, eightBit);
    } else {
      drawing = ConvertDirect(frame, pixels, stride);
    }
  }
  // An unconverted bitmap is still handed out: no stale heap bytes in it.
  if (!drawing) std::memset(rows, 0, pixels.size());
  if (hooks.isStream) Sleep(0);

  if (drawing) {
    if (hooks.afterConvert) {
      drawing = hooks.afterConvert(hooks.context, source, bitmap) != 0;
    } else if (callbacks.afterConvert) {
      KZDISPLAY copy = block;
      drawing = callbacks.afterConvert(&copy, source, bitmap) != 0;
    }
  }
  if (drawing && hooks.aviWrite) {
    hooks.aviWrite(hooks.context, bitmap);
  }
  if (drawing && !hooks.neverDraw) {
    HDC dc = s.targetDC;
    HWND window = nullptr;
    if (!dc && block.window && IsWindow(block.window)) {
      window = block.window;
      dc = GetDC(window);
    }
    if (dc) {
      SetDIBitsToDevice(dc, block.left, block.top, static_cast<DWORD>(w), static_cast<DWORD>(h), 0,
                        0, 0, static_cast<UINT>(h), rows,
                        reinterpret_cast<const BITMAPINFO*>(bitmap), DIB_RGB_COLORS);
      if (window) ReleaseDC(window, dc);
      if (hooks.afterDraw) {
        hooks.afterDraw(hooks.context, source, bitmap);
      } else if (callbacks.afterDraw) {
        KZDISPLAY copy = block;
        callbacks.afterDraw(&copy, source, bitmap);
      }
    }
  }
  return bitmap;
}

}  // namespace kz

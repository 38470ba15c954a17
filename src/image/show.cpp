#include "image/show.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
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

// The DC to draw into: the record's target DC, else the display window's own (then
// `window` is set and the caller gives the DC back).
void OpenTarget(const ShowState& s, const KZDISPLAY& block, HDC& dc, HWND& window) {
  dc = s.targetDC;
  window = nullptr;
  if (!dc && block.window && IsWindow(block.window)) {
    window = block.window;
    dc = GetDC(window);
  }
}

// Rows per band when a frame is converted and drawn band by band: the band's bitmap rows
// are still in the core's cache when they are drawn.
constexpr int64_t kBandBytes = 128 * 1024;

// The thread's band buffer, grown to `bytes` when it is smaller: a display thread
// allocates it once.
uint8_t* BandBuffer(size_t bytes) {
  thread_local std::unique_ptr<uint8_t[]> buffer;
  thread_local size_t size = 0;
  if (size < bytes) {
    buffer.reset(new (std::nothrow) uint8_t[bytes]);
    size = buffer ? bytes : 0;
  }
  return buffer.get();
}

// Converts the frame and draws it band by band, into `rows`, or with `bandRows` into that
// buffer of one band alone, leaving the bitmap's pixels unmade. False, with nothing drawn,
// when the frame cannot be converted.
bool ConvertAndDrawInBands(const SourceFrame& frame, uint8_t* bitmap, uint8_t* rows, int64_t stride,
                           int32_t band, uint8_t* bandRows, HDC dc, const KZDISPLAY& block) {
  const int32_t w = frame.width, h = frame.height;
  const std::span<uint8_t> pixels(rows, static_cast<size_t>(stride * h));
  for (int32_t r = 0; r < h; r += band) {
    const int32_t n = std::min(band, h - r);
    const bool converted =
        bandRows ? ConvertDirectBand(frame, std::span(bandRows, static_cast<size_t>(n * stride)),
                                     stride, r, n)
                 : ConvertDirectRows(frame, pixels, stride, r, n);
    if (!converted) return false;
    SetDIBitsToDevice(dc, block.left, block.top, static_cast<DWORD>(w), static_cast<DWORD>(h), 0, 0,
                      static_cast<UINT>(r), static_cast<UINT>(n),
                      bandRows ? bandRows : rows + r * stride,
                      reinterpret_cast<const BITMAPINFO*>(bitmap), DIB_RGB_COLORS);
  }
  return true;
}

}  // namespace

bool MakePixelsLater(const PixelsLater& later, const uint8_t* frame, size_t frameBytes,
                     uint8_t* out, size_t outBytes) {
  const bool eightBit = IsEightBitOutput(later.format);
  const int64_t bytes = PackedBitmapSize(later.width, later.height, eightBit);
  if (bytes < 0 || static_cast<int64_t>(outBytes) < bytes) return false;
  uint8_t* rows = WritePackedBitmapHeader(out, later.width, later.height, eightBit);
  const int64_t stride = BitmapStride(later.width, eightBit);
  const SourceFrame source{later.format, later.width, later.height,
                           std::span<const uint8_t>(frame, frame ? frameBytes : 0), nullptr};
  return ConvertDirect(source, std::span(rows, static_cast<size_t>(stride * later.height)), stride);
}

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

  if (hooks.later) *hooks.later = PixelsLater{};
  if (hooks.isStream) Sleep(0);
  bool drawing = true;
  if (callbacks.beforeDraw) {
    KZDISPLAY copy = block;
    drawing = callbacks.beforeDraw(&copy, source) != 0;
  }
  // Nothing looks at the whole bitmap between converting and drawing: the two go band by
  // band, so the bitmap is read back from the cache instead of from memory.
  const bool inBands = !planned && !hooks.neverDraw && !hooks.aviWrite && !hooks.afterConvert &&
                       !callbacks.afterConvert;
  HDC dc = nullptr;
  HWND window = nullptr;
  bool drawn = false;
  if (drawing) {
    const SourceFrame frame{static_cast<int32_t>(block.format), block.width, block.height,
                            std::span<const uint8_t>(source, source ? sourceBytes : 0), s.palette};
    const int64_t need = SourceBytesNeeded(frame);
    if (inBands) OpenTarget(s, block, dc, window);
    if (!source || need < 0 || static_cast<int64_t>(sourceBytes) < need) {
      drawing = false;
    } else if (inBands && dc) {
      const int32_t band = static_cast<int32_t>(std::clamp<int64_t>(kBandBytes / stride, 1, h));
      // Pixels nobody sees before a caller asks for them are made then, from the raw frame;
      // the palette of a PAL8 stream is not kept for that, so those frames are written.
      uint8_t* bandRows = hooks.later && (hooks.rawCopy || hooks.keepsFrame) && !hooks.afterDraw &&
                                  !callbacks.afterDraw && block.format != KZ_FORMAT_PAL8
                              ? BandBuffer(static_cast<size_t>(band * stride))
                              : nullptr;
      drawing = ConvertAndDrawInBands(frame, bitmap, rows, stride, band, bandRows, dc, block);
      drawn = drawing;
      if (drawing && bandRows) {
        *hooks.later = PixelsLater{static_cast<int32_t>(block.format), w, h};
      }
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
  if (hooks.rawCopy && source) std::memcpy(hooks.rawCopy, source, sourceBytes);
  if (drawing && !hooks.neverDraw) {
    if (!dc) OpenTarget(s, block, dc, window);
    if (dc) {
      if (!drawn) {
        SetDIBitsToDevice(dc, block.left, block.top, static_cast<DWORD>(w), static_cast<DWORD>(h),
                          0, 0, 0, static_cast<UINT>(h), rows,
                          reinterpret_cast<const BITMAPINFO*>(bitmap), DIB_RGB_COLORS);
      }
      if (window) ReleaseDC(window, dc);
      window = nullptr;
      if (hooks.afterDraw) {
        hooks.afterDraw(hooks.context, source, bitmap);
      } else if (callbacks.afterDraw) {
        KZDISPLAY copy = block;
        callbacks.afterDraw(&copy, source, bitmap);
      }
    }
  }
  if (window) ReleaseDC(window, dc);
  return bitmap;
}

}  // namespace kz

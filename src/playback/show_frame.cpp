// The playback side of the show step: callbacks, publication and the redraw.
#include "playback/show_frame.h"

#include <cstring>
#include <mutex>

#include "image/publish.h"
#include "image/show.h"

namespace kz {
namespace {

// The playback block's callbacks take a copy of the block as it was when the frame was
// shown; each call gets its own copy, so a callback cannot change what the next one sees.
int AfterConvert(void* context, const void* source, const void* bitmap) {
  KZPLAYBACK copy = *static_cast<const KZPLAYBACK*>(context);
  return copy.afterConvertCallback ? copy.afterConvertCallback(&copy, source, bitmap) : 1;
}

void AfterDraw(void* context, const void* source, const void* bitmap) {
  KZPLAYBACK copy = *static_cast<const KZPLAYBACK*>(context);
  if (copy.afterDrawCallback) copy.afterDrawCallback(&copy, source, bitmap);
}

}  // namespace

void PreparePlaybackShow(StreamRecord* e) {
  // The plan normalises the display block, which callers read under the block lock.
  std::lock_guard lock(e->blockMutex);
  PrepareShow(*e);
}

void ShowPlaybackFrame(StreamRecord* e) {
  KZPLAYBACK block;
  {
    std::lock_guard lock(e->blockMutex);
    block = e->playback;
  }
  ShowCallbacks callbacks;
  callbacks.beforeDraw = e->display.beforeDrawCallback;
  ShowHooks hooks;
  hooks.context = &block;
  hooks.isStream = true;
  hooks.afterConvert = AfterConvert;
  hooks.afterDraw = AfterDraw;
  const uint32_t slot = e->readCount.load(std::memory_order_acquire);
  const uint8_t* frame = e->ring + static_cast<size_t>(slot) * e->frameBytes;
  ShowAndPublish(*e, frame, static_cast<int32_t>(slot), callbacks, hooks, e->play.framesPlayed,
                 e->play.spareFrame);
}

void RedrawPlaybackFrame(StreamRecord* e) {
  const uint8_t* bitmap = e->show.shownImage.load(std::memory_order_acquire);
  const KZDISPLAY& d = e->display;
  if (!bitmap || !d.window || !IsWindow(d.window)) return;
  BITMAPINFOHEADER bi;
  std::memcpy(&bi, bitmap, sizeof bi);
  const size_t colours = bi.biClrUsed ? 1024 : 0;
  HDC dc = GetDC(d.window);
  if (!dc) return;
  SetDIBitsToDevice(dc, d.left, d.top, static_cast<DWORD>(bi.biWidth),
                    static_cast<DWORD>(bi.biHeight), 0, 0, 0, static_cast<UINT>(bi.biHeight),
                    bitmap + sizeof bi + colours, reinterpret_cast<const BITMAPINFO*>(bitmap),
                    DIB_RGB_COLORS);
  ReleaseDC(d.window, dc);
}

}  // namespace kz

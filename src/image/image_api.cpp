// KZShowImage, KZImageToBitmap, KZDisplayCoord and KZDisplayCoord2: the caller-facing
// image functions, run on a temporary stream record.
#include <kzvideo.h>
#include <windows.h>

#include <memory>
#include <new>
#include <span>

#include "frame/blocks.h"
#include "frame/errors.h"
#include "frame/session.h"
#include "frame/stream.h"
#include "image/colour.h"
#include "image/convert.h"
#include "image/pixfmt.h"
#include "image/show.h"

namespace kz {
namespace {

// Holds a locked caller image (or the GV24 copy of a coloured GV8 image) for one call.
struct LockedImage {
  uint8_t* pixels = nullptr;
  uint8_t* expanded = nullptr;
  size_t bytes = 0;
  ~LockedImage() {
    BlockFree(expanded);
    if (pixels) BlockHandOver(pixels);  // unlocks; the caller's handle stays the caller's
  }
};

struct TempRecord {
  std::unique_ptr<StreamRecord> rec{new (std::nothrow) StreamRecord};
  ~TempRecord() {
    if (!rec) return;
    ReleaseShow(*rec);
  }
};

// Steps shared by both functions, up to a converted bitmap. `dc` is only for KZShowImage.
// Returns the bitmap block (null with the error set).
uint8_t* ImageToBitmapBlock(HGLOBAL image, const KZDISPLAY* display, bool show, HDC dc) {
  SetError(0);
  if (!display) return Fail(KZ_ERR_NULL), nullptr;
  if (display->size != sizeof(KZDISPLAY)) return Fail(KZ_ERR_RECORD_SIZE), nullptr;
  if (!CheckOpenSession(display->session)) return nullptr;
  if (!image) return Fail(KZ_ERR_IMAGE_NULL), nullptr;
  const SIZE_T have = GlobalSize(image);
  if (have == 0) return Fail(KZ_ERR_IMAGE_HANDLE), nullptr;
  const PixelFormat* row = LookupFormat(display->format, display->bitCount);
  if (!row) return Fail(KZ_ERR_PIXEL_FORMAT), nullptr;

  TempRecord temp;
  if (!temp.rec) return Fail(KZ_ERR_MEMORY), nullptr;
  StreamRecord& rec = *temp.rec;
  rec.display = *display;
  KZDISPLAY& block = rec.display;
  // A caller's PAL8 image carries no colour table: its indices are shown as grey levels
  // rather than as black.
  for (int i = 0; i < 256; ++i) {
    uint8_t* e = rec.show.palette + 4 * i;
    e[0] = e[1] = e[2] = static_cast<uint8_t>(i);
  }
  if (show) {
    rec.show.targetDC = dc;
    HWND owner = WindowFromDC(dc);
    if (owner) {
      block.window = owner;
    } else if (block.window && IsWindow(block.window)) {
      return Fail(KZ_ERR_DC_WINDOW), nullptr;  // the DC belongs to no window, the block names one
    }
  } else {
    block.left = 0;
    block.top = 0;
  }
  block.format = static_cast<uint32_t>(row->code);
  block.bitCount = row->bits;
  // What the conversion reads: padded rows for the bottom-up formats. Sizes that are not
  // positive are refused here too.
  const int64_t need = ConversionReadSize(block.width, block.height, *row);
  if (need < 0 || static_cast<uint64_t>(need) > have) return Fail(KZ_ERR_IMAGE_SIZE), nullptr;

  LockedImage locked;
  locked.pixels = static_cast<uint8_t*>(BlockAdopt(image));
  if (!locked.pixels) return Fail(KZ_ERR_IMAGE_HANDLE), nullptr;
  locked.bytes = have;
  const uint8_t* source = locked.pixels;
  size_t sourceBytes = locked.bytes;
  if (row->code == KZ_FORMAT_GV8 && !IsGreyPalette(std::span<const uint8_t>(locked.pixels, 768))) {
    const int64_t n = 3 * int64_t{block.width} * block.height;
    locked.expanded = static_cast<uint8_t*>(BlockAlloc(static_cast<size_t>(n)));
    if (!locked.expanded) return Fail(KZ_ERR_MEMORY), nullptr;
    ExpandGv8(std::span<const uint8_t>(locked.pixels, locked.bytes), block.width, block.height,
              std::span<uint8_t>(locked.expanded, static_cast<size_t>(n)));
    block.format = KZ_FORMAT_GV24;
    block.bitCount = 24;
    source = locked.expanded;
    sourceBytes = static_cast<size_t>(n);
  }

  PrepareShow(rec);
  // The caller's own block: its callbacks are the caller's.
  const ShowCallbacks callbacks{display->beforeDrawCallback, display->afterConvertCallback,
                                display->afterDrawCallback};
  uint8_t* bitmap = ShowStep(rec, source, sourceBytes, callbacks, ShowHooks{});
  if (!bitmap) return Fail(KZ_ERR_MEMORY), nullptr;
  return bitmap;
}

}  // namespace
}  // namespace kz

extern "C" {

int KZAPI KZShowImage(KZHGLOBAL image, const KZDISPLAY* display, KZHDC dc) {
  uint8_t* bitmap = kz::ImageToBitmapBlock(image, display, true, dc);
  if (!bitmap) return 0;
  kz::BlockFree(bitmap);
  return 1;
}

KZHGLOBAL KZAPI KZImageToBitmap(KZHGLOBAL image, const KZDISPLAY* display) {
  uint8_t* bitmap = kz::ImageToBitmapBlock(image, display, false, nullptr);
  if (!bitmap) return nullptr;
  return kz::BlockHandOver(bitmap);
}

int KZAPI KZDisplayCoord2(const KZDISPLAY* display, int32_t x, int32_t y, int32_t* outX,
                          int32_t* outY, uint32_t direction) {
  kz::SetError(0);
  if (!display || (!outX && !outY)) return kz::Fail(KZ_ERR_NULL);
  return direction == 0 ? kz::FrameToWindow(*display, x, y, outX, outY)
                        : kz::WindowToFrame(*display, x, y, outX, outY);
}

int KZAPI KZDisplayCoord(uint32_t session, uint32_t stream, KZHWND window, int32_t x, int32_t y,
                         int32_t* outX, int32_t* outY, uint32_t direction) {
  kz::SetError(0);
  kz::StreamRecord* entry =
      kz::MatchStream(session, stream, window, kz::kDisplayBit, KZ_ERR_NO_DISPLAY);
  if (!entry) return 0;
  KZDISPLAY block;
  {
    // A changed block that waits to be taken up is the one the next frames will use.
    std::lock_guard lock(entry->blockMutex);
    block = (entry->pending.load(std::memory_order_acquire) & kz::kDisplayBit)
                ? entry->pendingDisplay
                : entry->display;
  }
  return KZDisplayCoord2(&block, x, y, outX, outY, direction);
}

}  // extern "C"

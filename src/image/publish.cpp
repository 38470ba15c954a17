#include "image/publish.h"

#include <kzvideo.h>

#include <cstring>

#include "frame/blocks.h"
#include "frame/errors.h"
#include "frame/stream.h"

namespace kz {
namespace {

enum : uint32_t { kLockHeld = 1, kLockPinning = 2, kLockPublishing = 4 };

int64_t Elapsed(DWORD start) {
  return int64_t{static_cast<uint32_t>(timeGetTime() - start)};
}

// A frame buffer or bitmap that is no longer shown nor held goes back to the thread's spare.
void Recycle(uint8_t* frame, uint8_t*& spare) {
  if (!frame) return;
  if (!spare) {
    spare = frame;
  } else {
    BlockFree(frame);
  }
}

// Makes `bitmap` and `frame` (the raw frame's block) the shown image unless a caller is
// pinning right now, in which case the bitmap is dropped and false returned: `frame` is
// then still the caller's.
bool PublishImage(StreamRecord& e, uint8_t* bitmap, uint8_t* frame, const PixelsLater& later,
                  int32_t slot, uint8_t*& spare, std::atomic<uint32_t>& shownCount) {
  ShowState& s = e.show;
  // The publisher's bit goes up first and the caller's is tested after: of a caller and
  // the publisher, whichever sets its bit second sees the other's and gives way.
  const uint32_t before = s.imageLock.fetch_or(kLockPublishing, std::memory_order_acq_rel);
  if (before & kLockPinning) {
    s.imageLock.fetch_and(~kLockPublishing, std::memory_order_release);
    shownCount.fetch_add(1, std::memory_order_acq_rel);
    Recycle(bitmap, s.spareImage);
    return false;
  }
  uint8_t* oldImage = s.shownImage.load(std::memory_order_relaxed);
  uint8_t* oldFrame = s.shownFrame;
  uint8_t* freeImages[2] = {nullptr, nullptr};
  uint8_t* freeFrames[2] = {nullptr, nullptr};
  if ((before & kLockHeld) == 0) {
    // Nobody holds an image: an earlier pinned one that is not the shown one goes too.
    uint8_t* pinned = s.pinnedImage.exchange(nullptr, std::memory_order_relaxed);
    if (pinned != oldImage) freeImages[1] = pinned;
    if (s.pinnedFrame != oldFrame) freeFrames[1] = s.pinnedFrame;
    s.pinnedFrame = nullptr;
    freeImages[0] = oldImage;
    freeFrames[0] = oldFrame;
  } else {
    if (oldImage != s.pinnedImage.load(std::memory_order_relaxed)) freeImages[0] = oldImage;
    if (oldFrame != s.pinnedFrame) freeFrames[0] = oldFrame;
  }
  s.shownImage.store(bitmap, std::memory_order_relaxed);
  s.shownFrame = frame;
  s.shownLater = later;
  s.shownSlot.store(slot, std::memory_order_relaxed);
  shownCount.fetch_add(1, std::memory_order_acq_rel);
  s.imageLock.fetch_and(~kLockPublishing, std::memory_order_release);
  // Freed after the lock bit is down: a caller waits only for the pointer swaps.
  for (uint8_t* image : freeImages) Recycle(image, s.spareImage);
  for (uint8_t* old : freeFrames) Recycle(old, spare);
  return true;
}

// A movable global block of `bytes` bytes that `fill` writes (false: no block); it belongs
// to the caller.
template <class Fill>
HGLOBAL FilledHandle(int64_t bytes, Fill fill) {
  if (bytes <= 0 || bytes > int64_t{0xFFFFFFFF}) return nullptr;
  HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE, static_cast<SIZE_T>(bytes));
  if (!handle) return nullptr;
  auto* to = static_cast<uint8_t*>(GlobalLock(handle));
  const bool filled = to && fill(to, static_cast<size_t>(bytes));
  if (to) GlobalUnlock(handle);
  if (!filled) {
    GlobalFree(handle);
    return nullptr;
  }
  return handle;
}

HGLOBAL CopyToHandle(const void* data, int64_t bytes) {
  return FilledHandle(bytes, [data](uint8_t* to, size_t n) {
    std::memcpy(to, data, n);
    return true;
  });
}

// Bytes of a packed bitmap the show step made: header, colour table and pixels.
int64_t BitmapBytes(const uint8_t* bitmap) {
  BITMAPINFOHEADER h;
  std::memcpy(&h, bitmap, sizeof h);
  return int64_t{sizeof h} + int64_t{h.biClrUsed} * 4 + int64_t{h.biSizeImage};
}

}  // namespace

void ShowAndPublish(StreamRecord& e, const uint8_t* frame, int32_t slot,
                    const ShowCallbacks& callbacks, const ShowHooks& hooks,
                    std::atomic<uint32_t>& shownCount, uint8_t*& spare, uint8_t** frameBlock) {
  // A block for the raw frame: the copy that the step makes as it reads the frame (while
  // its ring slot is still held, and outside the lock so that a caller never waits for
  // it), or what the slot gets in exchange for its own block.
  uint8_t* block = spare ? spare : static_cast<uint8_t*>(BlockAlloc(e.frameBytes));
  spare = nullptr;
  const bool handOver = frameBlock && block;
  ShowHooks withSpare = hooks;
  withSpare.spare = &e.show.spareImage;
  withSpare.rawCopy = handOver ? nullptr : block;
  withSpare.keepsFrame = handOver;
  PixelsLater later;
  withSpare.later = &later;
  uint8_t* bitmap = ShowStep(e, frame, e.frameBytes, callbacks, withSpare);
  if (!bitmap || !block) {
    Recycle(bitmap, e.show.spareImage);
    spare = block;
    shownCount.fetch_add(1, std::memory_order_acq_rel);
    return;
  }
  Sleep(0);
  // Not published (a caller is pinning): the slot keeps its block and `block` is spare.
  if (!PublishImage(e, bitmap, handOver ? *frameBlock : block, later, slot, spare, shownCount)) {
    spare = block;
  } else if (handOver) {
    *frameBlock = block;
  }
}

HGLOBAL PinAndCopy(StreamRecord& e, uint32_t flags, DWORD start, int64_t limit,
                   uint32_t busyError) {
  ShowState& s = e.show;
  s.imageLock.fetch_or(kLockPinning, std::memory_order_acq_rel);
  while (s.imageLock.load(std::memory_order_acquire) & kLockPublishing) {
    if (Elapsed(start) >= limit) {
      s.imageLock.fetch_and(~kLockPinning, std::memory_order_acq_rel);
      SetError(busyError);
      return nullptr;
    }
  }
  uint8_t* image = s.shownImage.load(std::memory_order_acquire);
  // An image an earlier caller held past the publisher's last turn is neither shown nor
  // held any more: it goes now, with its frame.
  uint8_t* previous = s.pinnedImage.exchange(image, std::memory_order_relaxed);
  if (previous != image) BlockFree(previous);
  if (s.pinnedFrame != s.shownFrame) BlockFree(s.pinnedFrame);
  s.pinnedFrame = s.shownFrame;
  s.pinnedLater = s.shownLater;
  s.pinnedSlot.store(s.shownSlot.load(std::memory_order_relaxed), std::memory_order_relaxed);
  // Held before the pinning bit goes, so a publisher starting in between keeps the image.
  s.imageLock.fetch_or(kLockHeld, std::memory_order_acq_rel);
  s.imageLock.fetch_and(~kLockPinning, std::memory_order_acq_rel);
  HGLOBAL copy = nullptr;
  uint32_t error = 0;
  if (!image) {
    error = KZ_ERR_NO_IMAGE;
  } else if ((flags & KZ_IMAGE_AS_DRAWN) && s.pinnedLater.width != 0) {
    // The bitmap was drawn from the frame without its pixels being written: made now.
    copy = FilledHandle(BitmapBytes(image), [&](uint8_t* to, size_t n) {
      return MakePixelsLater(s.pinnedLater, s.pinnedFrame, e.frameBytes, to, n);
    });
  } else if (flags & KZ_IMAGE_AS_DRAWN) {
    copy = CopyToHandle(image, BitmapBytes(image));
  } else if (s.pinnedFrame) {
    // The raw frame published with the image: a copy, never a ring slot that the stream
    // may have reused since.
    copy = CopyToHandle(s.pinnedFrame, e.frameBytes);
  }
  if (!copy && !error) error = KZ_ERR_MEMORY;
  s.imageLock.fetch_and(~kLockHeld, std::memory_order_acq_rel);
  if (error) SetError(error);
  return copy;
}

void ClearPublished(StreamRecord& e) {
  ShowState& s = e.show;
  uint8_t* shown = s.shownImage.exchange(nullptr, std::memory_order_acq_rel);
  uint8_t* pinned = s.pinnedImage.exchange(nullptr, std::memory_order_acq_rel);
  BlockFree(shown);
  if (pinned != shown) BlockFree(pinned);
  if (s.pinnedFrame != s.shownFrame) BlockFree(s.pinnedFrame);
  BlockFree(s.shownFrame);
  s.shownFrame = nullptr;
  s.pinnedFrame = nullptr;
  s.shownLater = PixelsLater{};
  s.pinnedLater = PixelsLater{};
  BlockFree(s.spareImage);
  s.spareImage = nullptr;
  s.imageLock.store(0, std::memory_order_release);
}

}  // namespace kz

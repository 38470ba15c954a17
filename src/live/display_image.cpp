// KZGetDisplayImage: a copy of the image a display shows, taken under the image lock.
#include <kzvideo.h>

#include <cstring>
#include <mutex>

#include "frame/blocks.h"
#include "frame/errors.h"
#include "frame/stream.h"
#include "live/live_stream.h"

namespace kz {
namespace {

enum : uint32_t { kLockHeld = 1, kLockPinning = 2, kLockPublishing = 4 };

int64_t Elapsed(DWORD start) {
  return int64_t{static_cast<uint32_t>(timeGetTime() - start)};
}

// A movable global block holding a copy of `bytes` bytes; it belongs to the caller.
HGLOBAL CopyToHandle(const void* data, int64_t bytes) {
  if (bytes <= 0 || bytes > int64_t{0xFFFFFFFF}) return nullptr;
  HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE, static_cast<SIZE_T>(bytes));
  if (!handle) return nullptr;
  void* to = GlobalLock(handle);
  if (!to) {
    GlobalFree(handle);
    return nullptr;
  }
  std::memcpy(to, data, static_cast<size_t>(bytes));
  GlobalUnlock(handle);
  return handle;
}

// Bytes of a packed bitmap the show step made: header, colour table and pixels.
int64_t BitmapBytes(const uint8_t* bitmap) {
  BITMAPINFOHEADER h;
  std::memcpy(&h, bitmap, sizeof h);
  return int64_t{sizeof h} + int64_t{h.biClrUsed} * 4 + int64_t{h.biSizeImage};
}

// Pins the shown image and copies it (the table lock is held, so the entry stays; the
// publisher holds its bit only for a few pointer swaps, so the wait for it is short).
HGLOBAL PinAndCopy(StreamRecord& e, uint32_t flags, DWORD start, int64_t limit) {
  ShowState& s = e.show;
  s.imageLock.fetch_or(kLockPinning, std::memory_order_acq_rel);
  while (s.imageLock.load(std::memory_order_acquire) & kLockPublishing) {
    if (Elapsed(start) >= limit) {
      s.imageLock.fetch_and(~kLockPinning, std::memory_order_acq_rel);
      SetError(KZ_ERR_DISPLAY_BUSY);
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
  s.pinnedSlot.store(s.shownSlot.load(std::memory_order_relaxed), std::memory_order_relaxed);
  // Held before the pinning bit goes, so a publisher starting in between keeps the image.
  s.imageLock.fetch_or(kLockHeld, std::memory_order_acq_rel);
  s.imageLock.fetch_and(~kLockPinning, std::memory_order_acq_rel);
  HGLOBAL copy = nullptr;
  uint32_t error = 0;
  if (!image) {
    error = KZ_ERR_NO_IMAGE;
  } else if (flags & KZ_IMAGE_AS_DRAWN) {
    copy = CopyToHandle(image, BitmapBytes(image));
  } else if (s.pinnedFrame) {
    // The raw frame published with the image: a copy, never a ring slot that the ring may
    // have handed back to the driver since.
    copy = CopyToHandle(s.pinnedFrame, e.frameBytes);
  }
  if (!copy && !error) error = KZ_ERR_MEMORY;
  s.imageLock.fetch_and(~kLockHeld, std::memory_order_acq_rel);
  if (error) SetError(error);
  return copy;
}

}  // namespace
}  // namespace kz

extern "C" {

KZHGLOBAL KZAPI KZGetDisplayImage(uint32_t session, uint32_t source, KZHWND window, uint32_t flags,
                                  int32_t timeoutMs) {
  using namespace kz;
  SetError(0);
  StreamRecord* e = MatchStream(session, source, window, kDisplayBit, KZ_ERR_NO_DISPLAY);
  if (!e) return nullptr;
  const EntryIdentity id = IdentityOf(*e);
  const uint32_t shown = e->live.framesShown.load(std::memory_order_acquire);
  const uint32_t moment = flags & 3;
  const bool unpaced = moment == 2;
  if (unpaced) e->live.unpacedWaiters.fetch_add(1, std::memory_order_acq_rel);
  const DWORD start = timeGetTime();
  const int64_t limit = int64_t{timeoutMs >= 0 ? timeoutMs : 100} + 2;

  bool gone = false;
  bool timedOut = false;
  if (moment != 0) {
    MSG msg;
    while (e->live.framesShown.load(std::memory_order_acquire) == shown) {
      if (Elapsed(start) >= limit) {
        timedOut = true;
        break;
      }
      // The frames may need this thread: it owns the capture window. A pump can re-enter
      // the library, so the entry is checked again before it is used.
      PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
      if (!StillSame(*e, id, kDisplayBit)) {
        gone = true;
        break;
      }
    }
  }

  std::lock_guard lock(StreamTableMutex());
  const bool alive = e->streamId.load(std::memory_order_acquire) == id.streamId &&
                     e->live.generation.load(std::memory_order_acquire) == id.generation &&
                     e->releasing.load(std::memory_order_acquire) == 0;
  // The override ends with the wait; a released entry has lost it with everything else.
  if (unpaced && alive) e->live.unpacedWaiters.fetch_sub(1, std::memory_order_acq_rel);
  if (gone || !alive || (e->running.load(std::memory_order_acquire) & kDisplayBit) == 0) {
    SetError(KZ_ERR_NO_DISPLAY);
    return nullptr;
  }
  if (timedOut) {
    SetError(KZ_ERR_TIMEOUT);
    return nullptr;
  }
  return PinAndCopy(*e, flags, start, limit);
}

}  // extern "C"

// KZGetDisplayImage: a copy of the image a display shows, taken under the image lock.
#include <kzvideo.h>

#include <mutex>

#include "frame/errors.h"
#include "frame/stream.h"
#include "image/publish.h"
#include "live/live_stream.h"

namespace kz {
namespace {

int64_t Elapsed(DWORD start) {
  return int64_t{static_cast<uint32_t>(timeGetTime() - start)};
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
  return PinAndCopy(*e, flags, start, limit, KZ_ERR_DISPLAY_BUSY);
}

}  // extern "C"

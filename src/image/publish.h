// The published image of a stream and its image lock: the show step's bitmap (with a copy
// of the raw frame) handed over for KZGetDisplayImage and KZGetPlaybackImage. The stream's
// own thread publishes; callers pin and copy. Neither waits for the other longer than a few
// pointer swaps: a publisher that meets a pinning caller drops its new image instead.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "image/show.h"

namespace kz {

struct StreamRecord;

// Runs the show step on `frame` (ring slot `slot`, `frameBytes` bytes) and publishes the
// bitmap with the raw frame. The frame counts in `shownCount` whether or not a bitmap could
// be made, before the lock bit goes down, so a caller that sees the new image also sees its
// count. `spare` is the thread's recycled frame buffer (freed by the thread when it ends).
// `frameBlock`, when given, is the block holding `frame` (a ring slot the caller holds):
// the block itself is published and the slot gets the spare in its place; otherwise the
// frame is copied.
void ShowAndPublish(StreamRecord& e, const uint8_t* frame, int32_t slot,
                    const ShowCallbacks& callbacks, const ShowHooks& hooks,
                    std::atomic<uint32_t>& shownCount, uint8_t*& spare,
                    uint8_t** frameBlock = nullptr);

// The caller's side: pins the shown image and copies it (the drawn bitmap with
// KZ_IMAGE_AS_DRAWN, else the raw frame published with it) into a handle the caller owns.
// The caller holds the table lock and has checked that the stream still runs. Errors:
// `busyError` when the publisher holds the lock past `start` + `limit` ms, 29 nothing
// shown yet, 12 no memory.
HGLOBAL PinAndCopy(StreamRecord& e, uint32_t flags, DWORD start, int64_t limit, uint32_t busyError);

// Forgets the published image (no caller can reach it: the activity's bit is clear).
void ClearPublished(StreamRecord& e);

}  // namespace kz

// The playback thread and its pacing step.
#pragma once

#include <windows.h>

#include <cstdint>

#include "frame/stream.h"

namespace kz {

DWORD WINAPI PlaybackThread(LPVOID streamId);
// Picks the frame to read next after a frame was shown and sets its due time. 1 / 0 (0:
// paused in time mode, or a file could not be opened).
int AdvancePlayback(StreamRecord* entry);
// Ends the playback with `code`. The stop request goes first, so that a caller's stop
// arriving now leaves the code alone.
inline void EndPlayback(StreamRecord* e, uint32_t code) {
  e->stopRequest.fetch_or(kPlaybackBit, std::memory_order_acq_rel);
  e->play.playbackEndCode.store(code, std::memory_order_release);
}
// Milliseconds to add to a due time: clamped to what a 32-bit clock difference can say.
uint32_t ClampedDelay(double ms);

}  // namespace kz

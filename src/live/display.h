// The display of a live stream: its thread, the show step on ring frames and the
// published image.
#pragma once

#include <windows.h>

#include <cstdint>

namespace kz {

struct StreamRecord;

DWORD WINAPI DisplayThread(LPVOID entry);

// Takes the display's frame from the ring, runs the show step on it, publishes the bitmap
// (with a copy of the raw frame) for KZGetDisplayImage and hands the slots back. The
// display thread calls it holding the ring claim. `spare` is the thread's recycled frame
// buffer.
void ShowLiveFrame(StreamRecord& e, uint8_t*& spare);

// Publishing side of the image lock: makes `bitmap` and a copy of `frame` (in ring slot
// `slot`) the shown image unless a caller is pinning right now, in which case both are
// dropped. Counts the frame as shown either way. ShowLiveFrame counts every frame it takes.
void PublishImage(StreamRecord& e, uint8_t* bitmap, const uint8_t* frame, int32_t slot,
                  uint8_t*& spare);

// The display's pacing interval from its applied block.
void ApplyDisplayRate(StreamRecord& e);

// Forgets the image published by an earlier display of the stream (no caller can reach
// it: the display bit is clear).
void ClearPublished(StreamRecord& e);

}  // namespace kz

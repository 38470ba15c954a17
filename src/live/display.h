// The display of a live stream: its thread, the show step on ring frames and the
// published image.
#pragma once

#include <windows.h>

#include <cstdint>

namespace kz {

struct StreamRecord;

DWORD WINAPI DisplayThread(LPVOID entry);

// Takes the display's frame from the ring, runs the show step on it, publishes the bitmap
// (image/publish.h) for KZGetDisplayImage and hands the slots back. The
// display thread calls it holding the ring claim. `spare` is the thread's recycled frame
// buffer.
void ShowLiveFrame(StreamRecord& e, uint8_t*& spare);

// The display's pacing interval from its applied block.
void ApplyDisplayRate(StreamRecord& e);

}  // namespace kz

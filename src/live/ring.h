// The frame ring of a live stream: eight slots of a 16-byte header and one frame as the
// driver delivered it, filled by the frame callback and emptied by the display and record
// threads. The headers lie side by side in the ring block; each frame is a block of its own.
//
// The counters `writeCount` (frame callback only) and `readCount` (the consumer holding
// the claim) are unsigned 32-bit values that simply wrap: 8 divides 2^32, so a count's
// slot is its value mod 8 at every wrap, and the fill level is `writeCount - readCount`.
// A slot is published by the release store of `writeCount` and handed back by the release
// store of `readCount`.
#pragma once

#include <windows.h>
#include <vfw.h>

#include <cstdint>

#include "live/live_state.h"

namespace kz {

struct StreamRecord;

enum : uint32_t { kWantDisplay = 1, kWantRecord = 2 };

// Allocates the ring for frames of `frameBytes` bytes and zeroes the counters. False (and
// no ring) when memory is short.
bool AllocateRing(StreamRecord& e, uint32_t frameBytes);
// Frees the ring's headers and frames (no thread may use them any more).
void FreeRing(StreamRecord& e);

// The slot of a counter value.
SlotHeader* SlotHead(StreamRecord& e, uint32_t count);
uint8_t* SlotFrame(StreamRecord& e, uint32_t count);
// The slot's frame block itself, for a consumer holding the slot to exchange.
uint8_t*& SlotFrameBlock(StreamRecord& e, uint32_t count);
uint32_t SlotWant(StreamRecord& e, uint32_t count);
uint32_t RingFill(const StreamRecord& e);

// The callback installed on a live stream's capture window; runs on the window's thread
// while the grab thread waits in WM_CAP_GRAB_FRAME. 1 when the frame was stored.
LRESULT CALLBACK FrameCallback(HWND captureWindow, LPVIDEOHDR header);
// Stores one delivered frame into `e`'s ring (the callback after finding the entry).
bool StoreFrame(StreamRecord& e, const VIDEOHDR* header);

// The claim of the ring's head: one consumer at a time reads the head and moves
// `readCount`. `who` is kWantDisplay or kWantRecord. Never waited on: a consumer that does
// not get it tries again on its next pass.
bool ClaimRing(StreamRecord& e, uint32_t who);
void ReleaseRing(StreamRecord& e, uint32_t who);

// Display side (claim held). True when the head is the display's to take: the ring is not
// empty and the head is not kept for a recording that runs and has begun.
bool HeadForDisplay(StreamRecord& e);
// Skips older display-only frames and returns the count of the frame to show.
uint32_t ChooseForDisplay(StreamRecord& e);
// Hands the slots up to `shown` back to the frame callback.
void FinishForDisplay(StreamRecord& e, uint32_t shown);

// Record side (claim held).
enum class RecordHead { kEmpty, kWrite, kWait };
// kWrite: the head is a frame the recording wants. Head frames that only a display wanted
// and no display runs to take any more are consumed here, so the recording goes on.
RecordHead HeadForRecord(StreamRecord& e);
// After the frame-write step on the head: consumes it, or leaves it to the display.
void ConsumeForRecord(StreamRecord& e);

}  // namespace kz

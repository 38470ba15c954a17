// Opening a capture source as a live stream, and starting the threads of a stream with the
// go/abort handshake. Shared by the display and the recording.
//
// A start function on a source with no stream: OpenLiveStream, fill its block (and the
// display block's stream fields) under `blockMutex`, set the pacing inputs of live_state.h,
// StartLiveThreads(activity, withGrab = true), then FinishOpening; on a failure after the
// open, AbandonLiveStream. On a stream that runs already: StartLiveThreads(withGrab = false).
// Its thread begins with WaitForGo, takes frames under ClaimRing (ring.h) and ends with
// EndThread.
#pragma once

#include <kzvideo.h>
#include <windows.h>

#include <cstdint>

#include "image/pixfmt.h"

namespace kz {

struct StreamRecord;

// What a start function asks for: the fields its caller block has in common.
struct LiveOpenRequest {
  uint32_t session = 0;
  uint32_t source = 0;  // 1 to 10
  int32_t width = 0;
  int32_t height = 0;
  uint32_t format = 0;  // 0: the first row whose bit count is `bitCount`
  uint32_t bitCount = 0;
  HWND window = nullptr;
};

// The request of a display or record block: both name the stream by the same fields.
template <class Block>
LiveOpenRequest OpenRequestOf(const Block& b) {
  return {b.session, b.source, b.width, b.height, b.format, b.bitCount, b.window};
}

// Opens `q.source` as a live stream on the calling thread, which owns its capture window
// from now on: takes a table entry, creates and connects the hidden capture window,
// negotiates the format, allocates the ring and installs the frame callback. The entry is
// left with `live.opening` set and nothing running; on failure nothing is left and
// `*error` holds 19, 20, 9, 23 or 12. `*row` receives the accepted pixel format.
StreamRecord* OpenLiveStream(const LiveOpenRequest& q, const PixelFormat** row, uint32_t* error);

// Gives up an entry that OpenLiveStream made and no thread runs on.
void AbandonLiveStream(StreamRecord& e);
// The entry is set up and its threads run: other starts on the source may use it now.
void FinishOpening(StreamRecord& e);

// Starts the activity thread `proc` (its `running` bit `activity`, its handle into
// `*handle`) and, when `withGrab`, the grab thread after it. Each bit is set before its
// thread is created, so a stop that follows at once finds it. A thread that cannot be
// created has its bit cleared; threads already made are told to abort and are joined.
// False (error 21) when a thread could not be created: nothing then runs on the entry.
bool StartLiveThreads(StreamRecord& e, uint32_t activity, LPTHREAD_START_ROUTINE proc,
                      HANDLE* handle, bool withGrab);

// First thing of every thread of a live stream (its parameter is the entry): waits for
// the starter's go. On abort it clears its own bits and returns false.
bool WaitForGo(StreamRecord& e, uint32_t bit);
// Last thing of a thread: clears its stop request and then its running bit.
void EndThread(StreamRecord& e, uint32_t bit);

// The entry as an API call found it, to see after a pump whether it is still that stream.
struct EntryIdentity {
  uint32_t streamId = 0;
  uint32_t session = 0;
  uint32_t generation = 0;
};
EntryIdentity IdentityOf(const StreamRecord& e);
// Still the same stream, not being released, and `bit` still runs on it.
bool StillSame(const StreamRecord& e, const EntryIdentity& id, uint32_t bit);

// The entry of a source (any activity), or null. Needs StreamTableMutex.
StreamRecord* SourceEntryLocked(uint32_t source);

DWORD WINAPI GrabThread(LPVOID entry);

}  // namespace kz

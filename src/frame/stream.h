// The stream table: one entry per live source, playback or export, and the one stop
// operation that ends them.
#pragma once

#include <kzvideo.h>
#include <windows.h>
#include <vfw.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "export/export_state.h"
#include "image/show_state.h"
#include "live/live_state.h"
#include "playback/playback_state.h"
#include "record/record_state.h"

namespace kz {

// Activity bits of `running`, `stopRequest` and stop masks.
enum : uint32_t {
  kDisplayBit = 1,
  kRecordBit = 2,
  kGrabBit = 4,
  kPlaybackBit = 8,
  kSaveBit = 16,
  kAllBits = 0xFFFFFFFFu,
};

struct StreamRecord {
  // Header. One writer per bit: each worker sets and clears its own `running` bit;
  // StopStreams ORs bits into `stopRequest`, the workers clear theirs.
  std::atomic<uint32_t> session{0};
  std::atomic<uint32_t> streamId{0};
  std::atomic<uint32_t> running{0};
  std::atomic<uint32_t> stopRequest{0};
  std::atomic<uint32_t> pending{0};
  std::atomic<uint32_t> busy{0};
  // Set while an entry is being released, so that exactly one party releases it.
  std::atomic<uint32_t> releasing{0};
  // A stop timed out on this entry; a later stop call releases it once nothing runs.
  std::atomic<uint32_t> stopTimedOut{0};
  // Go/abort handshake of freshly created threads: 0 wait, 1 go, 2 abort.
  std::atomic<uint32_t> startGate{0};

  HWND captureWindow = nullptr;
  HANDLE grabThread = nullptr;
  HANDLE displayThread = nullptr;
  HANDLE recordThread = nullptr;
  HANDLE playbackThread = nullptr;
  HANDLE saveThread = nullptr;

  // Caller blocks. `blockMutex` guards each block and its pending copy; it is never held
  // while drawing or calling back.
  std::mutex blockMutex;
  KZDISPLAY display{};
  KZDISPLAY pendingDisplay{};
  KZPLAYBACK playback{};
  KZPLAYBACK pendingPlayback{};
  KZRECORD record{};
  KZEXPORT save{};

  // The frame ring (live streams: 16-byte slot headers; playback and export: none).
  uint8_t* ring = nullptr;
  std::atomic<uint32_t> readCount{0};
  std::atomic<uint32_t> writeCount{0};
  int32_t slotCount = 0;
  uint32_t frameBytes = 0;

  ShowState show;          // show step: plan, tables, published image
  LiveState live;          // grab thread, display pacing and statistics
  RecordState rec;         // record thread and writer
  PlaybackState play;      // playback files, positions, pacing
  ExportState exp;         // video export
  AviOutputState avi;      // AVI output of a recording or export

  // Back to the state of a free entry (zero-filled, as a released entry is).
  void Reset();
};

constexpr int kStreamTableSize = 32;

// Process-wide table. `StreamTableMutex` guards the count, taking and releasing entries;
// it is never held while waiting, sleeping, sending a message or calling back.
StreamRecord* StreamTable();
std::mutex& StreamTableMutex();
int StreamCount();  // high-water mark: entries at or beyond it are free

// Takes the first free entry below the count, else the one at the count. Null when all 32
// are in use. The entry's streamId must be set by the caller while it holds the lock.
StreamRecord* TakeEntry(int* index);
// Frees every block the entry holds, destroys its capture window, zeroes it and shrinks
// the count when it was the last entry. Only the party that wins `releasing` does it.
void ReleaseEntry(StreamRecord* entry);
int EntryIndex(const StreamRecord* entry);

// First entry with this id whose `running` has a bit of `mask` (mask 0: any entry).
StreamRecord* FindStream(uint32_t streamId, uint32_t mask);

// Results of StopStreams.
enum StopResult : int { kStopTimedOut = 0, kStopDone = 1, kStopNothing = 2 };
// Asks the matching threads to stop, waits at most 5000 ms while pumping sent messages,
// and releases entries on which nothing runs any more.
int StopStreams(uint32_t streamId, uint32_t mask);

// Common argument rules of (session, source, window) functions. Returns the entry or null
// with the error set: 5 session, `notFound`, 25 other session, 26 other window.
StreamRecord* MatchStream(uint32_t session, uint32_t streamId, HWND window, uint32_t bit,
                          uint32_t notFound);
// The window an entry draws into (display block, or playback block for playbacks).
HWND StreamWindow(StreamRecord* entry);

// Waits up to `ms` while pumping the calling thread's sent messages. Returns when `done`
// says so (true) or the time is up (false).
template <class Done>
bool PumpWait(uint32_t ms, Done done) {
  DWORD start = timeGetTime();
  MSG msg;
  for (;;) {
    if (done()) return true;
    if (static_cast<uint32_t>(timeGetTime() - start) >= ms) return done();
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    Sleep(1);
  }
}

}  // namespace kz

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
  // Header. One writer per bit: each worker sets its own `running` bit first thing and
  // clears it (fetch_and) as its very last act, after closing files, freeing blocks and
  // calling back. StopStreams ORs bits into `stopRequest`; the workers clear theirs.
  // A worker that ends with a failure code sets its own `stopRequest` bit (fetch_or) before
  // it stores the code, so that a stop arriving then never turns the code into 0.
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
  // Counts the releases of this entry (never reset): a stop that waited on one stream
  // never releases the next stream that took the entry meanwhile.
  std::atomic<uint32_t> generation{0};

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

  // The frame ring (live streams: the 16-byte slot headers, their frames in `live`;
  // playback and export: the frames).
  uint8_t* ring = nullptr;
  std::atomic<uint32_t> readCount{0};
  std::atomic<uint32_t> writeCount{0};
  int32_t slotCount = 0;
  uint32_t frameBytes = 0;

  ShowState show;      // show step: plan, tables, published image
  LiveState live;      // grab thread, display pacing and statistics
  RecordState rec;     // record thread and writer
  PlaybackState play;  // playback files, positions, pacing
  ExportState exp;     // video export
  AviOutputState avi;  // AVI output of a recording or export

  // Back to the state of a free entry, as a fresh record is. Only ReleaseEntry calls it,
  // under the table mutex, once nothing runs on the entry. A field added here is reset
  // there too; the state records below are made anew whole.
  void Reset();
};

constexpr int kStreamTableSize = 32;

// The process-wide table. `StreamTableMutex` guards the count and the taking, matching and
// releasing of entries; it is never held while waiting, sleeping, sending a message or
// calling back, and never taken while an entry's `blockMutex` is held.
// An entry found by a lookup stays the same stream while the caller holds the table mutex,
// or while an activity bit of the caller's own thread runs on it: release happens only
// when nothing runs.
StreamRecord* StreamTable();
std::mutex& StreamTableMutex();
int StreamCount();  // high-water mark: entries at or beyond it are free

// Takes the first free entry below the count, else the one at the count (the count grows).
// The caller holds StreamTableMutex() and sets `streamId` before letting it go. Null when
// all 32 entries are in use. A start that fails gives the entry back with ReleaseEntry.
StreamRecord* TakeEntry(int* index);
// Releases an entry on which nothing runs: disconnects and destroys its capture window
// (on its owner thread), frees every block it holds, closes its thread handles, makes it a
// fresh free entry and shrinks the count by one step when it was the last entry. Exactly
// one party wins the claim; false when another release is under way or something runs.
// `generation`, when given, must still be the entry's (see StreamRecord::generation).
constexpr uint32_t kAnyGeneration = 0xFFFFFFFFu;
bool ReleaseEntry(StreamRecord* entry, uint32_t generation = kAnyGeneration);
int EntryIndex(const StreamRecord* entry);

// First entry with this id whose `running` has a bit of `mask` (mask 0: any entry with the
// id). Entries being released are skipped. Reads only atomics: safe without the lock.
StreamRecord* FindStream(uint32_t streamId, uint32_t mask);

// Results of StopStreams.
enum StopResult : int { kStopTimedOut = 0, kStopDone = 1, kStopNothing = 2 };
// Asks the matching threads to stop, waits at most kStopWaitMs while pumping sent messages,
// and releases entries on which nothing runs any more. An entry whose wait timed out is
// marked; a later call releases it once its threads have ended.
int StopStreams(uint32_t streamId, uint32_t mask);
constexpr uint32_t kStopWaitMs = 5000;

// Common argument rules of (session, source, window) functions: session rule (5), the
// first entry whose `running` has `bit` and whose id is `streamId` (0: any), then 25 for a
// stream of another session than a non-zero `session` and 26 for a non-zero `window` that
// is not the stream's. Returns the entry, or null with the error set (`notFound` when no
// stream matches).
StreamRecord* MatchStream(uint32_t session, uint32_t streamId, HWND window, uint32_t bit,
                          uint32_t notFound);
// The same rules for a caller that holds StreamTableMutex() and has checked the session.
// `forChange` (KZChangeDisplay, KZChangeRecord): the id is matched exactly and a stream
// whose `bit` is asked to stop is passed over.
StreamRecord* MatchStreamLocked(uint32_t session, uint32_t streamId, HWND window, uint32_t bit,
                                uint32_t notFound, bool forChange);
// The common body of the functions that hand back a stream's block (KZGetDisplay,
// KZGetRecord, KZGetPlayback): MatchStream, then a null `out` (17), a size field other
// than `size` (2), and `copy(entry, out)` run with the table and block locks held, so the
// entry is still the matched stream while its block is read. `copy` returns 0, or an error
// code for the call to fail with. 1 / 0.
int ReadStreamBlock(uint32_t session, uint32_t streamId, HWND window, uint32_t bit,
                    uint32_t notFound, void* out, uint32_t size,
                    uint32_t (*copy)(StreamRecord& entry, void* out));
// A `copy` for ReadStreamBlock: the pending block if a change waits, else the active one.
template <class Block, Block StreamRecord::*active, Block StreamRecord::*waiting, uint32_t bit>
uint32_t CopyActiveOrPending(StreamRecord& e, void* out) {
  const bool pending = (e.pending.load(std::memory_order_acquire) & bit) != 0;
  *static_cast<Block*>(out) = pending ? e.*waiting : e.*active;
  return 0;
}
// The window an entry draws into: the playback block's for playbacks, else the display
// block's, else (a stream that only records) the record block's.
HWND StreamWindow(StreamRecord* entry);

// Kinds of stream ids.
inline bool IsSourceId(uint32_t id) {
  return id >= 1 && id <= KZ_MAX_SOURCES;
}
inline bool IsPlaybackId(uint32_t id) {
  return id >= KZ_PLAYBACK_ID_BASE && id < KZ_PLAYBACK_ID_BASE + kStreamTableSize;
}
inline bool IsExportId(uint32_t id) {
  return id >= KZ_EXPORT_ID_BASE && id < KZ_EXPORT_ID_BASE + kStreamTableSize;
}

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

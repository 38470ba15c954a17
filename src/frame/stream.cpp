// The stream table: taking, finding, matching and releasing entries.
#include "frame/stream.h"

#include <cstring>
#include <memory>

#include "frame/blocks.h"
#include "frame/errors.h"
#include "frame/session.h"
#include "live/ring.h"

namespace kz {
namespace {

std::atomic<int> streamCount{0};

// The capture window belongs to the thread that opened the stream, and DestroyWindow from
// any other thread fails: that thread is asked to close it (it destroys itself on WM_CLOSE).
void DropCaptureWindow(HWND window) {
  if (!window || !IsWindow(window)) return;
  SendMessageA(window, WM_CAP_DRIVER_DISCONNECT, 0, 0);
  if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()) {
    DestroyWindow(window);
  } else {
    PostMessageA(window, WM_CLOSE, 0, 0);
  }
}

void CloseThread(HANDLE thread) {
  if (thread) CloseHandle(thread);
}

}  // namespace

namespace {

// Makes a sub-record anew in place (they hold atomics and cannot be assigned).
template <class T>
void Renew(T& part) {
  std::destroy_at(&part);
  std::construct_at(&part);
}

}  // namespace

void StreamRecord::Reset() {
  // The header is read by table scans that take no lock, so it is cleared with atomic
  // stores, the id last; `blockMutex` stays as it is.
  session.store(0, std::memory_order_relaxed);
  running.store(0, std::memory_order_relaxed);
  stopRequest.store(0, std::memory_order_relaxed);
  pending.store(0, std::memory_order_relaxed);
  busy.store(0, std::memory_order_relaxed);
  stopTimedOut.store(0, std::memory_order_relaxed);
  startGate.store(0, std::memory_order_relaxed);
  captureWindow = nullptr;
  grabThread = displayThread = recordThread = playbackThread = saveThread = nullptr;
  display = KZDISPLAY{};
  pendingDisplay = KZDISPLAY{};
  playback = KZPLAYBACK{};
  pendingPlayback = KZPLAYBACK{};
  record = KZRECORD{};
  save = KZEXPORT{};
  ring = nullptr;
  readCount.store(0, std::memory_order_relaxed);
  writeCount.store(0, std::memory_order_relaxed);
  slotCount = 0;
  frameBytes = 0;
  Renew(show);
  Renew(live);
  Renew(rec);
  Renew(play);
  Renew(exp);
  Renew(avi);
  generation.fetch_add(1, std::memory_order_acq_rel);
  streamId.store(0, std::memory_order_release);
  releasing.store(0, std::memory_order_release);
}

StreamRecord* StreamTable() {
  static StreamRecord table[kStreamTableSize];
  return table;
}

std::mutex& StreamTableMutex() {
  static std::mutex mutex;
  return mutex;
}

int StreamCount() {
  return streamCount.load(std::memory_order_acquire);
}

int EntryIndex(const StreamRecord* entry) {
  const std::ptrdiff_t i = entry - StreamTable();
  return i >= 0 && i < kStreamTableSize ? static_cast<int>(i) : -1;
}

StreamRecord* TakeEntry(int* index) {
  StreamRecord* table = StreamTable();
  const int count = StreamCount();
  int i = 0;
  while (i < count && table[i].streamId.load(std::memory_order_acquire) != 0) ++i;
  if (i == kStreamTableSize) return nullptr;
  if (i == count) streamCount.store(count + 1, std::memory_order_release);
  if (index) *index = i;
  return &table[i];
}

bool ReleaseEntry(StreamRecord* entry, uint32_t generation) {
  const int index = EntryIndex(entry);
  if (index < 0) return false;
  HWND window;
  {
    std::lock_guard lock(StreamTableMutex());
    if (generation != kAnyGeneration &&
        entry->generation.load(std::memory_order_acquire) != generation) {
      return false;
    }
    if (entry->running.load(std::memory_order_acquire) != 0) return false;
    if (entry->releasing.exchange(1, std::memory_order_acq_rel) != 0) return false;
    window = entry->captureWindow;
  }
  // Sent messages wait for the window's thread, so the table lock is not held here. The
  // driver is disconnected before the ring goes, so no frame lands in freed memory.
  DropCaptureWindow(window);

  std::lock_guard lock(StreamTableMutex());
  FreeRing(*entry);
  BlockFree(entry->rec.recordWork);
  BlockFree(entry->show.resamplePlan);
  BlockFree(entry->show.adjustTables);
  // A pinned picture or frame may be the shown one: each block is freed once, since an
  // address freed first could already belong to another thread's new block.
  uint8_t* const shownImage = entry->show.shownImage.load(std::memory_order_acquire);
  uint8_t* const pinnedImage = entry->show.pinnedImage.load(std::memory_order_acquire);
  BlockFree(shownImage);
  if (pinnedImage != shownImage) BlockFree(pinnedImage);
  BlockFree(entry->show.shownFrame);
  if (entry->show.pinnedFrame != entry->show.shownFrame) BlockFree(entry->show.pinnedFrame);
  BlockFree(entry->show.spareImage);
  BlockFree(entry->exp.ranges);
  if (entry->exp.options) GlobalFree(entry->exp.options);
  CloseThread(entry->grabThread);
  CloseThread(entry->displayThread);
  CloseThread(entry->recordThread);
  CloseThread(entry->playbackThread);
  CloseThread(entry->saveThread);
  entry->Reset();
  const int count = StreamCount();
  if (index == count - 1) streamCount.store(count - 1, std::memory_order_release);
  return true;
}

StreamRecord* FindStream(uint32_t streamId, uint32_t mask) {
  if (streamId == 0) return nullptr;
  StreamRecord* table = StreamTable();
  const int count = StreamCount();
  for (int i = 0; i < count; ++i) {
    StreamRecord& e = table[i];
    if (e.streamId.load(std::memory_order_acquire) != streamId) continue;
    if (e.releasing.load(std::memory_order_acquire) != 0) continue;
    if (mask == 0 || (e.running.load(std::memory_order_acquire) & mask) != 0) return &e;
  }
  return nullptr;
}

HWND StreamWindow(StreamRecord* entry) {
  const uint32_t id = entry->streamId.load(std::memory_order_acquire);
  std::lock_guard lock(entry->blockMutex);
  if (IsPlaybackId(id)) return entry->playback.window;
  if (entry->display.window) return entry->display.window;
  return entry->record.window;
}

StreamRecord* MatchStreamLocked(uint32_t session, uint32_t streamId, HWND window, uint32_t bit,
                                uint32_t notFound, bool forChange) {
  StreamRecord* table = StreamTable();
  const int count = StreamCount();
  for (int i = 0; i < count; ++i) {
    StreamRecord& e = table[i];
    const uint32_t id = e.streamId.load(std::memory_order_acquire);
    if (id == 0 || e.releasing.load(std::memory_order_acquire) != 0) continue;
    if ((e.running.load(std::memory_order_acquire) & bit) == 0) continue;
    if ((streamId != 0 || forChange) && id != streamId) continue;
    if (forChange && (e.stopRequest.load(std::memory_order_acquire) & bit) != 0) continue;
    if (session != 0 && e.session.load(std::memory_order_acquire) != session) {
      SetError(KZ_ERR_OTHER_SESSION);
      return nullptr;
    }
    if (window && StreamWindow(&e) != window) {
      SetError(KZ_ERR_OTHER_WINDOW);
      return nullptr;
    }
    return &e;
  }
  SetError(notFound);
  return nullptr;
}

StreamRecord* MatchStream(uint32_t session, uint32_t streamId, HWND window, uint32_t bit,
                          uint32_t notFound) {
  if (!CheckSession(session)) return nullptr;
  std::lock_guard lock(StreamTableMutex());
  return MatchStreamLocked(session, streamId, window, bit, notFound, false);
}

int ReadStreamBlock(uint32_t session, uint32_t streamId, HWND window, uint32_t bit,
                    uint32_t notFound, void* out, uint32_t size,
                    uint32_t (*copy)(StreamRecord& entry, void* out)) {
  StreamRecord* e = MatchStream(session, streamId, window, bit, notFound);
  if (!e) return 0;
  if (!out) return Fail(KZ_ERR_NULL);
  uint32_t given;
  std::memcpy(&given, out, sizeof given);  // every caller record starts with its size
  if (given != size) return Fail(KZ_ERR_RECORD_SIZE);
  std::lock_guard lock(StreamTableMutex());
  if (e->releasing.load(std::memory_order_acquire) != 0 ||
      (e->running.load(std::memory_order_acquire) & bit) == 0) {
    return Fail(notFound);
  }
  std::lock_guard blockLock(e->blockMutex);
  const uint32_t error = copy(*e, out);
  return error ? Fail(error) : 1;
}

}  // namespace kz

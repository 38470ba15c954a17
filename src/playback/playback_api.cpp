// The exported playback functions: start, change, read back, images, rates, waits.
#include <kzvideo.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "frame/blocks.h"
#include "frame/errors.h"
#include "frame/files.h"
#include "frame/session.h"
#include "frame/stream.h"
#include "image/publish.h"
#include "live/rate.h"
#include "playback/drawing_fields.h"
#include "playback/file_info.h"
#include "playback/playback_io.h"
#include "playback/playback_thread.h"
#include "playback/record_walk.h"

namespace kz {
namespace {

bool SameName(const char* a, const char* b) {
  return std::strncmp(a, b, 256) == 0;
}

// A running playback (not asked to stop when `notStopping`) whose file is `name`.
StreamRecord* FindByName(const char* name, bool notStopping) {
  StreamRecord* table = StreamTable();
  for (int i = 0; i < StreamCount(); ++i) {
    StreamRecord& e = table[i];
    if (!(e.running.load(std::memory_order_acquire) & kPlaybackBit)) continue;
    if (e.releasing.load(std::memory_order_acquire)) continue;
    if (notStopping && (e.stopRequest.load(std::memory_order_acquire) & kPlaybackBit)) continue;
    std::lock_guard lock(e.blockMutex);
    if (SameName(e.playback.fileName, name)) return &e;
  }
  return nullptr;
}

// Finds a playback by file name, or by the first file of the name's sequence.
StreamRecord* FindPlaybackOfFile(const char* fileName, bool notStopping, char* name,
                                 uint32_t* error) {
  if (!LongPathName(fileName, name, 256)) {
    const size_t n = strnlen(fileName, 255);
    std::memcpy(name, fileName, n);
    name[n] = '\0';
  }
  StreamRecord* e = FindByName(name, notStopping);
  if (!e && StreamCount() > 0) {
    KZFILEINFO info{};
    info.size = sizeof info;
    if (!FileInfoOf(name, &info, 0, error)) return nullptr;
    std::snprintf(name, 256, "%s", info.path);
    e = FindByName(name, notStopping);
  }
  if (!e) *error = KZ_ERR_NO_PLAYBACK;
  return e;
}

bool JudgeFound(StreamRecord* e, uint32_t session, HWND window) {
  if (session != 0 && e->session.load(std::memory_order_acquire) != session) {
    return Fail(KZ_ERR_OTHER_SESSION);
  }
  HWND w;
  {
    std::lock_guard lock(e->blockMutex);
    w = e->playback.window;
  }
  if (window && w != window) return Fail(KZ_ERR_OTHER_WINDOW);
  return true;
}

RateSample PlaybackSample(StreamRecord& e) {
  const PlaybackState& p = e.play;
  return SampleOf(p.playbackStart, p.playbackTimes, p.framesPlayed, p.framesSkipped);
}

void ReleaseUnstarted(StreamRecord* e) {
  e->running.store(0, std::memory_order_release);
  ReleaseEntry(e);
}

}  // namespace
}  // namespace kz

uint32_t KZAPI KZStartPlayback(KZPLAYBACK* block) {
  using namespace kz;
  SetError(0);
  if (!block) return Fail(KZ_ERR_NULL);
  if (block->size != sizeof(KZPLAYBACK)) return Fail(KZ_ERR_RECORD_SIZE);
  if (block->fileName[0] == '\0') return Fail(KZ_ERR_NO_FILE_NAME);
  if (!CheckOpenSession(block->session)) return 0;
  char name[256];
  char given[257];
  std::memcpy(given, block->fileName, 256);
  given[256] = '\0';
  if (!LongPathName(given, name, sizeof name)) {
    std::memcpy(name, given, sizeof name);
    name[sizeof name - 1] = '\0';
  }
  KZFILEINFO info{};
  info.size = sizeof info;
  uint32_t error = 0;
  if (!FileInfoOf(name, &info, block->flags, &error)) return Fail(error);
  if (!(block->flags & KZ_PLAY_SHARE) && FindByName(info.path, false)) {
    return Fail(KZ_ERR_PLAYED_ALREADY);
  }
  if (!block->window || !IsWindow(block->window)) return Fail(KZ_ERR_WINDOW);
  {
    StreamRecord* other = FindByName(name, false);
    for (int i = 0; other && i < StreamCount(); ++i) {
      StreamRecord& e = StreamTable()[i];
      if (!(e.running.load(std::memory_order_acquire) & kPlaybackBit)) continue;
      std::lock_guard lock(e.blockMutex);
      if (e.playback.window == block->window && SameName(e.playback.fileName, name)) {
        return Fail(KZ_ERR_PLAYED_IN_WINDOW);
      }
    }
  }

  StreamRecord* e;
  uint32_t id;
  {
    std::lock_guard lock(StreamTableMutex());
    int index = 0;
    e = TakeEntry(&index);
    if (!e) return Fail(KZ_ERR_NO_STREAM_SLOT);
    id = KZ_PLAYBACK_ID_BASE + static_cast<uint32_t>(index);
    e->session.store(block->session, std::memory_order_relaxed);
    {
      std::lock_guard blockLock(e->blockMutex);
      e->playback = *block;
      std::memcpy(e->playback.fileName, name, sizeof name);
      KZDISPLAY& d = e->display;
      d.size = sizeof(KZDISPLAY);
      d.session = block->session;
      d.source = id;
      d.window = block->window;
      DisplayFromPlayback(&d, *block);
      d.width = info.width;
      d.height = info.height;
      d.format = info.format;
      d.bitCount = info.bitCount;
    }
    e->play.sequenceInfo = info;
    // Running from the start: a stop that comes before the thread is scheduled still
    // finds the playback and waits for it.
    e->running.store(kPlaybackBit, std::memory_order_release);
    e->streamId.store(id, std::memory_order_release);
  }
  HANDLE thread = CreateThread(nullptr, 0, PlaybackThread,
                               reinterpret_cast<LPVOID>(static_cast<uintptr_t>(id)), 0, nullptr);
  if (!thread) {
    ReleaseUnstarted(e);
    return Fail(KZ_ERR_THREAD);
  }
  e->playbackThread = thread;
  // The thread starts its work only now, so that the handle is stored before the thread
  // could end and release the entry.
  e->startGate.store(1, std::memory_order_release);
  return id;
}

int KZAPI KZChangePlayback(KZPLAYBACK* block) {
  using namespace kz;
  SetError(0);
  if (!block) return Fail(KZ_ERR_NULL);
  if (block->size != sizeof(KZPLAYBACK)) return Fail(KZ_ERR_RECORD_SIZE);
  if (!CheckSession(block->session)) return 0;
  char given[257];
  std::memcpy(given, block->fileName, 256);
  given[256] = '\0';
  char name[256];
  uint32_t error = 0;
  StreamRecord* first = FindPlaybackOfFile(given, true, name, &error);
  if (!first) return Fail(error);
  StreamRecord* chosen = nullptr;
  for (int i = 0; i < StreamCount() && !chosen; ++i) {
    StreamRecord& e = StreamTable()[i];
    if (!(e.running.load(std::memory_order_acquire) & kPlaybackBit)) continue;
    if (e.stopRequest.load(std::memory_order_acquire) & kPlaybackBit) continue;
    std::lock_guard lock(e.blockMutex);
    if (!SameName(e.playback.fileName, name)) continue;
    const bool sessionOk =
        block->session == 0 || e.session.load(std::memory_order_acquire) == block->session;
    const bool windowOk = !block->window || e.playback.window == block->window;
    if (sessionOk && windowOk) chosen = &e;
  }
  if (!chosen) {
    JudgeFound(first, block->session, block->window);
    return 0;
  }
  std::lock_guard lock(chosen->blockMutex);
  KZPLAYBACK copy = *block;
  copy.size = sizeof copy;
  copy.session = chosen->playback.session;
  std::memcpy(copy.fileName, chosen->playback.fileName, sizeof copy.fileName);
  copy.window = chosen->playback.window;
  if (std::memcmp(&copy, &chosen->playback, sizeof copy) != 0) {
    chosen->pendingPlayback = copy;
    chosen->pending.fetch_or(kPlaybackBit, std::memory_order_acq_rel);
  } else if (chosen->pending.load(std::memory_order_acquire) & kPlaybackBit) {
    chosen->pendingPlayback = copy;
  }
  return 1;
}

int KZAPI KZGetPlayback(uint32_t session, uint32_t id, KZHWND window, KZPLAYBACK* out) {
  using namespace kz;
  SetError(0);
  return ReadStreamBlock(session, id, window, kPlaybackBit, KZ_ERR_NO_PLAYBACK, out,
                         sizeof(KZPLAYBACK),
                         CopyActiveOrPending<KZPLAYBACK, &StreamRecord::playback,
                                             &StreamRecord::pendingPlayback, kPlaybackBit>);
}

int KZAPI KZGetPlaybackFrame(uint32_t session, uint32_t id, KZHWND window, KZPLAYBACKFRAME* out) {
  using namespace kz;
  SetError(0);
  return ReadStreamBlock(session, id, window, kPlaybackBit, KZ_ERR_NO_PLAYBACK, out,
                         sizeof(KZPLAYBACKFRAME), [](StreamRecord& e, void* to) -> uint32_t {
                           if (e.play.shownPos.time == 0.0) return KZ_ERR_NOTHING_SHOWN;
                           auto* pos = static_cast<KZPLAYBACKFRAME*>(to);
                           *pos = e.play.shownPos;
                           pos->size = sizeof(KZPLAYBACKFRAME);
                           pos->rate = e.playback.rate;
                           pos->stepRate = e.playback.stepRate;
                           pos->flags = e.playback.flags;
                           return 0;
                         });
}

uint32_t KZAPI KZGetPlaybackID(uint32_t session, const char* fileName, KZHWND window) {
  using namespace kz;
  SetError(0);
  if (!CheckSession(session)) return 0;
  if (!fileName) return Fail(KZ_ERR_NULL);
  char name[256];
  uint32_t error = 0;
  StreamRecord* e = FindPlaybackOfFile(fileName, false, name, &error);
  if (!e) return Fail(error);
  if (!JudgeFound(e, session, window)) return 0;
  return e->streamId.load(std::memory_order_acquire);
}

KZHGLOBAL KZAPI KZGetPlaybackImage(uint32_t session, uint32_t id, KZHWND window, uint32_t flags,
                                   int32_t timeoutMs) {
  using namespace kz;
  SetError(0);
  StreamRecord* e = MatchStream(session, id, window, kPlaybackBit, KZ_ERR_NO_PLAYBACK);
  if (!e) return nullptr;
  const uint32_t matched = e->streamId.load(std::memory_order_acquire);
  const uint32_t generation = e->generation.load(std::memory_order_acquire);
  PlaybackState& p = e->play;
  const uint32_t before = p.framesPlayed.load(std::memory_order_acquire);
  const uint32_t moment = flags & 3;
  const bool shown = e->show.shownImage.load(std::memory_order_acquire) != nullptr;
  if (moment == 2 && p.playbackState.load(std::memory_order_acquire) > 0) {
    p.redraw.store(1, std::memory_order_release);
  }
  const DWORD start = timeGetTime();
  const int64_t limit = int64_t{timeoutMs >= 0 ? timeoutMs : 100} + 2;
  bool arrived = true;
  if (moment == 1 || moment == 3 || (moment == 2 && !shown)) {
    arrived = PumpWait(static_cast<uint32_t>(limit), [&] {
      return p.framesPlayed.load(std::memory_order_acquire) != before;
    });
  }
  // The entry is looked at again under the table lock: it may have ended and been taken
  // by another stream while this call waited.
  std::lock_guard lock(StreamTableMutex());
  if (e->streamId.load(std::memory_order_acquire) != matched ||
      e->generation.load(std::memory_order_acquire) != generation ||
      e->releasing.load(std::memory_order_acquire) != 0 ||
      (e->running.load(std::memory_order_acquire) & kPlaybackBit) == 0) {
    return (Fail(KZ_ERR_NO_PLAYBACK), nullptr);
  }
  if (!arrived) return (Fail(KZ_ERR_TIMEOUT), nullptr);
  return PinAndCopy(*e, flags, start, limit, KZ_ERR_PLAYBACK_BUSY);
}

int KZAPI KZGetPlaybackInfo(uint32_t session, uint32_t id, const char* fileName, KZHWND window,
                            KZDISPLAY* display, KZRECORD* record, int32_t mode) {
  using namespace kz;
  SetError(0);
  if (!CheckSession(session)) return 0;
  if (!display && !record) return Fail(KZ_ERR_NULL);
  if ((display && display->size != sizeof(KZDISPLAY)) ||
      (record && record->size != sizeof(KZRECORD))) {
    return Fail(KZ_ERR_RECORD_SIZE);
  }
  bool wantDisplay = display != nullptr;
  bool wantRecord = record != nullptr;
  char name[256];
  StreamRecord* e = nullptr;
  if (fileName) {
    uint32_t error = 0;
    e = FindPlaybackOfFile(fileName, false, name, &error);
    if (!e && error != KZ_ERR_NO_PLAYBACK) return Fail(error);
    if (e && !JudgeFound(e, session, window)) return 0;
    if (!e) SetError(0);
  } else {
    e = MatchStream(session, id, window, kPlaybackBit, KZ_ERR_NO_PLAYBACK);
    if (!e) return 0;
  }
  if (e) {
    std::lock_guard lock(e->blockMutex);
    std::snprintf(name, sizeof name, "%s", e->playback.fileName);
    if (mode == 1) {
      if (wantDisplay && e->display.size != 0) {
        *display = e->display;
        wantDisplay = false;
      }
      if (wantRecord && e->record.size != 0) {
        *record = e->record;
        wantRecord = false;
      }
    }
  }
  if (!wantDisplay && !wantRecord) return 1;

  File f = FileOpen(name, "rb");
  if (!f) return Fail(KZ_ERR_FILE_OPEN);
  int64_t length = FileLength(f);
  int64_t pos = 0;
  uint32_t kind = 0;
  // Sequence files are visited by their neighbour names; a bound on the count keeps a
  // crafted name from walking for ever.
  int files = 1;
  while ((wantDisplay || wantRecord) && files < 100000) {
    FrameHeader h;
    if (!ReadRecordAt(f, pos, length, kind, &h)) {
      FileClose(f);
      f = nullptr;
      if (mode != 1 || !NeighbourName(name, sizeof name, +1)) break;
      f = FileOpen(name, "rb");
      if (!f) break;
      ++files;
      length = FileLength(f);
      pos = 0;
      continue;
    }
    if (kind == 0) kind = h.kind;
    if (h.chunkBytes) {
      auto* part = static_cast<uint8_t*>(BlockAlloc(h.chunkBytes));
      if (!part) {
        FileClose(f);
        return Fail(KZ_ERR_MEMORY);
      }
      if (FileRead(part, 1, h.chunkBytes, f) != h.chunkBytes) {
        BlockFree(part);
        FileClose(f);
        return Fail(KZ_ERR_FILE_READ);
      }
      const ChunkContents c = DecodeChunkPart(std::span<const uint8_t>(part, h.chunkBytes));
      BlockFree(part);
      if (c.hasDisplay && wantDisplay) {
        // Only what a file may say: the drawing fields and the picture description.
        KZDISPLAY d = *display;
        d.width = c.display.width;
        d.height = c.display.height;
        d.format = c.display.format;
        d.bitCount = c.display.bitCount;
        d.left = c.display.left;
        d.top = c.display.top;
        d.rate = c.display.rate;
        CopyDrawingFields(&d, c.display);
        d.drawFlags = c.display.drawFlags;
        *display = d;
        wantDisplay = false;
      }
      if (c.hasRecord && wantRecord) {
        *record = c.record;
        record->size = sizeof(KZRECORD);
        wantRecord = false;
      }
    }
    if (mode != 1) break;
    pos += static_cast<int64_t>(h.RecordBytes());
  }
  if (f) FileClose(f);
  if (wantDisplay) return Fail(KZ_ERR_NO_DISPLAY_BLOCK);
  if (wantRecord) return Fail(KZ_ERR_NO_RECORD_BLOCK);
  return 1;
}

int KZAPI KZGetPlaybackRate(uint32_t session, uint32_t id, KZHWND window, KZRATE* out) {
  return kz::GetActivityRate(session, id, window, out, kz::kPlaybackBit, KZ_ERR_NO_PLAYBACK,
                             kz::PlaybackSample);
}

int KZAPI KZRefreshPlayback(uint32_t session, uint32_t id, KZHWND window) {
  using namespace kz;
  SetError(0);
  StreamRecord* e = MatchStream(session, id, window, kPlaybackBit, KZ_ERR_NO_PLAYBACK);
  if (!e) return 0;
  if (e->play.playbackState.load(std::memory_order_acquire) >= 1) {
    e->play.redraw.store(1, std::memory_order_release);
  }
  return 1;
}

int KZAPI KZWaitForPlayback(uint32_t session, uint32_t id, KZHWND window, int32_t timeoutMs) {
  using namespace kz;
  SetError(0);
  StreamRecord* e = MatchStream(session, id, window, kPlaybackBit, KZ_ERR_NO_PLAYBACK);
  if (!e) return 0;
  const uint32_t before = e->play.framesPlayed.load(std::memory_order_acquire);
  const uint32_t limit = static_cast<uint32_t>(timeoutMs >= 0 ? timeoutMs : 100);
  const DWORD start = timeGetTime();
  for (;;) {
    if (e->play.framesPlayed.load(std::memory_order_acquire) != before) return 1;
    if (!(e->busy.load(std::memory_order_acquire) & kPlaybackBit)) return 1;
    if (static_cast<uint32_t>(timeGetTime() - start) > limit) return Fail(KZ_ERR_TIMEOUT);
  }
}

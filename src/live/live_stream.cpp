// Opening a live stream and starting its threads.
#include "live/live_stream.h"

#include <vfw.h>

#include <array>
#include <atomic>
#include <mutex>

#include "frame/stream.h"
#include "live/ring.h"

namespace kz {
namespace {

std::atomic<uint32_t> generations{0};

// Largest frame whose ring of eight slots still fits a 32-bit block.
constexpr int64_t kMaxFrameBytes = (int64_t{0xFFFFFFFF} / kLiveSlots) - 32;

// Frame bytes of `row` at width x height in 64 bits; -1 when the size is not positive or
// the frame could not be held in a ring.
int64_t LiveFrameBytes(int32_t width, int32_t height, const PixelFormat& row) {
  if (width <= 0 || height <= 0) return -1;
  const int64_t rowBytes = PaddedRowBytes(width, row);
  if (rowBytes <= 0 || rowBytes > kMaxFrameBytes / height) return -1;
  const int64_t bytes = rowBytes * height + (row.code == 14 ? 768 : 0);
  return bytes <= kMaxFrameBytes ? bytes : -1;
}

bool Tried(const LiveOpenRequest& q, const PixelFormat& row) {
  if (q.format != 0) return static_cast<uint32_t>(row.code) == q.format;
  return row.bits == q.bitCount;
}

// Walks the pixel-format table and offers each row the request allows to the driver, up
// to three times; the first row the driver takes is the stream's.
const PixelFormat* Negotiate(HWND window, const LiveOpenRequest& q, BITMAPINFOHEADER* accepted) {
  alignas(BITMAPINFO) std::array<uint8_t, 40 + 1024> info{};
  auto* header = reinterpret_cast<BITMAPINFO*>(info.data());
  for (const PixelFormat& row : kPixelFormats) {
    if (!Tried(q, row) || LiveFrameBytes(q.width, q.height, row) < 0) continue;
    const uint32_t bytes = BuildCaptureHeader(header, q.width, q.height, row);
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (!IsWindow(window)) return nullptr;
      if (SendMessageA(window, WM_CAP_SET_VIDEOFORMAT, bytes, reinterpret_cast<LPARAM>(header)) !=
          0) {
        *accepted = header->bmiHeader;
        return &row;
      }
    }
  }
  return nullptr;
}

}  // namespace

StreamRecord* SourceEntryLocked(uint32_t source) {
  StreamRecord* table = StreamTable();
  const int count = StreamCount();
  for (int i = 0; i < count; ++i) {
    StreamRecord& e = table[i];
    if (e.streamId.load(std::memory_order_acquire) != source) continue;
    if (e.releasing.load(std::memory_order_acquire) != 0) continue;
    return &e;
  }
  return nullptr;
}

void AbandonLiveStream(StreamRecord& e) {
  // ReleaseEntry disconnects and destroys the capture window (this thread owns it), frees
  // the ring and the show step's blocks and gives the entry back.
  ReleaseEntry(&e);
}

void FinishOpening(StreamRecord& e) {
  e.live.opening.store(0, std::memory_order_release);
}

StreamRecord* OpenLiveStream(const LiveOpenRequest& q, const PixelFormat** row, uint32_t* error) {
  if (!q.window || !IsWindow(q.window)) {
    *error = KZ_ERR_WINDOW;
    return nullptr;
  }
  StreamRecord* e;
  {
    std::lock_guard lock(StreamTableMutex());
    e = TakeEntry(nullptr);
    if (!e) {
      *error = KZ_ERR_NO_STREAM_SLOT;
      return nullptr;
    }
    e->live.opening.store(1, std::memory_order_relaxed);
    e->live.generation.store(generations.fetch_add(1) + 1, std::memory_order_relaxed);
    e->session.store(q.session, std::memory_order_relaxed);
    e->streamId.store(q.source, std::memory_order_release);
  }

  HWND window =
      capCreateCaptureWindowA("KZ Video Capture", WS_CHILD, -4000, -4000, 1600, 1200, q.window, 0);
  if (!window) {
    AbandonLiveStream(*e);
    *error = KZ_ERR_SOURCE;
    return nullptr;
  }
  {
    std::lock_guard lock(StreamTableMutex());
    e->captureWindow = window;
  }
  if (!IsWindow(window) || SendMessageA(window, WM_CAP_DRIVER_CONNECT, q.source - 1, 0) == 0) {
    AbandonLiveStream(*e);
    *error = KZ_ERR_SOURCE;
    return nullptr;
  }

  BITMAPINFOHEADER accepted{};
  const PixelFormat* found = Negotiate(window, q, &accepted);
  if (!found) {
    AbandonLiveStream(*e);
    *error = KZ_ERR_FORMAT_REFUSED;
    return nullptr;
  }
  const int64_t frameBytes = int64_t{accepted.biSizeImage} + (found->code == 14 ? 768 : 0);
  if (!AllocateRing(*e, static_cast<uint32_t>(frameBytes))) {
    AbandonLiveStream(*e);
    *error = KZ_ERR_MEMORY;
    return nullptr;
  }
  // Palette formats are drawn through the grey ramp the driver was given with the format.
  if (found->paletteBytes == 1024) {
    for (int i = 0; i < 256; ++i) {
      uint8_t* entry = e->show.palette + 4 * i;
      entry[0] = entry[1] = entry[2] = static_cast<uint8_t>(i);
      entry[3] = 0;
    }
  }
  // Installed here, on the window's own thread, so that no frame can arrive before it.
  SendMessageA(window, WM_CAP_SET_CALLBACK_FRAME, 0, reinterpret_cast<LPARAM>(&FrameCallback));
  SendMessageA(window, WM_CAP_SET_PREVIEWRATE, 1, 0);
  *row = found;
  *error = 0;
  return e;
}

bool WaitForGo(StreamRecord& e, uint32_t bit) {
  for (;;) {
    const uint32_t gate = e.startGate.load(std::memory_order_acquire);
    if (gate == 1) return true;
    if (gate == 2) {
      EndThread(e, bit);
      return false;
    }
    Sleep(1);
  }
}

void EndThread(StreamRecord& e, uint32_t bit) {
  e.stopRequest.fetch_and(~bit, std::memory_order_acq_rel);
  e.running.fetch_and(~bit, std::memory_order_acq_rel);
}

bool StartLiveThreads(StreamRecord& e, uint32_t activity, LPTHREAD_START_ROUTINE proc,
                      HANDLE* handle, bool withGrab) {
  e.running.fetch_or(activity, std::memory_order_acq_rel);
  HANDLE made = CreateThread(nullptr, 0, proc, &e, 0, nullptr);
  if (!made) {
    e.running.fetch_and(~activity, std::memory_order_acq_rel);
    return false;
  }
  if (*handle) CloseHandle(*handle);  // an earlier thread of the same activity has ended
  *handle = made;
  if (!withGrab) return true;

  e.running.fetch_or(kGrabBit, std::memory_order_acq_rel);
  HANDLE grab = CreateThread(nullptr, 0, GrabThread, &e, 0, nullptr);
  if (!grab) {
    e.running.fetch_and(~kGrabBit, std::memory_order_acq_rel);
    // The activity thread has not passed its gate: it ends on the abort, and is joined so
    // that nothing runs on the entry when it is given back.
    e.startGate.store(2, std::memory_order_release);
    WaitForSingleObject(made, INFINITE);
    return false;
  }
  e.grabThread = grab;
  e.startGate.store(1, std::memory_order_release);
  return true;
}

EntryIdentity IdentityOf(const StreamRecord& e) {
  return {e.streamId.load(std::memory_order_acquire), e.session.load(std::memory_order_acquire),
          e.live.generation.load(std::memory_order_acquire)};
}

bool StillSame(const StreamRecord& e, const EntryIdentity& id, uint32_t bit) {
  return e.streamId.load(std::memory_order_acquire) == id.streamId &&
         e.session.load(std::memory_order_acquire) == id.session &&
         e.live.generation.load(std::memory_order_acquire) == id.generation &&
         e.releasing.load(std::memory_order_acquire) == 0 &&
         (e.running.load(std::memory_order_acquire) & bit) != 0;
}

}  // namespace kz

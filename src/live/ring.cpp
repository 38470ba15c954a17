// The frame ring: storing frames from the driver and handing them to the consumers.
#include "live/ring.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "frame/blocks.h"
#include "frame/stream.h"

namespace kz {
namespace {

std::atomic_ref<uint32_t> WantOf(StreamRecord& e, uint32_t count) {
  return std::atomic_ref<uint32_t>(SlotHead(e, count)->want);
}

// The live stream whose capture window this is. The table lock keeps the entry from being
// taken or released while it is looked at; the grab thread, which waits in the send that
// brought the frame, keeps it alive afterwards.
StreamRecord* EntryOfWindow(HWND window) {
  if (!window) return nullptr;
  std::lock_guard lock(StreamTableMutex());
  StreamRecord* table = StreamTable();
  const int count = StreamCount();
  for (int i = 0; i < count; ++i) {
    StreamRecord& e = table[i];
    if (e.streamId.load(std::memory_order_acquire) == 0) continue;
    if (e.releasing.load(std::memory_order_acquire) != 0) continue;
    if ((e.running.load(std::memory_order_acquire) & kGrabBit) == 0) continue;
    if (e.captureWindow == window && e.ring) return &e;
  }
  return nullptr;
}

}  // namespace

bool AllocateRing(StreamRecord& e, uint32_t frameBytes) {
  if (frameBytes == 0) return false;
  constexpr size_t kHeaders = sizeof(SlotHeader) * kLiveSlots;
  auto* ring = static_cast<uint8_t*>(BlockAlloc(kHeaders));
  if (!ring) return false;
  std::memset(ring, 0, kHeaders);
  e.ring = ring;
  for (uint8_t*& frame : e.live.slotFrames) {
    frame = static_cast<uint8_t*>(BlockAlloc(frameBytes));
    if (!frame) {
      FreeRing(e);
      return false;
    }
  }
  e.frameBytes = frameBytes;
  e.slotCount = kLiveSlots;
  e.readCount.store(0, std::memory_order_relaxed);
  e.writeCount.store(0, std::memory_order_release);
  return true;
}

void FreeRing(StreamRecord& e) {
  for (uint8_t*& frame : e.live.slotFrames) {
    BlockFree(frame);
    frame = nullptr;
  }
  BlockFree(e.ring);
  e.ring = nullptr;
}

SlotHeader* SlotHead(StreamRecord& e, uint32_t count) {
  return reinterpret_cast<SlotHeader*>(e.ring) + count % static_cast<uint32_t>(kLiveSlots);
}

uint8_t* SlotFrame(StreamRecord& e, uint32_t count) {
  return SlotFrameBlock(e, count);
}

uint8_t*& SlotFrameBlock(StreamRecord& e, uint32_t count) {
  return e.live.slotFrames[count % static_cast<uint32_t>(kLiveSlots)];
}

uint32_t SlotWant(StreamRecord& e, uint32_t count) {
  return WantOf(e, count).load(std::memory_order_acquire);
}

uint32_t RingFill(const StreamRecord& e) {
  return e.writeCount.load(std::memory_order_acquire) - e.readCount.load(std::memory_order_acquire);
}

bool StoreFrame(StreamRecord& e, const VIDEOHDR* header) {
  if (!e.ring || e.slotCount != kLiveSlots) return false;
  // A frame of another size than negotiated, or one the driver claims to have put in a
  // smaller buffer than it used, is not read at all.
  if (!header || !header->lpData) return false;
  if (header->dwBytesUsed != e.frameBytes || header->dwBufferLength < header->dwBytesUsed) {
    return false;
  }
  const SlotHeader& next = e.live.nextHeader;
  const uint32_t write = e.writeCount.load(std::memory_order_relaxed);
  const uint32_t read = e.readCount.load(std::memory_order_acquire);
  if (write - read >= static_cast<uint32_t>(kLiveSlots)) {
    if (next.want & kWantDisplay) e.live.displayDropped.fetch_add(1, std::memory_order_relaxed);
    if (next.want & kWantRecord) e.rec.recordDropped.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  SlotHeader* slot = SlotHead(e, write);
  slot->requestTime = next.requestTime;
  slot->requestWraps = next.requestWraps;
  slot->recordNumber = next.recordNumber;
  WantOf(e, write).store(next.want, std::memory_order_relaxed);
  std::memcpy(SlotFrame(e, write), header->lpData, e.frameBytes);
  e.writeCount.store(write + 1, std::memory_order_release);
  return true;
}

LRESULT CALLBACK FrameCallback(HWND captureWindow, LPVIDEOHDR header) {
  StreamRecord* e = EntryOfWindow(captureWindow);
  if (!e) return 0;
  e->live.grabPending.store(0, std::memory_order_release);
  return StoreFrame(*e, header) ? 1 : 0;
}

bool ClaimRing(StreamRecord& e, uint32_t who) {
  uint32_t none = 0;
  return e.live.consumer.compare_exchange_strong(none, who, std::memory_order_acquire,
                                                 std::memory_order_relaxed);
}

void ReleaseRing(StreamRecord& e, uint32_t who) {
  uint32_t mine = who;
  e.live.consumer.compare_exchange_strong(mine, 0, std::memory_order_release,
                                          std::memory_order_relaxed);
}

bool HeadForDisplay(StreamRecord& e) {
  if (!e.ring || RingFill(e) == 0) return false;
  const uint32_t want = SlotWant(e, e.readCount.load(std::memory_order_relaxed));
  if ((want & kWantRecord) == 0) return true;
  // Kept for the recording only while it runs and has begun; a recording waiting for its
  // start time takes nothing, and a display behind it would freeze.
  const bool recording = (e.running.load(std::memory_order_acquire) & kRecordBit) != 0;
  return !(recording && e.live.recordBegun.load(std::memory_order_acquire) != 0);
}

uint32_t ChooseForDisplay(StreamRecord& e) {
  uint32_t r = e.readCount.load(std::memory_order_relaxed);
  const uint32_t write = e.writeCount.load(std::memory_order_acquire);
  while (write - r > 1 && SlotWant(e, r + 1) == kWantDisplay) ++r;
  return r;
}

void FinishForDisplay(StreamRecord& e, uint32_t shown) {
  e.readCount.store(shown + 1, std::memory_order_release);
}

RecordHead HeadForRecord(StreamRecord& e) {
  if (!e.ring) return RecordHead::kEmpty;
  for (;;) {
    if (RingFill(e) == 0) return RecordHead::kEmpty;
    const uint32_t r = e.readCount.load(std::memory_order_relaxed);
    if (SlotWant(e, r) & kWantRecord) return RecordHead::kWrite;
    if (e.running.load(std::memory_order_acquire) & kDisplayBit) return RecordHead::kWait;
    e.readCount.store(r + 1, std::memory_order_release);
  }
}

void ConsumeForRecord(StreamRecord& e) {
  const uint32_t r = e.readCount.load(std::memory_order_relaxed);
  const uint32_t write = e.writeCount.load(std::memory_order_acquire);
  if (write == r) return;
  const uint32_t want = SlotWant(e, r);
  const bool displaying = (e.running.load(std::memory_order_acquire) & kDisplayBit) != 0;
  if ((want & kWantDisplay) == 0 || !displaying) {
    e.readCount.store(r + 1, std::memory_order_release);
  } else if (2 * (write - r) >= static_cast<uint32_t>(kLiveSlots)) {
    // The ring is at least half full: the recording keeps this frame and the display gets
    // the next one instead.
    WantOf(e, r + 1).fetch_or(kWantDisplay, std::memory_order_acq_rel);
    e.readCount.store(r + 1, std::memory_order_release);
  } else {
    WantOf(e, r).fetch_and(~kWantRecord, std::memory_order_acq_rel);
  }
  Sleep(0);
}

}  // namespace kz

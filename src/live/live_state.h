// Live stream state: grab pacing, slot headers, display statistics.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

namespace kz {

constexpr int32_t kLiveSlots = 8;

// The 16-byte header of every slot of a live ring.
struct SlotHeader {
  uint32_t requestTime;   // millisecond clock at the request
  uint32_t requestWraps;  // times the clock had passed 2^32 since the stream opened
  uint32_t recordNumber;  // record requests of the current recording, this one included
  uint32_t want;          // 1 display, 2 record; changed with atomic read-modify-writes
};
static_assert(sizeof(SlotHeader) == 16, "slot header");

// Clock readings of the last frames done, newest first. One thread pushes; the rate
// functions read from any thread, so every entry is atomic and `count` publishes them.
struct TimeHistory {
  static constexpr uint32_t kRoom = 16;  // more than the 11 the rates look back
  std::atomic<uint32_t> times[kRoom] = {};
  std::atomic<uint32_t> count{0};

  void Push(uint32_t now) {
    const uint32_t n = count.load(std::memory_order_relaxed);
    times[n % kRoom].store(now, std::memory_order_relaxed);
    count.store(n + 1, std::memory_order_release);
  }
  // Entry `back` (0 = newest); false when fewer frames were done.
  bool Get(uint32_t back, uint32_t* value) const {
    const uint32_t n = count.load(std::memory_order_acquire);
    if (n == 0 || back >= n || back >= kRoom) return false;
    *value = times[(n - 1 - back) % kRoom].load(std::memory_order_relaxed);
    return true;
  }
  void Clear() { count.store(0, std::memory_order_release); }
};

// Pacing of one activity by the grab thread. `requested` false means no request was ever
// made, so the first one is never held back, whatever the clock reads.
struct PaceClock {
  uint32_t last = 0;
  bool requested = false;
};

// Called by the display's show step with its packed bitmap while a recording writes AVI
// frames as displayed; set by the recording, null otherwise.
using ShowAviWriter = void (*)(void* stream, const uint8_t* bitmap);

struct LiveState {
  // Identity of the stream opened on this entry: an API call that pumped messages compares
  // it, with the id and session, before it touches the entry again.
  std::atomic<uint32_t> generation{0};
  // Set while OpenLiveStream builds the entry: other starts on the source keep off it.
  std::atomic<uint32_t> opening{0};

  // Written by the grab thread only.
  std::atomic<uint32_t> grabPending{0};
  SlotHeader nextHeader{};  // read by the frame callback while the grab thread waits in send
  PaceClock displayPace;
  PaceClock recordPace;
  uint32_t lastClock = 0;  // clock at the previous pass, to see it pass 2^32
  bool clockSeen = false;
  bool recordArmed = true;  // the next record request is the first of a recording
  std::atomic<uint32_t> clockWraps{0};
  // Base of the recording's millisecond count: clock and wraps at its first request.
  std::atomic<uint32_t> firstRecordRequest{0};
  std::atomic<uint32_t> firstRecordWraps{0};

  // Pacing inputs, in milliseconds between requests (0: no pacing). The display's follows
  // its applied block; the recording sets its own when it starts or changes.
  std::atomic<uint32_t> displayInterval{0};
  std::atomic<uint32_t> recordInterval{0};
  // KZGetDisplayImage callers waiting for an unpaced frame: while non-zero the display is
  // not paced. An override, so the caller's rate is never saved and restored.
  std::atomic<uint32_t> unpacedWaiters{0};
  // 1 while the recording has begun and takes frames (its start time has come): the grab
  // thread requests record frames and the display leaves record frames to it only then.
  std::atomic<uint32_t> recordBegun{0};

  // The frame of each ring slot, a block of its own: the display publishes a shown frame by
  // taking its block and giving the slot another, instead of copying the frame. Changed
  // only by the consumer that holds the slot, before it hands the slot back.
  uint8_t* slotFrames[kLiveSlots] = {};

  // The one consumer working on the ring's head right now (0, 1 display, 2 record).
  std::atomic<uint32_t> consumer{0};

  // Display statistics (written by the display thread, read by the rate function).
  TimeHistory displayTimes;
  std::atomic<uint32_t> framesShown{0};
  std::atomic<uint32_t> displayDropped{0};
  std::atomic<double> displayStart{0.0};

  std::atomic<ShowAviWriter> aviWriter{nullptr};
};

}  // namespace kz

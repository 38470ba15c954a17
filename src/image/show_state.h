// Show-step state of a stream: the plan, the colour tables and the published image.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

namespace kz {

struct Plan;
struct AdjustTables;

// What a bitmap whose pixels the show step left unmade needs to have them made later: the
// frame it was drawn from, described (width 0: the bitmap holds its pixels).
struct PixelsLater {
  int32_t format = 0;
  int32_t width = 0;
  int32_t height = 0;
};

struct ShowState {
  int32_t shownWidth = 0;
  int32_t shownHeight = 0;
  int32_t pixelKind = 0;
  uint32_t adjustFlags = 0;
  Plan* resamplePlan = nullptr;          // block of the memory table (image/plan.h)
  AdjustTables* adjustTables = nullptr;  // block of the memory table (image/colour.h)
  HDC targetDC = nullptr;
  uint8_t palette[1024] = {};  // PAL8 colour table of the stream (B, G, R, 0)

  // Published image of a stream (KZGetDisplayImage / KZGetPlaybackImage).
  std::atomic<uint8_t*> shownImage{nullptr};
  std::atomic<uint8_t*> pinnedImage{nullptr};
  std::atomic<int32_t> shownSlot{0};
  std::atomic<int32_t> pinnedSlot{0};
  std::atomic<uint32_t> imageLock{0};  // 1 caller holds, 2 caller pins, 4 publishing
  // A raw frame pinned with its image: copied when published, so a released ring slot
  // is never read.
  uint8_t* shownFrame = nullptr;
  uint8_t* pinnedFrame = nullptr;
  // With the frames: whether their image's pixels are still to be made from them.
  PixelsLater shownLater;
  PixelsLater pinnedLater;
  // A bitmap neither shown nor held any more, kept by the publishing thread for its next
  // frame so that a running stream allocates no bitmap per frame.
  uint8_t* spareImage = nullptr;
};

}  // namespace kz

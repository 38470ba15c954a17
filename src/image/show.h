// The show step: one frame into a packed bitmap (direct conversion, or the general
// converter when the record has a plan), the drawing callbacks, SetDIBitsToDevice.
// Display, playback, export and the caller-facing image functions all run it; what is
// particular to a kind of stream is passed in through ShowHooks.
#pragma once

#include <kzvideo.h>

#include <cstddef>
#include <cstdint>

#include "image/show_state.h"

namespace kz {

struct StreamRecord;

// The drawing callbacks to call. They are always the ones the caller passed in itself,
// never pointers read out of a block that came from a file.
struct ShowCallbacks {
  KZBeforeDrawCallback beforeDraw = nullptr;
  KZAfterConvertCallback afterConvert = nullptr;
  KZAfterDrawCallback afterDraw = nullptr;
};

// What streams add to the step.
struct ShowHooks {
  void* context = nullptr;
  bool isStream = false;   // yield the processor around the conversion
  bool neverDraw = false;  // the save activity converts but never draws
  // Playback: replace the display block's after-convert and after-draw calls (they call
  // the playback block's callbacks with a copy of that block). 0 from afterConvert: no draw.
  int (*afterConvert)(void* context, const void* source, const void* bitmap) = nullptr;
  void (*afterDraw)(void* context, const void* source, const void* bitmap) = nullptr;
  // Writing the picture as shown to AVI: receives the packed bitmap.
  void (*aviWrite)(void* context, const uint8_t* bitmap) = nullptr;
  // A bitmap of an earlier frame to draw into when its size and depth still fit (it is
  // taken, or freed when it does not fit); null: a new one is allocated.
  uint8_t** spare = nullptr;
  // Receives a copy of the frame's `sourceBytes` bytes whenever the step returns a bitmap.
  uint8_t* rawCopy = nullptr;
  // The caller keeps the frame itself with the bitmap (no copy is made).
  bool keepsFrame = false;
  // When given with `rawCopy` or `keepsFrame`: a frame drawn band by band with no callback
  // to see its bitmap may be drawn from a small buffer, its bitmap's pixels left unmade
  // (only its header is written) and described here, to be made from the raw frame kept
  // with it when asked for.
  PixelsLater* later = nullptr;
};

// Runs the step on `rec` (its active display block, plan, tables, targetDC and palette)
// for a frame of `sourceBytes` bytes. Returns the packed bitmap (a block of the memory
// table the caller publishes or frees), or null when none could be allocated. A frame
// smaller than its format needs, or of an unknown format, gives a bitmap of zeros that is
// not drawn.
uint8_t* ShowStep(StreamRecord& rec, const uint8_t* source, size_t sourceBytes,
                  const ShowCallbacks& callbacks, const ShowHooks& hooks);

// Makes the packed bitmap, header and pixels, whose pixels the step left unmade (`later`
// describes it) from the raw frame `frame` of `frameBytes` bytes, into `out`: the bytes the
// step would have written. False when `out` is too small or the frame does not convert.
bool MakePixelsLater(const PixelsLater& later, const uint8_t* frame, size_t frameBytes,
                     uint8_t* out, size_t outBytes);

// Rebuilds the plan and colour tables of `rec` for its display block (normalising the
// block), or frees them when none is needed.
void PrepareShow(StreamRecord& rec);
// Frees the plan and tables of `rec`.
void ReleaseShow(StreamRecord& rec);

}  // namespace kz

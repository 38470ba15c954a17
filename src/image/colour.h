// Colour adjustments as integer lookup tables, and the general converter that samples a
// frame through the plan, applies the tables and writes B, G, R (or grey) pixels.
#pragma once

#include <kzvideo.h>

#include <cstddef>
#include <cstdint>

#include "image/convert.h"
#include "image/layout.h"

namespace kz {

struct Plan;
struct GeneralKernels;

// Stage flags of the converter.
enum : uint32_t {
  kStageFirst0 = 1,    // first-stage table 0
  kStageFirst12 = 2,   // first-stage tables 1 and 2
  kStageRadial = 4,    // radial brightness correction
  kStageFinal = 8,     // final table 0 (YUV, grey) or final tables 0-2 (RGB kinds)
  kStageChroma = 0x10  // final tables 1 and 2 (YUV) or the colour matrix (RGB kinds)
};

// The tables of one plan, followed in the same block by the radial divisor parts of the
// W output columns and H output rows (64-bit, so that no strength overflows them).
struct AdjustTables {
  int32_t first[9][256];
  int32_t final[9][256];
  int64_t* radialCol;
  int64_t* radialRow;
};

size_t AdjustTablesBytes(int64_t width, int64_t height);

// Fills `tables` (raw memory of AdjustTablesBytes) for the normalised block and the plan's
// output size; returns the stage flags.
uint32_t BuildAdjustTables(const KZDISPLAY& block, PixelKind kind, int32_t width, int32_t height,
                           AdjustTables& tables);

// Runs the plan over `src` into the bitmap whose top image row is at `top`, rows `step`
// bytes apart (negative for bottom-up bitmaps). Writes every pixel of plan->width x
// plan->height; padding is left as it is. `kernels` picks the passes' kernels (the chosen
// set when null). It works in the plan's own memory: one thread at a time runs a plan.
void RunGeneralConverter(const Plan& plan, const AdjustTables& tables, uint32_t flags,
                         const KZDISPLAY& block, const SourceFrame& src, uint8_t* top, int64_t step,
                         bool eightBit, const GeneralKernels* kernels = nullptr);

// Frame pixel to window point, as KZDisplayCoord2 direction 0 does; returns the area code
// (1 shown, 2 cropped away, 3 outside the frame).
int FrameToWindow(const KZDISPLAY& block, int32_t px, int32_t py, int32_t* wx, int32_t* wy);
// Window point to frame pixel (direction 1).
int WindowToFrame(const KZDISPLAY& block, int32_t wx, int32_t wy, int32_t* px, int32_t* py);

}  // namespace kz

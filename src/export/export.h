// Video export: the range list, the output clock and the export thread behind KZSaveVideo.
#pragma once

#include <kzvideo.h>
#include <windows.h>

#include <cstdint>

namespace kz {

struct StreamRecord;

// The working range list: (first, last) pairs followed by at least one negative value.
// From the caller's handle (read no further than its block's size, up to the first
// negative value; an odd count makes its last value a single frame), or (0, count - 1),
// reversed when `backwards`, for a null handle. The list is a block of the memory table.
// 0, or KZ_ERR_MEMORY.
uint32_t MakeRangeList(HGLOBAL handle, int32_t frameCount, bool backwards, int32_t** list);

// Clips the pairs to a source of `frameCount` frames in place (a pair wholly beyond the end
// goes) and returns the number of frames they select, saturated at 0xFFFFFFFF.
uint32_t ClipRanges(int32_t* list, int32_t frameCount);

// Frames per second of the output clock of `job` (its fixed rate, or the source's average
// rate slowed by the speed factor; 15 when nothing better is known), kept to a thousandth
// so that the AVI header's rate x 1000 is exact.
double OutputRate(const KZEXPORT& job, const KZFILEINFO& info);

DWORD WINAPI ExportThread(LPVOID streamId);

}  // namespace kz

// Row kernels of SetDIBitsToDevice: DIB pixels of one row into 0x00RRGGBB surface words.
#pragma once

#include <cstdint>

namespace kzwin {

// Writes n pixels from B, G, R triples at `bgr` (no alignment, no bytes read past the
// n-th triple) to `out`.
using BgrRowFn = void (*)(const uint8_t* bgr, uint32_t* out, int64_t n);

// The kernel SetDIBitsToDevice uses: the fastest this processor runs, unless a test chose
// another (kzwinUseDibRows).
BgrRowFn BgrRow();

}  // namespace kzwin

// AVI helpers shared by the summary and the reader.
#pragma once

#include <kzvideo.h>
#include <windows.h>
#include <vfw.h>

#include <cstddef>
#include <cstdint>

#include "image/pixfmt.h"

namespace kz {

// The pixel format frames of this stream are asked for in (the table row with the stream's
// bits and FOURCC; grey or coloured 8-bit; else 24-bit RGB).
const PixelFormat* AviPixelFormat(const BITMAPINFOHEADER& bi, const uint8_t* colours,
                                  size_t colourBytes, uint32_t* format, uint32_t* bitCount);
// Opens frame decompression to the summary's format and size (PAL8 with `palette`).
PGETFRAME OpenAviFrames(PAVISTREAM stream, const KZFILEINFO& info, const uint8_t* palette,
                        uint32_t* headerBytes);

}  // namespace kz

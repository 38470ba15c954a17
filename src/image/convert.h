// Direct conversion of whole frames into packed-bitmap pixel rows, the coloured-GV8
// expansion and the 24-bit body written to AVI streams.
#pragma once

#include <cstdint>
#include <span>

namespace kz {

// One frame as stored: the bytes from the frame start (GV8 with its 768-byte palette in
// front). `palette` is the stream's 256-entry B, G, R, 0 table for PAL8 (null: black).
struct SourceFrame {
  int32_t code = 0;
  int32_t width = 0;
  int32_t height = 0;
  std::span<const uint8_t> bytes;
  const uint8_t* palette = nullptr;
};

// Bytes the conversions read from a frame (padded rows for the bottom-up formats); -1 for
// an unknown code or non-positive size.
int64_t SourceBytesNeeded(const SourceFrame& src);

// Converts into the pixel rows of a packed bitmap of the frame's size (bottom row first,
// `stride` bytes a row; 8-bit for codes 3, 11, 14, else 24-bit B, G, R). Row padding is
// zeroed. False, with nothing written, for an unknown code, a frame smaller than it needs
// or rows smaller than stride x height.
bool ConvertDirect(const SourceFrame& src, std::span<uint8_t> rows, int64_t stride);
// ConvertDirect of the bitmap rows firstRow .. firstRow + rowCount - 1 (0 = bottom) alone,
// `rows` still being the whole bitmap's: a frame can be converted and drawn in bands that
// stay in the cache. Fails as ConvertDirect does, and for a range outside the bitmap.
bool ConvertDirectRows(const SourceFrame& src, std::span<uint8_t> rows, int64_t stride,
                       int32_t firstRow, int32_t rowCount);
// ConvertDirectRows into `band`, which holds those rows alone (bitmap row firstRow first):
// a frame can be drawn band by band from a small buffer and never written whole. Fails as
// ConvertDirectRows does, except that `band` must hold rowCount rows, not the bitmap.
bool ConvertDirectBand(const SourceFrame& src, std::span<uint8_t> band, int64_t stride,
                       int32_t firstRow, int32_t rowCount);

// The 24-bit bottom-up body of stride (3w + 3) & ~3 that AVI streams receive: like
// ConvertDirect, but grey sources (3, 11, 14) become B = G = R. Code 1 is copied (a writer
// may instead write such frames as they are). Same failures as ConvertDirect.
bool ConvertTo24(const SourceFrame& src, std::span<uint8_t> rows);

// True when the 768-byte GV8 palette is the grey ramp (entry i = i, i, i).
bool IsGreyPalette(std::span<const uint8_t> palette768);
// Expands a GV8 frame into a GV24 frame: each index k becomes the three bytes R, G, B of
// palette entry k. `out` holds 3 x width x height bytes. False when the sizes do not fit.
bool ExpandGv8(std::span<const uint8_t> gv8, int32_t width, int32_t height, std::span<uint8_t> out);

}  // namespace kz

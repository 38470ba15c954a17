// The fourteen pixel formats: table, lookups, frame sizes and bitmap shapes.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>

namespace kz {

struct PixelFormat {
  int32_t code;
  uint32_t bits;          // bits per pixel
  uint32_t paletteBytes;  // palette that travels with the format (1024 for RGB8/PAL8, 768 GV8)
  uint32_t fourcc;        // 0 for the uncompressed RGB rows
  uint32_t reserved;      // always 0, never read
  uint32_t sampleDistance;
  const char* name;
};

constexpr uint32_t Fourcc(char a, char b, char c, char d) {
  return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
         (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8) |
         (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24);
}

// In search order; the lookups depend on it.
inline constexpr std::array<PixelFormat, 14> kPixelFormats{{
    {4, 16, 0, Fourcc('U', 'Y', 'V', 'Y'), 0, 4, "UYVY"},
    {9, 16, 0, Fourcc('Y', '4', '2', '2'), 0, 4, "Y422"},
    {6, 16, 0, Fourcc('Y', 'U', 'Y', '2'), 0, 4, "YUY2"},
    {1, 24, 0, 0, 0, 3, "RGB24"},
    {3, 8, 1024, 0, 0, 1, "RGB8"},
    {11, 8, 0, Fourcc('Y', '8', '0', '0'), 0, 1, "Y800"},
    {8, 24, 0, Fourcc('Y', '4', '4', '4'), 0, 3, "Y444"},
    {2, 16, 0, 0, 0, 2, "RGB16"},
    {5, 12, 0, Fourcc('I', '4', '2', '0'), 0, 1, "I420"},
    {10, 12, 0, Fourcc('Y', '4', '1', '1'), 0, 6, "Y411"},
    {7, 9, 0, Fourcc('Y', 'V', 'U', '9'), 0, 1, "YVU9"},
    {12, 8, 1024, 0, 0, 1, "PAL8"},
    {13, 24, 0, Fourcc('G', 'V', '2', '4'), 0, 3, "GV24"},
    {14, 8, 768, Fourcc('G', 'V', '8', '\0'), 0, 1, "GV8"},
}};

// Row of a code 1..14, or null.
const PixelFormat* FormatByCode(int64_t code);
// Row of a name such as "YUY2" (case-insensitive), or null.
const PixelFormat* FormatByName(const char* name);
// General lookup of a (format field, bit count) description: by code, or by FOURCC or 0
// together with the bit count. Null when nothing matches (error 15).
const PixelFormat* LookupFormat(uint32_t formatField, uint32_t bitCount);
// Driver lookup: bits and FOURCC (biCompression) must both match, in table order.
const PixelFormat* LookupDriverFormat(int16_t bitCount, uint32_t compression);

// (w x h x bits) / 8 + palette bytes; -1 for non-positive sizes.
int64_t FrameSize(int64_t width, int64_t height, const PixelFormat& row);
// Bytes of a row rounded to whole 4-byte words (3w for GV24, w for GV8).
int64_t PaddedRowBytes(int64_t width, const PixelFormat& row);
// Padded row x height, plus the palette where it travels with the frame (GV8);
// -1 for non-positive sizes.
int64_t PaddedFrameSize(int64_t width, int64_t height, const PixelFormat& row);
// What conversion really reads from a frame of this format (the padded size for the
// bottom-up padded formats, else the frame size); -1 for non-positive sizes.
int64_t ConversionReadSize(int64_t width, int64_t height, const PixelFormat& row);

// 8-bit output for RGB8, Y800 and GV8; 24-bit B,G,R for every other format.
bool IsEightBitOutput(int32_t code);
// Stride of the packed bitmap rows: (3w + 3) & ~3 or (w + 3) & ~3.
int64_t BitmapStride(int64_t width, bool eightBit);
// 40 + (1024 if 8-bit) + stride x height; -1 when it overflows or sizes are not positive.
int64_t PackedBitmapSize(int64_t width, int64_t height, bool eightBit);
// Writes the header (and grey palette for 8-bit) of a packed bitmap; the caller allocated
// PackedBitmapSize bytes. Returns the address of the pixel rows.
uint8_t* WritePackedBitmapHeader(void* block, int32_t width, int32_t height, bool eightBit);

// Capture-format BITMAPINFO for (w, h, row): 40-byte header plus the grey palette where the
// row has palette bytes. `out` holds at least 1064 bytes. Returns the length (40 + palette).
uint32_t BuildCaptureHeader(BITMAPINFO* out, int32_t width, int32_t height,
                            const PixelFormat& row);

}  // namespace kz

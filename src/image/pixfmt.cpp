#include "image/pixfmt.h"

#include <cctype>
#include <cstring>
#include <limits>

namespace kz {

const PixelFormat* FormatByCode(int64_t code) {
  for (const PixelFormat& row : kPixelFormats) {
    if (row.code == code) return &row;
  }
  return nullptr;
}

const PixelFormat* FormatByName(const char* name) {
  if (!name) return nullptr;
  for (const PixelFormat& row : kPixelFormats) {
    const char* a = row.name;
    const char* b = name;
    while (*a && *b && std::toupper(static_cast<unsigned char>(*a)) ==
                           std::toupper(static_cast<unsigned char>(*b))) {
      ++a;
      ++b;
    }
    if (!*a && !*b) return &row;
  }
  return nullptr;
}

const PixelFormat* LookupFormat(uint32_t formatField, uint32_t bitCount) {
  for (const PixelFormat& row : kPixelFormats) {
    if (static_cast<uint32_t>(row.code) == formatField) return &row;
    if ((formatField == 0 || formatField == row.fourcc) && row.bits == bitCount) return &row;
  }
  return nullptr;
}

const PixelFormat* LookupDriverFormat(int16_t bitCount, uint32_t compression) {
  for (const PixelFormat& row : kPixelFormats) {
    if (static_cast<int32_t>(row.bits) == bitCount && row.fourcc == compression) return &row;
  }
  return nullptr;
}

namespace {
// Sizes beyond any block: products of two 32-bit sizes and a bit count stay below it, so a
// hostile width and height saturate here instead of overflowing.
constexpr int64_t kHugeSize = int64_t{1} << 62;
}  // namespace

int64_t FrameSize(int64_t width, int64_t height, const PixelFormat& row) {
  if (width <= 0 || height <= 0) return -1;
  if (width > kHugeSize / 32 / height) return kHugeSize;
  return width * height * row.bits / 8 + row.paletteBytes;
}

int64_t PaddedRowBytes(int64_t width, const PixelFormat& row) {
  if (row.code == 13) return 3 * width;
  if (row.code == 14) return width;
  return (row.bits * width / 8 + 3) & ~int64_t{3};
}

int64_t PaddedFrameSize(int64_t width, int64_t height, const PixelFormat& row) {
  if (width <= 0 || height <= 0) return -1;
  if (width > kHugeSize / 32 / height) return kHugeSize;
  return PaddedRowBytes(width, row) * height + (row.code == 14 ? 768 : 0);
}

int64_t ConversionReadSize(int64_t width, int64_t height, const PixelFormat& row) {
  if (width <= 0 || height <= 0) return -1;
  if (width > kHugeSize / 32 / height) return kHugeSize;
  int64_t plain = FrameSize(width, height, row);
  switch (row.code) {
    case 1:
    case 2:
    case 3:
    case 12: {
      // Bottom-up padded rows: the conversion walks whole padded rows.
      int64_t padded = PaddedRowBytes(width, row) * height;
      return padded > plain ? padded : plain;
    }
    default:
      return plain;
  }
}

bool IsEightBitOutput(int32_t code) { return code == 3 || code == 11 || code == 14; }

int64_t BitmapStride(int64_t width, bool eightBit) {
  return ((eightBit ? width : 3 * width) + 3) & ~int64_t{3};
}

int64_t PackedBitmapSize(int64_t width, int64_t height, bool eightBit) {
  if (width <= 0 || height <= 0) return -1;
  if (width > (1 << 26) || height > (1 << 26)) return -1;
  int64_t size = 40 + (eightBit ? 1024 : 0) + BitmapStride(width, eightBit) * height;
  if (size > std::numeric_limits<uint32_t>::max()) return -1;
  return size;
}

uint8_t* WritePackedBitmapHeader(void* block, int32_t width, int32_t height, bool eightBit) {
  auto* bytes = static_cast<uint8_t*>(block);
  std::memset(bytes, 0, 40 + (eightBit ? 1024 : 0));
  auto* header = static_cast<BITMAPINFOHEADER*>(block);
  header->biSize = 40;
  header->biWidth = width;
  header->biHeight = height;
  header->biPlanes = 1;
  header->biBitCount = eightBit ? 8 : 24;
  header->biSizeImage = static_cast<DWORD>(BitmapStride(width, eightBit) * height);
  header->biClrUsed = eightBit ? 256 : 0;
  uint8_t* palette = bytes + 40;
  if (eightBit) {
    for (int i = 0; i < 256; ++i) {
      palette[4 * i] = palette[4 * i + 1] = palette[4 * i + 2] = static_cast<uint8_t>(i);
    }
  }
  return palette + (eightBit ? 1024 : 0);
}

uint32_t BuildCaptureHeader(BITMAPINFO* out, int32_t width, int32_t height,
                            const PixelFormat& row) {
  auto* bytes = reinterpret_cast<uint8_t*>(out);
  std::memset(bytes, 0, 40 + row.paletteBytes);
  BITMAPINFOHEADER& h = out->bmiHeader;
  h.biSize = 40;
  h.biWidth = width;
  h.biHeight = height;
  h.biPlanes = 1;
  h.biBitCount = static_cast<WORD>(row.bits);
  h.biCompression = row.fourcc;
  int64_t image = PaddedRowBytes(width, row) * height;
  h.biSizeImage = image > 0 ? static_cast<DWORD>(image) : 0;
  h.biClrUsed = row.paletteBytes / 4;
  for (uint32_t i = 0; i < h.biClrUsed; ++i) {
    uint8_t* entry = bytes + 40 + 4 * i;
    entry[0] = entry[1] = entry[2] = static_cast<uint8_t>(i);
    entry[3] = 0;
  }
  return 40 + row.paletteBytes;
}

}  // namespace kz

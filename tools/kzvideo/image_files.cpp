#include "image_files.h"

#include <windows.h>
#include <strings.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace kztool {
namespace {

bool EndsWith(const char* path, const char* ending) {
  const size_t n = std::strlen(path), m = std::strlen(ending);
  return n > m && !strcasecmp(path + n - m, ending);
}

void PutLe(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutBe(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 3; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The parts of a packed bitmap, checked against its size.
struct Dib {
  const uint8_t* bytes = nullptr;
  size_t size = 0;
  int32_t width = 0, height = 0;  // height positive; topDown says the row order
  bool topDown = false;
  int bits = 0;
  uint32_t colours = 0;  // entries of the colour table
  size_t pixelsAt = 0;
  size_t stride = 0;
};

bool ReadDib(const uint8_t* p, size_t size, Dib* d, std::string* why) {
  BITMAPINFOHEADER bi;
  if (size < sizeof bi) return *why = "the image is shorter than its header", false;
  std::memcpy(&bi, p, sizeof bi);
  d->bytes = p;
  d->size = size;
  d->bits = bi.biBitCount;
  if (bi.biCompression != BI_RGB ||
      (d->bits != 8 && d->bits != 16 && d->bits != 24 && d->bits != 32)) {
    return *why = "the image is not an uncompressed 8, 16, 24 or 32-bit bitmap", false;
  }
  if (bi.biWidth <= 0 || bi.biHeight == 0 || bi.biWidth > 65536 || bi.biHeight > 65536 ||
      bi.biHeight < -65536) {
    return *why = "the image has an unusable size", false;
  }
  d->width = bi.biWidth;
  d->topDown = bi.biHeight < 0;
  d->height = d->topDown ? -bi.biHeight : bi.biHeight;
  d->colours = bi.biClrUsed ? bi.biClrUsed : (d->bits == 8 ? 256u : 0u);
  if (d->colours > 256) return *why = "the image has too many colours", false;
  d->pixelsAt = bi.biSize + size_t{d->colours} * 4;
  d->stride = ((size_t(d->width) * d->bits + 31) / 32) * 4;
  if (bi.biSize < sizeof bi || d->pixelsAt > size ||
      (size - d->pixelsAt) / d->stride < size_t(d->height)) {
    return *why = "the image is shorter than its rows", false;
  }
  return true;
}

// Pixel x of top-down row y as 0x00RRGGBB.
uint32_t PixelAt(const Dib& d, int32_t x, int32_t y) {
  const int32_t row = d.topDown ? y : d.height - 1 - y;
  const uint8_t* r = d.bytes + d.pixelsAt + size_t(row) * d.stride;
  switch (d.bits) {
    case 8: {
      const uint32_t i = r[x];
      if (i >= d.colours) return 0;
      const uint8_t* q = d.bytes + sizeof(BITMAPINFOHEADER) + 4 * size_t{i};
      return (uint32_t{q[2]} << 16) | (uint32_t{q[1]} << 8) | q[0];
    }
    case 16: {
      const uint32_t w = r[2 * x] | (uint32_t{r[2 * x + 1]} << 8);
      const uint32_t b = w & 31, g = (w >> 5) & 31, rr = (w >> 10) & 31;
      return (((rr << 3) | (rr >> 2)) << 16) | (((g << 3) | (g >> 2)) << 8) | ((b << 3) | (b >> 2));
    }
    case 24: {
      const uint8_t* p = r + 3 * size_t(x);
      return (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
    }
    default: {
      const uint8_t* p = r + 4 * size_t(x);
      return (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
    }
  }
}

bool WriteAll(const char* path, const std::vector<uint8_t>& head, const uint8_t* body,
              size_t bodySize, std::string* why) {
  FILE* f = std::fopen(path, "wb");
  if (!f) return *why = std::string("cannot create ") + path, false;
  bool ok = std::fwrite(head.data(), 1, head.size(), f) == head.size() &&
            (bodySize == 0 || std::fwrite(body, 1, bodySize, f) == bodySize);
  ok = std::fclose(f) == 0 && ok;
  if (!ok) {
    std::remove(path);  // no half-written snapshot is left behind
    *why = std::string("cannot write ") + path;
  }
  return ok;
}

// The bitmap as it is, behind a file header whose pixel offset skips its colour table.
bool WriteBmp(const char* path, const Dib& d, std::string* why) {
  const uint64_t total = 14 + uint64_t{d.size};
  if (total > 0xFFFFFFFFu) return *why = "the image is too large for a BMP file", false;
  std::vector<uint8_t> head(14, 0);
  head[0] = 'B';
  head[1] = 'M';
  PutLe(&head[2], static_cast<uint32_t>(total));
  PutLe(&head[10], static_cast<uint32_t>(14 + d.pixelsAt));
  return WriteAll(path, head, d.bytes, d.size, why);
}

void Chunk(std::vector<uint8_t>& out, const char* type, const uint8_t* data, size_t size) {
  PutBe(out, static_cast<uint32_t>(size));
  const size_t at = out.size();
  out.insert(out.end(), type, type + 4);
  if (size) out.insert(out.end(), data, data + size);
  const uLong crc = crc32(0L, out.data() + at, static_cast<uInt>(4 + size));
  PutBe(out, static_cast<uint32_t>(crc));
}

bool WritePng(const char* path, const Dib& d, std::string* why) {
  // Rows of filter type 0 followed by RGB bytes, top row first.
  const size_t rowBytes = 1 + 3 * size_t(d.width);
  std::vector<uint8_t> raw(rowBytes * size_t(d.height));
  for (int32_t y = 0; y < d.height; ++y) {
    uint8_t* o = raw.data() + size_t(y) * rowBytes;
    *o++ = 0;
    for (int32_t x = 0; x < d.width; ++x) {
      const uint32_t c = PixelAt(d, x, y);
      *o++ = static_cast<uint8_t>(c >> 16);
      *o++ = static_cast<uint8_t>(c >> 8);
      *o++ = static_cast<uint8_t>(c);
    }
  }
  uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
  std::vector<uint8_t> packed(packedSize);
  if (compress2(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()), 6) !=
      Z_OK) {
    return *why = "compressing the image failed", false;
  }
  std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> ihdr;
  PutBe(ihdr, static_cast<uint32_t>(d.width));
  PutBe(ihdr, static_cast<uint32_t>(d.height));
  ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, filtered rows, no interlace
  Chunk(out, "IHDR", ihdr.data(), ihdr.size());
  Chunk(out, "IDAT", packed.data(), packedSize);
  Chunk(out, "IEND", nullptr, 0);
  return WriteAll(path, out, nullptr, 0, why);
}

}  // namespace

bool IsImageFileName(const char* path) {
  return EndsWith(path, ".bmp") || EndsWith(path, ".png");
}

bool WriteImageFile(const char* path, KZHGLOBAL dib, std::string* why) {
  if (!IsImageFileName(path)) return *why = "the file name must end in .bmp or .png", false;
  const auto* p = static_cast<const uint8_t*>(GlobalLock(dib));
  if (!p) return *why = "the image handle cannot be read", false;
  Dib d;
  bool ok = ReadDib(p, GlobalSize(dib), &d, why);
  if (ok) ok = EndsWith(path, ".png") ? WritePng(path, d, why) : WriteBmp(path, d, why);
  GlobalUnlock(dib);
  return ok;
}

}  // namespace kztool

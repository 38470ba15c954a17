// The test-pattern camera's picture and its frame layouts (described in kzwin/test_camera.h),
// and the decoder that names a frame from its first pixels.
#include "test_pattern.h"

#include <kzwin_test.h>

#include <algorithm>
#include <cstring>

namespace kzwin {
namespace {

constexpr uint32_t FourCC(const char (&s)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(s[0])) |
         (static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 8) |
         (static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(s[3])) << 24);
}

constexpr CameraFormat kFormats[] = {
    {FourCC("UYVY"), 16, Layout::Uyvy},
    {FourCC("Y422"), 16, Layout::Uyvy},
    {FourCC("YUY2"), 16, Layout::Yuy2},
    {0, 24, Layout::Rgb24},
    {0, 8, Layout::Rgb8},
    {FourCC("Y800"), 8, Layout::Y800},
    {FourCC("Y444"), 24, Layout::Y444},
    {0, 16, Layout::Rgb16},
    {FourCC("I420"), 12, Layout::I420},
    {FourCC("Y411"), 12, Layout::Y411},
    {FourCC("YVU9"), 9, Layout::Yvu9},
    {FourCC("GV24"), 24, Layout::Gv24},
    {FourCC("GV8\0"), 8, Layout::Gv8},
};

struct Rgb {
  int r, g, b;
};

constexpr Rgb kBars[8] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                          {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};

uint8_t Clamp(int v) {
  return static_cast<uint8_t>(std::clamp(v, 0, 255));
}
uint8_t Luma(Rgb c) {
  return Clamp((77 * c.r + 150 * c.g + 29 * c.b + 128) >> 8);
}
uint8_t ChromaU(Rgb c) {
  return Clamp(((-43 * c.r - 85 * c.g + 128 * c.b + 128) >> 8) + 128);
}
uint8_t ChromaV(Rgb c) {
  return Clamp(((128 * c.r - 107 * c.g - 21 * c.b + 128) >> 8) + 128);
}

struct Pattern {
  int64_t w, h;
  uint32_t n;
  Rgb At(int64_t x, int64_t y) const {
    if (y == 0 && x < 32) return ((n >> (31 - x)) & 1) ? kBars[0] : kBars[7];
    if (y < 2 * h / 3) return kBars[((x + 4 * static_cast<uint64_t>(n)) * 8 / w) % 8];
    return Rgb{static_cast<int>(255 * x / (w - 1)), static_cast<int>(255 * y / (h - 1)), 128};
  }
};

void RenderPlanar(uint8_t* out, const Pattern& p, int64_t step, bool vFirst) {
  const int64_t w = p.w, h = p.h;
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) out[y * w + x] = Luma(p.At(x, y));
  }
  const int64_t cw = w / step, ch = h / step;
  uint8_t* first = out + w * h;
  uint8_t* second = first + cw * ch;
  for (int64_t y = 0; y < ch; ++y) {
    for (int64_t x = 0; x < cw; ++x) {
      Rgb c = p.At(x * step, y * step);
      first[y * cw + x] = vFirst ? ChromaV(c) : ChromaU(c);
      second[y * cw + x] = vFirst ? ChromaU(c) : ChromaV(c);
    }
  }
}

void Render(uint8_t* out, const CameraFormat& f, const Pattern& p, int64_t stride) {
  const int64_t w = p.w, h = p.h;
  switch (f.layout) {
    case Layout::Uyvy:
    case Layout::Yuy2:
      for (int64_t y = 0; y < h; ++y) {
        uint8_t* row = out + y * stride;
        for (int64_t x = 0; x + 1 < w; x += 2) {
          Rgb a = p.At(x, y);
          uint8_t* q = row + 2 * x;
          uint8_t y0 = Luma(a), y1 = Luma(p.At(x + 1, y)), u = ChromaU(a), v = ChromaV(a);
          if (f.layout == Layout::Uyvy) {
            q[0] = u, q[1] = y0, q[2] = v, q[3] = y1;
          } else {
            q[0] = y0, q[1] = u, q[2] = y1, q[3] = v;
          }
        }
      }
      break;
    case Layout::Y444:
      for (int64_t y = 0; y < h; ++y) {
        for (int64_t x = 0; x < w; ++x) {
          Rgb c = p.At(x, y);
          uint8_t* q = out + y * 3 * w + 3 * x;
          q[0] = ChromaU(c), q[1] = Luma(c), q[2] = ChromaV(c);
        }
      }
      break;
    case Layout::Y411:
      for (int64_t y = 0; y < h; ++y) {
        for (int64_t x = 0; x + 3 < w; x += 4) {
          Rgb c = p.At(x, y);
          uint8_t* q = out + y * (6 * w / 4) + 6 * (x / 4);
          q[0] = ChromaU(c), q[1] = Luma(c), q[2] = Luma(p.At(x + 1, y));
          q[3] = ChromaV(c), q[4] = Luma(p.At(x + 2, y)), q[5] = Luma(p.At(x + 3, y));
        }
      }
      break;
    case Layout::I420:
      RenderPlanar(out, p, 2, false);
      break;
    case Layout::Yvu9:
      RenderPlanar(out, p, 4, true);
      break;
    case Layout::Y800:
      for (int64_t y = 0; y < h; ++y) {
        for (int64_t x = 0; x < w; ++x) out[y * w + x] = Luma(p.At(x, y));
      }
      break;
    case Layout::Gv8:
      for (int i = 0; i < 256; ++i) std::memset(out + 3 * i, i, 3);
      for (int64_t y = 0; y < h; ++y) {
        for (int64_t x = 0; x < w; ++x) out[768 + y * w + x] = Luma(p.At(x, y));
      }
      break;
    case Layout::Gv24:
      for (int64_t y = 0; y < h; ++y) {
        for (int64_t x = 0; x < w; ++x) {
          Rgb c = p.At(x, y);
          uint8_t* q = out + y * 3 * w + 3 * x;
          q[0] = static_cast<uint8_t>(c.r), q[1] = static_cast<uint8_t>(c.g);
          q[2] = static_cast<uint8_t>(c.b);
        }
      }
      break;
    case Layout::Rgb24:
    case Layout::Rgb16:
    case Layout::Rgb8:
      for (int64_t y = 0; y < h; ++y) {
        uint8_t* row = out + (h - 1 - y) * stride;  // bottom row first
        for (int64_t x = 0; x < w; ++x) {
          Rgb c = p.At(x, y);
          if (f.layout == Layout::Rgb24) {
            row[3 * x] = static_cast<uint8_t>(c.b), row[3 * x + 1] = static_cast<uint8_t>(c.g);
            row[3 * x + 2] = static_cast<uint8_t>(c.r);
          } else if (f.layout == Layout::Rgb16) {
            uint16_t v = static_cast<uint16_t>((c.b >> 3) | ((c.g >> 3) << 5) | ((c.r >> 3) << 10));
            row[2 * x] = static_cast<uint8_t>(v), row[2 * x + 1] = static_cast<uint8_t>(v >> 8);
          } else {
            row[x] = Luma(c);
          }
        }
      }
      break;
  }
}

// Byte offset of the luma (or green) sample of top-row pixel i, and whether it is the low
// byte of a 5-5-5 word.
int64_t CodeSampleOffset(const CameraFormat& f, int64_t i, int64_t h, int64_t stride) {
  switch (f.layout) {
    case Layout::Uyvy:
      return 4 * (i / 2) + 1 + 2 * (i % 2);
    case Layout::Yuy2:
      return 4 * (i / 2) + 2 * (i % 2);
    case Layout::Y444:
      return 3 * i + 1;
    case Layout::Y411: {
      constexpr int kY[4] = {1, 2, 4, 5};
      return 6 * (i / 4) + kY[i % 4];
    }
    case Layout::I420:
    case Layout::Yvu9:
    case Layout::Y800:
      return i;
    case Layout::Gv8:
      return 768 + i;
    case Layout::Gv24:
      return 3 * i + 1;
    case Layout::Rgb24:
      return (h - 1) * stride + 3 * i + 1;
    case Layout::Rgb16:
      return (h - 1) * stride + 2 * i;
    case Layout::Rgb8:
      return (h - 1) * stride + i;
  }
  return 0;
}

}  // namespace

const CameraFormat* FindCameraFormat(uint32_t compression, uint16_t bitCount) {
  for (const CameraFormat& f : kFormats) {
    if (f.compression == compression && f.bits == bitCount) return &f;
  }
  return nullptr;
}

bool CameraSizeOk(int64_t width, int64_t height) {
  return width >= 160 && width <= 1920 && height >= 120 && height <= 1080 && width % 4 == 0 &&
         height % 2 == 0;
}

int64_t CameraRowBytes(const CameraFormat& f, int64_t width) {
  if (f.layout == Layout::Gv24) return 3 * width;
  if (f.layout == Layout::Gv8) return width;
  return (f.bits * width / 8 + 3) & ~int64_t{3};
}

int64_t CameraFrameBytes(const CameraFormat& f, int64_t width, int64_t height) {
  return CameraRowBytes(f, width) * height + (f.layout == Layout::Gv8 ? 768 : 0);
}

void RenderCameraFrame(uint8_t* out, const CameraFormat& f, int64_t width, int64_t height,
                       uint32_t frameNumber) {
  std::memset(out, 0, static_cast<size_t>(CameraFrameBytes(f, width, height)));
  Render(out, f, Pattern{width, height, frameNumber}, CameraRowBytes(f, width));
}

}  // namespace kzwin

extern "C" {

DWORD kzwinRenderTestFrame(void* out, DWORD room, LONG width, LONG height, DWORD compression,
                           WORD bitCount, DWORD frameNumber) {
  const kzwin::CameraFormat* f = kzwin::FindCameraFormat(compression, bitCount);
  if (!out || !f || !kzwin::CameraSizeOk(width, height)) return 0;
  int64_t bytes = kzwin::CameraFrameBytes(*f, width, height);
  if (bytes > room) return 0;
  kzwin::RenderCameraFrame(static_cast<uint8_t*>(out), *f, width, height, frameNumber);
  return static_cast<DWORD>(bytes);
}

BOOL kzwinDecodeTestFrame(const void* frame, DWORD bytes, LONG width, LONG height,
                          DWORD compression, WORD bitCount, DWORD* frameNumber) {
  const kzwin::CameraFormat* f = kzwin::FindCameraFormat(compression, bitCount);
  if (!frame || !f || width < 32 || height < 1) return FALSE;
  const int64_t stride = kzwin::CameraRowBytes(*f, width);
  const auto* p = static_cast<const uint8_t*>(frame);
  DWORD value = 0;
  for (int64_t i = 0; i < 32; ++i) {
    int64_t at = kzwin::CodeSampleOffset(*f, i, height, stride);
    int64_t need = at + (f->layout == kzwin::Layout::Rgb16 ? 2 : 1);
    if (need > static_cast<int64_t>(bytes)) return FALSE;
    int level = p[at];
    if (f->layout == kzwin::Layout::Rgb16) level = ((p[at] | (p[at + 1] << 8)) >> 5 & 31) << 3;
    if (level > 32 && level < 224) return FALSE;
    value = (value << 1) | (level >= 224 ? 1u : 0u);
  }
  if (frameNumber) *frameNumber = value;
  return TRUE;
}

}  // extern "C"

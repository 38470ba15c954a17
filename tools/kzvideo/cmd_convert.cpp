// kzvideo convert: a 24-bit BMP through one of the fourteen pixel formats and the image
// pipeline (KZImageToBitmap with zoom, turns, mirror, flip), written back as a BMP.
#include <kzvideo.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "args.h"
#include "commands.h"
#include "image_files.h"
#include "image/pixfmt.h"
#include "image/yuv.h"

namespace kztool {
namespace {

struct Rgb {
  int w = 0, h = 0;
  std::vector<uint32_t> px;  // 0x00RRGGBB, top row first
  uint32_t At(int x, int y) const { return px[static_cast<size_t>(y) * w + x]; }
};

uint32_t Le(const std::vector<uint8_t>& b, size_t at, int n) {
  uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | b[at + i];
  return v;
}

bool ReadBmp(const char* path, Rgb& img, std::string& why) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return why = "cannot open", false;
  std::vector<uint8_t> b;
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) b.insert(b.end(), chunk, chunk + n);
  std::fclose(f);
  if (b.size() < 54 || b[0] != 'B' || b[1] != 'M') return why = "not a BMP file", false;
  const uint32_t offset = Le(b, 10, 4);
  const int32_t w = static_cast<int32_t>(Le(b, 18, 4)), hs = static_cast<int32_t>(Le(b, 22, 4));
  const uint32_t bits = Le(b, 28, 2), compression = Le(b, 30, 4);
  if ((bits != 24 && bits != 32) || compression != 0) return why = "not a 24-bit BMP", false;
  const int64_t h = hs < 0 ? -int64_t{hs} : hs;
  if (w <= 0 || h <= 0 || w > 16384 || h > 16384) return why = "unusable size", false;
  const int64_t stride = ((int64_t{w} * bits + 31) / 32) * 4;
  if (offset > b.size() || static_cast<int64_t>(b.size() - offset) < stride * h) {
    return why = "truncated", false;
  }
  img.w = w, img.h = static_cast<int>(h);
  img.px.resize(static_cast<size_t>(w) * h);
  for (int64_t y = 0; y < h; ++y) {
    const uint8_t* row = b.data() + offset + (hs < 0 ? y : h - 1 - y) * stride;
    for (int64_t x = 0; x < w; ++x) {
      const uint8_t* p = row + x * (bits / 8);
      img.px[static_cast<size_t>(y * w + x)] = (uint32_t{p[2]} << 16) | (p[1] << 8) | p[0];
    }
  }
  return true;
}

// The picture as a frame of `row`'s layout, colours through the library's one-colour
// conversion. Chroma of a group comes from its first pixel.
std::vector<uint8_t> Encode(const Rgb& img, const kz::PixelFormat& row) {
  const int w = img.w, h = img.h;
  std::vector<uint8_t> f(static_cast<size_t>(kz::ConversionReadSize(w, h, row)), 0);
  auto yuv = [&](int x, int y, int c) {
    int32_t v[3];
    kz::ColourToYuv(img.At(x < w ? x : w - 1, y < h ? y : h - 1), &v[0], &v[1], &v[2]);
    return static_cast<uint8_t>(v[c]);
  };
  auto ch = [&](int x, int y, int shift) { return static_cast<uint8_t>(img.At(x, y) >> shift); };
  const int64_t s1 = (w + 3) & ~3, s2 = (2 * w + 3) & ~3, s3 = (3 * w + 3) & ~3;
  for (int y = 0; y < h; ++y) {
    const int up = h - 1 - y;  // stored row of the bottom-up formats
    for (int x = 0; x < w; ++x) {
      switch (row.code) {
        case 1:
          for (int c = 0; c < 3; ++c) f[up * s3 + 3 * x + c] = ch(x, y, 8 * c);
          break;
        case 2: {
          const int word = ((img.At(x, y) >> 19 & 31) << 10) | ((img.At(x, y) >> 11 & 31) << 5) |
                           (img.At(x, y) >> 3 & 31);
          f[up * s2 + 2 * x] = static_cast<uint8_t>(word), f[up * s2 + 2 * x + 1] = word >> 8;
          break;
        }
        case 3:
        case 12:
          f[up * s1 + x] = yuv(x, y, 0);
          break;
        case 11:
          f[static_cast<size_t>(y) * w + x] = yuv(x, y, 0);
          break;
        case 13:
          for (int c = 0; c < 3; ++c)
            f[3 * (static_cast<size_t>(y) * w + x) + c] = ch(x, y, 16 - 8 * c);
          break;
        case 14: {  // 3-3-2 palette, so that the coloured-GV8 path is taken
          const uint32_t p = img.At(x, y);
          f[768 + static_cast<size_t>(y) * w + x] =
              static_cast<uint8_t>((p >> 16 & 0xE0) | (p >> 11 & 0x1C) | (p >> 6 & 0x03));
          break;
        }
        case 8: {
          uint8_t* p = &f[3 * (static_cast<size_t>(y) * w + x)];
          p[0] = yuv(x, y, 1), p[1] = yuv(x, y, 0), p[2] = yuv(x, y, 2);
          break;
        }
        case 4:
        case 9:
        case 6: {
          uint8_t* g = &f[static_cast<size_t>(y) * 2 * w + 4 * (x / 2)];
          const bool uyvy = row.code != 6;
          const size_t limit = f.size();
          auto put = [&](int i, uint8_t v) {
            if (g + i < f.data() + limit && 4 * (x / 2) + i < 2 * w) g[i] = v;
          };
          put(uyvy ? 1 + 2 * (x % 2) : 2 * (x % 2), yuv(x, y, 0));
          if (x % 2 == 0) put(uyvy ? 0 : 1, yuv(x, y, 1)), put(uyvy ? 2 : 3, yuv(x, y, 2));
          break;
        }
        case 10: {
          static constexpr int kLuma[4] = {1, 2, 4, 5};
          const int64_t rowBytes = 6 * int64_t{w} / 4, g = 6 * (x / 4);
          uint8_t* r = &f[static_cast<size_t>(y * rowBytes)];
          if (g + kLuma[x % 4] < rowBytes) r[g + kLuma[x % 4]] = yuv(x, y, 0);
          if (x % 4 == 0) {
            r[g] = yuv(x, y, 1);
            if (g + 3 < rowBytes) r[g + 3] = yuv(x, y, 2);
          }
          break;
        }
        case 5:
        case 7: {
          const int k = row.code == 5 ? 2 : 4;
          const int64_t wh = int64_t{w} * h, cw = w / k, chh = h / k;
          f[static_cast<size_t>(y) * w + x] = yuv(x, y, 0);
          if (x % k == 0 && y % k == 0 && x / k < cw && y / k < chh) {
            const int64_t first = wh, second = wh + wh / (k * k);
            const int64_t at = (y / k) * cw + x / k;
            f[static_cast<size_t>((row.code == 5 ? first : second) + at)] = yuv(x, y, 1);
            f[static_cast<size_t>((row.code == 5 ? second : first) + at)] = yuv(x, y, 2);
          }
          break;
        }
      }
    }
  }
  if (row.code == 14) {
    for (int i = 0; i < 256; ++i) {
      f[3 * i] = static_cast<uint8_t>((i & 0xE0) | (i & 0xE0) >> 3);
      f[3 * i + 1] = static_cast<uint8_t>((i & 0x1C) << 3 | (i & 0x1C));
      f[3 * i + 2] = static_cast<uint8_t>((i & 0x03) * 85);
    }
  }
  return f;
}

constexpr Option kOptions[] = {
    {"--format", "NAME", "pixel format of the frame made from IN.bmp (required)"},
    {"--out", "OUT", "the bitmap written back, .bmp or .png (required)"},
    {"--zoom", "Z", "zoom factor"},
    {"--aspect", "A", "aspect factor"},
    {"--method", "M", "resampling method number"},
    {"--turn", "N", "quarter turns, 0 to 3"},
    {"--mirror", nullptr, "mirror left to right"},
    {"--flip", nullptr, "flip top to bottom"},
    {"--fields", nullptr, "treat the rows as two fields"},
};
constexpr CommandSpec kCommand = {
    "convert",
    "IN.bmp --format NAME --out OUT.bmp [options]",
    "Reads a 24-bit BMP, makes a frame of pixel format NAME from it (UYVY, Y422, YUY2,\n"
    "RGB24, RGB8, Y800, Y444, RGB16, I420, Y411, YVU9, PAL8, GV24, GV8), converts it back\n"
    "with KZImageToBitmap and the given geometry, and writes the bitmap.",
    kOptions,
    1,
    1,
    "kzvideo convert photo.bmp --format I420 --zoom 2 --turn 1 --out out.bmp"};

}  // namespace

int CmdConvert(int argc, char** argv) {
  const Args args(kCommand, argc, argv);
  if (args.Finished()) return args.Exit();
  const char* in = args.Positional(0);
  const char* out = args.Text("--out");
  const char* format = args.Text("--format");
  if (!out || !format) return args.Bad("--format and --out are required");
  if (!IsImageFileName(out)) return args.Bad("--out must name a .bmp or .png file");
  KZDISPLAY d{};
  d.size = sizeof d;
  d.zoom = 1, d.aspect = 1;
  long method = 0, turn = 0;
  if (!args.Double("--zoom", 1e-3, 1e3, &d.zoom) ||
      !args.Double("--aspect", 1e-3, 1e3, &d.aspect) || !args.Long("--method", 0, 15, &method) ||
      !args.Long("--turn", 0, 3, &turn)) {
    return kExitBadArgs;
  }
  if (args.Has("--zoom") || args.Has("--aspect")) d.drawFlags |= KZ_DRAW_ZOOM;
  d.resampling = static_cast<uint32_t>(method);
  d.orientation = static_cast<uint32_t>(turn) | (args.Has("--mirror") ? KZ_ORIENT_MIRROR : 0) |
                  (args.Has("--flip") ? KZ_ORIENT_FLIP : 0) |
                  (args.Has("--fields") ? KZ_ORIENT_FIELDS : 0);
  const kz::PixelFormat* row = kz::FormatByName(format);
  if (!row) return args.Bad("unknown format '%s'", format);
  Rgb img;
  std::string why;
  if (!ReadBmp(in, img, why)) {
    std::fprintf(stderr, "kzvideo convert: %s: %s\n", in, why.c_str());
    return 1;
  }
  const std::vector<uint8_t> frame = Encode(img, *row);
  HGLOBAL image = GlobalAlloc(GMEM_MOVEABLE, frame.size());
  if (!image) return ReportError("GlobalAlloc", KZ_ERR_MEMORY);
  std::memcpy(GlobalLock(image), frame.data(), frame.size());
  GlobalUnlock(image);

  d.session = KZBegin(nullptr);
  if (!d.session) return ReportError("KZBegin", KZGetLastError());
  d.width = img.w, d.height = img.h;
  d.format = static_cast<uint32_t>(row->code);
  d.bitCount = row->bits;
  HGLOBAL bitmap = KZImageToBitmap(image, &d);
  const uint32_t error = KZGetLastError();
  GlobalFree(image);
  if (!bitmap) {
    KZEnd(d.session);
    return ReportError("KZImageToBitmap", error);
  }
  std::string whyNot;
  const bool ok = WriteImageFile(out, bitmap, &whyNot);
  BITMAPINFOHEADER bi{};
  std::memcpy(&bi, GlobalLock(bitmap), sizeof bi);
  const int32_t outW = bi.biWidth, outH = bi.biHeight;
  GlobalUnlock(bitmap);
  GlobalFree(bitmap);
  KZEnd(d.session);
  if (!ok) {
    std::fprintf(stderr, "kzvideo convert: %s\n", whyNot.c_str());
    return kExitFailed;
  }
  std::printf("%s: %dx%d %s -> %dx%d bitmap\n", out, img.w, img.h, row->name, outW, outH);
  return 0;
}

}  // namespace kztool

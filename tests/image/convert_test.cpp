// Direct conversions against a plain per-pixel reference written from the format
// descriptions (no library tables), for every format and awkward sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "image/convert.h"
#include "image/pixfmt.h"
#include "image/rows.h"
#include "image/yuv.h"

namespace kz {
namespace {

int FloorDiv(int a, int b) {
  return a >= 0 ? a / b : -((-a + b - 1) / b);
}
uint8_t Clamp(int v) {
  return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

// B, G, R of full-range Y, U, V with the rounding the fixed-point tables give.
void RefPixel(int y, int u, int v, uint8_t* bgr) {
  bgr[2] = Clamp(y + FloorDiv(359 * (v - 128) + 128, 256));
  bgr[1] = Clamp(y - FloorDiv(88 * (u - 128) + 128 + 183 * (v - 128), 256));
  bgr[0] = Clamp(y + FloorDiv(454 * (u - 128) + 128, 256));
}

struct Px {
  int y, u, v;
};

// Y, U, V of pixel (x, y) of a YUV frame, read plainly from the layout; a sample the
// grouping places past its row or plane comes from the last existing one (neutral 128 for
// chroma, 0 for luma, when the frame holds none).
Px RefYuv(int code, const std::vector<uint8_t>& f, int w, int h, int x, int y) {
  auto at = [&](long i) -> int { return f.at(static_cast<size_t>(i)); };
  switch (code) {
    case 4:
    case 9:
    case 6: {
      const long row = 2L * w * y;
      const bool uyvy = code != 6;
      const int g = x / 2;
      const int luma = at(row + 4 * g + (uyvy ? 1 : 0) + 2 * (x % 2));
      const int u = at(row + 4 * g + (uyvy ? 0 : 1));
      int vg = g;
      if (4 * vg + (uyvy ? 2 : 3) >= 2 * w) --vg;
      const int v = vg < 0 ? 128 : at(row + 4 * vg + (uyvy ? 2 : 3));
      return {luma, u, v};
    }
    case 8: {
      const long p = 3L * w * y + 3 * x;
      return {at(p + 1), at(p), at(p + 2)};
    }
    case 10: {
      const long row = (6L * w / 4) * y;
      const long len = 6L * w / 4;
      const int lumaAt[4] = {1, 2, 4, 5};
      long yo = -1;
      for (int xx = x; xx >= 0 && yo < 0; --xx) {
        const long o = 6 * (xx / 4) + lumaAt[xx % 4];
        if (o < len) yo = o;
      }
      long vo = -1;
      for (int g = x / 4; g >= 0 && vo < 0; --g) {
        if (6 * g + 3 < len) vo = 6 * g + 3;
      }
      return {yo < 0 ? 0 : at(row + yo), at(row + 6 * (x / 4)), vo < 0 ? 128 : at(row + vo)};
    }
    case 5:
    case 7: {
      const int k = code == 5 ? 2 : 4;
      const int cw = w / k, ch = h / k;
      const int luma = at(long(w) * y + x);
      if (cw == 0 || ch == 0) return {luma, 128, 128};
      const int cx = std::min(x / k, cw - 1), cy = std::min(y / k, ch - 1);
      const long wh = long(w) * h;
      const long firstPlane = wh, secondPlane = wh + wh / (k * k);
      const long uPlane = code == 5 ? firstPlane : secondPlane;
      const long vPlane = code == 5 ? secondPlane : firstPlane;
      return {luma, at(uPlane + long(cy) * cw + cx), at(vPlane + long(cy) * cw + cx)};
    }
  }
  ADD_FAILURE() << "not a YUV code " << code;
  return {};
}

// Expected bitmap rows (bottom row first, zero padding) of a frame.
std::vector<uint8_t> Reference(int code, const std::vector<uint8_t>& f, int w, int h,
                               const uint8_t* pal, bool greyTo24) {
  const bool eight = (code == 3 || code == 11 || code == 14) && !greyTo24;
  const long stride = eight ? (w + 3) / 4 * 4 : (3L * w + 3) / 4 * 4;
  std::vector<uint8_t> out(static_cast<size_t>(stride * h), 0);
  const long s1 = (w + 3) / 4 * 4, s2 = (2L * w + 3) / 4 * 4, s3 = (3L * w + 3) / 4 * 4;
  for (int y = 0; y < h; ++y) {
    uint8_t* dst = out.data() + (h - 1 - y) * stride;  // image row y
    for (int x = 0; x < w; ++x) {
      uint8_t bgr[3] = {0, 0, 0};
      int grey = -1;
      switch (code) {
        case 1: {
          const long p = (h - 1 - y) * s3 + 3L * x;
          bgr[0] = f[p], bgr[1] = f[p + 1], bgr[2] = f[p + 2];
          break;
        }
        case 2: {
          const long p = (h - 1 - y) * s2 + 2L * x;
          const int word = f[p] | (f[p + 1] << 8);
          for (int c = 0; c < 3; ++c) {
            const int v = (word >> (5 * c)) & 31;
            bgr[c] = uint8_t((v << 3) | (v >> 2));
          }
          break;
        }
        case 3:
        case 11:
        case 14:
          grey = code == 3 ? f[(h - 1 - y) * s1 + x] : f[(code == 14 ? 768 : 0) + long(w) * y + x];
          break;
        case 12: {
          const int i = f[(h - 1 - y) * s1 + x];
          for (int c = 0; c < 3; ++c) bgr[c] = pal[4 * i + c];
          break;
        }
        case 13: {
          const long p = 3L * w * y + 3L * x;
          bgr[0] = f[p + 2], bgr[1] = f[p + 1], bgr[2] = f[p];
          break;
        }
        default: {
          Px p = RefYuv(code, f, w, h, x, y);
          RefPixel(p.y, p.u, p.v, bgr);
        }
      }
      if (grey >= 0 && eight) {
        dst[x] = uint8_t(grey);
      } else {
        if (grey >= 0) bgr[0] = bgr[1] = bgr[2] = uint8_t(grey);
        dst[3 * x] = bgr[0], dst[3 * x + 1] = bgr[1], dst[3 * x + 2] = bgr[2];
      }
    }
  }
  // RGB24 and RGB8 are copied whole, padding included.
  if (code == 1 || (code == 3 && !greyTo24)) {
    std::copy(f.begin(), f.begin() + stride * h, out.begin());
  }
  return out;
}

std::vector<uint8_t> RandomFrame(int code, int w, int h, uint32_t seed) {
  const PixelFormat* row = FormatByCode(code);
  std::vector<uint8_t> f(static_cast<size_t>(ConversionReadSize(w, h, *row)));
  std::mt19937 gen(seed);
  for (auto& b : f) b = static_cast<uint8_t>(gen());
  return f;
}

TEST(DirectConversion, EveryFormatMatchesThePlainReference) {
  const int sizes[][2] = {{1, 1}, {2, 2}, {1, 5}, {3, 1},  {4, 4},  {5, 3},   {6, 7},
                          {7, 5}, {8, 8}, {9, 9}, {13, 6}, {16, 4}, {17, 11}, {33, 9}};
  std::vector<uint8_t> pal(1024);
  for (size_t i = 0; i < pal.size(); ++i) pal[i] = static_cast<uint8_t>(i * 7 + 3);
  for (const PixelFormat& row : kPixelFormats) {
    for (auto [w, h] : sizes) {
      for (bool to24 : {false, true}) {
        const auto f =
            RandomFrame(row.code, w, h, static_cast<uint32_t>(row.code * 1000 + w * 31 + h));
        SourceFrame src{row.code, w, h, f, pal.data()};
        const auto want = Reference(row.code, f, w, h, pal.data(), to24);
        std::vector<uint8_t> got(want.size() + 16, 0xEE);
        const bool eight = IsEightBitOutput(row.code) && !to24;
        const bool ok =
            to24 ? ConvertTo24(src, got) : ConvertDirect(src, got, BitmapStride(w, eight));
        ASSERT_TRUE(ok) << row.name << " " << w << "x" << h;
        for (size_t i = want.size(); i < got.size(); ++i)
          ASSERT_EQ(got[i], 0xEE) << "wrote past the rows";
        got.resize(want.size());
        ASSERT_EQ(got, want) << row.name << " " << w << "x" << h << (to24 ? " (24-bit body)" : "");
        if (to24) continue;
        // The same bitmap made band by band, bands of 1 to 3 rows from the bottom up.
        std::vector<uint8_t> banded(want.size(), 0xEE);
        for (int r = 0, n = 1; r < h; r += n, n = n % 3 + 1) {
          n = std::min(n, h - r);
          ASSERT_TRUE(ConvertDirectRows(src, banded, BitmapStride(w, eight), r, n));
        }
        ASSERT_EQ(banded, want) << row.name << " " << w << "x" << h << " in bands";
        // And each band into a buffer of its rows alone, a guard byte after it.
        const int64_t stride = BitmapStride(w, eight);
        for (int r = 0, n = 3; r < h; r += n, n = n % 3 + 1) {
          n = std::min(n, h - r);
          std::vector<uint8_t> band(static_cast<size_t>(n * stride) + 1, 0xEE);
          ASSERT_TRUE(
              ConvertDirectBand(src, std::span(band.data(), band.size() - 1), stride, r, n));
          ASSERT_TRUE(std::equal(band.begin(), band.end() - 1, want.begin() + r * stride))
              << row.name << " " << w << "x" << h << " band at " << r;
          ASSERT_EQ(band.back(), 0xEE);
        }
      }
    }
  }
}

TEST(DirectConversion, RefusesShortFramesRowsAndUnknownCodes) {
  std::vector<uint8_t> frame(4096), rows(4096);
  // 5x4 RGB8 reads padded rows of 8 and no palette: a stream's frame holds 32 bytes.
  SourceFrame rgb8{3, 5, 4, std::span<const uint8_t>(frame.data(), 31), nullptr};
  EXPECT_FALSE(ConvertDirect(rgb8, rows, 8));
  rgb8.bytes = std::span<const uint8_t>(frame.data(), 32);
  EXPECT_TRUE(ConvertDirect(rgb8, rows, 8));
  SourceFrame i420{5, 5, 3, std::span<const uint8_t>(frame.data(), 21), nullptr};
  EXPECT_FALSE(ConvertDirect(i420, rows, 16));
  i420.bytes = std::span<const uint8_t>(frame.data(), 22);
  EXPECT_TRUE(ConvertDirect(i420, rows, 16));
  EXPECT_FALSE(ConvertDirect(i420, std::span<uint8_t>(rows.data(), 47), 16));  // 16 x 3 needed
  EXPECT_FALSE(ConvertDirect(i420, rows, 14));                                 // stride below 3w
  // A bitmap row wider than the frame's padded row: rows are copied one by one, nothing
  // past the frame's 32 bytes is read and the rest of each row is zero.
  for (size_t i = 0; i < 32; ++i) frame[i] = static_cast<uint8_t>(i + 1);
  std::fill(rows.begin(), rows.end(), 0xEE);
  rgb8.bytes = std::span<const uint8_t>(frame.data(), 32);
  frame[32] = 0xAA;
  ASSERT_TRUE(ConvertDirect(rgb8, rows, 12));
  for (int i = 0; i < 48; ++i)
    EXPECT_EQ(rows[i], i % 12 < 5 ? frame[8 * (i / 12) + i % 12] : 0) << i;
  // Row ranges outside the bitmap: before it, past it, backwards.
  const std::pair<int, int> outside[] = {{-1, 2}, {2, 2}, {0, -1}};
  for (auto [first, count] : outside) {
    EXPECT_FALSE(ConvertDirectRows(i420, rows, 16, first, count)) << first << "+" << count;
  }
  EXPECT_TRUE(ConvertDirectRows(i420, rows, 16, 3, 0));
  for (auto [first, count] : outside) {
    EXPECT_FALSE(ConvertDirectBand(i420, rows, 16, first, count)) << first << "+" << count;
  }
  // A band buffer holds its rows alone: two rows of 16 fit 32 bytes, not 31.
  EXPECT_TRUE(ConvertDirectBand(i420, std::span<uint8_t>(rows.data(), 32), 16, 1, 2));
  EXPECT_FALSE(ConvertDirectBand(i420, std::span<uint8_t>(rows.data(), 31), 16, 1, 2));
  EXPECT_FALSE(ConvertDirect(SourceFrame{15, 4, 4, frame, nullptr}, rows, 12));
  EXPECT_FALSE(ConvertDirect(SourceFrame{4, 0, 4, frame, nullptr}, rows, 12));
}

// Rows of 256 pixels with Y = 0..255 in every layout the row kernels read; Chroma() sets
// one (U, V) for the whole row.
struct YuvRows {
  std::vector<uint8_t> src[kRowKinds], u = std::vector<uint8_t>(256), v = u;
  std::vector<uint8_t*> us, vs;  // where each layout keeps U and V
  YuvRows() {
    for (int x = 0; x < 256; ++x) {
      const auto y = uint8_t(x);
      src[kRowYuy2].insert(src[kRowYuy2].end(), {y, 0});
      src[kRowUyvy].insert(src[kRowUyvy].end(), {0, y});
      src[kRowY444].insert(src[kRowY444].end(), {0, y, 0});
      if (x % 2 == 0) src[kRowY411].push_back(0);
      src[kRowY411].push_back(y);
      src[kRowI420].push_back(y);
      src[kRowYvu9].push_back(y);
      src[kRowP444].push_back(y);
    }
    for (size_t x = 0; x < 256; ++x) {
      (x % 2 ? vs : us).push_back(&src[kRowYuy2][2 * x + 1]);
      (x % 2 ? vs : us).push_back(&src[kRowUyvy][2 * x]);
    }
    for (size_t i = 0; i < 128; ++i) (i % 2 ? vs : us).push_back(&src[kRowY411][3 * i]);
    for (size_t i = 0; i < 256; ++i) {
      us.push_back(&u[i]);
      vs.push_back(&v[i]);
    }
    for (size_t x = 0; x < 256; ++x) {
      us.push_back(&src[kRowY444][3 * x]);
      vs.push_back(&src[kRowY444][3 * x + 2]);
    }
  }
  void Chroma(int cu, int cv) {
    for (uint8_t* p : us) *p = uint8_t(cu);
    for (uint8_t* p : vs) *p = uint8_t(cv);
  }
};

// Every (Y, U, V) through the pixel formula and the tables, and through every vectorised
// row kernel this processor runs in every layout, against the plain formula of the test.
TEST(YuvPixel, EveryInputMatchesThePlainFormulaInEveryKernel) {
  uint8_t a[3], b[3];
  std::vector<uint8_t> want(768), got(768);
  YuvRows rows;
  const auto sets = AvailableRows().subspan(1);
  for (int u = 0; u < 256; ++u) {
    for (int v = 0; v < 256; ++v) {
      for (int y = 0; y < 256; ++y) {
        uint8_t* c = want.data() + 3 * y;
        YuvToBgr(y, u, v, a);
        YuvToBgrByTable(y, u, v, b);
        RefPixel(y, u, v, c);
        if (std::memcmp(a, c, 3) || std::memcmp(b, c, 3)) FAIL() << y << "," << u << "," << v;
      }
      rows.Chroma(u, v);
      for (const RowKernels* set : sets) {
        for (int kind = 0; kind < kRowKinds; ++kind) {
          set->row[kind](rows.src[kind].data(), rows.u.data(), rows.v.data(), got.data(), 256);
          if (std::memcmp(got.data(), want.data(), 768) != 0)
            FAIL() << set->name << " kind " << kind << " U " << u << " V " << v;
        }
      }
    }
  }
}

// Every vectorised kernel against the plain one on random rows of many widths (the tails
// after the vector steps), each row in a block of exactly the bytes it may read.
TEST(YuvPixel, VectorKernelsMatchThePlainOnesAtEveryWidth) {
  std::mt19937 gen(7);
  for (int w : {1,  2,  3,  4,  5,  7,  8,  15, 16,  17,  31,  32,  33,  34,  36,  47,  48,
                63, 64, 65, 66, 68, 95, 96, 97, 100, 127, 128, 129, 130, 191, 250, 1921}) {
    const int bytes[kRowKinds] = {2 * w, 2 * w, 3 * w, 6 * w / 4, w, w, w};
    for (int kind = 0; kind < kRowKinds; ++kind) {
      const int k = kind == kRowI420 ? 2 : kind == kRowYvu9 ? 4 : 1;
      if (w < k) continue;  // rows without chroma never reach the kernels
      std::vector<uint8_t> s(static_cast<size_t>(bytes[kind])), u(size_t(w / k)), v(u.size());
      for (auto* p : {&s, &u, &v})
        for (auto& byte : *p) byte = static_cast<uint8_t>(gen());
      std::vector<uint8_t> want(3 * size_t(w)), got(want.size());
      PlainRows().row[kind](s.data(), u.data(), v.data(), want.data(), w);
      for (const RowKernels* set : AvailableRows()) {
        std::fill(got.begin(), got.end(), 0xEE);
        set->row[kind](s.data(), u.data(), v.data(), got.data(), w);
        ASSERT_EQ(got, want) << set->name << " kind " << kind << " width " << w;
      }
    }
  }
}

TEST(YuvPixel, KnownPoints) {
  struct Case {
    int y, u, v;
    uint8_t b, g, r;
  } cases[] = {
      {0, 128, 128, 0, 0, 0}, {255, 128, 128, 255, 255, 255}, {128, 128, 255, 128, 37, 255}};
  for (const Case& c : cases) {
    uint8_t out[3];
    YuvToBgr(c.y, c.u, c.v, out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 3), std::vector<uint8_t>({c.b, c.g, c.r})) << c.y;
  }
  // RGB16 words: 0x7FFF is white, 0x0421 is 8 in every channel.
  const uint8_t words[] = {0xFF, 0x7F, 0, 0, 0x21, 0x04, 0, 0};  // two padded rows of one pixel
  uint8_t rows[8];
  ASSERT_TRUE(ConvertDirect(SourceFrame{2, 1, 2, words, nullptr}, rows, 4));
  EXPECT_EQ(std::vector<uint8_t>(rows, rows + 7),
            std::vector<uint8_t>({255, 255, 255, 0, 8, 8, 8}));
}

TEST(ColourToYuv, GreysAreExactAndColoursTruncate) {
  for (uint32_t g = 0; g < 256; ++g) {
    int32_t y = -1, u = -1, v = -1;
    ColourToYuv(g * 0x010101u, &y, &u, &v);
    EXPECT_EQ(std::tuple(y, u, v), std::tuple(int32_t(g), 128, 128));
  }
  int32_t y, u, v;
  // 76.245 -> 76; (0-76)/1.772+128 = 85.1; (255-76)/1.402+128 = 255.67
  ColourToYuv(0xFF0000, &y, &u, &v);
  EXPECT_EQ(std::tuple(y, u, v), std::tuple(76, 85, 255));
  ColourToYuv(0x0000FF, nullptr, &u, nullptr);  // Y 29: (255-29)/1.772+128 = 255.5
  EXPECT_EQ(u, 255);
}

TEST(ColouredGv8, GreyRampIsDetectedAndColoursExpand) {
  std::vector<uint8_t> f(768 + 6);
  for (int i = 0; i < 256; ++i) f[3 * i] = f[3 * i + 1] = f[3 * i + 2] = static_cast<uint8_t>(i);
  EXPECT_TRUE(IsGreyPalette(f));
  f[3 * 77 + 2] ^= 1;
  EXPECT_FALSE(IsGreyPalette(f));
  f[3 * 5] = 10, f[3 * 5 + 1] = 20, f[3 * 5 + 2] = 30;
  for (int i = 0; i < 6; ++i) f[768 + i] = static_cast<uint8_t>(i == 2 ? 5 : 77);
  std::vector<uint8_t> out(18);
  ASSERT_TRUE(ExpandGv8(f, 3, 2, out));
  EXPECT_EQ(std::vector<int>(out.begin(), out.begin() + 9),
            std::vector<int>({77, 77, 77 ^ 1, 77, 77, 77 ^ 1, 10, 20, 30}));
  EXPECT_FALSE(ExpandGv8(f, 3, 3, out));
}

}  // namespace
}  // namespace kz

// Geometry, taps and colour tables of the general converter, checked against plain
// references written from the rules, and against the direct conversion.
#include <gtest/gtest.h>
#include <kzwin_test.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include "image/colour.h"
#include "image/convert.h"
#include "image/general.h"
#include "image/pixfmt.h"
#include "image/plan.h"
#include "image/yuv.h"

namespace kz {
namespace {

// A block of the format and size; a zoom other than 0 turns zooming on.
KZDISPLAY Block(int32_t code, int32_t w, int32_t h, double zoom = 0, uint32_t resampling = 0) {
  KZDISPLAY b{};
  b.size = sizeof(KZDISPLAY), b.width = w, b.height = h, b.format = static_cast<uint32_t>(code);
  b.bitCount = FormatByCode(code)->bits, b.drawFlags = zoom != 0 ? KZ_DRAW_ZOOM : 0;
  b.zoom = zoom, b.resampling = resampling;
  return b;
}

void Crop(KZDISPLAY& b, int32_t left, int32_t top, int32_t w, int32_t h) {
  b.drawFlags = KZ_DRAW_CROP;
  b.cropLeft = left, b.cropTop = top, b.cropWidth = w, b.cropHeight = h;
}

// The plan BuildPlan makes for a block (normalising it), freed on leaving.
struct Built {
  explicit Built(KZDISPLAY& b, uint32_t flagsBefore = 0)
      : flags(flagsBefore), ok(BuildPlan(b, plan, tables, w, h, flags)) {}
  ~Built() { FreePlan(plan, tables); }
  Plan* plan = nullptr;
  AdjustTables* tables = nullptr;
  int32_t w = 0, h = 0;
  uint32_t flags;
  bool ok;
};

// The pixel rows of the packed bitmap and its size, converted through the plan when one is
// made, else directly.
struct Out {
  std::vector<uint8_t> rows;
  int32_t w, h;
  bool planned;
  int64_t stride;
  int bpp;
  // Pixel (x, y), y = 0 the top image row; channel k of B, G, R (or the grey byte).
  int At(int x, int y, int k = 0) const {
    return rows[static_cast<size_t>((h - 1 - y) * stride + x * bpp + k)];
  }
};

Out Convert(KZDISPLAY b, const std::vector<uint8_t>& frame, const uint8_t* palette = nullptr) {
  const Built p(b);
  const bool eight = IsEightBitOutput(static_cast<int32_t>(b.format));
  Out o{{}, p.w, p.h, p.ok, BitmapStride(p.w, eight), eight ? 1 : 3};
  o.rows.assign(static_cast<size_t>(o.stride * o.h), 0);
  SourceFrame src{static_cast<int32_t>(b.format), b.width, b.height, frame, palette};
  if (o.planned) {
    RunGeneralConverter(*p.plan, *p.tables, p.flags, b, src, o.rows.data() + (o.h - 1) * o.stride,
                        -o.stride, eight);
  } else {
    EXPECT_TRUE(ConvertDirect(src, o.rows, o.stride));
  }
  return o;
}

std::vector<uint8_t> RandomFrame(int code, int w, int h, uint32_t seed) {
  std::vector<uint8_t> f(static_cast<size_t>(ConversionReadSize(w, h, *FormatByCode(code))));
  std::mt19937 gen(seed);
  for (auto& v : f) v = static_cast<uint8_t>(gen());
  return f;
}

TEST(Plan, IdentityGeometryMatchesTheDirectConversionForEveryFormat) {
  // Half a turn, mirror and flip together leave every pixel in place but force a plan, so
  // the general path must agree with the direct one, odd sizes and clamped chroma included.
  const int sizes[][2] = {{1, 1}, {2, 3}, {3, 2}, {5, 5}, {6, 7}, {7, 9}, {9, 4}, {13, 6}};
  std::vector<uint8_t> pal(1024);
  for (size_t i = 0; i < pal.size(); ++i) pal[i] = static_cast<uint8_t>(i * 13 + 1);
  for (const PixelFormat& row : kPixelFormats) {
    for (auto [w, h] : sizes) {
      const auto f = RandomFrame(row.code, w, h, static_cast<uint32_t>(w * 100 + h + row.code));
      KZDISPLAY plain = Block(row.code, w, h);
      KZDISPLAY same = plain;
      same.orientation = 2 | KZ_ORIENT_MIRROR | KZ_ORIENT_FLIP;
      const Out direct = Convert(plain, f, pal.data());
      const Out general = Convert(same, f, pal.data());
      ASSERT_TRUE(!direct.planned && general.planned && general.w == w && general.h == h);
      for (int i = 0; i < w * h * direct.bpp; ++i) {
        const int x = i / direct.bpp % w, y = i / direct.bpp / w, k = i % direct.bpp;
        ASSERT_EQ(general.At(x, y, k), direct.At(x, y, k)) << row.name << " " << w << "x" << h;
      }
    }
  }
}

// Source pixel shown at output (x, y) after field swap, crop, turns, mirror and flip,
// applied one at a time to a plain coordinate grid.
struct Grid {
  int w, h;
  std::vector<std::pair<int, int>> at;  // source (x, y) of each pixel
  std::pair<int, int> operator()(int x, int y) const { return at[static_cast<size_t>(y * w + x)]; }
};

// The w x h grid whose pixel (x, y) is g's pixel from(x, y).
template <class From>
Grid Remap(const Grid& g, int w, int h, From from) {
  Grid r{w, h, {}};
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) r.at.push_back(std::apply(g, from(x, y)));
  }
  return r;
}

Grid Reference(int w, int h, uint32_t o, int cl, int ct, int cw, int ch) {
  using P = std::pair<int, int>;
  Grid g{w, h, {}};
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) g.at.push_back({x, y});
  }
  if (o & KZ_ORIENT_FIELDS)
    g = Remap(g, w, h, [&](int x, int y) { return P(x, (y ^ 1) < h ? y ^ 1 : y); });
  if (cw > 0) g = Remap(g, cw, ch, [&](int x, int y) { return P(x + cl, y + ct); });
  for (uint32_t t = 0; t < (o & 3); ++t) {  // clockwise: out(x, y) = in(y, h - 1 - x)
    g = Remap(g, g.h, g.w, [&](int x, int y) { return P(y, g.h - 1 - x); });
  }
  if (o & KZ_ORIENT_MIRROR) g = Remap(g, g.w, g.h, [&](int x, int y) { return P(g.w - 1 - x, y); });
  if (o & KZ_ORIENT_FLIP) g = Remap(g, g.w, g.h, [&](int x, int y) { return P(x, g.h - 1 - y); });
  return g;
}

TEST(Plan, EveryOrientationCropAndFieldSwapLandsEveryPixel) {
  const int w = 7, h = 5;
  // GV24 with R = x, G = y, B = 77 names each source pixel; Y800 values are 10y + x.
  std::vector<uint8_t> gv24(static_cast<size_t>(3 * w * h)), y800(static_cast<size_t>(w * h));
  for (int i = 0; i < w * h; ++i) {
    gv24[3 * i] = uint8_t(i % w), gv24[3 * i + 1] = uint8_t(i / w), gv24[3 * i + 2] = 77;
    y800[i] = static_cast<uint8_t>(10 * (i / w) + i % w);
  }
  struct Cut {
    int l, t, cw, ch;  // a width of 0: no crop
  } crops[] = {{0, 0, 0, 0}, {1, 2, 4, 3}, {2, 0, 5, 2}};
  for (uint32_t o = 0; o < 64; ++o) {
    if (o & 4) continue;  // not an orientation bit
    for (const Cut& c : crops) {
      const Grid g = Reference(w, h, o, c.l, c.t, c.cw, c.ch);
      for (int code : {13, 11}) {
        SCOPED_TRACE(testing::Message() << "o=" << o << " crop=" << c.cw << " code=" << code);
        KZDISPLAY b = Block(code, w, h);
        b.orientation = o;
        if (c.cw > 0) Crop(b, c.l, c.t, c.cw, c.ch);
        const Out out = Convert(b, code == 13 ? gv24 : y800);
        ASSERT_EQ(std::pair(out.w, out.h), std::pair(g.w, g.h));
        for (int y = 0; y < g.h; ++y) {
          for (int x = 0; x < g.w; ++x) {
            const auto [sx, sy] = g(x, y);
            const int k = code == 13 ? 256 : 10;  // GV24: G and R; Y800: the value
            const int got = code == 13 ? k * out.At(x, y, 1) + out.At(x, y, 2) : out.At(x, y);
            ASSERT_EQ(got, k * sy + sx) << x << "," << y;
            // The coordinate functions agree with the picture (no zoom, left = top = 0).
            if (!(o & KZ_ORIENT_FIELDS)) {
              int32_t wx = -1, wy = -1;
              EXPECT_EQ(FrameToWindow(b, sx, sy, &wx, &wy), 1);
              EXPECT_EQ(std::pair(wx, wy), std::pair(x, y));
            }
          }
        }
      }
    }
  }
}

TEST(Plan, NormalisationOfCropZoomAndMethod) {
  KZDISPLAY b = Block(11, 200, 100);
  Crop(b, -10, 0, 100, 50);
  EXPECT_TRUE(NormaliseBlock(b, true));
  EXPECT_EQ(b.cropLeft, 0);
  EXPECT_EQ(b.cropWidth, 90);
  b.cropWidth = 1;  // 1 x n turns cropping off
  EXPECT_FALSE(NormaliseBlock(b, true));
  EXPECT_EQ(b.drawFlags & KZ_DRAW_CROP, 0u);
  Crop(b, 0, 0, 500, 100);  // whole frame
  EXPECT_FALSE(NormaliseBlock(b, true));
  Crop(b, INT32_MIN, 0, INT32_MIN, 100);  // no wrap-around
  EXPECT_FALSE(NormaliseBlock(b, true));
  b.drawFlags = KZ_DRAW_ZOOM;
  b.zoom = 1, b.aspect = 1;
  EXPECT_FALSE(NormaliseBlock(b, true));
  for (double bad : {0.0, -2.0, double(NAN), double(INFINITY)}) {
    b.drawFlags = KZ_DRAW_ZOOM;
    b.zoom = bad, b.aspect = 2;
    EXPECT_TRUE(NormaliseBlock(b, true));
    EXPECT_EQ(double{b.zoom}, 1.0);
  }
  b.resampling = 9 | KZ_RESAMPLE_FAST_ZOOM;
  NormaliseBlock(b, true);
  EXPECT_EQ(b.resampling, KZ_RESAMPLE_FAST_ZOOM);
  // Grey formats ignore white balance and saturation; others need a plan for them.
  KZDISPLAY c = Block(11, 8, 8);
  c.adjust.saturation = 100;
  EXPECT_FALSE(NormaliseBlock(c, true));
  EXPECT_TRUE(NormaliseBlock(c, false));
  c.drawFlags = KZ_DRAW_NO_ADJUST;
  EXPECT_FALSE(NormaliseBlock(c, false));
  KZDISPLAY g = Block(11, 8, 8);
  g.adjust.gamma = 1;
  EXPECT_FALSE(NormaliseBlock(g, true));
  g.adjust.gamma = 0.5;
  EXPECT_TRUE(NormaliseBlock(g, true));
}

TEST(Plan, OutputSizesAndTurns) {
  // 9 x 6 at zoom 0.5, aspect 2: trunc(9 / 2) x 6; a tiny zoom still gives one pixel.
  for (auto [zoom, aspect, w, h] : {std::tuple{0.5, 2.0, 4, 6}, {1e-9, 1.0, 1, 1}}) {
    KZDISPLAY b = Block(11, 9, 6, zoom);
    b.aspect = aspect;
    const Out o = Convert(b, RandomFrame(11, 9, 6, 1));
    EXPECT_EQ(std::pair(o.w, o.h), std::pair(w, h)) << zoom;
  }
  // A 1-pixel frame through every stage.
  KZDISPLAY one = Block(5, 1, 1, 3, 3);
  one.orientation = 1 | KZ_ORIENT_MIRROR;
  const Out o = Convert(one, {200});
  ASSERT_EQ(o.w, 3);
  EXPECT_EQ(std::pair(o.At(2, 2, 0), o.At(2, 2, 2)), std::pair(200, 200));  // neutral chroma
}

TEST(Plan, AllocationFailureFallsBackToTheFrameSize) {
  for (long after : {0L, 1L, 2L}) {  // scratch, plan block, table block
    SCOPED_TRACE(after);
    KZDISPLAY b = Block(11, 8, 6, 4);
    kzwinFailAllocAfter(after);
    const Built p(b, 7);
    kzwinFailAllocAfter(-1);
    EXPECT_TRUE(!p.ok && !p.plan && !p.tables);
    EXPECT_EQ(std::pair(p.w, p.h), std::pair(8, 6));
  }
}

// Area taps written plainly from the rule, visiting every covered pixel.
void NaiveArea(int64_t n, int64_t p0, double t, double q, int m, int64_t* idx, int32_t* wt) {
  const int slots = m + 1;
  double full = std::trunc(16777216 / q);
  std::vector<double> w(static_cast<size_t>(slots), 0);
  for (int64_t k = 0; k <= m || k < q + 2; ++k) {
    double wk;
    if (k == 0) {
      wk = std::trunc((1 - t) * 16777216 / q);
    } else if (k < q + t - 1) {
      wk = full;
    } else if (k < q + t) {
      wk = std::trunc(((t - k) / q + 1) * 16777216);
    } else {
      wk = 0;
    }
    const int s = static_cast<int>(k % slots);
    if (k <= m || wk > w[static_cast<size_t>(s)]) {
      w[static_cast<size_t>(s)] = wk;
      idx[s] = std::min(p0 + k, n - 1);
    }
  }
  double sum = 0;
  for (double v : w) sum += v;
  int total = 0;
  for (int s = 0; s < slots; ++s) {
    wt[s] = static_cast<int32_t>(std::trunc(w[static_cast<size_t>(s)] * 512.0 / sum));
    total += wt[s];
  }
  wt[1] += 512 - total;
}

TEST(Taps, WeightsSumTo512WhereRequiredAndAreaSkippingChangesNothing) {
  // Method 1 at t = 0.25 (zoom 2, output 1): 384 and 128.
  int64_t idx[64 * 6];
  int32_t wt[64 * 6];
  ComputeTaps(10, 20, 0.5, 1, 0, idx, wt);
  EXPECT_EQ(std::tuple(wt[2], wt[3], idx[2], idx[3]), std::tuple(384, 128, 0, 1));
  for (int m = 1; m <= 5; ++m) {
    for (double q : {0.3, 0.5, 0.77, 1.0, 1.25, 2.5, 3.7, 7.3, 25.5}) {
      for (int area : {0, 1, 2}) {
        const int64_t n = 40, out = std::max<int64_t>(1, static_cast<int64_t>(n / q));
        ComputeTaps(n, std::min<int64_t>(out, 64), q, m, area, idx, wt);
        for (int64_t i = 0; i < std::min<int64_t>(out, 64); ++i) {
          int sum = 0;
          for (int k = 0; k <= m; ++k) {
            ASSERT_GE(idx[i * (m + 1) + k], 0);
            ASSERT_LT(idx[i * (m + 1) + k], n);
            sum += wt[i * (m + 1) + k];
          }
          if (m == 1 || (area == 1 && q > 1)) {
            ASSERT_EQ(sum, 512) << "m=" << m << " q=" << q << " area=" << area << " i=" << i;
          }
          if (area == 1 && q > 1) {
            int64_t ni[6];
            int32_t nw[6];
            const double pos = static_cast<double>(i) * q;
            NaiveArea(n, static_cast<int64_t>(std::floor(pos)), pos - std::floor(pos), q, m, ni,
                      nw);
            for (int k = 0; k <= m; ++k) {
              ASSERT_EQ(idx[i * (m + 1) + k], ni[k]) << "m=" << m << " q=" << q << " i=" << i;
              ASSERT_EQ(wt[i * (m + 1) + k], nw[k]) << "m=" << m << " q=" << q << " i=" << i;
            }
          }
        }
      }
    }
  }
  // A step beyond 2^24 gives no pixel any weight: the last slot takes all 512.
  ComputeTaps(10, 1, 3e7, 2, 1, idx, wt);
  EXPECT_EQ(std::tuple(wt[0], wt[1], wt[2]), std::tuple(0, 0, 512));
  // A huge step is quick: only the taps that can win are visited.
  ComputeTaps(1 << 30, 1, 1e9, 5, 1, idx, wt);
  int sum = 0;
  for (int k = 0; k < 6; ++k) sum += wt[k];
  EXPECT_EQ(sum, 512);
  // Lagrange weights are exact at the nodes.
  for (int m = 2; m <= 5; ++m) {
    ComputeTaps(10, 10, 1.0, m, 2, idx, wt);  // pos = i, t = 0
    const int centre = m <= 3 ? 1 : 2;
    for (int k = 0; k <= m; ++k) EXPECT_EQ(wt[5 * (m + 1) + k], k == centre ? 512 : 0) << m;
  }
}

// Grey ramp through one adjustment: output byte of input i.
std::vector<int> Ramp(void (*set)(KZDISPLAY&)) {
  KZDISPLAY b = Block(11, 256, 1);
  set(b);
  std::vector<uint8_t> f(256);
  for (int i = 0; i < 256; ++i) f[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
  Out o = Convert(b, f);
  EXPECT_TRUE(o.planned);
  std::vector<int> v(256);
  for (int i = 0; i < 256; ++i) v[static_cast<size_t>(i)] = o.At(i, 0);
  return v;
}

TEST(Colour, KnownPointsOfEachAdjustment) {
  constexpr int levels100 = ((100 - 16) * 0xFF00 / 239) / 256;
  struct Case {
    const char* what;
    void (*set)(KZDISPLAY&);
    std::vector<std::pair<int, int>> points;  // input and output byte; input -1: every input
  } const cases[] = {
      {"levels",
       [](KZDISPLAY& b) { b.adjust.blackLevel = 0x101010; },
       {{16, 0}, {255, 255}, {0, 0}, {100, levels100}}},
      {"contrast doubled",
       [](KZDISPLAY& b) { b.adjust.contrast = 5000; },
       {{100, 72}, {128, 128}, {150, 172}}},
      {"contrast flat", [](KZDISPLAY& b) { b.adjust.contrast = -5000; }, {{-1, 128}}},
      {"brightness white", [](KZDISPLAY& b) { b.adjust.brightness = 10000; }, {{-1, 255}}},
      {"brightness up", [](KZDISPLAY& b) { b.adjust.brightness = 1000; }, {{0, 25}, {200, 225}}},
      {"gamma", [](KZDISPLAY& b) { b.adjust.gamma = 2; }, {{128, 180}, {0, 0}, {255, 255}}},
      // Overflowing settings saturate instead of wrapping.
      {"contrast huge",
       [](KZDISPLAY& b) { b.adjust.contrast = INT32_MAX; },
       {{0, 0}, {255, 255}, {127, 0}, {129, 255}}},
  };
  for (const Case& c : cases) {
    const std::vector<int> out = Ramp(c.set);
    for (auto [in, want] : c.points) {
      for (int i = std::max(in, 0); i <= (in < 0 ? 255 : in); ++i) {
        ASSERT_EQ(out[static_cast<size_t>(i)], want) << c.what << " at " << i;
      }
    }
  }
  for (int v : Ramp([](KZDISPLAY& b) { b.adjust.radialStrength = INT32_MIN; })) ASSERT_GE(v, 0);

  // Saturation -5000 turns a YUV picture grey.
  const auto y444 = RandomFrame(8, 9, 4, 5);
  KZDISPLAY s = Block(8, 9, 4);
  s.adjust.saturation = -5000;
  Out o = Convert(s, y444);
  ASSERT_TRUE(o.planned);
  for (int i = 0; i < 36; ++i) {
    const int luma = y444[static_cast<size_t>(3 * i + 1)];
    EXPECT_EQ(std::tuple(o.At(i % 9, i / 9, 0), o.At(i % 9, i / 9, 1), o.At(i % 9, i / 9, 2)),
              std::tuple(luma, luma, luma));
  }
  // White level 0 and black level 0x101010 on an RGB picture: each channel 16 -> 0.
  std::vector<uint8_t> rgb = {16, 255, 100, 16, 16, 16};
  KZDISPLAY r = Block(13, 2, 1);
  r.adjust.blackLevel = 0x101010;
  o = Convert(r, rgb);
  EXPECT_EQ(std::tuple(o.At(0, 0, 2), o.At(0, 0, 1), o.At(0, 0, 0)), std::tuple(0, 255, levels100));
  // Black level equal to white level leaves levels off: no plan.
  KZDISPLAY eq = Block(13, 2, 1);
  eq.adjust.blackLevel = eq.adjust.whiteLevel = 0x808080;
  const Built built(eq, 99);
  ASSERT_TRUE(built.ok);
  EXPECT_EQ(built.flags, 0u);
}

TEST(Colour, RadialCorrectionDividesByDistanceFromTheCentre) {
  // 9 x 9 grey 200, strength 1000: the centre divisor is 1000000 (unchanged); at the corner
  // d = e = -4 adds trunc(1000 x 0.005 x 16) = 80 to each part: 200e6 / 1000160 = 199.
  KZDISPLAY b = Block(11, 9, 9);
  b.adjust.radialStrength = 1000;
  Out o = Convert(b, std::vector<uint8_t>(81, 200));
  ASSERT_TRUE(o.planned);
  EXPECT_EQ(std::tuple(o.At(4, 4), o.At(0, 0), o.At(8, 8)), std::tuple(200, 199, 199));
  // A skew weighs the two directions apart: columns by (1 - skew/10000), rows by (1 + ...).
  b.adjust.radialStrength = 100000;
  b.adjust.radialSkew = 10000;  // columns weigh 0, rows twice
  o = Convert(b, std::vector<uint8_t>(81, 200));
  EXPECT_EQ(o.At(0, 4), 200);
  EXPECT_EQ(o.At(4, 0), static_cast<int>(200000000LL / (1000000 + 16000)));
}

TEST(Converter, FastZoomComputesOnePixelInThreeAndBlends) {
  // 2 x 2 GV24 zoomed by 3: columns 0 and 3 computed, 1 and 2 blended 171/85, 4 and 5
  // repeat; rows likewise.
  std::vector<uint8_t> f = {0, 0, 0, 255, 255, 255, 90, 90, 90, 30, 30, 30};
  Out o = Convert(Block(13, 2, 2, 3, KZ_RESAMPLE_FAST_ZOOM), f);
  ASSERT_EQ(std::pair(o.w, o.h), std::pair(6, 6));
  const int row0[6] = {0, (171 * 0 + 85 * 255) >> 8, (85 * 0 + 171 * 255) >> 8, 255, 255, 255};
  for (int x = 0; x < 6; ++x) EXPECT_EQ(o.At(x, 0), row0[x]) << x;
  // Row 3 is computed from source row 1; rows 1 and 2 blend rows 0 and 3; 4 and 5 repeat 3.
  EXPECT_EQ(std::vector<int>({o.At(0, 1), o.At(0, 2), o.At(0, 3), o.At(5, 5), o.At(3, 4)}),
            std::vector<int>({85 * 90 >> 8, 171 * 90 >> 8, 90, 30, 30}));
  // 8-bit output divides by 3 instead.
  o = Convert(Block(11, 2, 2, 3, KZ_RESAMPLE_FAST_ZOOM), {0, 200, 0, 200});
  EXPECT_EQ(std::pair(o.At(1, 0), o.At(2, 0)), std::pair(200 / 3, 400 / 3));
}

// The converter as first written, pixel by pixel: every tap of every output sample read
// from the frame, on the scale 512 x 512. The separable passes must give its bytes.
void ReferenceConverter(const Plan& plan, const AdjustTables& t, uint32_t flags,
                        const KZDISPLAY& block, const uint8_t* src, const uint8_t* palette,
                        uint8_t* top, int64_t step, bool eightBit) {
  int32_t n = 1, m = 1;
  FastZoomSteps(block, n, m);
  const int64_t taps = plan.taps, bpp = eightBit ? 1 : 3;
  auto sample = [&](int c, int64_t x, int64_t y) {
    if (!plan.present[c]) return AbsentValue(c);
    const int64_t* oc = plan.cols[c].offsets + x * taps;
    const int64_t* orow = plan.rows[c].offsets + y * taps;
    if (taps == 1) return int32_t{src[orow[0] + oc[0]]};
    int64_t sum = 0;
    for (int64_t b = 0; b < taps; ++b) {
      int64_t inner = 0;
      for (int64_t a = 0; a < taps; ++a) {
        inner += int64_t{plan.cols[c].weights[x * taps + a]} * src[orow[b] + oc[a]];
      }
      sum += plan.rows[c].weights[y * taps + b] * inner;
    }
    return static_cast<int32_t>(std::clamp<int64_t>(sum >> 18, 0, 255));
  };
  for (int64_t y = 0; y < plan.height; y += m) {
    for (int64_t x = 0; x < plan.width; x += n) {
      uint8_t* out = top + y * step + x * bpp;
      const int64_t d = (flags & kStageRadial) ? t.radialCol[x] + t.radialRow[y] : 1000000;
      if (plan.kind == kKindYuv) {
        int32_t Y = sample(0, x, y), U = sample(1, x, y), V = sample(2, x, y);
        AdjustYuv(t, flags, d, Y, U, V);
        YuvToBgrByTable(Y, U, V, out);
      } else if (plan.kind == kKindGrey) {
        out[0] = static_cast<uint8_t>(AdjustGrey(t, flags, d, sample(0, x, y)));
      } else if (plan.kind == kKindRgb) {
        AdjustRgb(t, flags, d, sample(0, x, y), sample(1, x, y), sample(2, x, y), out);
      } else {
        const uint8_t* p = src + plan.rows[0].offsets[y] + plan.cols[0].offsets[x];
        int32_t r, g, b;
        if (plan.kind == kKindRgb16) {
          const int32_t word = p[0] | (p[1] << 8);
          auto five = [&](int shift) {
            return ((word >> shift) & 31) * 8 + ((word >> shift) & 31) / 4;
          };
          b = five(0), g = five(5), r = five(10);
        } else {
          b = palette[4 * *p], g = palette[4 * *p + 1], r = palette[4 * *p + 2];
        }
        AdjustRgb(t, flags, d, r, g, b, out);
      }
    }
  }
  FillFastZoom(top, step, plan.width, plan.height, n, m, eightBit);
}

// A copy of a frame that ends where an unreadable page begins: a read past it faults.
class Guarded {
 public:
  explicit Guarded(const std::vector<uint8_t>& f) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t data = (f.size() + page - 1) / page * page;
    len_ = data + page;
    base_ = static_cast<uint8_t*>(
        mmap(nullptr, len_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    EXPECT_NE(base_, MAP_FAILED);
    EXPECT_EQ(mprotect(base_ + data, page, PROT_NONE), 0);
    uint8_t* at = base_ + data - f.size();
    std::memcpy(at, f.data(), f.size());
    bytes_ = std::span<const uint8_t>(at, f.size());
  }
  ~Guarded() { munmap(base_, len_); }
  std::span<const uint8_t> bytes() const { return bytes_; }

 private:
  uint8_t* base_ = nullptr;
  size_t len_ = 0;
  std::span<const uint8_t> bytes_;
};

// Random formats, sizes, crops, turns, zooms, methods, area modes, fast zoom and colour
// settings through every kernel set, with the line taps and the 32-bit sums turned off in
// turn, against the reference byte for byte; nothing past the frame is read.
TEST(Converter, SeparablePassesGiveTheReferenceBytes) {
  std::mt19937 gen(2024);
  auto pick = [&](int n) { return static_cast<int>(gen() % static_cast<uint32_t>(n)); };
  std::vector<uint8_t> pal(1024);
  for (auto& v : pal) v = static_cast<uint8_t>(gen());
  const double zooms[] = {2.0, 0.37, 1.5, 3.2, 0.5, 4.4, 0.2, 0.9, 1.0};
  // First rounds that the vector kernels' windows cannot hold: taps spread wider (zoom 0.2),
  // and turned, working columns and samples spread over more than 128 bytes.
  struct Fixed {
    int w, h;
    double zoom;
    uint32_t orientation;
  } fixed[] = {{190, 9, 0.2, 0},
               {190, 9, 0.2, KZ_ORIENT_MIRROR},
               {190, 40, 0.2, 1},
               {70, 100, 1.0, 1},
               {190, 9, 1.0, KZ_ORIENT_MIRROR}};
  int lines = 0, generic = 0, withStages = 0, fast = 0, windows = 0, wide = 0, gathers = 0,
      spread = 0, picks = 0, picksSpread = 0;
  for (int round = 0; round < 600; ++round) {
    const Fixed* f = round < 5 ? &fixed[round] : nullptr;
    const PixelFormat& row = kPixelFormats[static_cast<size_t>(pick(kPixelFormats.size()))];
    const int w = f ? f->w : 1 + pick(round < 40 ? 200 : 40), h = f ? f->h : 1 + pick(30);
    const auto frame = RandomFrame(row.code, w, h, gen());
    KZDISPLAY b = Block(row.code, w, h);
    b.drawFlags = KZ_DRAW_ZOOM | (pick(4) == 0 ? KZ_DRAW_CROP : 0);
    b.zoom = zooms[pick(9)];
    b.aspect = pick(3) == 0 ? zooms[pick(9)] : 1.0;
    b.resampling = static_cast<uint32_t>(pick(6)) |
                   (static_cast<uint32_t>(pick(3)) << KZ_RESAMPLE_AREA_SHIFT) |
                   (pick(4) == 0 ? KZ_RESAMPLE_FAST_ZOOM : 0);
    b.orientation = static_cast<uint32_t>(pick(16)) &
                    (3 | KZ_ORIENT_MIRROR | KZ_ORIENT_FLIP | KZ_ORIENT_FIELDS);
    b.cropLeft = pick(w), b.cropTop = pick(h), b.cropWidth = 1 + pick(w),
    b.cropHeight = 1 + pick(h);
    if (f) {
      b.drawFlags = KZ_DRAW_ZOOM;
      b.zoom = f->zoom, b.aspect = 1, b.resampling = 3, b.orientation = f->orientation;
    }
    if (pick(3) == 0) {
      b.adjust.brightness = pick(200) - 100, b.adjust.contrast = pick(200) - 100;
      b.adjust.saturation = pick(200) - 100, b.adjust.whiteBalance = pick(100);
      b.adjust.radialStrength = pick(2) * 50000;
    }
    const Built built(b);
    if (!built.ok) continue;
    Plan* plan = built.plan;
    const int32_t ow = built.w, oh = built.h;
    const uint32_t flags = built.flags;
    const bool eight = IsEightBitOutput(row.code);
    const int64_t stride = BitmapStride(ow, eight);
    std::vector<uint8_t> want(static_cast<size_t>(stride * oh)), got(want.size());
    ReferenceConverter(*plan, *built.tables, flags, b, frame.data(), pal.data(),
                       want.data() + (oh - 1) * stride, -stride, eight);
    const Guarded guarded(frame);
    const SourceFrame src{row.code, w, h, guarded.bytes(), pal.data()};
    const int32_t* lineStart = plan->lineStart;
    lines += lineStart != nullptr, generic += plan->taps > 1 && !lineStart;
    withStages += flags != 0, fast += (b.resampling & KZ_RESAMPLE_FAST_ZOOM) != 0;
    windows += plan->lineBlocks != nullptr;
    int32_t n = 1, m = 1;
    FastZoomSteps(b, n, m);
    for (int k = 0; plan->lineBlocks && k < (ow + n - 1) / n / 16; ++k) {
      wide += !plan->lineBlocks[k].fits;
    }
    for (int k = 0; plan->lineGathers[0] && k < plan->workWidth / 32; ++k) {
      gathers += plan->lineGathers[0][k].fits, spread += !plan->lineGathers[0][k].fits;
    }
    for (int k = 0; plan->pickGathers[0] && k < (ow + n - 1) / n / 64; ++k) {
      picks += plan->pickGathers[0][k].fits, picksSpread += !plan->pickGathers[0][k].fits;
    }
    for (int variant = 0; variant < 3; ++variant) {
      plan->lineStart = variant == 1 ? nullptr : lineStart;
      plan->narrow = variant != 2;
      for (const GeneralKernels* set : AvailableGeneral()) {
        std::fill(got.begin(), got.end(), 0);
        RunGeneralConverter(*plan, *built.tables, flags, b, src, got.data() + (oh - 1) * stride,
                            -stride, eight, set);
        ASSERT_EQ(got, want) << row.name << " " << w << "x" << h << " zoom " << double{b.zoom}
                             << " aspect " << double{b.aspect} << " resampling "
                             << uint32_t{b.resampling} << " orientation " << uint32_t{b.orientation}
                             << " " << set->name << " variant " << variant;
      }
    }
  }
  // The draw reached both column paths, the colour stages and the fast zoom.
  EXPECT_TRUE(lines > 100 && generic > 30 && withStages > 50 && fast > 50 && windows > 50)
      << lines << " " << generic << " " << withStages << " " << fast << " " << windows;
  EXPECT_TRUE(wide > 0 && gathers > 50 && spread > 0 && picks > 10 && picksSpread > 0)
      << wide << " " << gathers << " " << spread << " " << picks << " " << picksSpread;
}

}  // namespace
}  // namespace kz

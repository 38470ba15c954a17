// Frame conversion speed of every pixel format into the packed 24-bit (or 8-bit grey)
// bitmap, with libyuv and libswscale converting the same frames in the same run where they
// offer the conversion, and scaling and turning through the general converter beside peers.
// Names pair for scripts/bench: <Case>_Kz is ours; <Case>_Peer is libyuv to 24-bit,
// <Case>_PeerArgb libyuv to its 32-bit ARGB where it has no 24-bit conversion, <Case>_PeerSws
// libswscale.
#include <benchmark/benchmark.h>
#include <libyuv.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "image/colour.h"
#include "image/convert.h"
#include "image/pixfmt.h"
#include "image/plan.h"

namespace {

struct Size {
  int w, h;
  const char* name;
};
constexpr Size kSizes[] = {{640, 480, "480p"}, {1920, 1080, "1080p"}};

std::vector<uint8_t> Frame(const kz::PixelFormat& row, int w, int h) {
  std::vector<uint8_t> f(static_cast<size_t>(kz::ConversionReadSize(w, h, row)) + 64);
  std::mt19937 gen(static_cast<uint32_t>(row.code));
  for (auto& b : f) b = static_cast<uint8_t>(gen());
  return f;
}

void SetRate(benchmark::State& state, int w, int h) {
  state.counters["Mpix/s"] =
      benchmark::Counter(w * double(h) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void Ours(benchmark::State& state, const kz::PixelFormat* row, Size s) {
  const auto frame = Frame(*row, s.w, s.h);
  std::vector<uint8_t> palette(1024, 0x55);
  const bool eight = kz::IsEightBitOutput(row->code);
  const int64_t stride = kz::BitmapStride(s.w, eight);
  std::vector<uint8_t> out(static_cast<size_t>(stride * s.h));
  kz::SourceFrame src{row->code, s.w, s.h, frame, palette.data()};
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    kz::ConvertDirect(src, out, stride);
    benchmark::DoNotOptimize(out.data());
  }
  SetRate(state, s.w, s.h);
}

// libswscale: same source layout, BGR24 (or GRAY8) out, full-range BT.601 where YUV.
struct SwsCase {
  int code;
  AVPixelFormat in;
};
constexpr SwsCase kSws[] = {
    {4, AV_PIX_FMT_UYVY422},  {9, AV_PIX_FMT_UYVY422}, {6, AV_PIX_FMT_YUYV422},
    {2, AV_PIX_FMT_RGB555LE}, {12, AV_PIX_FMT_PAL8},   {13, AV_PIX_FMT_RGB24},
    {5, AV_PIX_FMT_YUV420P},  {7, AV_PIX_FMT_YUV410P},
};
// (libswscale reads no packed 4:1:1 input, so Y411 has no swscale peer.)

void Swscale(benchmark::State& state, SwsCase c, Size s) {
  const kz::PixelFormat* row = kz::FormatByCode(c.code);
  auto frame = Frame(*row, s.w, s.h);
  const int w = s.w, h = s.h;
  SwsContext* ctx =
      sws_getContext(w, h, c.in, w, h, AV_PIX_FMT_BGR24, SWS_POINT, nullptr, nullptr, nullptr);
  if (!ctx) {
    state.SkipWithError("swscale refuses this conversion");
    return;
  }
  const int* coef = sws_getCoefficients(SWS_CS_ITU601);
  sws_setColorspaceDetails(ctx, coef, 1, coef, 1, 0, 1 << 16, 1 << 16);
  uint8_t* data = frame.data();
  const uint8_t* planes[4] = {data, nullptr, nullptr, nullptr};
  int strides[4] = {0, 0, 0, 0};
  std::vector<uint8_t> pal(1024, 0x55);
  switch (c.code) {
    case 5:
      planes[1] = data + w * h, planes[2] = data + w * h + w * h / 4;
      strides[0] = w, strides[1] = strides[2] = w / 2;
      break;
    case 7:  // YVU9: V plane first
      planes[2] = data + w * h, planes[1] = data + w * h + w * h / 16;
      strides[0] = w, strides[1] = strides[2] = w / 4;
      break;
    case 12:
      planes[1] = pal.data();
      strides[0] = (w + 3) & ~3;
      break;
    case 2:
      strides[0] = (2 * w + 3) & ~3;
      break;
    case 13:
      strides[0] = 3 * w;
      break;
    default:
      strides[0] = 2 * w;
  }
  const int outStride = (3 * w + 3) & ~3;
  std::vector<uint8_t> out(static_cast<size_t>(outStride * h));
  uint8_t* dst[4] = {out.data(), nullptr, nullptr, nullptr};
  int dstStride[4] = {outStride, 0, 0, 0};
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    sws_scale(ctx, planes, strides, 0, h, dst, dstStride);
    benchmark::DoNotOptimize(out.data());
  }
  sws_freeContext(ctx);
  SetRate(state, w, h);
}

// libyuv: 24-bit where it offers it, else its 32-bit ARGB (named so in the results).
void Libyuv(benchmark::State& state, int code, Size s) {
  const kz::PixelFormat* row = kz::FormatByCode(code);
  const auto frame = Frame(*row, s.w, s.h);
  const int w = s.w, h = s.h;
  const uint8_t* d = frame.data();
  std::vector<uint8_t> out(static_cast<size_t>(4 * w * h));
  uint8_t* o = out.data();
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    switch (code) {
      case 5:
        libyuv::J420ToRGB24(d, w, d + w * h, w / 2, d + w * h + w * h / 4, w / 2, o, 3 * w, w, h);
        break;
      case 4:
      case 9:
        libyuv::UYVYToARGB(d, 2 * w, o, 4 * w, w, h);
        break;
      case 6:
        libyuv::YUY2ToARGB(d, 2 * w, o, 4 * w, w, h);
        break;
      case 13:
        libyuv::RAWToRGB24(d, 3 * w, o, 3 * w, w, h);
        break;
      case 2:
        libyuv::ARGB1555ToARGB(d, (2 * w + 3) & ~3, o, 4 * w, w, h);
        break;
    }
    benchmark::DoNotOptimize(o);
  }
  SetRate(state, w, h);
}

// Scaling and turning of YUY2 frames through the general converter, each beside libswscale's
// nearest kind of scaling to the same size: the 2x zoom with method 3 (four taps, Lagrange
// cubic) against bicubic, a 1.5x zoom with method 1 against bilinear, and halving with area
// averaging against its area filter; or beside libyuv's conversion to ARGB followed by its
// ARGB quarter turn or mirror (swsFlags 0).
struct ZoomCase {
  const char* name;
  int w, h, outW, outH;
  double zoom;
  uint32_t resampling;
  int swsFlags;
  uint32_t orientation;
};
constexpr ZoomCase kZooms[] = {
    {"YUY2Zoom2xMethod3_480p", 640, 480, 1280, 960, 2.0, 3, SWS_BICUBIC, 0},
    {"YUY2Zoom1.5xMethod1_720p", 1280, 720, 1920, 1080, 1.5, 1, SWS_BILINEAR, 0},
    {"YUY2HalfArea_1080p", 1920, 1080, 960, 540, 0.5, 1 | (1u << KZ_RESAMPLE_AREA_SHIFT),
     SWS_AREA, 0},
    {"YUY2QuarterTurn_1080p", 1920, 1080, 1080, 1920, 1.0, 0, 0, 1},
    {"YUY2Mirror_1080p", 1920, 1080, 1920, 1080, 1.0, 0, 0, KZ_ORIENT_MIRROR},
};

void ZoomOurs(benchmark::State& state, ZoomCase c) {
  const kz::PixelFormat* row = kz::FormatByCode(6);
  const auto frame = Frame(*row, c.w, c.h);
  KZDISPLAY block{};
  block.size = sizeof block;
  block.width = c.w;
  block.height = c.h;
  block.format = 6;
  block.bitCount = 16;
  block.drawFlags = KZ_DRAW_ZOOM;
  block.zoom = c.zoom;
  block.aspect = 1.0;
  block.resampling = c.resampling;
  block.orientation = c.orientation;
  kz::Plan* plan = nullptr;
  kz::AdjustTables* tables = nullptr;
  int32_t w = 0, h = 0;
  uint32_t flags = 0;
  if (!kz::BuildPlan(block, plan, tables, w, h, flags) || w != c.outW || h != c.outH) {
    state.SkipWithError("no plan of the expected size");
    return;
  }
  const int64_t stride = kz::BitmapStride(w, false);
  std::vector<uint8_t> out(static_cast<size_t>(stride * h));
  const kz::SourceFrame src{6, c.w, c.h, frame, nullptr};
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    kz::RunGeneralConverter(*plan, *tables, flags, block, src, out.data() + (h - 1) * stride,
                            -stride, false);
    benchmark::DoNotOptimize(out.data());
  }
  kz::FreePlan(plan, tables);
  SetRate(state, w, h);
}

void TurnLibyuv(benchmark::State& state, ZoomCase c) {
  const auto frame = Frame(*kz::FormatByCode(6), c.w, c.h);
  std::vector<uint8_t> argb(static_cast<size_t>(4 * c.w * c.h)), out(argb.size());
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    libyuv::YUY2ToARGB(frame.data(), 2 * c.w, argb.data(), 4 * c.w, c.w, c.h);
    if (c.orientation == 1) {
      libyuv::ARGBRotate(argb.data(), 4 * c.w, out.data(), 4 * c.outW, c.w, c.h,
                         libyuv::kRotate90);
    } else {
      libyuv::ARGBMirror(argb.data(), 4 * c.w, out.data(), 4 * c.w, c.w, c.h);
    }
    benchmark::DoNotOptimize(out.data());
  }
  SetRate(state, c.outW, c.outH);
}

void ZoomSwscale(benchmark::State& state, ZoomCase c) {
  const auto frame = Frame(*kz::FormatByCode(6), c.w, c.h);
  SwsContext* ctx = sws_getContext(c.w, c.h, AV_PIX_FMT_YUYV422, c.outW, c.outH,
                                   AV_PIX_FMT_BGR24, c.swsFlags, nullptr, nullptr, nullptr);
  if (!ctx) {
    state.SkipWithError("swscale refuses this scaling");
    return;
  }
  const int* coef = sws_getCoefficients(SWS_CS_ITU601);
  sws_setColorspaceDetails(ctx, coef, 1, coef, 1, 0, 1 << 16, 1 << 16);
  const uint8_t* planes[4] = {frame.data(), nullptr, nullptr, nullptr};
  const int strides[4] = {2 * c.w, 0, 0, 0};
  const int outStride = 3 * c.outW;
  std::vector<uint8_t> out(static_cast<size_t>(outStride) * c.outH);
  uint8_t* dst[4] = {out.data(), nullptr, nullptr, nullptr};
  const int dstStride[4] = {outStride, 0, 0, 0};
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    sws_scale(ctx, planes, strides, 0, c.h, dst, dstStride);
    benchmark::DoNotOptimize(out.data());
  }
  sws_freeContext(ctx);
  SetRate(state, c.outW, c.outH);
}

}  // namespace

int main(int argc, char** argv) {
  for (Size s : kSizes) {
    for (const kz::PixelFormat& row : kz::kPixelFormats) {
      const std::string to = kz::IsEightBitOutput(row.code) ? "toGrey8_" : "toRGB24_";
      const std::string name = row.name + to + s.name;
      benchmark::RegisterBenchmark((name + "_Kz").c_str(), Ours, &row, s);
      for (const SwsCase& c : kSws) {
        if (c.code == row.code)
          benchmark::RegisterBenchmark((name + "_PeerSws").c_str(), Swscale, c, s);
      }
      if (row.code == 5 || row.code == 13) {
        benchmark::RegisterBenchmark((name + "_Peer").c_str(), Libyuv, row.code, s);
      } else if (row.code == 4 || row.code == 9 || row.code == 6 || row.code == 2) {
        benchmark::RegisterBenchmark((name + "_PeerArgb").c_str(), Libyuv, row.code, s);
      }
    }
  }
  for (const ZoomCase& c : kZooms) {
    benchmark::RegisterBenchmark((std::string(c.name) + "_Kz").c_str(), ZoomOurs, c);
    if (c.swsFlags) {
      benchmark::RegisterBenchmark((std::string(c.name) + "_PeerSws").c_str(), ZoomSwscale, c);
    } else {
      benchmark::RegisterBenchmark((std::string(c.name) + "_PeerArgb").c_str(), TurnLibyuv, c);
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

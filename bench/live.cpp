// Live display of the test camera at 1920 x 1080 YUY2, unthrottled: frames per second and
// CPU time per frame of grab, ring and show step together, and of the show step alone. The peer is the bare work one
// frame needs on one thread (the camera rendering it and its direct conversion), so the
// difference is what the threads, the ring and the drawing cost.
#include <benchmark/benchmark.h>
#include <kzvideo.h>
#include <kzwin_test.h>
#include <kzwin/test_camera.h>
#include <sys/resource.h>
#include <windows.h>

#include <ctime>
#include <memory>
#include <span>
#include <vector>

#include "frame/blocks.h"
#include "frame/stream.h"
#include "image/convert.h"
#include "image/show.h"

namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;
constexpr DWORD kYuy2 = MAKEFOURCC('Y', 'U', 'Y', '2');

double CpuSeconds(int who) {
  rusage use{};
  getrusage(who, &use);
  return use.ru_utime.tv_sec + use.ru_stime.tv_sec +
         (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}
double ProcessCpuSeconds() {
  return CpuSeconds(RUSAGE_SELF);
}
double ThisThreadCpuSeconds() {
  return CpuSeconds(RUSAGE_THREAD);
}

uint32_t FramesShown(uint32_t session) {
  KZRATE rate{};
  return KZGetDisplayRate(session, 1, nullptr, &rate) ? rate.framesDone : 0;
}

void BM_LiveDisplay1080pYuy2(benchmark::State& state) {
  const uint32_t session = KZBegin(nullptr);
  HWND window = CreateWindowExA(0, nullptr, "bench", WS_OVERLAPPEDWINDOW, 0, 0, kWidth, kHeight,
                                nullptr, nullptr, nullptr, nullptr);
  KZDISPLAY block{};
  block.size = sizeof block;
  block.session = session;
  block.source = 1;
  block.width = kWidth;
  block.height = kHeight;
  block.format = KZ_FORMAT_YUY2;
  block.bitCount = 16;
  block.window = window;
  if (!KZStartDisplay(&block)) {
    state.SkipWithError("KZStartDisplay failed");
    return;
  }
  MSG msg;
  uint32_t shown = FramesShown(session);
  const uint32_t first = shown;
  const double cpu0 = ProcessCpuSeconds();
  const double pump0 = ThisThreadCpuSeconds();
  for (auto _ : state) {
    // One iteration is one more frame shown; this thread pumps the grabs through.
    const uint32_t target = shown + 1;
    while ((shown = FramesShown(session)) < target) PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
  }
  const double cpu = ProcessCpuSeconds() - cpu0;
  const double pump = ThisThreadCpuSeconds() - pump0;
  const double frames = shown - first;
  KZRATE rate{};
  KZGetDisplayRate(session, 1, nullptr, &rate);
  state.counters["fps"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
  state.counters["cpu_ms_per_frame"] = frames > 0 ? cpu * 1000.0 / frames : 0.0;
  // Without this thread's polling: the grab, frame callback, ring and show step alone.
  state.counters["worker_cpu_ms_per_frame"] = frames > 0 ? (cpu - pump) * 1000.0 / frames : 0.0;
  state.counters["dropped"] = rate.framesDropped;
  KZStopDisplay(session, 1, nullptr);
  DestroyWindow(window);
  KZEnd(session);
}
BENCHMARK(BM_LiveDisplay1080pYuy2)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// Peer: what one frame costs at the least, on one thread.
void BM_PeerRenderAndConvert1080pYuy2(benchmark::State& state) {
  std::vector<uint8_t> frame(size_t{kWidth} * kHeight * 2);
  const int64_t stride = (3 * kWidth + 3) & ~3;
  std::vector<uint8_t> rows(static_cast<size_t>(stride * kHeight));
  uint32_t n = 0;
  const double cpu0 = ProcessCpuSeconds();
  for (auto _ : state) {
    kzwinRenderTestFrame(frame.data(), static_cast<DWORD>(frame.size()), kWidth, kHeight, kYuy2, 16,
                         n++);
    kz::ConvertDirect(kz::SourceFrame{KZ_FORMAT_YUY2, kWidth, kHeight, frame, nullptr}, rows,
                      stride);
    benchmark::DoNotOptimize(rows.data());
  }
  const double cpu = ProcessCpuSeconds() - cpu0;
  state.counters["fps"] = benchmark::Counter(n, benchmark::Counter::kIsRate);
  state.counters["cpu_ms_per_frame"] = n > 0 ? cpu * 1000.0 / n : 0.0;
}
BENCHMARK(BM_PeerRenderAndConvert1080pYuy2)->Unit(benchmark::kMillisecond)->UseRealTime();

// The show step alone, as the display thread runs it on each 1920 x 1080 YUY2 frame of
// the test camera: the spare bitmap of the last frame, direct conversion, drawing into a
// window. CPU time of this thread per displayed frame.
void ShowStep1080pYuy2_Kz(benchmark::State& state) {
  std::vector<uint8_t> frame(size_t{kWidth} * kHeight * 2);
  kzwinRenderTestFrame(frame.data(), static_cast<DWORD>(frame.size()), kWidth, kHeight, kYuy2, 16,
                       7);
  HWND window = CreateWindowExA(0, nullptr, "bench", WS_OVERLAPPEDWINDOW, 0, 0, kWidth, kHeight,
                                nullptr, nullptr, nullptr, nullptr);
  auto rec = std::make_unique<kz::StreamRecord>();
  rec->display.size = sizeof rec->display;
  rec->display.width = kWidth;
  rec->display.height = kHeight;
  rec->display.format = KZ_FORMAT_YUY2;
  rec->display.bitCount = 16;
  rec->display.window = window;
  kz::PrepareShow(*rec);
  kz::ShowHooks hooks;
  hooks.isStream = true;
  hooks.spare = &rec->show.spareImage;
  const double cpu0 = ThisThreadCpuSeconds();
  int64_t n = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    uint8_t* bitmap = kz::ShowStep(*rec, frame.data(), frame.size(), {}, hooks);
    benchmark::DoNotOptimize(bitmap);
    rec->show.spareImage = bitmap;  // as publishing hands back the picture no longer shown
    ++n;
  }
  kz::BlockFree(rec->show.spareImage);
  state.counters["cpu_ms_per_frame"] = n > 0 ? (ThisThreadCpuSeconds() - cpu0) * 1000.0 / n : 0;
  kz::ReleaseShow(*rec);
  DestroyWindow(window);
}
BENCHMARK(ShowStep1080pYuy2_Kz)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

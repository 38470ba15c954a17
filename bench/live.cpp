// Live display of the test camera at 1920 x 1080 YUY2, unthrottled. Both cases report the
// library's CPU time per displayed frame (their time, for scripts/bench) beside a peer
// doing the least any display of such a frame must do, on one thread with libyuv:
//   LiveDisplay: grab thread, frame callback and ring, display thread, show step and
//     publishing. The capture window lives on a pumping thread that blocks between sent
//     messages; the camera's own drawing of each frame on that thread (which the library
//     does not do) and the waiting bench thread are left out. Peer: take the frame out of
//     the driver's buffer and convert it straight into 32-bit surface words.
//   ShowStep: the display thread's step on one frame (spare bitmap, direct conversion,
//     SetDIBitsToDevice into the window). Peer: the conversion into 32-bit words alone.
//   ShowStepFromRing: the same on the ring's frames in turn, with the bitmap publishing
//     keeps, so that frames and bitmaps come from memory as in a running display; as there,
//     the bitmap's pixels are left to be made from the raw frame when asked for.
#include <benchmark/benchmark.h>
#include <kzvideo.h>
#include <kzwin_test.h>
#include <kzwin/test_camera.h>
#include <libyuv.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <sys/resource.h>
#include <memory>
#include <thread>
#include <vector>

#include "frame/blocks.h"
#include "frame/stream.h"
#include "image/show.h"
#include "live/ring.h"

namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;
constexpr DWORD kYuy2 = MAKEFOURCC('Y', 'U', 'Y', '2');

// System (kernel) CPU seconds of the process or of the calling thread.
double SystemSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return static_cast<double>(u.ru_stime.tv_sec) + static_cast<double>(u.ru_stime.tv_usec) / 1e6;
}

double Seconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

uint32_t FramesShown(uint32_t session) {
  KZRATE rate{};
  return KZGetDisplayRate(session, 1, nullptr, &rate) ? rate.framesDone : 0;
}

// The thread that owns the caller's window and so the capture window: it runs the grab
// requests sent to it and otherwise sleeps in GetMessageA.
struct Pump {
  uint32_t session = 0;
  HWND window = nullptr;
  std::atomic<int> state{0};  // 1 running, -1 the display did not start
  std::atomic<bool> quit{false};

  void Run() {
    window = CreateWindowExA(0, nullptr, "bench", WS_OVERLAPPEDWINDOW, 0, 0, kWidth, kHeight,
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
      state.store(-1);
      return;
    }
    state.store(1);
    MSG msg;
    while (!quit.load() && GetMessageA(&msg, nullptr, 0, 0) > 0) {
    }
    KZStopDisplay(session, 1, nullptr);
    DestroyWindow(window);
  }
};

// One 1080p YUY2 frame of the test camera.
std::vector<uint8_t> CameraFrame() {
  std::vector<uint8_t> frame(size_t{kWidth} * kHeight * 2);
  kzwinRenderTestFrame(frame.data(), static_cast<DWORD>(frame.size()), kWidth, kHeight, kYuy2, 16,
                       7);
  return frame;
}

// The calling thread's CPU since `cpu0` per frame, for the cases that run on one thread.
void NoteCpuPerFrame(benchmark::State& state, double cpu0, int64_t frames) {
  state.counters["cpu_ms_per_frame"] =
      frames > 0 ? (Seconds(CLOCK_THREAD_CPUTIME_ID) - cpu0) * 1000.0 / frames : 0;
}

void LiveDisplay1080pYuy2_Kz(benchmark::State& state) {
  Pump pump;
  pump.session = KZBegin(nullptr);
  std::thread thread([&pump] { pump.Run(); });
  while (pump.state.load() == 0) Sleep(1);
  if (pump.state.load() < 0) {
    thread.join();
    KZEnd(pump.session);
    state.SkipWithError("KZStartDisplay failed");
    return;
  }
  uint32_t shown = 0;
  while ((shown = FramesShown(pump.session)) == 0) Sleep(1);
  const uint32_t first = shown;
  const double wall0 = Seconds(CLOCK_MONOTONIC);
  double library = 0, camera = 0;
  const double system0 = SystemSeconds(RUSAGE_SELF) - SystemSeconds(RUSAGE_THREAD);
  for (auto _ : state) {
    // One iteration is one more frame shown; this thread only looks now and then.
    const double process0 = Seconds(CLOCK_PROCESS_CPUTIME_ID);
    const double self0 = Seconds(CLOCK_THREAD_CPUTIME_ID);
    const LONGLONG camera0 = kzwinCameraRenderNanoseconds();
    const uint32_t before = shown;
    while ((shown = FramesShown(pump.session)) == before) Sleep(1);
    const double drawn = static_cast<double>(kzwinCameraRenderNanoseconds() - camera0) / 1e9;
    const double self = Seconds(CLOCK_THREAD_CPUTIME_ID) - self0;
    const double used = Seconds(CLOCK_PROCESS_CPUTIME_ID) - process0 - self - drawn;
    library += used;
    camera += drawn;
    state.SetIterationTime(used / (shown - before));
  }
  const double system = SystemSeconds(RUSAGE_SELF) - SystemSeconds(RUSAGE_THREAD) - system0;
  const double frames = shown - first;
  const double wall = Seconds(CLOCK_MONOTONIC) - wall0;
  KZRATE rate{};
  KZGetDisplayRate(pump.session, 1, nullptr, &rate);
  pump.quit.store(true);
  PostMessageA(pump.window, WM_NULL, 0, 0);
  thread.join();
  KZEnd(pump.session);
  state.counters["fps"] = wall > 0 ? frames / wall : 0.0;
  state.counters["cpu_ms_per_frame"] = frames > 0 ? library * 1000.0 / frames : 0.0;
  state.counters["camera_ms_per_frame"] = frames > 0 ? camera * 1000.0 / frames : 0.0;
  // Of the library's time, the part spent in the kernel: mostly the 1 ms idle polls and the
  // sends' wake-ups, which grow with the time between the camera's frames.
  state.counters["system_ms_per_frame"] = frames > 0 ? system * 1000.0 / frames : 0.0;
  state.counters["dropped"] = rate.framesDropped;
}
BENCHMARK(LiveDisplay1080pYuy2_Kz)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);

void LiveDisplay1080pYuy2_Peer(benchmark::State& state) {
  const std::vector<uint8_t> driver = CameraFrame();
  std::vector<uint8_t> frame(driver.size());
  std::vector<uint8_t> surface(size_t{kWidth} * kHeight * 4);
  const double cpu0 = Seconds(CLOCK_THREAD_CPUTIME_ID);
  int64_t n = 0;
  for (auto _ : state) {
    std::memcpy(frame.data(), driver.data(), frame.size());
    libyuv::YUY2ToARGB(frame.data(), 2 * kWidth, surface.data(), 4 * kWidth, kWidth, kHeight);
    benchmark::DoNotOptimize(surface.data());
    ++n;
  }
  NoteCpuPerFrame(state, cpu0, n);
}
BENCHMARK(LiveDisplay1080pYuy2_Peer)->Unit(benchmark::kMillisecond);

// The show step on `sources` camera frames in turn. As a display stream runs it: the
// bitmap shown stays published while the next is made (`published`), with the raw frame
// kept beside it and the bitmap's pixels left to be made from it (`kept`). From one frame
// and with one bitmap everything stays in the cache; from the ring's eight slots it comes
// from memory, as in a running display.
void ShowStep(benchmark::State& state, size_t sources, bool published, bool kept) {
  const std::vector<std::vector<uint8_t>> frames(sources, CameraFrame());
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
  hooks.keepsFrame = kept;
  uint8_t* shown = nullptr;
  kz::PixelsLater later;
  hooks.later = kept ? &later : nullptr;  // as the display thread publishes
  int64_t n = 0;
  auto step = [&] {
    const std::vector<uint8_t>& frame = frames[static_cast<size_t>(n) % sources];
    uint8_t* bitmap = kz::ShowStep(*rec, frame.data(), frame.size(), {}, hooks);
    benchmark::DoNotOptimize(bitmap);
    // Publishing hands back the picture no longer shown.
    rec->show.spareImage = published ? shown : bitmap;
    if (published) shown = bitmap;
    ++n;
  };
  // Every buffer made and touched once before the clock starts.
  for (size_t i = 0; i < 2 * sources; ++i) step();
  n = 0;
  const double cpu0 = Seconds(CLOCK_THREAD_CPUTIME_ID);
  for (auto _ : state) step();  // NOLINT(clang-analyzer-deadcode.DeadStores)
  kz::BlockFree(rec->show.spareImage);
  if (shown != rec->show.spareImage) kz::BlockFree(shown);
  NoteCpuPerFrame(state, cpu0, n);
  kz::ReleaseShow(*rec);
  DestroyWindow(window);
}

// Peer: libyuv's conversion of the same frames into 32-bit surface words.
void ShowStepPeer(benchmark::State& state, size_t sources) {
  const std::vector<std::vector<uint8_t>> frames(sources, CameraFrame());
  std::vector<uint8_t> surface(size_t{kWidth} * kHeight * 4);
  const double cpu0 = Seconds(CLOCK_THREAD_CPUTIME_ID);
  int64_t n = 0;
  for (auto _ : state) {
    const std::vector<uint8_t>& frame = frames[static_cast<size_t>(n) % sources];
    libyuv::YUY2ToARGB(frame.data(), 2 * kWidth, surface.data(), 4 * kWidth, kWidth, kHeight);
    benchmark::DoNotOptimize(surface.data());
    ++n;
  }
  NoteCpuPerFrame(state, cpu0, n);
}

void ShowStep1080pYuy2_Kz(benchmark::State& state) {
  ShowStep(state, 1, false, false);
}
void ShowStep1080pYuy2_Peer(benchmark::State& state) {
  ShowStepPeer(state, 1);
}
void ShowStepFromRing1080pYuy2_Kz(benchmark::State& state) {
  ShowStep(state, kz::kLiveSlots, true, true);
}
void ShowStepFromRing1080pYuy2_Peer(benchmark::State& state) {
  ShowStepPeer(state, kz::kLiveSlots);
}
BENCHMARK(ShowStep1080pYuy2_Kz)->Unit(benchmark::kMillisecond);
BENCHMARK(ShowStep1080pYuy2_Peer)->Unit(benchmark::kMillisecond);
BENCHMARK(ShowStepFromRing1080pYuy2_Kz)->Unit(benchmark::kMillisecond);
BENCHMARK(ShowStepFromRing1080pYuy2_Peer)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

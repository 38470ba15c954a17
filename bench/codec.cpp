// Speed and size of the frame codec against zlib (compress2 at levels 1 and 6, uncompress of
// each stream) on the same bytes: what the lossless recording kinds code for 1920 x 1080 YUY2,
// camera-like (gradients plus sensor noise) and the test pattern, as a key frame codes them
// (each byte minus the like sample before it) and as later frames do (minus the key).
#include <benchmark/benchmark.h>
#include <kzwin_test.h>
#include <zlib.h>

#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "record/codec.h"

namespace {

constexpr uint32_t kWidth = 1920, kHeight = 1080, kG = 4;
constexpr size_t kFrameBytes = size_t{kWidth} * kHeight * 2;

uint64_t state = 12345;
uint32_t Random() {
  state = state * 6364136223846793005ull + 1442695040888963407ull;
  return static_cast<uint32_t>(state >> 33);
}

// Smooth gradients moving by `shift` pixels, plus sensor-like noise of +-2.
std::vector<uint8_t> SensorFrame(uint32_t shift) {
  std::vector<uint8_t> f(kFrameBytes);
  for (uint32_t y = 0; y < kHeight; ++y) {
    for (uint32_t x = 0; x < kWidth; x += 2) {
      uint8_t* p = &f[(size_t{y} * kWidth + x) * 2];
      const int luma = static_cast<int>((x + shift) * 180 / kWidth + y * 60 / kHeight);
      auto noisy = [](int v) {
        v += static_cast<int>(Random() % 5) - 2;
        return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
      };
      p[0] = noisy(luma);
      p[1] = noisy(128 + static_cast<int>(y * 40 / kHeight));
      p[2] = noisy(luma + 1);
      p[3] = noisy(110 + static_cast<int>((x + shift) * 30 / kWidth));
    }
  }
  return f;
}

std::vector<uint8_t> PatternFrame(uint32_t n) {
  std::vector<uint8_t> f(kFrameBytes);
  const DWORD bytes = kzwinRenderTestFrame(f.data(), static_cast<DWORD>(f.size()), kWidth, kHeight,
                                           MAKEFOURCC('Y', 'U', 'Y', '2'), 16, n);
  f.resize(bytes ? bytes : kFrameBytes);
  return f;
}

// H: each byte minus the like sample before it (what a key frame codes).
std::vector<uint8_t> Horizontal(const std::vector<uint8_t>& f) {
  std::vector<uint8_t> h(f.size());
  for (size_t i = 0; i < f.size(); ++i)
    h[i] = static_cast<uint8_t>(i < kG ? f[i] : f[i] - f[i - kG]);
  return h;
}

// D: this frame minus the key (what the frames after a key code).
std::vector<uint8_t> Difference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& key) {
  std::vector<uint8_t> d(a.size());
  for (size_t i = 0; i < a.size(); ++i) d[i] = static_cast<uint8_t>(a[i] - key[i]);
  return d;
}

const std::vector<uint8_t>& Input(const std::string& name) {
  static std::map<std::string, std::vector<uint8_t>> inputs;
  auto it = inputs.find(name);
  if (it != inputs.end()) return it->second;
  std::vector<uint8_t> v;
  if (name == "pattern_key") v = Horizontal(PatternFrame(0));
  if (name == "pattern_diff") v = Difference(PatternFrame(5), PatternFrame(0));
  if (name == "sensor_key") v = Horizontal(SensorFrame(0));
  if (name == "sensor_diff") v = Difference(SensorFrame(2), SensorFrame(0));
  return inputs.emplace(name, std::move(v)).first->second;
}

void Sizes(benchmark::State& state, size_t in, size_t out) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(in));
  state.counters["out_bytes"] = static_cast<double>(out);
  state.counters["ratio_pct"] = 100.0 * static_cast<double>(out) / static_cast<double>(in);
}

void KzEncode(benchmark::State& state, const std::string& name) {
  const auto& src = Input(name);
  std::vector<uint8_t> dst(src.size() + 8);
  const kz::EncoderWorkPtr work =
      kz::NewEncoderWork();  // kept from frame to frame, as recording does
  size_t n = 0;
  for (auto _ : state) {
    n = kz::CompressFrame(dst.data(), src.data(), src.size(), src.size(), work.get());
    benchmark::DoNotOptimize(dst.data());
  }
  Sizes(state, src.size(), n);
}

void KzDecode(benchmark::State& state, const std::string& name) {
  const auto& src = Input(name);
  std::vector<uint8_t> block(src.size() + 8), out(src.size());
  block.resize(kz::CompressFrame(block.data(), src.data(), src.size(), src.size()));
  for (auto _ : state) {
    const size_t n = kz::DecompressFrame(out.data(), block.data(), out.size(), block.size());
    if (n != out.size()) state.SkipWithError("short decode");
    benchmark::DoNotOptimize(out.data());
  }
  if (out != src) state.SkipWithError("decode differs");
  Sizes(state, src.size(), block.size());
}

void ZlibCompress(benchmark::State& state, const std::string& name, int level) {
  const auto& src = Input(name);
  std::vector<uint8_t> dst(compressBound(src.size()));
  uLongf n = 0;
  for (auto _ : state) {
    n = dst.size();
    compress2(dst.data(), &n, src.data(), src.size(), level);
    benchmark::DoNotOptimize(dst.data());
  }
  Sizes(state, src.size(), n);
}

// Inflating the stream zlib wrote at `level` from the same bytes.
void ZlibUncompress(benchmark::State& state, const std::string& name, int level) {
  const auto& src = Input(name);
  std::vector<uint8_t> packed(compressBound(src.size())), out(src.size());
  uLongf n = packed.size();
  compress2(packed.data(), &n, src.data(), src.size(), level);
  for (auto _ : state) {
    uLongf len = out.size();
    uncompress(out.data(), &len, packed.data(), n);
    benchmark::DoNotOptimize(out.data());
  }
  if (out != src) state.SkipWithError("zlib round trip differs");
  Sizes(state, src.size(), n);
}

}  // namespace

// Each case of ours sits beside its peers: <Case>_Kz, <Case>_Peer (zlib level 1, the
// stream zlib's fastest setting writes) and <Case>_Peer6 (zlib level 6).
int main(int argc, char** argv) {
  const std::pair<const char*, const char*> inputs[] = {
      {"YUY2_1080p", "sensor_key"},
      {"YUY2Diff_1080p", "sensor_diff"},
      {"Pattern_1080p", "pattern_key"},
      {"PatternDiff_1080p", "pattern_diff"},
  };
  auto add = [](const std::string& name, auto fn, auto... args) {
    benchmark::RegisterBenchmark(name.c_str(), fn, args...)->Unit(benchmark::kMillisecond);
  };
  for (const auto& [label, input] : inputs) {
    const std::string c = label, n = input;
    add("Encode" + c + "_Kz", KzEncode, n);
    add("Encode" + c + "_Peer", ZlibCompress, n, 1);
    add("Encode" + c + "_Peer6", ZlibCompress, n, 6);
    add("Decode" + c + "_Kz", KzDecode, n);
    add("Decode" + c + "_Peer", ZlibUncompress, n, 1);
    add("Decode" + c + "_Peer6", ZlibUncompress, n, 6);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

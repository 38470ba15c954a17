// Deterministic generated inputs shared by the record tests.
#pragma once

#include <cstdint>
#include <vector>

namespace kz::testdata {

class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
  uint8_t Byte() { return static_cast<uint8_t>(Next()); }

 private:
  uint64_t state_;
};

inline std::vector<uint8_t> Noise(size_t n, uint64_t seed) {
  Rng rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = rng.Byte();
  return v;
}

inline std::vector<uint8_t> Runs(size_t n, uint64_t seed) {
  Rng rng(seed);
  std::vector<uint8_t> v;
  while (v.size() < n) {
    const uint8_t value = rng.Byte();
    const size_t len = 1 + rng.Below(300);
    for (size_t i = 0; i < len && v.size() < n; ++i) v.push_back(value);
  }
  return v;
}

inline std::vector<uint8_t> Ramp(size_t n, uint32_t step) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * step / 7);
  return v;
}

// A YUY2 picture of w x h: smooth gradients plus a little sensor noise of +-amp.
inline std::vector<uint8_t> CameraFrame(uint32_t w, uint32_t h, uint32_t amp, uint64_t seed,
                                        uint32_t shift = 0) {
  Rng rng(seed);
  std::vector<uint8_t> v(static_cast<size_t>(w) * h * 2);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; x += 2) {
      uint8_t* p = &v[(static_cast<size_t>(y) * w + x) * 2];
      const int noise0 = amp ? static_cast<int>(rng.Below(2 * amp + 1)) - static_cast<int>(amp) : 0;
      const int noise1 = amp ? static_cast<int>(rng.Below(2 * amp + 1)) - static_cast<int>(amp) : 0;
      const int luma = static_cast<int>((x + shift) * 200 / (w + 1) + y * 40 / (h + 1));
      auto clamp = [](int c) { return static_cast<uint8_t>(c < 0 ? 0 : c > 255 ? 255 : c); };
      p[0] = clamp(luma + noise0);
      p[1] = static_cast<uint8_t>(128 + (y * 60 / (h + 1)));
      p[2] = clamp(luma + 1 + noise1);
      p[3] = static_cast<uint8_t>(100 + ((x + shift) * 50 / (w + 1)));
    }
  }
  return v;
}

}  // namespace kz::testdata

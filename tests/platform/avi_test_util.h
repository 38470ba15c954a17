// Helpers of the AVIFile tests: a scratch folder, test-pattern frames, writing a file
// through a handler, reading frames back, and asking the ffmpeg programs.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>
#include <windows.h>
#include <vfw.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace avitest {

inline std::string ScratchDir() {
  static std::string dir = [] {
    char tmpl[] = "/tmp/kzavi-XXXXXX";
    const char* made = mkdtemp(tmpl);
    return std::string(made ? made : "/tmp");
  }();
  return dir;
}

inline void RemoveScratch() {
  std::error_code ec;
  if (ScratchDir() != "/tmp") std::filesystem::remove_all(ScratchDir(), ec);
}

inline std::string Path(const std::string& name) {
  return ScratchDir() + "/" + name;
}

inline std::vector<uint8_t> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// AVIFile is set up once for the test program, and the scratch files go at its end.
struct AviEnv : ::testing::Environment {
  void SetUp() override { AVIFileInit(); }
  void TearDown() override {
    AVIFileExit();
    RemoveScratch();
  }
};
inline const auto* const kAviEnv = ::testing::AddGlobalTestEnvironment(new AviEnv);

inline int Stride(int w) {
  return (3 * w + 3) & ~3;
}

// A moving pattern of smooth gradients and a bright square: frames differ from each other
// and from their neighbours, and lossy codecs keep them recognisable.
inline std::vector<uint8_t> Pattern(int w, int h, int n) {
  std::vector<uint8_t> bits(static_cast<size_t>(Stride(w)) * h, 0);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = bits.data() + static_cast<size_t>(h - 1 - y) * Stride(w);  // bottom-up
    for (int x = 0; x < w; ++x) {
      bool box = x >= (n * 3) % w && x < (n * 3) % w + 12 && y >= 8 && y < 20;
      int t = (x + y + n * 6) % 256;
      row[3 * x] = static_cast<uint8_t>(box ? 240 : 40 + x * 160 / w);
      row[3 * x + 1] = static_cast<uint8_t>(box ? 240 : 30 + y * 180 / h);
      row[3 * x + 2] = static_cast<uint8_t>(box ? 40 : 20 + (t < 128 ? t : 255 - t));
    }
  }
  return bits;
}

inline BITMAPINFOHEADER Rgb24Header(int w, int h) {
  return BITMAPINFOHEADER{40, w, h, 1, 24, BI_RGB, static_cast<DWORD>(Stride(w) * h), 0, 0, 0, 0};
}

inline AVISTREAMINFOA VideoInfo(int w, int h, DWORD rate) {
  AVISTREAMINFOA info{};
  info.fccType = streamtypeVIDEO, info.dwScale = 1000, info.dwRate = rate;
  info.dwQuality = 0xFFFFFFFFu, info.rcFrame = {0, 0, w, h};
  std::strcpy(info.szName, "KZV");
  return info;
}

// A file being written: its plain video stream and, when `options` are given, the
// compressed stream on it; the format is set on the stream written to.
struct AviWriter {
  PAVIFILE file = nullptr;
  PAVISTREAM video = nullptr, compressed = nullptr;
  HRESULT hr = 0;
  int w, h;
  AviWriter(const std::string& path, int width, int height, const AVICOMPRESSOPTIONS* options,
            DWORD rate = 25000)
      : w(width), h(height) {
    hr = AVIFileOpenA(&file, path.c_str(), OF_CREATE | OF_SHARE_DENY_NONE, nullptr);
    AVISTREAMINFOA info = VideoInfo(w, h, rate);
    if (hr == 0) hr = AVIFileCreateStreamA(file, &video, &info);
    AVICOMPRESSOPTIONS o = options ? *options : AVICOMPRESSOPTIONS{};
    if (hr == 0 && options) hr = AVIMakeCompressedStream(&compressed, video, &o, nullptr);
    BITMAPINFOHEADER b = Rgb24Header(w, h);
    if (hr == 0) hr = AVIStreamSetFormat(stream(), 0, &b, sizeof b);
  }
  ~AviWriter() { Close(); }
  PAVISTREAM stream() const { return compressed ? compressed : video; }
  // Writes pattern frame n at position n.
  HRESULT Write(int n, DWORD flags = 0) {
    std::vector<uint8_t> bits = Pattern(w, h, n);
    return AVIStreamWrite(stream(), n, 1, bits.data(), static_cast<LONG>(bits.size()), flags,
                          nullptr, nullptr);
  }
  void Close() {
    if (compressed) AVIStreamRelease(compressed);
    if (video) AVIStreamRelease(video);
    if (file) AVIFileRelease(file);
    compressed = video = nullptr, file = nullptr;
  }
};

// Writes pattern frames 0 .. frames - 1 (uncompressed without `options`), each with
// `flags`; returns the first failure code.
inline HRESULT WritePattern(const std::string& path, int w, int h, int frames, DWORD rate,
                            const AVICOMPRESSOPTIONS* options, DWORD flags = 0) {
  AviWriter writer(path, w, h, options, rate);
  HRESULT hr = writer.hr;
  for (int n = 0; hr == 0 && n < frames; ++n) hr = writer.Write(n, flags);
  return hr;
}

// Writes `frames` pattern frames through the handler; returns the first failure code.
inline HRESULT WriteAvi(const std::string& path, DWORD handler, int w, int h, int frames,
                        DWORD rate = 25000, DWORD keyEvery = 0, DWORD quality = 0xFFFFFFFFu) {
  AVICOMPRESSOPTIONS o{};
  o.fccType = streamtypeVIDEO, o.fccHandler = handler, o.dwQuality = quality;
  o.dwKeyFrameEvery = keyEvery, o.dwFlags = keyEvery ? AVICOMPRESSF_KEYFRAMES : 0;
  return WritePattern(path, w, h, frames, rate, &o, AVIIF_KEYFRAME);
}

// Every frame of the first video stream as 24-bit bottom-up pixels (empty on failure).
inline std::vector<std::vector<uint8_t>> ReadAll(const std::string& path,
                                                 const std::vector<LONG>& order = {}) {
  std::vector<std::vector<uint8_t>> out;
  PAVISTREAM s = nullptr;
  if (AVIStreamOpenFromFileA(&s, path.c_str(), streamtypeVIDEO, 0, OF_SHARE_DENY_NONE, nullptr) !=
      0) {
    return out;
  }
  AVISTREAMINFOA info{};
  AVIStreamInfoA(s, &info, sizeof info);
  int w = info.rcFrame.right, h = info.rcFrame.bottom;
  BITMAPINFOHEADER want = Rgb24Header(w, h);
  PGETFRAME g = AVIStreamGetFrameOpen(s, &want);
  if (g) {
    LONG n = AVIStreamLength(s);
    out.resize(static_cast<size_t>(n));
    std::vector<LONG> positions = order;
    for (LONG i = 0; order.empty() && i < n; ++i) positions.push_back(i);
    for (LONG i : positions) {
      auto* dib = static_cast<const uint8_t*>(AVIStreamGetFrame(g, i));
      if (!dib) {
        ADD_FAILURE() << path << ": frame " << i << " did not decode";
        continue;
      }
      out[static_cast<size_t>(i)].assign(dib + 40, dib + 40 + static_cast<size_t>(Stride(w)) * h);
    }
    AVIStreamGetFrameClose(g);
  }
  AVIStreamRelease(s);
  return out;
}

// PSNR over the visible bytes of two 24-bit bottom-up frames.
inline double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int w, int h) {
  double sum = 0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < 3 * w; ++x) {
      double d = double(a[size_t(y) * Stride(w) + x]) - double(b[size_t(y) * Stride(w) + x]);
      sum += d * d;
    }
  }
  double mse = sum / (3.0 * w * h);
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

inline bool HaveProgram(const char* name) {
  std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

// Runs a command and returns its standard output.
inline std::string RunCommand(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

// ffprobe's view of the first video stream, counting its frames: `entries` as
// -show_entries takes them, one "key=value" a line; nothing without ffprobe.
inline std::optional<std::string> Probe(const std::string& path, const std::string& entries) {
  if (!HaveProgram("ffprobe")) {
    std::printf("ffprobe missing: outside check skipped\n");
    return std::nullopt;
  }
  return RunCommand("ffprobe -v error -count_frames -select_streams v:0 -show_entries " + entries +
                    " -of default=nw=1 '" + path + "'");
}

}  // namespace avitest

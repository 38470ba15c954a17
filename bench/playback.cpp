// Frames per second of reading a 1920 x 1080 lossless recording with no pacing (positions,
// chunk walk, decoding into the ring), against FFmpeg decoding an FFV1 AVI of the same
// frames to the same 24-bit rows through the AVI layer, in the same run (<Case>_Kz beside
// <Case>_Peer; both on one thread).
#include <benchmark/benchmark.h>
#include <kzvideo.h>
#include <unistd.h>
#include <windows.h>
#include <vfw.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "frame/blocks.h"
#include "frame/stream.h"
#include "image/pixfmt.h"
#include "playback/file_info.h"
#include "playback/playback_io.h"
#include "record/frame_coding.h"
#include "record/frame_format.h"

namespace {

constexpr int kWidth = 1920, kHeight = 1080, kFrames = 30;
constexpr uint32_t kFrameBytes = kWidth * kHeight * 3;

uint64_t seed = 99;
uint32_t Random() {
  seed = seed * 6364136223846793005ull + 1442695040888963407ull;
  return static_cast<uint32_t>(seed >> 33);
}

// A camera-like picture: gradients that move, a moving block, and noise of +-1.
std::vector<uint8_t> Frame(int n) {
  std::vector<uint8_t> f(kFrameBytes);
  for (int y = 0; y < kHeight; ++y) {
    uint8_t* row = &f[static_cast<size_t>(y) * kWidth * 3];
    for (int x = 0; x < kWidth; ++x) {
      const bool block = x / 64 == (n * 3) % 30 && y / 64 == 8;
      const int noise = static_cast<int>(Random() % 3) - 1;
      row[3 * x] = static_cast<uint8_t>((x + 4 * n) * 255 / kWidth + noise);
      row[3 * x + 1] = static_cast<uint8_t>(block ? 250 : y * 255 / kHeight);
      row[3 * x + 2] = static_cast<uint8_t>((x + y + 2 * n) / 12);
    }
  }
  return f;
}

struct Files {
  std::string recording;
  std::string avi;
  Files() {
    const std::string base = "/tmp/kz_bench_playback_" + std::to_string(::getpid());
    recording = base + ".kzv";
    avi = base + ".avi";
    WriteRecording();
    WriteAvi();
  }
  ~Files() {
    std::remove(recording.c_str());
    std::remove(avi.c_str());
  }
  void WriteRecording() const {
    using namespace kz;
    FrameEncoderState enc;
    CodingParams params;
    params.keyInterval = 30;
    InitFrameEncoder(enc, 2, params, kWidth, 3, kFrameBytes);
    FILE* f = std::fopen(recording.c_str(), "wb");
    int64_t at = 0;
    for (int n = 0; n < kFrames; ++n) {
      const auto pixels = Frame(n);
      const EncodedFrame e = EncodeFrame(enc, pixels.data(), n, at, n == 0);
      FrameHeader h;
      h.kind = kKindLosslessFourcc;
      h.dataBytes = e.bytes;
      h.width = kWidth;
      h.height = kHeight;
      h.format = KZ_FORMAT_RGB24;
      h.msLow = 40u * n;
      h.julian = 2461000.5 + n * 40 / 86400000.0;
      h.frameNumber = n;
      uint8_t head[kFrameHeaderBytes], trailer[kTrailerBytes];
      EncodeFrameHeader(h, head);
      EncodeTrailer(static_cast<uint32_t>(h.RecordBytes()), trailer);
      std::fwrite(head, 1, sizeof head, f);
      std::fwrite(e.data, 1, e.bytes, f);
      std::fwrite(trailer, 1, sizeof trailer, f);
      at += static_cast<int64_t>(h.RecordBytes());
    }
    std::fclose(f);
  }
  void WriteAvi() const {
    PAVIFILE file = nullptr;
    AVIFileOpenA(&file, avi.c_str(), OF_CREATE | OF_WRITE, nullptr);
    AVISTREAMINFOA info{};
    info.fccType = streamtypeVIDEO;
    info.dwScale = 1;
    info.dwRate = 25;
    info.rcFrame.right = kWidth;
    info.rcFrame.bottom = kHeight;
    PAVISTREAM video = nullptr, coded = nullptr;
    AVIFileCreateStreamA(file, &video, &info);
    AVICOMPRESSOPTIONS o{};
    o.fccType = streamtypeVIDEO;
    o.fccHandler = mmioFOURCC('F', 'F', 'V', '1');
    AVIMakeCompressedStream(&coded, video, &o, nullptr);
    BITMAPINFOHEADER bi{};
    bi.biSize = sizeof bi;
    bi.biWidth = kWidth;
    bi.biHeight = kHeight;
    bi.biPlanes = 1;
    bi.biBitCount = 24;
    bi.biSizeImage = kFrameBytes;
    AVIStreamSetFormat(coded, 0, &bi, sizeof bi);
    for (int n = 0; n < kFrames; ++n) {
      auto pixels = Frame(n);
      AVIStreamWrite(coded, n, 1, pixels.data(), kFrameBytes, AVIIF_KEYFRAME, nullptr, nullptr);
    }
    if (coded) AVIStreamRelease(coded);
    AVIStreamRelease(video);
    AVIFileRelease(file);
  }
};

Files& TheFiles() {
  static const uint32_t session = KZBegin(nullptr);
  (void)session;
  static Files files;
  return files;
}

void PlayRGB24_1080p_Kz(benchmark::State& state) {
  const Files& files = TheFiles();
  KZFILEINFO info{};
  info.size = sizeof info;
  uint32_t error = 0;
  if (!kz::FileInfoOf(files.recording.c_str(), &info, 0, &error)) {
    state.SkipWithError("recording not summarised");
    return;
  }
  auto rec = std::make_unique<kz::StreamRecord>();
  rec->play.sequenceInfo = info;
  rec->playback.size = sizeof(KZPLAYBACK);
  int64_t frames = 0;
  for (auto _ : state) {
    rec->playback.flags = KZ_PLAY_MOVE_START;
    rec->playback.index = 0;
    kz::SeekPlayback(rec.get());
    for (int n = 0; n < kFrames; ++n) {
      if (!kz::ReadPlaybackFrame(rec.get(), false)) {
        state.SkipWithError("frame not read");
        break;
      }
      ++frames;
    }
  }
  kz::FreePlaybackMemory(rec.get());
  kz::BlockFree(rec->ring);
  state.counters["fps"] =
      benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(PlayRGB24_1080p_Kz)->Unit(benchmark::kMillisecond);

void PlayRGB24_1080p_Peer(benchmark::State& state) {
  const Files& files = TheFiles();
  PAVISTREAM stream = nullptr;
  if (AVIStreamOpenFromFileA(&stream, files.avi.c_str(), streamtypeVIDEO, 0, OF_SHARE_DENY_NONE,
                             nullptr) != 0) {
    state.SkipWithError("no FFV1 AVI");
    return;
  }
  BITMAPINFOHEADER want{};
  want.biSize = sizeof want;
  want.biWidth = kWidth;
  want.biHeight = kHeight;
  want.biPlanes = 1;
  want.biBitCount = 24;
  want.biSizeImage = kFrameBytes;
  PGETFRAME frames = AVIStreamGetFrameOpen(stream, &want);
  std::vector<uint8_t> slot(kFrameBytes);
  int64_t count = 0;
  for (auto _ : state) {
    for (int n = 0; n < kFrames; ++n) {
      const auto* dib = static_cast<const uint8_t*>(AVIStreamGetFrame(frames, n));
      if (!dib) {
        state.SkipWithError("frame not decoded");
        break;
      }
      std::memcpy(slot.data(), dib + sizeof(BITMAPINFOHEADER), kFrameBytes);
      ++count;
    }
  }
  if (frames) AVIStreamGetFrameClose(frames);
  AVIStreamRelease(stream);
  state.counters["fps"] =
      benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsRate);
}
BENCHMARK(PlayRGB24_1080p_Peer)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

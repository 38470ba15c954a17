#include "recording_maker.h"

#include <cstdio>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <kzwin_test.h>
#include <unistd.h>

#include "image/pixfmt.h"
#include "playback/record_walk.h"
#include "record/frame_coding.h"
#include "record/frame_format.h"

namespace kztest {

uint32_t FrameBytesOf(const RecordingSpec& s) {
  return kz::RecordFrameBytes(s.width, s.height, s.format);
}

std::vector<uint8_t> FramePixels(const RecordingSpec& s, uint32_t n) {
  std::vector<uint8_t> f(FrameBytesOf(s));
  if (s.testPattern) {
    const kz::PixelFormat* row = kz::FormatByCode(static_cast<int32_t>(s.format));
    kzwinRenderTestFrame(f.data(), static_cast<DWORD>(f.size()), s.width, s.height, row->fourcc,
                         static_cast<WORD>(row->bits), n);
    return f;
  }
  for (size_t i = 0; i < f.size(); ++i) {
    f[i] = static_cast<uint8_t>((i / 7) * 3 + n * 11 + (i % 5 == 0 ? n : 0));
  }
  // The first four bytes spell the frame number, so a test can read it back exactly.
  if (f.size() >= 4) std::memcpy(f.data(), &n, 4);
  return f;
}

std::vector<uint8_t> RecordingBytes(const RecordingSpec& s, uint32_t from, uint32_t count) {
  using namespace kz;
  std::vector<uint8_t> out;
  const uint32_t fourcc = s.kind == 1   ? kKindRawFourcc
                          : s.kind == 2 ? kKindLosslessFourcc
                                        : kKindLossyFourcc;
  const PixelFormat* row = FormatByCode(s.format);
  FrameEncoderState enc;
  if (s.kind != 1) {
    CodingParams params;
    params.keyInterval = s.keyInterval;
    params.refInterval = 2;
    params.quantStep = 4;
    params.levels = 15;
    InitFrameEncoder(enc, s.kind, params, s.width, row->sampleDistance, FrameBytesOf(s));
  }
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t n = s.firstFrame + from + i;
    const std::vector<uint8_t> pixels = FramePixels(s, n);
    const bool chunks = i == 0;
    uint8_t chunkPart[kMaxChunkPartBytes];
    size_t chunkBytes = 0;
    if (chunks) {
      KZRECORD r{};
      r.size = 368;
      r.keyInterval = s.keyInterval;
      KZDISPLAY d{};
      d.size = 160;
      d.zoom = 2.0;
      d.cropWidth = 7;
      chunkBytes = EncodeChunkPart(r, s.withDisplay ? &d : nullptr, chunkPart);
    }
    const uint8_t* data = pixels.data();
    uint32_t dataBytes = static_cast<uint32_t>(pixels.size());
    if (s.kind != 1) {
      const EncodedFrame e =
          EncodeFrame(enc, pixels.data(), n, static_cast<int64_t>(out.size()), chunks);
      data = e.data;
      dataBytes = e.bytes;
    }
    FrameHeader h;
    h.kind = fourcc;
    h.chunkBytes = static_cast<uint32_t>(chunkBytes);
    h.dataBytes = dataBytes;
    h.width = static_cast<uint16_t>(s.width);
    h.height = static_cast<uint16_t>(s.height);
    h.format = static_cast<uint16_t>(s.format);
    const uint64_t ms = s.firstMs + uint64_t{s.msStep} * (from + i);
    h.msLow = static_cast<uint32_t>(ms);
    h.msHigh = static_cast<uint16_t>(ms >> 32);
    h.julian = s.firstJulian + static_cast<double>(ms - s.firstMs) / 86400000.0;
    h.frameNumber = n;
    uint8_t head[kFrameHeaderBytes];
    EncodeFrameHeader(h, head);
    out.insert(out.end(), head, head + sizeof head);
    out.insert(out.end(), chunkPart, chunkPart + chunkBytes);
    out.insert(out.end(), data, data + dataBytes);
    uint8_t trailer[kTrailerBytes];
    EncodeTrailer(static_cast<uint32_t>(h.RecordBytes()), trailer);
    out.insert(out.end(), trailer, trailer + sizeof trailer);
  }
  return out;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) std::abort();
}

void WriteRecording(const std::string& path, const RecordingSpec& s, uint32_t from,
                    uint32_t count) {
  WriteFile(path, RecordingBytes(s, from, count));
}

std::string TempFolder(const char* name) {
  namespace fs = std::filesystem;
  fs::path p = fs::temp_directory_path() /
               ("kzplay_" + std::string(name) + "_" + std::to_string(::getpid()));
  fs::remove_all(p);
  fs::create_directories(p);
  return fs::canonical(p).string();
}

namespace {

std::mutex shownMutex;
std::vector<Shown> shown;
std::atomic<int> ended{0};
std::atomic<uint32_t> endStatus{0xFFFF};

}  // namespace

void KZCALLBACK NoteDraw(KZPLAYBACK* copy, const void*, const void*) {
  std::lock_guard lock(shownMutex);
  shown.push_back({copy->frame, copy->index, timeGetTime()});
}

void KZCALLBACK NoteEnd(KZPLAYBACK*, uint32_t status) {
  endStatus = status;
  ended = 1;
}

void ForgetShown() {
  std::lock_guard lock(shownMutex);
  shown.clear();
  ended = 0;
  endStatus = 0xFFFF;
}

std::vector<Shown> Taken() {
  std::lock_guard lock(shownMutex);
  return shown;
}

std::vector<uint32_t> Frames(const std::vector<Shown>& v) {
  std::vector<uint32_t> out;
  for (const Shown& s : v) out.push_back(s.frame);
  return out;
}

bool Ended() {
  return ended.load() != 0;
}

uint32_t EndStatus() {
  return endStatus.load();
}

void PlaybackTest::SetUp() {
  kzwinUseManualClock(TRUE, 0xFFFFFF00u);  // the clock wraps during the tests
  session_ = KZBegin(nullptr);
  dir_ = TempFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
  window_ =
      CreateWindowExA(0, nullptr, "play", 0, 0, 0, 64, 32, nullptr, nullptr, nullptr, nullptr);
  ForgetShown();
}

void PlaybackTest::TearDown() {
  kzwinUseManualClock(FALSE, 0);  // see StopPlayback
  KZStopPlayback(0, 0, nullptr);
  DestroyWindow(window_);
  KZEnd(session_);
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

int PlaybackTest::StopPlayback(uint32_t id) {
  const DWORD now = timeGetTime();
  kzwinUseManualClock(FALSE, 0);
  const int result = KZStopPlayback(0, id, nullptr);
  kzwinUseManualClock(TRUE, now);
  return result;
}

void PlaybackTest::WriteSequence(const RecordingSpec& s) {
  WriteRecording(Path("seq.kzv"), s, 0, 4);
  WriteRecording(Path("seq2.kzv"), s, 4, 4);
  WriteRecording(Path("seq3.kzv"), s, 8, 4);
}

KZPLAYBACK PlaybackTest::Block(double rate, uint32_t flags, const char* file) const {
  KZPLAYBACK b{};
  b.size = sizeof b;
  b.session = session_;
  std::snprintf(b.fileName, sizeof b.fileName, "%s", Path(file).c_str());
  b.window = window_;
  b.rate = rate;
  b.zoom = 1.0;
  b.flags = flags;
  b.afterDrawCallback = NoteDraw;
  b.endCallback = NoteEnd;
  return b;
}

std::string InFolder(const std::string& folder, const char* name) {
  return (std::filesystem::path(folder) / name).string();
}

}  // namespace kztest

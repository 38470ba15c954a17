#include "recording_maker.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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
  const uint32_t fourcc = s.kind == 1 ? kKindRawFourcc
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
      const EncodedFrame e = EncodeFrame(enc, pixels.data(), n, static_cast<int64_t>(out.size()),
                                         chunks);
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
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
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

}  // namespace kztest

// Recordings of each of the library's own kinds, written from fixed frames by the recording
// writer, are the same bytes on every host (64-bit Linux, 32-bit Linux, 64-bit Windows) as
// the files checked in under tests/data/, and those files read back to the same frames
// everywhere. KZ_WRITE_GOLDEN=1 writes the files anew instead.
#include <gtest/gtest.h>
#include <kzvideo.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "frame/stream.h"
#include "playback/record_walk.h"
#include "record/frame_coding.h"
#include "record/frame_format.h"
#include "record/writer.h"

namespace kz {
namespace {

constexpr int32_t kWidth = 16;
constexpr int32_t kHeight = 8;
constexpr uint32_t kFrames = 5;
// Request times of the frames, not evenly spaced, so the stored milliseconds show it.
constexpr uint32_t kRequestMs[kFrames] = {1000, 1040, 1080, 1133, 1160};

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Frame n of a picture: smooth gradients that move by n, so the coded kinds find both
// repeats and change.
std::vector<uint8_t> Frame(uint32_t bytes, uint32_t n) {
  std::vector<uint8_t> f(bytes);
  for (uint32_t i = 0; i < bytes; ++i) {
    const uint32_t x = i % 48, y = i / 48;
    f[i] = static_cast<uint8_t>(x * 5 + y * 9 + n * 7 + (((x + n) / 6) % 2) * 40);
  }
  return f;
}

uint64_t Fnv1a(uint64_t h, const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001B3ull;
  return h;
}

// Writes the frames through the recording writer, as a recording or an export does.
void WriteRecording(uint32_t kind, uint32_t format, const char* name) {
  const uint32_t bytes = RecordFrameBytes(kWidth, kHeight, format);
  auto e = std::make_unique<StreamRecord>();
  e->frameBytes = bytes;
  KZRECORD& r = e->record;
  r.size = sizeof r;
  r.fileFlags = kind | KZ_OPEN_OVERWRITE;
  r.width = kWidth;
  r.height = kHeight;
  r.format = format;
  r.keyInterval = 3;
  r.refInterval = 2;
  r.quantStep = 6;
  r.levels = 15;
  // A relative name: the record chunk carries it, and it must be the same on every host.
  std::snprintf(r.fileName, sizeof r.fileName, "%s", name);
  for (uint32_t n = 0; n < kFrames; ++n) {
    const std::vector<uint8_t> f = Frame(bytes, n);
    FrameTime t;
    t.ms = kRequestMs[n] - kRequestMs[0];
    t.julian = 2461000.25 + static_cast<double>(t.ms) / 86400000.0;
    ASSERT_EQ(WriteOwnKindFrame(*e, f.data(), t), 0u) << n;
  }
  FinishRecordingFile(*e);
}

TEST(GoldenFiles, SameBytesAndFramesOnEveryHost) {
  struct Case {
    uint32_t kind, format;
    const char* golden;
    uint64_t framesHash;  // of the frames read back; exact for every kind
  };
  const Case cases[] = {
      {KZ_KIND_RAW, KZ_FORMAT_RGB24, "golden_raw.kzv", 0x09A7E7D22BD2B405ull},
      {KZ_KIND_LOSSLESS, KZ_FORMAT_YUY2, "golden_lossless.kzv", 0xBB944209E6EC239Dull},
      {KZ_KIND_LOSSY, KZ_FORMAT_RGB24, "golden_lossy.kzv", 0x74ABC99CD36C4957ull},
  };
  const bool regenerate = std::getenv("KZ_WRITE_GOLDEN") != nullptr;
  const uint32_t session = KZBegin(nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.golden);
    const std::string written = std::string("written_") + c.golden;
    const std::string golden = std::string(KZ_TEST_DATA) + "/" + c.golden;
    std::remove(written.c_str());
    // Lossy key frames take their quantiser phase from every key frame coded before in the
    // process; start it where the checked-in file did.
    SetKeyQuantPhase(0);
    WriteRecording(c.kind, c.format, written.c_str());
    const std::vector<uint8_t> bytes = ReadAll(written);
    std::remove(written.c_str());
    ASSERT_FALSE(bytes.empty());
    if (regenerate) {
      std::ofstream(golden, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                     static_cast<std::streamsize>(bytes.size()));
    }
    const std::vector<uint8_t> expected = ReadAll(golden);
    EXPECT_TRUE(bytes == expected) << bytes.size() << " bytes written, " << expected.size()
                                   << " in " << golden;

    // The checked-in file, read by this host: the same frames, numbers and times.
    const uint32_t frameBytes = RecordFrameBytes(kWidth, kHeight, c.format);
    uint64_t hash = 0xCBF29CE484222325ull;
    for (uint32_t n = 0; n < kFrames; ++n) {
      KZPLAYBACK b{};
      b.size = sizeof b;
      b.flags = KZ_PLAY_MOVE_START;
      b.zoom = 1.0;
      b.index = static_cast<int32_t>(n);
      HGLOBAL h = KZLoadFrame(golden.c_str(), &b, nullptr, 0);
      ASSERT_NE(h, nullptr) << n << " error " << KZGetLastError();
      ASSERT_EQ(GlobalSize(h), frameBytes);
      const auto* p = static_cast<const uint8_t*>(GlobalLock(h));
      if (c.kind != KZ_KIND_LOSSY) {
        EXPECT_EQ(std::memcmp(p, Frame(frameBytes, n).data(), frameBytes), 0) << n;
      }
      hash = Fnv1a(hash, p, frameBytes);
      GlobalUnlock(h);
      GlobalFree(h);
      EXPECT_EQ(b.frame, n);
      EXPECT_EQ(b.msLow, kRequestMs[n] - kRequestMs[0]);
      EXPECT_EQ(b.time, 2461000.25 + (kRequestMs[n] - kRequestMs[0]) / 86400000.0);
    }
    EXPECT_EQ(hash, c.framesHash) << std::hex << hash;
  }
  KZEnd(session);
}

}  // namespace
}  // namespace kz

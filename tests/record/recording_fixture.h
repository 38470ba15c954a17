// A caller of the record API on the test thread (the live fixture with a folder for its
// files) and a reader that walks recording files and decodes their frames.
#pragma once

#include <gtest/gtest.h>
#include <kzvideo.h>
#include <kzwin_test.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../live/live_fixture.h"
#include "record/frame_coding.h"
#include "record/frame_format.h"

namespace kz::rectest {

using test::EntriesInUse;
using test::PumpUntil;
using test::SourceEntry;
using test::WaitUntil;

inline std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// One record of a file as a reader sees it.
struct Record {
  int64_t offset = 0;
  FrameHeader header;
  ChunkContents chunks;
  std::vector<uint8_t> frame;  // decoded frame (raw and lossless kinds exact)
  uint32_t cameraNumber = 0;
  bool numberRead = false;
};

class FileSource : public RecordSource {
 public:
  explicit FileSource(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  bool FetchRecord(int64_t offset, FrameHeader* header, uint8_t* data, uint32_t capacity) override {
    if (offset < 0 || offset + 40 > static_cast<int64_t>(bytes_.size())) return false;
    *header = DecodeFrameHeader(&bytes_[offset]);
    if (CheckFrameHeader(*header, 0, static_cast<int64_t>(bytes_.size()) - offset) !=
        RecordCheck::kOk) {
      return false;
    }
    if (header->dataBytes > capacity) return false;
    std::memcpy(data, &bytes_[offset + 40 + header->chunkBytes], header->dataBytes);
    return true;
  }

 private:
  const std::vector<uint8_t>& bytes_;
};

// Walks a recording file from its start: every record must check, its trailer must hold
// its size, and the walk must end exactly at the end of the file. Frames are decoded.
inline std::vector<Record> WalkFile(const std::string& path, uint32_t width, uint32_t height,
                                    uint32_t fourcc, uint16_t bits, uint32_t sampleDistance,
                                    bool decode = true) {
  std::vector<Record> out;
  const std::vector<uint8_t> bytes = ReadAll(path);
  FileSource source(bytes);
  FrameDecoderState decoder;
  int64_t at = 0;
  bool decoderReady = false;
  while (at < static_cast<int64_t>(bytes.size())) {
    Record r;
    r.offset = at;
    const int64_t left = static_cast<int64_t>(bytes.size()) - at;
    if (left < 48) {
      ADD_FAILURE() << path << ": " << left << " stray bytes at " << at;
      break;
    }
    r.header = DecodeFrameHeader(&bytes[at]);
    if (CheckFrameHeader(r.header, 0, left) != RecordCheck::kOk) {
      ADD_FAILURE() << path << ": bad record at " << at;
      break;
    }
    const int64_t end = at + static_cast<int64_t>(r.header.RecordBytes());
    uint32_t size = 0;
    EXPECT_EQ(CheckTrailer(&bytes[end - 8], end, &size), RecordCheck::kOk);
    EXPECT_EQ(size, r.header.RecordBytes());
    r.chunks = DecodeChunkPart({&bytes[at + 40], r.header.chunkBytes});
    const uint8_t* data = &bytes[at + 40 + r.header.chunkBytes];
    if (!decode) {
      out.push_back(std::move(r));
      at = end;
      continue;
    }
    if (r.header.kind == kKindRawFourcc) {
      r.frame.assign(data, data + r.header.dataBytes);
    } else {
      if (!decoderReady) {
        const uint32_t fb = static_cast<uint32_t>(width * height * bits / 8);
        decoderReady = InitFrameDecoder(decoder, fb, sampleDistance);
      }
      r.frame.resize(decoder.frameBytes);
      EXPECT_EQ(DecodeFrameData(decoder, source, r.header, at, data, r.frame.data()),
                DecodeResult::kOk)
          << path << " frame " << r.header.frameNumber;
    }
    DWORD n = 0;
    r.numberRead = kzwinDecodeTestFrame(r.frame.data(), static_cast<DWORD>(r.frame.size()),
                                        static_cast<LONG>(width), static_cast<LONG>(height), fourcc,
                                        bits, &n) != FALSE;
    r.cameraNumber = n;
    out.push_back(std::move(r));
    at = end;
  }
  return out;
}

// What the callbacks of a recording saw (they run on the record thread).
struct Seen {
  std::atomic<uint32_t> filtered{0};  // frames the filter let through
  std::atomic<uint32_t> limit{0xFFFFFFFFu};
  std::atomic<uint32_t> ends{0};
  std::atomic<uint32_t> endCode{0xFFFFFFFFu};
};
inline Seen seen;

extern "C" inline int KZCALLBACK CountingFilter(KZRECORD*, const void*) {
  if (seen.filtered.load() >= seen.limit.load()) return 0;
  seen.filtered.fetch_add(1);
  return 1;
}
extern "C" inline void KZCALLBACK NoteEnd(KZRECORD*, uint32_t code) {
  seen.endCode.store(code);
  seen.ends.fetch_add(1);
}
inline void ResetSeen() {
  seen.filtered = 0;
  seen.limit = 0xFFFFFFFFu;
  seen.ends = 0;
  seen.endCode = 0xFFFFFFFFu;
}

class RecordTest : public test::LiveTest {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("kzrec_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    LiveTest::SetUp();
  }
  void TearDown() override {
    kzwinFailWritesAfter(-1);
    LiveTest::TearDown();
    std::filesystem::remove_all(dir_);
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  // A 160 x 120 YUY2 recording of source 1 into `file`.
  KZRECORD Block(const std::string& file, uint32_t kind, uint32_t mode = KZ_OPEN_NEW) {
    KZRECORD r{};
    r.size = sizeof r;
    r.session = session_;
    r.source = 1;
    r.width = 160;
    r.height = 120;
    r.format = KZ_FORMAT_YUY2;
    r.bitCount = 16;
    r.window = window_;
    std::snprintf(r.fileName, sizeof r.fileName, "%s", file.c_str());
    r.fileFlags = kind | mode;
    return r;
  }

  KZDISPLAY Display() { return LiveTest::Block(1, 160, 120); }

  // The records of a file made from Block().
  static std::vector<Record> Walk(const std::string& file, bool decode = true) {
    return WalkFile(file, 160, 120, Fourcc('Y', 'U', 'Y', '2'), 16, 4, decode);
  }

  // Starts `block` with the counting filter, letting `limit` frames through, and the end note.
  static bool StartCounted(KZRECORD block, uint32_t limit = 0xFFFFFFFFu) {
    ResetSeen();
    seen.limit = limit;
    block.frameFilter = CountingFilter;
    block.endNotify = NoteEnd;
    return KZStartRecord(&block) == 1;
  }

  std::filesystem::path dir_;
};

}  // namespace kz::rectest

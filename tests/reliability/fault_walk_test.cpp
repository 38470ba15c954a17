// Fault walks in the manner of SQLite's: for N = 0, 1, 2, ... the N-th allocation fails, or
// the disk fills after N bytes, during a recording, a split recording, an append and an
// export, until the operation runs through without meeting the fault. After every fault the
// call or the end report gives the documented code, every stop returns, nothing leaks, and
// every file left on disk reads to its last whole frame with the frames' true pixels.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "../export/save_video_fixture.h"
#include "frame/stream.h"

namespace kz::reltest {
namespace {

using rectest::Record;
using rectest::seen;
using rectest::WalkFile;

constexpr uint32_t kYuy2 = Fourcc('Y', 'U', 'Y', '2');

enum class Fault { kAlloc, kWrite };

void Arm(Fault fault, int64_t n) {
  if (fault == Fault::kAlloc) {
    kzwinFailAllocAfter(static_cast<LONG>(n));
  } else {
    kzwinFailWritesAfter(n);
  }
}
void Disarm() {
  kzwinFailAllocAfter(-1);
  kzwinFailWritesAfter(-1);
}
// Fault points used so far: allocation calls or bytes written.
int64_t Used(Fault fault) {
  return fault == Fault::kAlloc ? kzwinCountAllocCalls() : kzwinCountBytesWritten();
}

// The files of the numbered sequence that starts at `first` (first.kzv, first2.kzv, ...).
std::vector<std::string> SequenceFiles(const std::string& folder, const std::string& stem) {
  std::vector<std::string> files;
  for (int n = 1;; ++n) {
    const std::string f = folder + "/" + stem + (n == 1 ? "" : std::to_string(n)) + ".kzv";
    if (!std::filesystem::exists(f)) break;
    files.push_back(f);
  }
  return files;
}

// The write points of an operation that wrote `total` bytes in records that start at
// `starts`: the first bytes, both sides of every record start, the end of each header,
// and a stride through the frame data.
std::vector<int64_t> WritePoints(const std::vector<int64_t>& starts, int64_t total,
                                 int64_t stride) {
  std::set<int64_t> points;
  for (int64_t n = 0; n < 4; ++n) points.insert(n);
  for (int64_t s : starts) {
    // Into the trailer, its last byte, the record's first two bytes, the end of its header.
    for (int64_t d : {-8, -1, 0, 1, 40}) points.insert(s + d);
  }
  for (int64_t n = 0; n < total; n += stride) points.insert(n);
  std::vector<int64_t> out;
  for (int64_t p : points) {
    if (p >= 0 && p < total) out.push_back(p);
  }
  // Coded frames vary a little in size from run to run: this one is surely never met.
  out.push_back(2 * total + 65536);
  return out;
}

// Counts of the platform layer and the library that an operation must give back.
struct Live {
  LONG blocks = kzwinCountGlobalBlocks();
  LONG handles = kzwinCountOpenHandles();
  LONG windows = kzwinCountWindows();
  LONG threads = kzwinCountRunningThreads();
  int tableBlocks = BlockCount();
  int entries = rectest::EntriesInUse();
};

void ExpectBack(const Live& before) {
  // A thread that cleared its running bit may still be returning from its routine.
  EXPECT_TRUE(rectest::PumpUntil([&] { return kzwinCountRunningThreads() == before.threads; }))
      << "a thread never ended";
  const Live now;
  EXPECT_EQ(now.blocks, before.blocks);
  EXPECT_EQ(now.handles, before.handles);
  EXPECT_EQ(now.windows, before.windows);
  EXPECT_EQ(now.tableBlocks, before.tableBlocks);
  EXPECT_EQ(now.entries, 0);
  EXPECT_EQ(kzwinCameraConnections(0), 0);
}

// The library's own reader agrees with the walk: the sequence's frame count, and the last
// frame as KZLoadFrame gives it.
void ExpectLibraryReads(const std::string& first, const std::vector<uint8_t>* lastFrame,
                        size_t frames) {
  KZFILEINFO info{};
  info.size = sizeof info;
  if (frames == 0) return;  // an empty file holds nothing to read
  ASSERT_EQ(KZGetFileInfo(first.c_str(), &info, 0), 1) << KZGetLastError();
  EXPECT_EQ(info.frameCount, static_cast<int32_t>(frames));
  KZPLAYBACK b{};
  b.size = sizeof b;
  b.flags = KZ_PLAY_MOVE_END;
  b.zoom = 1.0;
  HGLOBAL h = KZLoadFrame(first.c_str(), &b, nullptr, 0);
  ASSERT_NE(h, nullptr) << KZGetLastError();
  if (lastFrame) {
    ASSERT_EQ(GlobalSize(h), lastFrame->size());
    EXPECT_EQ(std::memcmp(GlobalLock(h), lastFrame->data(), lastFrame->size()), 0);
    GlobalUnlock(h);
  }
  GlobalFree(h);
}

class FaultWalk : public rectest::RecordTest {
 protected:
  struct Outcome {
    uint32_t code = 0;   // start error, or the end code the recording reported
    uint32_t written = 0;  // frames the filter let through and the writer was given
  };

  // Records `frames` frames of the camera (the filter refuses every later one) with the
  // fault armed at `n`, and stops. Every path out checks that stopping returns and that
  // the stream and everything it held are gone.
  Outcome RecordOnce(KZRECORD block, uint32_t frames, Fault fault, int64_t n) {
    rectest::ResetSeen();
    seen.limit = frames;
    block.frameFilter = rectest::CountingFilter;
    block.endNotify = rectest::NoteEnd;
    const Live before;
    Arm(fault, n);
    Outcome out;
    if (KZStartRecord(&block) != 1) {
      out.code = KZGetLastError();
      Disarm();
      ExpectBack(before);
      return out;
    }
    EXPECT_TRUE(rectest::PumpUntil([&] { return seen.filtered >= frames || seen.ends == 1; }))
        << "the recording neither wrote its frames nor ended";
    if (KZStopRecord(session_, 1, nullptr) != 1) {
      // Only a recording that ended by itself may have nothing left to stop.
      EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_NO_RECORD));
      EXPECT_EQ(seen.ends.load(), 1u);
    }
    EXPECT_TRUE(rectest::PumpUntil([] { return seen.ends == 1 && rectest::EntriesInUse() == 0; }))
        << "the stream was never released";
    Disarm();
    out.code = seen.endCode;
    out.written = seen.filtered;
    ExpectBack(before);
    return out;
  }

  // Walks the files of the sequence: each whole to its end, frames numbered on from
  // `firstNumber`, pixels those the camera sent. Returns every record.
  std::vector<Record> ReadSequence(const std::vector<std::string>& files, KZRECORD block,
                                   uint32_t firstNumber) {
    std::vector<Record> all;
    std::vector<uint8_t> expect(static_cast<size_t>(block.width) * block.height * 2);
    for (const std::string& f : files) {
      SCOPED_TRACE(f);
      for (Record& r : WalkFile(f, block.width, block.height, kYuy2, 16, 4)) {
        EXPECT_EQ(r.header.frameNumber, firstNumber + all.size());
        EXPECT_TRUE(r.numberRead);
        kzwinRenderTestFrame(expect.data(), static_cast<DWORD>(expect.size()), block.width,
                             block.height, kYuy2, 16, r.cameraNumber);
        EXPECT_EQ(r.frame, expect);
        all.push_back(std::move(r));
      }
    }
    return all;
  }

  struct Scenario {
    const char* name;
    uint32_t kind;
    LONG width, height;
    int32_t maxFileMB;
    uint32_t frames;
    uint32_t appendTo;  // frames recorded beforehand that the walked recording continues
    int64_t stride;     // write points between record boundaries
  };

  // Walks one scenario over one fault kind; returns the fault points walked.
  int Walk(const Scenario& c, Fault fault) {
    const std::string stem = c.name;
    KZRECORD block = Block(Path(stem + ".kzv"), c.kind);
    block.width = c.width;
    block.height = c.height;
    block.maxFileMB = c.maxFileMB;
    block.keyInterval = 3;
    block.refInterval = 1;  // lossy at its finest grid gives the frames back exactly
    block.quantStep = 1;
    std::vector<uint8_t> base;
    if (c.appendTo) {
      for (const std::string& f : SequenceFiles(dir_.string(), stem)) std::filesystem::remove(f);
      EXPECT_EQ(RecordOnce(block, c.appendTo, fault, -1).code, 0u);
      base = rectest::ReadAll(Path(stem + ".kzv"));
      block.fileFlags |= KZ_OPEN_APPEND;
    }
    auto fresh = [&] {
      for (const std::string& f : SequenceFiles(dir_.string(), stem)) std::filesystem::remove(f);
      if (c.appendTo) kztest::WriteFile(Path(stem + ".kzv"), base);
    };

    // A run without a fault gives the number of points and the record boundaries.
    fresh();
    const int64_t used0 = Used(fault);
    EXPECT_EQ(RecordOnce(block, c.frames, fault, -1).code, 0u);
    const int64_t total = Used(fault) - used0;
    std::vector<int64_t> points;
    if (fault == Fault::kWrite) {
      std::vector<int64_t> starts;
      int64_t before = 0;
      for (const std::string& f : SequenceFiles(dir_.string(), stem)) {
        const int64_t skip = f == Path(stem + ".kzv") ? static_cast<int64_t>(base.size()) : 0;
        for (const Record& r : WalkFile(f, c.width, c.height, kYuy2, 16, 4, false)) {
          if (r.offset >= skip) starts.push_back(before + r.offset - skip);
        }
        before += static_cast<int64_t>(std::filesystem::file_size(f)) - skip;
      }
      EXPECT_EQ(before, total);
      points = WritePoints(starts, total, c.stride);
    }

    int walked = 0;
    // Allocations: every N until one run meets no fault; writes: the chosen points.
    for (size_t i = 0; fault == Fault::kAlloc || i < points.size(); ++i) {
      const int64_t n = fault == Fault::kAlloc ? static_cast<int64_t>(i) : points[i];
      SCOPED_TRACE(testing::Message() << c.name << (fault == Fault::kAlloc ? " alloc " : " write ")
                                      << n << " of " << total);
      fresh();
      const int64_t start = Used(fault);
      const Outcome o = RecordOnce(block, c.frames, fault, n);
      const int64_t used = Used(fault) - start;
      // A disk fault is met when the budget ran out: exactly n bytes were written then.
      const bool met = fault == Fault::kAlloc ? used > n : o.code != 0;
      if (fault == Fault::kWrite) {
        EXPECT_EQ(used, met ? n : used) << "bytes written past a full disk";
      }
      if (!met) {
        EXPECT_EQ(o.code, 0u);
        EXPECT_EQ(o.written, c.frames);
      } else {
        ++walked;
        EXPECT_EQ(o.code, fault == Fault::kAlloc ? static_cast<uint32_t>(KZ_ERR_MEMORY)
                                                 : static_cast<uint32_t>(KZ_ERR_WRITE));
      }
      // Every frame handed to the writer is in the files but the one whose writing failed.
      const std::vector<std::string> files = SequenceFiles(dir_.string(), stem);
      const std::vector<Record> all = ReadSequence(files, block, 0);
      const uint32_t kept = o.written - (o.code != 0 && o.written > 0 ? 1 : 0);
      EXPECT_EQ(all.size(), c.appendTo + kept);
      if (c.appendTo && !files.empty()) {
        const std::vector<uint8_t> now = rectest::ReadAll(files[0]);
        EXPECT_TRUE(now.size() >= base.size() && std::equal(base.begin(), base.end(), now.begin()))
            << "the continued file lost its earlier records";
      }
      if (!files.empty()) {
        ExpectLibraryReads(files[0], all.empty() ? nullptr : &all.back().frame, all.size());
      }
      if (HasFailure()) break;  // one failing point tells; the rest would repeat it
      if (fault == Fault::kAlloc) {
        if (!met) break;
        EXPECT_LT(n, 10 * total + 100) << "the walk does not end";
      }
    }
    return walked;
  }
};

TEST_F(FaultWalk, RecordingsSplitsAndAppendsEndCleanlyAtEveryFault) {
  const Scenario cases[] = {
      {"raw", KZ_KIND_RAW, 160, 120, 0, 4, 0, 8192},
      {"lossless", KZ_KIND_LOSSLESS, 160, 120, 0, 5, 0, 1024},
      {"lossy", KZ_KIND_LOSSY, 160, 120, 0, 5, 0, 1024},
      // 614 448-byte records: one to a MiB, so every frame opens a file of its own.
      {"split", KZ_KIND_RAW, 640, 480, 1, 3, 0, 65536},
      {"append", KZ_KIND_LOSSLESS, 160, 120, 0, 3, 3, 1024},
  };
  for (const Scenario& c : cases) {
    for (Fault fault : {Fault::kAlloc, Fault::kWrite}) {
      EXPECT_GT(Walk(c, fault), 0) << c.name;
      if (HasFailure()) return;
    }
  }
}

// Exports of a ten-frame recording into each own kind, the allocation and the write fault
// walked in turn; the waiting call reports the fault and the output reads to its last frame.
class ExportFaultWalk : public exptest::ExportTest {};

TEST_F(ExportFaultWalk, ExportsEndCleanlyAtEveryFault) {
  using exptest::calls;
  for (uint32_t kind : {KZ_KIND_RAW, KZ_KIND_LOSSLESS, KZ_KIND_LOSSY}) {
    for (Fault fault : {Fault::kAlloc, Fault::kWrite}) {
      const char* what = fault == Fault::kAlloc ? "alloc" : "write";
      auto once = [&](int64_t n) {
        std::filesystem::remove(Path("out.kzv"));
        calls.Reset();
        KZEXPORT j = Job("out.kzv", kind);
        const Live before;
        Arm(fault, n);
        const uint32_t r = KZSaveVideo(&j);
        const uint32_t error = r == KZ_EXPORT_DONE ? 0 : KZGetLastError();
        Disarm();
        EXPECT_TRUE(r == KZ_EXPORT_DONE || r == 0) << r;
        ExpectBack(before);
        return error;
      };
      const int64_t used0 = Used(fault);
      ASSERT_EQ(once(-1), 0u);
      const int64_t total = Used(fault) - used0;
      std::vector<int64_t> points;
      if (fault == Fault::kAlloc) {
        for (int64_t n = 0; n <= total; ++n) points.push_back(n);
        points.push_back(total + 1000);
      } else {
        std::vector<int64_t> starts;
        for (const Record& r : WalkFile(Path("out.kzv"), spec_.width, spec_.height, 0, 24, 3,
                                        false)) {
          starts.push_back(r.offset);
        }
        points = WritePoints(starts, total, 256);
      }
      int walked = 0;
      for (int64_t n : points) {
        SCOPED_TRACE(testing::Message() << "kind " << kind << " " << what << " " << n);
        const int64_t start = Used(fault);
        const uint32_t error = once(n);
        const bool met = fault == Fault::kAlloc ? Used(fault) - start > n : n < total;
        walked += met;
        if (!met) {
          EXPECT_EQ(error, 0u);
        } else if (fault == Fault::kWrite) {
          EXPECT_EQ(error, static_cast<uint32_t>(KZ_ERR_WRITE));
        } else {
          // The writer's buffers fail with 12; the source reader's make the source one that
          // cannot be opened at its position, 54.
          EXPECT_TRUE(error == KZ_ERR_MEMORY || error == KZ_ERR_POSITION) << error;
        }
        // The output holds the frames exported before the fault, each exact.
        if (std::filesystem::exists(Path("out.kzv"))) {
          const std::vector<Frame> got = ReadOutput("out.kzv", kind);
          for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].position, static_cast<int32_t>(i));
          if (!met) {
            EXPECT_EQ(got.size(), 10u);
          }
          if (!got.empty()) {
            const std::vector<uint8_t> last =
                kztest::FramePixels(spec_, static_cast<uint32_t>(got.size() - 1));
            ExpectLibraryReads(Path("out.kzv"), kind == KZ_KIND_LOSSY ? nullptr : &last, got.size());
          }
        }
        if (HasFailure()) return;
      }
      EXPECT_GT(walked, 0);
    }
  }
}

}  // namespace
}  // namespace kz::reltest

// A caller of KZSaveVideo: a session, a folder, source recordings from the playback tests'
// maker, export records with range lists, and a reader of the recordings it writes.
#pragma once

#include <gtest/gtest.h>
#include <kzvideo.h>
#include <kzwin_test.h>
#include <stdlib.h>
#include <windows.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "../playback/recording_maker.h"
#include "../record/recording_fixture.h"
#include "frame/blocks.h"
#include "playback/record_walk.h"

namespace kz::exptest {

// What the callbacks of the running exports saw; they run on the export threads.
struct Calls {
  std::atomic<uint32_t> ends{0};
  std::atomic<uint32_t> endCode{0xFFFFFFFFu};
  std::atomic<uint32_t> lastDone{0};
  std::atomic<uint32_t> total{0};
  std::atomic<uint32_t> cancelAt{0xFFFFFFFFu};  // progress answers 0 at this count
  std::atomic<uint32_t> holdAt{0xFFFFFFFFu};    // progress waits for `release` at this count
  std::atomic<uint32_t> held{0};
  std::atomic<uint32_t> release{0};
  void Reset() {
    ends = 0;
    endCode = 0xFFFFFFFFu;
    lastDone = 0;
    total = 0;
    cancelAt = 0xFFFFFFFFu;
    holdAt = 0xFFFFFFFFu;
    held = 0;
    release = 0;
  }
};
inline Calls calls;

extern "C" inline int KZCALLBACK OnProgress(KZEXPORT*, uint32_t done, uint32_t total) {
  calls.lastDone = done;
  calls.total = total;
  if (done == calls.holdAt.load()) {
    calls.held = 1;
    while (!calls.release.load()) Sleep(1);
  }
  return done == calls.cancelAt.load() ? 0 : 1;
}

extern "C" inline void KZCALLBACK OnEnd(KZEXPORT*, uint32_t code) {
  calls.endCode = code;
  calls.ends.fetch_add(1);
}

class ExportTest : public ::testing::Test {
 protected:
  // 10 raw RGB24 frames, 40 ms apart: pixel bytes and time stamps tell each frame apart.
  kztest::RecordingSpec spec_{};

  void SetUp() override {
    dir_ = kztest::TempFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
    setenv("XDG_CONFIG_HOME", (dir_ + "/config").c_str(), 1);
    std::filesystem::create_directories(dir_ + "/config");
    calls.Reset();
    BlockFree(BlockAlloc(16));
    blocks_ = BlockCount();
    session_ = KZBegin(nullptr);
    ASSERT_NE(session_, 0u);
    kztest::WriteRecording(Path("src.kzv"), spec_, 0, 10);
  }
  void TearDown() override {
    KZStopAll(0, 0, nullptr);
    KZEnd(session_);
    kzwinFailWritesAfter(-1);
    EXPECT_EQ(rectest::EntriesInUse(), 0);
    EXPECT_EQ(BlockCount(), blocks_);
    std::filesystem::remove_all(dir_);
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  // An export of src.kzv that waits for its end; `ranges` empty means the whole file.
  KZEXPORT Job(const std::string& out, uint32_t fileFlags, std::vector<int32_t> ranges = {}) {
    KZEXPORT j{};
    j.size = sizeof j;
    j.session = session_;
    std::snprintf(j.sourceName, sizeof j.sourceName, "%s", Path("src.kzv").c_str());
    std::snprintf(j.fileName, sizeof j.fileName, "%s", Path(out).c_str());
    j.fileFlags = fileFlags;
    j.progress = OnProgress;
    j.endNotify = OnEnd;
    j.exportFlags = KZ_EXPORT_WAIT;
    if (!ranges.empty()) {
      j.ranges = GlobalAlloc(GMEM_MOVEABLE, ranges.size() * sizeof(int32_t));
      std::memcpy(GlobalLock(j.ranges), ranges.data(), ranges.size() * sizeof(int32_t));
      GlobalUnlock(j.ranges);
      handles_.push_back(HGLOBAL{j.ranges});
    }
    return j;
  }

  // Source position and millisecond count of each frame of an own-kind output.
  struct Frame {
    int32_t position;
    uint64_t ms;
  };
  // Walks the output: every record whole, frames exact (lossy frames only by time stamp).
  std::vector<Frame> ReadOutput(const std::string& out, uint32_t kind) {
    std::vector<Frame> got;
    for (const rectest::Record& r :
         rectest::WalkFile(Path(out), spec_.width, spec_.height, 0, 24, 3, kind != KZ_KIND_LOSSY)) {
      const double step = spec_.msStep / 86400000.0;
      const auto position =
          static_cast<int32_t>(std::lround((r.header.julian - spec_.firstJulian) / step));
      if (kind != KZ_KIND_LOSSY) {
        EXPECT_EQ(r.frame, kztest::FramePixels(spec_, position));
      }
      got.push_back(Frame{position, HeaderMs(r.header)});
    }
    return got;
  }

  ~ExportTest() override {
    for (HGLOBAL h : handles_) GlobalFree(h);
  }

  std::string dir_;
  uint32_t session_ = 0;
  int blocks_ = 0;
  std::vector<HGLOBAL> handles_;
};

}  // namespace kz::exptest

// Load and soak: 32 sessions, ten camera sources that each display and record, eight
// playbacks and four exports, started, changed and stopped in a fixed random order from
// four caller threads. Every call answers as documented, no stop reports a wait past its
// limit, and afterwards no stream entry, block, window, thread or open handle is left. KZ_LOAD_OPS sets the number of operations (1000 unless set).
#include <gtest/gtest.h>
#include <kzvideo.h>
#include <kzwin_test.h>
#include <stdlib.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <barrier>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../playback/recording_maker.h"
#include "frame/blocks.h"
#include "frame/stream.h"

namespace {

constexpr int kThreads = 4;
constexpr int kSources = 10;
constexpr int kPlaybacks = 8;
constexpr int kExports = 4;
constexpr int kSessionsPerThread = 8;  // 32 in all

int EntriesInUse() {
  std::lock_guard lock(kz::StreamTableMutex());
  int n = 0;
  for (int i = 0; i < kz::StreamCount(); ++i) n += kz::StreamTable()[i].streamId.load() != 0;
  return n;
}

// Names without a number, so that no two of them make one numbered sequence.
std::string PlayName(int p) { return std::string("play_") + static_cast<char>('a' + p) + ".kzv"; }

void Pump() {
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
}

// One caller thread: its own sessions, windows, sources (1 + t, 1 + t + 4, ...), playbacks
// and exports, so that every capture window belongs to the thread that drives it.
class Caller {
 public:
  Caller(int index, uint32_t seed, int ops, const std::string& dir, std::barrier<>& stopped)
      : index_(index), random_(seed), ops_(ops), dir_(dir), stopped_(stopped) {}

  void Run() {
    for (uint32_t& s : sessions_) {
      s = KZBegin(nullptr);
      ASSERT_NE(s, 0u) << KZGetLastError();
    }
    for (int s = 1 + index_; s <= kSources; s += kThreads) {
      sources_.push_back(Source{static_cast<uint32_t>(s), MakeWindow()});
    }
    for (int p = index_; p < kPlaybacks; p += kThreads) {
      playbacks_.push_back(Playback{kztest::InFolder(dir_, PlayName(p).c_str()),
                                    MakeWindow()});
    }
    for (int e = index_; e < kExports; e += kThreads) exports_.push_back(Export{});
    for (int n = 0; n < ops_ && !::testing::Test::HasFatalFailure(); ++n) {
      Step();
      for (int i = 0; i < 3; ++i) Pump();
    }
    for (uint32_t s : sessions_) {
      const int r = KZStopAll(s, 0, nullptr);
      const uint32_t e = KZGetLastError();
      // Streams of the other threads' sessions answer 25; an idle session 31.
      EXPECT_TRUE(r == 1 || e == KZ_ERR_NOTHING_STOPPED || e == KZ_ERR_OTHER_SESSION) << e;
    }
    // KZEnd stops the streams of every session, so no session closes before all callers
    // have stopped their own streams on their own threads.
    stopped_.arrive_and_wait();
    for (uint32_t s : sessions_) EXPECT_EQ(KZEnd(s), 1) << KZGetLastError();
    for (HWND w : windows_) DestroyWindow(w);
  }

 private:
  struct Source {
    uint32_t id;
    HWND window;
    bool displaying = false, recording = false;
  };
  struct Playback {
    std::string file;
    HWND window;
    uint32_t id = 0;
  };
  struct Export {
    uint32_t id = 0;
  };

  HWND MakeWindow() {
    HWND w = CreateWindowExA(0, nullptr, "load", WS_OVERLAPPEDWINDOW, 0, 0, 320, 240, nullptr,
                             nullptr, nullptr, nullptr);
    EXPECT_NE(w, nullptr);
    windows_.push_back(w);
    return w;
  }
  uint32_t SessionOf(size_t resource) const { return sessions_[resource % sessions_.size()]; }
  size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random_); }

  // Checks a stop's answer: 1, or the nothing-stopped code when the activity may have
  // ended by itself; never a timeout (22), which is how the library reports a wait past its
  // limit. The last error is one value for the process, so another caller's call may have
  // cleared it (0) between this stop and the read.
  void Stopping(int r, const char* what, bool mayBeOver = false, uint32_t nothingCode = 0,
                uint32_t otherCode = 0) {
    const uint32_t e = KZGetLastError();
    if (r != 1) {
      EXPECT_TRUE(mayBeOver && (e == nothingCode || e == otherCode || e == 0))
          << what << ": error " << e;
    }
  }

  // A display or recording block on source i: 160 x 120 YUY2 in its window.
  template <class Block>
  Block SourceBlock(size_t i) const {
    Block b{};
    b.size = sizeof b;
    b.session = SessionOf(i);
    b.source = sources_[i].id;
    b.width = 160;
    b.height = 120;
    b.format = KZ_FORMAT_YUY2;
    b.bitCount = 16;
    b.window = sources_[i].window;
    return b;
  }

  KZDISPLAY DisplayBlock(size_t i) const {
    KZDISPLAY d = SourceBlock<KZDISPLAY>(i);
    d.zoom = 1.0;
    return d;
  }

  KZRECORD RecordBlock(size_t i) const {
    KZRECORD r = SourceBlock<KZRECORD>(i);
    std::snprintf(r.fileName, sizeof r.fileName, "%s",
                  kztest::InFolder(dir_, ("rec" + std::to_string(r.source) + ".kzv").c_str()).c_str());
    r.fileFlags = KZ_KIND_LOSSLESS | KZ_OPEN_OVERWRITE;
    r.rate = 5.0;  // keeps the files small; frames still pass through every stage
    return r;
  }

  void Step() {
    const size_t kind = Pick(3);
    if (kind == 0) {
      const size_t i = Pick(sources_.size());
      Source& s = sources_[i];
      if (Pick(2) == 0) {
        if (!s.displaying) {
          KZDISPLAY d = DisplayBlock(i);
          ASSERT_EQ(KZStartDisplay(&d), 1) << "source " << s.id << ": " << KZGetLastError();
          s.displaying = true;
        } else if (Pick(2) == 0) {
          KZDISPLAY d = DisplayBlock(i);
          d.zoom = Pick(2) ? 0.5 : 1.5;
          d.left = static_cast<int32_t>(Pick(40));
          EXPECT_EQ(KZChangeDisplay(&d), 1) << KZGetLastError();
        } else {
          Stopping(KZStopDisplay(SessionOf(i), s.id, nullptr), "stop display");
          s.displaying = false;
        }
      } else {
        if (!s.recording) {
          KZRECORD r = RecordBlock(i);
          ASSERT_EQ(KZStartRecord(&r), 1) << "source " << s.id << ": " << KZGetLastError();
          s.recording = true;
        } else if (Pick(2) == 0) {
          KZRECORD r = RecordBlock(i);
          r.rate = Pick(2) ? 2.0 : 8.0;
          EXPECT_EQ(KZChangeRecord(&r), 1) << KZGetLastError();
        } else {
          Stopping(KZStopRecord(SessionOf(i), s.id, nullptr), "stop record");
          s.recording = false;
        }
      }
    } else if (kind == 1) {
      const size_t i = Pick(playbacks_.size());
      Playback& p = playbacks_[i];
      KZPLAYBACK b{};
      b.size = sizeof b;
      b.session = SessionOf(i + 3);
      std::snprintf(b.fileName, sizeof b.fileName, "%s", p.file.c_str());
      b.window = p.window;
      b.rate = 1.0 + static_cast<double>(Pick(4));
      b.zoom = 1.0;
      b.repeatCount = -1;  // endless: only a stop ends it
      if (!p.id) {
        p.id = KZStartPlayback(&b);
        ASSERT_GE(p.id, KZ_PLAYBACK_ID_BASE) << KZGetLastError();
      } else if (Pick(2) == 0) {
        EXPECT_EQ(KZChangePlayback(&b), 1) << KZGetLastError();
      } else {
        Stopping(KZStopPlayback(SessionOf(i + 3), p.id, nullptr), "stop playback");
        p.id = 0;
      }
    } else {
      const size_t i = Pick(exports_.size());
      Export& x = exports_[i];
      if (!x.id) {
        KZEXPORT j{};
        j.size = sizeof j;
        j.session = SessionOf(i + 5);
        std::snprintf(j.sourceName, sizeof j.sourceName, "%s", playbacks_[0].file.c_str());
        const std::string out = "export" + std::to_string(index_) + "_" + std::to_string(i) + "_" +
                                std::to_string(exportsMade_++) + ".kzv";
        std::snprintf(j.fileName, sizeof j.fileName, "%s", kztest::InFolder(dir_, out.c_str()).c_str());
        j.fileFlags = KZ_KIND_LOSSLESS | KZ_OPEN_OVERWRITE;
        j.speed = 1.0;
        x.id = KZSaveVideo(&j);
        ASSERT_GE(x.id, KZ_EXPORT_ID_BASE) << KZGetLastError();
      } else {
        // An export of ten frames may well have ended by itself, and its id (its entry's
        // index) may then belong to another caller's export: 31 or 25.
        Stopping(KZStopAll(SessionOf(i + 5), x.id, nullptr), "stop export", true,
                 KZ_ERR_NOTHING_STOPPED, KZ_ERR_OTHER_SESSION);
        x.id = 0;
      }
    }
  }

  int index_;
  std::mt19937 random_;
  int ops_;
  std::string dir_;
  std::barrier<>& stopped_;
  std::array<uint32_t, kSessionsPerThread> sessions_{};
  std::vector<HWND> windows_;
  std::vector<Source> sources_;
  std::vector<Playback> playbacks_;
  std::vector<Export> exports_;
  int exportsMade_ = 0;
};

TEST(Load, EveryActivityStartsChangesAndStopsUnderLoadAndLeavesNothing) {
  const char* env = std::getenv("KZ_LOAD_OPS");
  const int ops = env ? std::max(1, std::atoi(env)) : 1000;
  const std::string dir = kztest::TempFolder("load");
  setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
  std::filesystem::create_directories(dir + "/config");
  kzwinUseManualClock(FALSE, 0);
  kzwinResetCameras();
  KZWIN_CAMERA camera;
  kzwinDefaultCamera(&camera);
  for (UINT d = 1; d < kSources; ++d) ASSERT_TRUE(kzwinSetCamera(d, &camera));
  kztest::RecordingSpec recording;
  recording.kind = KZ_KIND_LOSSLESS;
  for (int p = 0; p < kPlaybacks; ++p) {
    kztest::WriteRecording(kztest::InFolder(dir, PlayName(p).c_str()),
                           recording, 0, 10);
  }
  // The block table is one global block of its own, made at the first allocation.
  kz::BlockFree(kz::BlockAlloc(16));
  const LONG blocks = kzwinCountGlobalBlocks(), handles = kzwinCountOpenHandles(),
             windows = kzwinCountWindows(), threads = kzwinCountRunningThreads();
  const int tableBlocks = kz::BlockCount();

  std::vector<std::thread> callers;
  std::barrier<> stopped(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    const int share = ops / kThreads + (t < ops % kThreads ? 1 : 0);
    callers.emplace_back([&, t, share] { Caller(t, 20261207u + t, share, dir, stopped).Run(); });
  }
  for (std::thread& c : callers) c.join();

  // A thread that cleared its running bit may still be returning from its routine.
  for (int i = 0; i < 20000 && kzwinCountRunningThreads() != threads; ++i) Sleep(1);
  EXPECT_EQ(kzwinCountRunningThreads(), threads);
  EXPECT_EQ(EntriesInUse(), 0);
  EXPECT_EQ(kz::BlockCount(), tableBlocks);
  EXPECT_EQ(kzwinCountGlobalBlocks(), blocks);
  EXPECT_EQ(kzwinCountOpenHandles(), handles);
  EXPECT_EQ(kzwinCountWindows(), windows);
  for (UINT d = 0; d < kSources; ++d) EXPECT_EQ(kzwinCameraConnections(d), 0) << d;
  kzwinResetCameras();
  std::filesystem::remove_all(dir);
}

}  // namespace

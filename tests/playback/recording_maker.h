// Writes recordings for the playback tests with the recorder's own frame coding: single
// files and numbered sequences of every kind, with frames whose pixels carry their number.
// Also the suite's fixture and the playback callbacks that note what was drawn.
#pragma once

#include <gtest/gtest.h>
#include <kzvideo.h>
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace kztest {

struct RecordingSpec {
  uint32_t kind = 1;  // 1 raw, 2 lossless, 3 lossy
  int32_t width = 32;
  int32_t height = 16;
  uint32_t format = KZ_FORMAT_RGB24;
  uint32_t firstFrame = 0;
  uint32_t msStep = 40;
  uint64_t firstMs = 0;
  double firstJulian = 2461000.5;
  int32_t keyInterval = 5;
  bool withDisplay = false;
  bool testPattern = false;  // frames of the test-pattern camera instead
};

// The frame of number n: bytes that differ from frame to frame but code well.
std::vector<uint8_t> FramePixels(const RecordingSpec& s, uint32_t n);
// Frame bytes of the described picture.
uint32_t FrameBytesOf(const RecordingSpec& s);

// Bytes of a file holding frames [from, from + count) (frame numbers firstFrame + i).
std::vector<uint8_t> RecordingBytes(const RecordingSpec& s, uint32_t from, uint32_t count);
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
void WriteRecording(const std::string& path, const RecordingSpec& s, uint32_t from, uint32_t count);

// A fresh empty folder for one test.
std::string TempFolder(const char* name);
// `name` in `folder`, joined with the host's own separator, as full path names spell it.
std::string InFolder(const std::string& folder, const char* name);

// What the playback callbacks saw: each frame drawn (its position, the clock then), and
// the end report.
struct Shown {
  uint32_t frame;
  int32_t index;
  uint32_t clock;
};
void KZCALLBACK NoteDraw(KZPLAYBACK* copy, const void* source, const void* bitmap);
void KZCALLBACK NoteEnd(KZPLAYBACK* copy, uint32_t status);
void ForgetShown();
std::vector<Shown> Taken();
std::vector<uint32_t> Frames(const std::vector<Shown>& shown);
bool Ended();
uint32_t EndStatus();

template <class F>
bool WaitFor(F done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A session, a fresh folder, a 64 x 32 window, and the manual clock started just before it
// wraps; playbacks still running at the end are stopped.
class PlaybackTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string Path(const std::string& name) const { return InFolder(dir_, name.c_str()); }
  // Three files of four frames: frames 0 to 11 of the sequence seq.kzv, 40 ms apart.
  void WriteSequence(const RecordingSpec& s);
  // A block that plays `file` into the window, noting what it draws and its end.
  KZPLAYBACK Block(double rate, uint32_t flags, const char* file = "seq2.kzv") const;
  // KZStopPlayback on the real clock: on the manual clock every sleeping thread moves time
  // on, and the stop's limit could pass before a busy playback thread sees its request.
  static int StopPlayback(uint32_t id);
  uint32_t session_ = 0;
  std::string dir_;
  HWND window_ = nullptr;
};

}  // namespace kztest

// Writes recordings for the playback tests with the recorder's own frame coding: single
// files and numbered sequences of every kind, with frames whose pixels carry their number.
#pragma once

#include <kzvideo.h>

#include <cstdint>
#include <string>
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
void WriteRecording(const std::string& path, const RecordingSpec& s, uint32_t from,
                    uint32_t count);

// A fresh empty folder for one test.
std::string TempFolder(const char* name);

}  // namespace kztest

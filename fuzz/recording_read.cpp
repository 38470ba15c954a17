// Arbitrary bytes as a recording or a numbered sequence of recordings (files separated by
// the marker of fuzz_util.h): the file-kind probe, both summaries, the public file
// information, positioning by every mode and reading every frame must end with a result or
// an error code, never a crash, an overread, a leak or a hang.
#include <kzvideo.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "playback/file_info.h"
#include "playback_util.h"

namespace {

constexpr size_t kMostFiles = 4;

// File n (from 1) of the sequence; an odd-sized input numbers its first file 1, an even one
// leaves it unnumbered, the two forms the readers accept.
std::string SequenceFile(size_t n, bool numberedFirst) {
  if (n == 1 && !numberedFirst) return kzfuzz::InFolder("seq.kzv");
  return kzfuzz::InFolder("seq" + std::to_string(n) + ".kzv");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool begun = !kzfuzz::Folder().empty() && KZBegin(nullptr) != 0;
  (void)begun;
  // AVI files have a target of their own.
  if (size >= 4 && std::memcmp(data, "RIFF", 4) == 0) return 0;
  const bool numberedFirst = size % 2 == 1;
  for (size_t n = 1; n <= kMostFiles + 1; ++n) {
    std::remove(SequenceFile(n, true).c_str());
    std::remove(SequenceFile(n, false).c_str());
  }
  const auto parts = kzfuzz::SplitFiles(data, size, kMostFiles);
  for (size_t n = 1; n <= parts.size(); ++n) {
    if (!kzfuzz::WriteBytes(SequenceFile(n, numberedFirst), parts[n - 1].first,
                            parts[n - 1].second)) {
      return 0;
    }
  }
  kzfuzz::LeakCheck leaks;
  uint32_t error = 0;
  kz::ProbeFileFormat(SequenceFile(1, numberedFirst).c_str(), &error);
  // Asked by its last file, the summary must find the whole sequence going down and up.
  kzfuzz::SummariseAndPlay(SequenceFile(parts.size(), numberedFirst).c_str());
  return 0;
}

// Shared by the fuzz targets: a private folder per process, files written from the input,
// an input split into parts, and a reader that takes fields off the front of the input.
#pragma once

#include <kzvideo.h>
#include <unistd.h>
#include <windows.h>
#include <kzwin_test.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "frame/blocks.h"

namespace kzfuzz {

// One folder for the whole run, so that names stay the same between iterations; in memory
// where the host has it, since every input is written and the registry syncs its files.
// Every target names it before its first library call.
inline const std::string& Folder() {
  // The name outlives the static string, which exit() destroys before the clean-up runs.
  static char name[32];
  static const std::string folder = [] {
    std::snprintf(name, sizeof name, "/dev/shm/kzfuzz-XXXXXX");
    if (!mkdtemp(name)) {
      std::snprintf(name, sizeof name, "/tmp/kzfuzz-XXXXXX");
      if (!mkdtemp(name)) std::abort();
    }
    // The registry of the run lives here too, never in the user's own.
    if (setenv("XDG_CONFIG_HOME", name, 1) != 0) std::abort();
    std::atexit([] { std::filesystem::remove_all(name); });
    return std::string(name);
  }();
  return folder;
}

inline std::string InFolder(const std::string& name) { return Folder() + "/" + name; }

inline bool WriteBytes(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

// Parts of an input that holds several files: they are separated by this marker, which the
// seed maker writes between the files of a sequence.
inline constexpr char kNextFile[] = "#KZNEXTFILE#";
inline constexpr size_t kNextFileBytes = sizeof kNextFile - 1;

inline std::vector<std::pair<const uint8_t*, size_t>> SplitFiles(const uint8_t* data, size_t size,
                                                                  size_t most) {
  std::vector<std::pair<const uint8_t*, size_t>> parts;
  size_t start = 0;
  for (size_t i = 0; i + kNextFileBytes <= size && parts.size() + 1 < most; ++i) {
    if (std::memcmp(data + i, kNextFile, kNextFileBytes) == 0) {
      parts.emplace_back(data + start, i - start);
      start = i + kNextFileBytes;
      i = start - 1;
    }
  }
  parts.emplace_back(data + start, size - start);
  return parts;
}

// Takes fixed-size values off the front of the input; zeros once it runs out.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  template <class T>
  T Take() {
    T v{};
    const size_t n = sizeof v < size_ ? sizeof v : size_;
    std::memcpy(&v, data_, n);
    data_ += n;
    size_ -= n;
    return v;
  }
  void Fill(void* out, size_t bytes) {
    const size_t n = bytes < size_ ? bytes : size_;
    std::memcpy(out, data_, n);
    std::memset(static_cast<uint8_t*>(out) + n, 0, bytes - n);
    data_ += n;
    size_ -= n;
  }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  const uint8_t* data_;
  size_t size_;
};

// Every global block and handle that one input's calls made must be given back by the time
// they return: a growing count is reported as a leak. The library's block table is one
// block that lives for the whole process; it is made before counting.
class LeakCheck {
 public:
  LeakCheck() {
    kz::BlockFree(kz::BlockAlloc(1));
    blocks_ = kzwinCountGlobalBlocks();
    handles_ = kzwinCountOpenHandles();
  }
  ~LeakCheck() {
    const LONG blocks = kzwinCountGlobalBlocks(), handles = kzwinCountOpenHandles();
    if (blocks > blocks_ || handles > handles_) {
      std::fprintf(stderr, "kzfuzz: leak: global blocks %ld -> %ld, handles %ld -> %ld\n",
                   static_cast<long>(blocks_), static_cast<long>(blocks),
                   static_cast<long>(handles_), static_cast<long>(handles));
      std::abort();
    }
  }

 private:
  LONG blocks_, handles_;
};

// Threads of the process now (Linux: the entries of /proc/self/task).
inline int ThreadCount() {
  int count = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc/self/task", ec), end; !ec && it != end;
       it.increment(ec)) {
    ++count;
  }
  return count;
}

// No thread that one input's calls started may outlive them: a thread still there a second
// after the calls returned is reported (a stop that returned before its thread ended gets
// that long to finish).
class ThreadCheck {
 public:
  ThreadCheck() : threads_(ThreadCount()) {}
  ~ThreadCheck() {
    for (int waited = 0; ThreadCount() > threads_; ++waited) {
      if (waited == 1000) {
        std::fprintf(stderr, "kzfuzz: %d threads outlived the input's calls\n",
                     ThreadCount() - threads_);
        std::abort();
      }
      usleep(1000);
    }
  }

 private:
  int threads_;
};

}  // namespace kzfuzz

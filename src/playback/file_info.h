// File kinds, summaries of recordings and AVI files, numbered sequences and long names.
#pragma once

#include <kzvideo.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kz {

inline constexpr uint32_t kKindAvi = 256;
inline constexpr uint32_t kInfoRisingFlags = 15;
inline constexpr uint32_t kFullScan = 0x8000;

// The file kind (1 to 4 or 256), or 0 with *error set. Sets no process-wide error.
uint32_t ProbeFileFormat(const char* path, uint32_t* error);

// Summarises a recording (AVI files are handed on to ScanAvi) into `info`. `flags` may get
// fullScan. `stop`, when given, ends a long scan early. 1 summarised, 0 not usable; *error
// gets a code only where one is known (AVI).
int ScanRecording(const char* path, KZFILEINFO* info, uint32_t* flags, uint32_t* error,
                  const std::atomic<uint32_t>* stop = nullptr);
int ScanAvi(const char* path, KZFILEINFO* info, uint32_t* error);

// KZGetFileInfo without touching the last error (for worker threads and other readers).
int FileInfoOf(const char* path, KZFILEINFO* info, uint32_t flags, uint32_t* error);

// Name of sequence number n (n < 2: the first name itself).
void SequenceName(const char* firstName, int32_t n, char* out, size_t room);
// Name of the file of 0-based position f in the sequence `info` describes: number
// max(sequenceFirst, 1) + f.
void SequenceFileName(const KZFILEINFO& info, int32_t f, char* out, size_t room);
// How many files the sequence holds: its highest number less its first, plus one.
int32_t SequenceFiles(const KZFILEINFO& info);

void MergeSummary(KZFILEINFO* seq, const KZFILEINFO* file, int32_t direction);

int LongPathName(const char* path, char* out, uint32_t room);

// Trailing number of a stem (-1 when none) and the count of its digits.
int32_t TrailingNumber(const char* stem, size_t length, size_t* digits);

// By value: the fields of the 4-byte-packed records may not be bound to references.
template <class T>
inline T MinOf(T a, T b) {
  return b < a ? b : a;
}
template <class T>
inline T MaxOf(T a, T b) {
  return a < b ? b : a;
}
inline double ClampOf(double v, double lo, double hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

// Millisecond values of a summary as one number.
inline uint64_t InfoMs(uint32_t low, uint32_t high) {
  return (static_cast<uint64_t>(high) << 32) | low;
}

}  // namespace kz

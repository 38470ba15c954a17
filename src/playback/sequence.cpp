// Numbered file sequences, merging their summaries, and long path names.
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "playback/file_info.h"

namespace kz {
namespace {

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

// Splits `path` into stem (number cut off) and extension.
int32_t SplitName(const char* path, std::string* stem, std::string* ext) {
  const std::string p(path);
  size_t base = 0;
  for (size_t i = 0; i < p.size(); ++i) {
    if (IsSeparator(p[i])) base = i + 1;
  }
  const size_t dot = p.find_last_of('.');
  const size_t cut = dot != std::string::npos && dot >= base ? dot : p.size();
  *stem = p.substr(0, cut);
  *ext = p.substr(cut);
  size_t digits = 0;
  const int32_t n = TrailingNumber(stem->c_str(), stem->size(), &digits);
  stem->resize(stem->size() - digits);
  return n;
}

}  // namespace

int32_t TrailingNumber(const char* stem, size_t length, size_t* digits) {
  int32_t best = -1;
  *digits = 0;
  for (size_t k = 1; k <= length; ++k) {
    const char* suffix = stem + length - k;
    // The suffix is read as "%d" would read it: white space, a sign, then digits.
    const char* p = suffix;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v') ++p;
    if (*p == '+' || *p == '-') ++p;
    if (*p < '0' || *p > '9') break;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(suffix, &end, 10);
    // A value beyond 32 bits cannot be a sequence number; it ends the search.
    if (errno == ERANGE || v > INT32_MAX || v < INT32_MIN) break;
    if (v > 0 && v > best) {
      best = static_cast<int32_t>(v);
      *digits = k;
    }
  }
  return best;
}

void SequenceName(const char* firstName, int32_t n, char* out, size_t room) {
  if (n < 2) {
    std::snprintf(out, room, "%s", firstName);
    return;
  }
  std::string stem, ext;
  SplitName(firstName, &stem, &ext);
  std::snprintf(out, room, "%s%d%s", stem.c_str(), n, ext.c_str());
}

int32_t SequenceFiles(const KZFILEINFO& info) {
  const int64_t first = std::max<int32_t>(info.sequenceFirst, 1);
  const int64_t files = int64_t{info.sequenceCount} - first + 1;
  return static_cast<int32_t>(std::clamp<int64_t>(files, 1, INT32_MAX));
}

void SequenceFileName(const KZFILEINFO& info, int32_t f, char* out, size_t room) {
  if (info.kind == kKindAvi || f <= 0) {
    std::snprintf(out, room, "%s", info.path);
    return;
  }
  const int64_t n = int64_t{std::max<int32_t>(info.sequenceFirst, 1)} + f;
  SequenceName(info.path, static_cast<int32_t>(std::min<int64_t>(n, INT32_MAX)), out, room);
}

void MergeSummary(KZFILEINFO* seq, const KZFILEINFO* file, int32_t direction) {
  uint64_t bytes = InfoMs(seq->byteCountLow, seq->byteCountHigh) +
                   InfoMs(file->byteCountLow, file->byteCountHigh);
  seq->byteCountLow = static_cast<uint32_t>(bytes);
  seq->byteCountHigh = static_cast<uint32_t>(bytes >> 32);
  const int64_t count = int64_t{seq->frameCount} + file->frameCount;
  seq->frameCount = static_cast<int32_t>(std::min<int64_t>(count, INT32_MAX));
  seq->flags &= file->flags;
  const uint64_t seqMin = InfoMs(seq->minMsLow, seq->minMsHigh);
  const uint64_t seqMax = InfoMs(seq->maxMsLow, seq->maxMsHigh);
  const uint64_t fileMin = InfoMs(file->minMsLow, file->minMsHigh);
  const uint64_t fileMax = InfoMs(file->maxMsLow, file->maxMsHigh);
  if (direction < 0) {
    if (seq->minFrame <= file->maxFrame) seq->flags &= ~4u;
    if (file->lastFrame + 1 != seq->firstFrame) seq->flags &= ~2u;
    if (file->maxTime >= seq->minTime) seq->flags &= ~1u;
    if (seqMin <= fileMax) seq->flags &= ~8u;
    seq->firstFrame = file->firstFrame;
    seq->firstTime = file->firstTime;
    seq->firstMsLow = file->firstMsLow;
    seq->firstMsHigh = file->firstMsHigh;
  } else {
    if (seq->maxFrame >= file->minFrame) seq->flags &= ~4u;
    if (file->firstFrame - 1 != seq->lastFrame) seq->flags &= ~2u;
    if (file->minTime <= seq->maxTime) seq->flags &= ~1u;
    if (seqMax >= fileMin) seq->flags &= ~8u;
    seq->lastFrame = file->lastFrame;
    seq->lastTime = file->lastTime;
    seq->lastMsLow = file->lastMsLow;
    seq->lastMsHigh = file->lastMsHigh;
  }
  seq->minFrame = MinOf(seq->minFrame, file->minFrame);
  seq->maxFrame = MaxOf(seq->maxFrame, file->maxFrame);
  seq->minTime = MinOf(seq->minTime, file->minTime);
  seq->maxTime = MaxOf(seq->maxTime, file->maxTime);
  if (fileMin < seqMin) {
    seq->minMsLow = file->minMsLow;
    seq->minMsHigh = file->minMsHigh;
  }
  if (fileMax > seqMax) {
    seq->maxMsLow = file->maxMsLow;
    seq->maxMsHigh = file->maxMsHigh;
  }
}

int LongPathName(const char* path, char* out, uint32_t room) {
  char full[MAX_PATH + 1] = {};
  const DWORD n = GetFullPathNameA(path, MAX_PATH, full, nullptr);
  std::string result = n > 0 && n < MAX_PATH ? std::string(full, n) : std::string(path);
  size_t i = 0;
  while (i < result.size() && !IsSeparator(result[i])) ++i;
  // Each component after a separator takes the spelling the directory stores.
  while (i < result.size()) {
    const size_t start = i + 1;
    size_t end = start;
    while (end < result.size() && !IsSeparator(result[end])) ++end;
    if (end == start) {
      i = end;
      continue;
    }
    const std::string cut = result.substr(0, end);
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA(cut.c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) break;
    FindClose(h);
    std::string joined = result.substr(0, start) + found.cFileName + result.substr(end);
    if (joined.size() >= MAX_PATH) break;
    i = start + std::strlen(found.cFileName);
    result = std::move(joined);
  }
  if (result.size() + 1 > room) return 0;
  std::memcpy(out, result.c_str(), result.size() + 1);
  return 1;
}

}  // namespace kz

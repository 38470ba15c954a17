// Recognising files and summarising recordings.
#include "playback/file_info.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "frame/errors.h"
#include "frame/files.h"
#include "frame/session.h"
#include "image/pixfmt.h"
#include "playback/record_walk.h"

namespace kz {
namespace {

bool IsAviHead(const uint8_t* head) {
  return std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "AVI ", 4) == 0;
}

void CopyPath(char* out, const char* in) {
  if (out == in) return;
  const size_t n = strnlen(in, 255);
  std::memmove(out, in, n);
  out[n] = '\0';
}

struct FileCloser {
  File f;
  ~FileCloser() { FileClose(f); }
};

// Adds one record to the running summary (the comparisons with the previous record).
void AddRecord(KZFILEINFO* info, const FrameHeader& h, bool fullScan) {
  const uint64_t ms = HeaderMs(h);
  const uint64_t lastMs = InfoMs(info->lastMsLow, info->lastMsHigh);
  if (info->frameCount < INT32_MAX) ++info->frameCount;
  if (info->lastFrame >= h.frameNumber) info->flags &= ~4u;
  if (fullScan && info->lastFrame + 1 != h.frameNumber) info->flags &= ~2u;
  if (info->lastTime >= h.julian) info->flags &= ~1u;
  if (lastMs >= ms) info->flags &= ~8u;
  info->lastFrame = h.frameNumber;
  info->lastTime = h.julian;
  info->lastMsLow = h.msLow;
  info->lastMsHigh = h.msHigh;
  info->minFrame = MinOf(info->minFrame, h.frameNumber);
  info->maxFrame = MaxOf(info->maxFrame, h.frameNumber);
  info->minTime = MinOf(info->minTime, h.julian);
  info->maxTime = MaxOf(info->maxTime, h.julian);
  if (ms < InfoMs(info->minMsLow, info->minMsHigh)) {
    info->minMsLow = h.msLow;
    info->minMsHigh = h.msHigh;
  }
  if (ms > InfoMs(info->maxMsLow, info->maxMsHigh)) {
    info->maxMsLow = h.msLow;
    info->maxMsHigh = h.msHigh;
  }
}

bool SamePicture(const KZFILEINFO& info, const FrameHeader& h) {
  return static_cast<uint32_t>(info.width) == h.width &&
         static_cast<uint32_t>(info.height) == h.height && info.format == h.format;
}

// Summarises another file of a sequence into `scratch`, which starts from the sequence's
// requirements (kind and picture); a file of another kind ends the sequence.
bool ScanPart(const char* name, const KZFILEINFO* seq, KZFILEINFO* scratch, uint32_t* flags,
              uint32_t* error) {
  if (std::strlen(name) > 255) return false;
  scratch->kind = seq->kind;
  scratch->width = seq->width;
  scratch->height = seq->height;
  scratch->format = seq->format;
  scratch->bitCount = seq->bitCount;
  return ScanRecording(name, scratch, flags, error) && scratch->kind == seq->kind;
}

}  // namespace

uint32_t ProbeFileFormat(const char* path, uint32_t* error) {
  File f = FileOpen(path, "rb");
  if (!f) {
    *error = KZ_ERR_FILE_OPEN;
    return 0;
  }
  FileCloser closer{f};
  const int64_t length = FileLength(f);
  uint8_t head[kFrameHeaderBytes] = {};
  if (length < 12 || FileRead(head, 1, 12, f) != 12) {
    *error = KZ_ERR_FILE_READ;
    return 0;
  }
  const uint32_t kind = KindOfFourcc(GetU32(head));
  if (kind != 0) {
    FrameHeader h;
    if (ReadHeaderAt(f, 0, length, 0, &h)) {
      if (kind == 1 && static_cast<int64_t>(h.RecordBytes()) == length) return 4;
      return kind;
    }
  } else if (IsAviHead(head)) {
    KZFILEINFO scratch{};
    scratch.size = sizeof(KZFILEINFO);
    scratch.kind = kKindAvi;
    uint32_t err = 0;
    if (ScanAvi(path, &scratch, &err)) return kKindAvi;
    *error = err ? err : KZ_ERR_FILE_KIND;
    return 0;
  }
  *error = KZ_ERR_FILE_KIND;
  return 0;
}

int ScanRecording(const char* path, KZFILEINFO* info, uint32_t* flags, uint32_t* error,
                  const std::atomic<uint32_t>* stop) {
  char name[256];
  CopyPath(name, path ? path : info->path);
  File f = FileOpen(name, "rb");
  if (!f) return 0;
  FileCloser closer{f};
  const int64_t length = FileLength(f);
  uint8_t head[12];
  if (length < 12 || FileRead(head, 1, 12, f) != 12) return 0;

  if (info->kind >= kKindAvi || (info->kind == 0 && IsAviHead(head))) {
    info->byteCountLow = static_cast<uint32_t>(length);
    info->byteCountHigh = static_cast<uint32_t>(static_cast<uint64_t>(length) >> 32);
    FileClose(f);
    closer.f = nullptr;
    info->kind = kKindAvi;
    return ScanAvi(name, info, error);
  }

  // The first record must be whole, trailer included: it names the kind and the picture.
  FrameHeader first;
  if (!ReadRecordAt(f, 0, length, 0, &first)) return 0;
  const uint32_t tableKind = KindOfFourcc(first.kind);
  if (info->kind != 0 && info->kind != tableKind && info->kind != 4 && tableKind == 1) return 0;
  // A file whose picture differs from what the sequence asks for is not part of it.
  if ((info->width != 0 && static_cast<uint32_t>(info->width) != first.width) ||
      (info->height != 0 && static_cast<uint32_t>(info->height) != first.height) ||
      (info->format != 0 && info->format != first.format)) {
    return 0;
  }
  info->kind = tableKind;
  info->width = first.width;
  info->height = first.height;
  if (info->format == 0) {
    info->format = first.format;
    info->bitCount = FormatByCode(first.format)->bits;
  }

  info->frameCount = 1;
  info->firstFrame = info->lastFrame = info->minFrame = info->maxFrame = first.frameNumber;
  info->firstTime = info->lastTime = info->minTime = info->maxTime = first.julian;
  info->firstMsLow = info->lastMsLow = info->minMsLow = info->maxMsLow = first.msLow;
  info->firstMsHigh = info->lastMsHigh = info->minMsHigh = info->maxMsHigh = first.msHigh;
  info->flags = kInfoRisingFlags;

  int64_t pos = static_cast<int64_t>(first.RecordBytes());
  bool quick = (*flags & kFullScan) == 0;
  if (quick && pos < length) {
    // The quick path trusts only a last record that really is one: its trailer says
    // "END", its back-offset leads to a sound header of this file's kind and picture
    // that ends exactly at the end of the file.
    int64_t lastStart = 0;
    FrameHeader last;
    if (RecordBefore(f, length, length, first.kind, &lastStart, &last) && lastStart >= pos &&
        SamePicture(*info, last)) {
      pos = lastStart;
    } else {
      quick = false;
      *flags |= kFullScan;
    }
  }
  const bool fullScan = (*flags & kFullScan) != 0;
  int64_t covered = static_cast<int64_t>(first.RecordBytes());
  while (pos < length) {
    if (stop && (stop->load(std::memory_order_acquire) & 8u)) break;
    FrameHeader h;
    if (!ReadRecordAt(f, pos, length, first.kind, &h) || !SamePicture(*info, h)) break;
    AddRecord(info, h, fullScan);
    pos += static_cast<int64_t>(h.RecordBytes());
    covered = pos;
  }
  info->byteCountLow = static_cast<uint32_t>(covered);
  info->byteCountHigh = static_cast<uint32_t>(static_cast<uint64_t>(covered) >> 32);

  if (!fullScan) {
    if ((info->flags & 13u) != 13u || info->lastFrame < info->firstFrame) {
      // The quick numbers cannot be trusted: this file is read record by record instead,
      // and so are the files summarised after it.
      *flags |= kFullScan;
      FileClose(f);
      closer.f = nullptr;
      info->frameCount = 0;
      return ScanRecording(name, info, flags, error, stop);
    }
    const uint64_t count = static_cast<uint64_t>(info->lastFrame) - info->firstFrame + 1;
    info->frameCount = static_cast<int32_t>(std::min<uint64_t>(count, INT32_MAX));
  }
  info->flags |= (*flags & kFullScan);
  return 1;
}

int FileInfoOf(const char* path, KZFILEINFO* info, uint32_t flags, uint32_t* error) {
  char name[256];
  CopyPath(name, path ? path : info->path);
  uint32_t kind = ProbeFileFormat(name, error);
  info->kind = kind;
  if (kind == 0) return 0;
  if (kind == 4) info->kind = 1;
  info->width = info->height = 0;
  info->format = info->bitCount = 0;
  uint32_t scanFlags = flags & kFullScan;
  if (!ScanRecording(name, info, &scanFlags, error)) {
    if (*error == 0) *error = KZ_ERR_FILE_KIND;
    return 0;
  }
  char full[256];
  if (LongPathName(name, full, sizeof full)) CopyPath(info->path, full);
  else CopyPath(info->path, name);
  if (info->kind == kKindAvi) {
    info->sequenceFirst = -1;
    info->sequenceCount = 1;
    return 1;
  }

  // Split the long name into stem, number and extension.
  char stem[256];
  CopyPath(stem, info->path);
  char ext[256] = "";
  char* base = stem;
  for (char* p = stem; *p; ++p) {
    if (*p == '\\' || *p == '/') base = p + 1;
  }
  if (char* dot = std::strrchr(base, '.')) {
    CopyPath(ext, dot);
    *dot = '\0';
  }
  size_t digits = 0;
  const size_t stemLength = std::strlen(stem);
  const int32_t given = TrailingNumber(stem, stemLength, &digits);
  stem[stemLength - digits] = '\0';
  int32_t first = given;
  int32_t last = given;
  KZFILEINFO scratch = *info;
  char other[600];

  if (first > 0) {
    for (int32_t n = first - 1; n >= 1; --n) {
      std::snprintf(other, sizeof other, "%s%d%s", stem, n, ext);
      if (!ScanPart(other, info, &scratch, &scanFlags, error)) break;
      MergeSummary(info, &scratch, -1);
      CopyPath(info->path, other);
      first = n;
    }
  }
  if (first == 2) {
    std::snprintf(other, sizeof other, "%s%s", stem, ext);
    if (ScanPart(other, info, &scratch, &scanFlags, error)) {
      MergeSummary(info, &scratch, -1);
      CopyPath(info->path, other);
      first = -1;
    }
  }
  for (int64_t n = std::max<int64_t>(int64_t{given} + 1, 2); n <= INT32_MAX; ++n) {
    std::snprintf(other, sizeof other, "%s%lld%s", stem, static_cast<long long>(n), ext);
    if (!ScanPart(other, info, &scratch, &scanFlags, error)) break;
    MergeSummary(info, &scratch, +1);
    last = static_cast<int32_t>(n);
  }
  info->sequenceFirst = first;
  info->sequenceCount = last >= 1 ? last : 1;
  *error = 0;
  return 1;
}

}  // namespace kz

uint32_t KZAPI KZGetFileFormat(const char* path) {
  using namespace kz;
  SetError(0);
  if (!EverOpened()) return Fail(KZ_ERR_SESSION);
  if (!path) return Fail(KZ_ERR_NULL);
  uint32_t error = 0;
  const uint32_t kind = ProbeFileFormat(path, &error);
  if (kind == 0) SetError(error);
  return kind;
}

int KZAPI KZGetFileInfo(const char* path, KZFILEINFO* info, uint32_t flags) {
  using namespace kz;
  SetError(0);
  if (!info) return Fail(KZ_ERR_NULL);
  if (info->size != sizeof(KZFILEINFO)) return Fail(KZ_ERR_RECORD_SIZE);
  if (!EverOpened()) return Fail(KZ_ERR_SESSION);
  uint32_t error = 0;
  if (!FileInfoOf(path, info, flags, &error)) return Fail(error ? error : KZ_ERR_FILE_KIND);
  return 1;
}

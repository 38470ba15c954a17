#include "record/prepare.h"

#include <cstring>

#include "frame/files.h"
#include "record/frame_coding.h"
#include "record/frame_format.h"

namespace kz {
namespace {

constexpr uint32_t kAppendGapMs = 100;

bool Exists(const char* name) {
  File f = FileOpen(name, "rb");
  if (!f) return false;
  FileClose(f);
  return true;
}

bool ReadAt(File f, int64_t offset, void* buffer, size_t bytes) {
  return FileSeek(f, offset, 0) == 0 && FileRead(buffer, 1, bytes, f) == bytes;
}

// Creates the file or cuts it to nothing.
uint32_t CreateEmpty(const char* name, bool avi) {
  if (avi) {
    DeleteFileA(name);
    return 0;
  }
  File f = FileOpen(name, "wb");
  if (!f) return KZ_ERR_CREATE;
  FileClose(f);
  return 0;
}

}  // namespace

namespace {

// The append values of an open recording file of `length` bytes; 0 or the error code.
uint32_t ReadTail(File f, int64_t length, uint32_t kind, AppendValues* append) {
  if (length == 0) return 0;  // an empty file is continued like a new one
  uint8_t bytes[kFrameHeaderBytes];
  // Unmeasurable, or too short to hold a whole record.
  if (length < static_cast<int64_t>(kRecordOverheadBytes) || !ReadAt(f, 0, bytes, sizeof bytes)) {
    return KZ_ERR_APPEND;
  }
  if (DecodeFrameHeader(bytes).kind != KindFourccOf(kind)) return KZ_ERR_CONTINUE_KIND;
  uint8_t trailer[kTrailerBytes];
  uint32_t recordBytes = 0;
  // A tail that is not a whole record (a crash mid-write, another program's bytes) is
  // refused rather than continued into an unwalkable file.
  if (!ReadAt(f, length - static_cast<int64_t>(kTrailerBytes), trailer, sizeof trailer) ||
      CheckTrailer(trailer, length, &recordBytes) != RecordCheck::kOk) {
    return KZ_ERR_APPEND;
  }
  const int64_t last = length - recordBytes;
  if (!ReadAt(f, last, bytes, sizeof bytes)) return KZ_ERR_FILE_READ;
  const FrameHeader h = DecodeFrameHeader(bytes);
  if (CheckFrameHeader(h, KindFourccOf(kind), length - last) != RecordCheck::kOk ||
      h.RecordBytes() != recordBytes) {
    return KZ_ERR_FILE_READ;
  }
  const uint64_t ms = (uint64_t{h.msHigh} << 32 | h.msLow) + kAppendGapMs;
  append->baseLow = static_cast<uint32_t>(ms);
  append->baseHigh = static_cast<uint32_t>(ms >> 32);
  append->nextFrameNumber = h.frameNumber + 1;
  return 0;
}

}  // namespace

uint32_t ReadAppendValues(const char* name, uint32_t kind, AppendValues* append) {
  *append = AppendValues{};
  File f = FileOpen(name, "rb");
  if (!f) return KZ_ERR_APPEND;
  const uint32_t code = ReadTail(f, FileLength(f), kind, append);
  FileClose(f);
  if (code) *append = AppendValues{};
  return code;
}

namespace {

// The name must end inside its field; anything else cannot name a file.
bool NameFits(const KZRECORD& block) {
  return std::memchr(block.fileName, '\0', sizeof block.fileName) != nullptr &&
         block.fileName[0] != '\0';
}

}  // namespace

uint32_t CheckRecordFile(const KZRECORD& block, AppendValues* append) {
  *append = AppendValues{};
  if (!NameFits(block)) return KZ_ERR_CREATE;
  const char* name = block.fileName;
  const uint32_t kind = block.fileFlags & KZ_KIND_MASK;
  switch (block.fileFlags & KZ_OPEN_MASK) {
    case KZ_OPEN_NEW:
      return Exists(name) ? KZ_ERR_FILE_EXISTS : 0;
    case KZ_OPEN_OVERWRITE:
      return 0;
    case KZ_OPEN_APPEND_ONLY:
      if (!Exists(name)) return KZ_ERR_CONTINUE_OPEN;
      [[fallthrough]];
    default:  // append, or create when missing
      if (kind == KZ_KIND_AVI || !Exists(name)) return 0;
      return ReadAppendValues(name, kind, append);
  }
}

uint32_t CreateRecordFile(const KZRECORD& block) {
  const char* name = block.fileName;
  const bool avi = (block.fileFlags & KZ_KIND_MASK) == KZ_KIND_AVI;
  switch (block.fileFlags & KZ_OPEN_MASK) {
    case KZ_OPEN_NEW:
    case KZ_OPEN_OVERWRITE:
      return CreateEmpty(name, avi);
    default:
      if (avi || Exists(name)) return 0;
      File f = FileOpen(name, "ab");
      if (!f) return KZ_ERR_APPEND;
      FileClose(f);
      return 0;
  }
}

uint32_t PrepareRecordFile(const KZRECORD& block, AppendValues* append) {
  if (const uint32_t code = CheckRecordFile(block, append)) return code;
  return CreateRecordFile(block);
}

}  // namespace kz

// The checked record walk shared by every reader of recording files.
#include "playback/record_walk.h"

#include "image/pixfmt.h"
#include "record/frame_coding.h"

namespace kz {

uint32_t KindOfFourcc(uint32_t fourcc) {
  if (fourcc == kKindRawFourcc) return 1;
  if (fourcc == kKindLosslessFourcc) return 2;
  if (fourcc == kKindLossyFourcc) return 3;
  return 0;
}

uint32_t RecordFrameBytes(uint32_t width, uint32_t height, uint32_t format) {
  const PixelFormat* row = FormatByCode(format);
  if (!row || width == 0 || height == 0) return 0;
  const int64_t bytes = PaddedFrameSize(width, height, *row);
  // A frame must fit a record in a file below 2 GiB, with room for header and coding.
  if (bytes <= 0 || bytes > kMaxFileBytes - 1024) return 0;
  return static_cast<uint32_t>(bytes);
}

bool HeaderIsSound(const FrameHeader& h, uint32_t expectedKind, int64_t bytesLeft) {
  if (CheckFrameHeader(h, expectedKind, bytesLeft) != RecordCheck::kOk) return false;
  const uint32_t frameBytes = RecordFrameBytes(h.width, h.height, h.format);
  if (frameBytes == 0) return false;
  if (h.kind == kKindRawFourcc) return h.dataBytes == frameBytes;
  // Coded data holds at least its form word and never more than a stored frame; and the
  // codec turns one byte into at most a few thousand, so a tiny record cannot claim a
  // huge picture and make a reader allocate for it.
  return h.dataBytes >= 4 && h.dataBytes <= MaxFrameDataBytes(frameBytes) &&
         frameBytes / 4096 <= h.dataBytes;
}

bool ReadAt(File f, int64_t pos, void* buffer, size_t n) {
  if (pos < 0 || FileSeek(f, pos, 0) != 0) return false;
  return FileRead(buffer, 1, n, f) == n;
}

bool ReadHeaderAt(File f, int64_t pos, int64_t fileLength, uint32_t expectedKind,
                  FrameHeader* h) {
  if (pos < 0 || pos >= fileLength) return false;
  uint8_t raw[kFrameHeaderBytes];
  if (!ReadAt(f, pos, raw, sizeof raw)) return false;
  *h = DecodeFrameHeader(raw);
  return HeaderIsSound(*h, expectedKind, fileLength - pos);
}

bool ReadRecordAt(File f, int64_t pos, int64_t fileLength, uint32_t expectedKind,
                  FrameHeader* h) {
  if (!ReadHeaderAt(f, pos, fileLength, expectedKind, h)) return false;
  const int64_t end = pos + static_cast<int64_t>(h->RecordBytes());
  uint8_t trailer[kTrailerBytes];
  if (!ReadAt(f, end - static_cast<int64_t>(kTrailerBytes), trailer, sizeof trailer)) {
    return false;
  }
  uint32_t back = 0;
  if (CheckTrailer(trailer, end, &back) != RecordCheck::kOk) return false;
  if (back != h->RecordBytes()) return false;
  return FileSeek(f, pos + static_cast<int64_t>(kFrameHeaderBytes), 0) == 0;
}

bool RecordBefore(File f, int64_t pos, int64_t fileLength, uint32_t expectedKind,
                  int64_t* start, FrameHeader* h) {
  if (pos < static_cast<int64_t>(kRecordOverheadBytes) || pos > fileLength) return false;
  uint8_t trailer[kTrailerBytes];
  if (!ReadAt(f, pos - static_cast<int64_t>(kTrailerBytes), trailer, sizeof trailer)) {
    return false;
  }
  uint32_t back = 0;
  if (CheckTrailer(trailer, pos, &back) != RecordCheck::kOk) return false;
  const int64_t s = pos - back;
  if (!ReadHeaderAt(f, s, fileLength, expectedKind, h)) return false;
  if (h->RecordBytes() != back) return false;
  *start = s;
  return true;
}

}  // namespace kz

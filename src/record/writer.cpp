#include "record/writer.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "export/avi_output.h"
#include "frame/blocks.h"
#include "frame/files.h"
#include "frame/stream.h"
#include "live/pacing.h"
#include "image/convert.h"
#include "image/pixfmt.h"
#include "live/ring.h"
#include "record/frame_coding.h"
#include "record/frame_format.h"

namespace kz {
namespace {

constexpr int32_t kDefaultFileMB = 649;

// The encoder of a coded kind, set up at the first frame with the block's coding
// parameters; the defaults it chose are written back into the stream's record block.
bool EnsureEncoder(StreamRecord& e, uint32_t kind) {
  RecordState& s = e.rec;
  if (s.encoderReady) return true;
  const KZRECORD& block = e.record;
  const CodingParams given{block.keyInterval, block.refInterval, block.quantStep, block.levels};
  const PixelFormat* row = FormatByCode(block.format);
  s.sampleDistance = row ? row->sampleDistance : 1;
  if (!InitFrameEncoder(s.encoder, kind, given, static_cast<uint32_t>(block.width),
                        s.sampleDistance, e.frameBytes)) {
    s.encoder = FrameEncoderState{};
    return false;
  }
  {
    std::lock_guard lock(e.blockMutex);
    e.record.keyInterval = s.encoder.params.keyInterval;
    e.record.refInterval = s.encoder.params.refInterval;
    e.record.quantStep = s.encoder.params.quantStep;
    e.record.levels = s.encoder.params.levels;
  }
  s.encoderReady = true;
  return true;
}

}  // namespace

uint32_t WriteAviRecordFrame(StreamRecord& e, uint32_t r) {
  RecordState& s = e.rec;
  if (!e.avi.compressed.load(std::memory_order_acquire)) {
    // OpenAviOutput has stored the code (36, 37, 66) already.
    if (!OpenAviOutput(&e)) return s.recordEndCode.load(std::memory_order_acquire);
    if (e.record.fileFlags & KZ_AVI_AS_SHOWN) {
      e.live.aviWriter.store(WriteAviShown, std::memory_order_release);
    }
  }
  // The picture as shown is written by the show step, not here.
  if (e.record.fileFlags & KZ_AVI_AS_SHOWN) return 0;
  const int64_t bytes = int64_t{BitmapStride(e.record.width, false)} * e.record.height;
  if (!s.recordWork) {
    s.recordWork = static_cast<uint8_t*>(BlockAlloc(static_cast<size_t>(bytes)));
    if (!s.recordWork) return KZ_ERR_MEMORY;
  }
  SourceFrame frame;
  frame.code = static_cast<int32_t>(e.record.format);
  frame.width = e.record.width;
  frame.height = e.record.height;
  frame.bytes = {SlotFrame(e, r), e.frameBytes};
  frame.palette = e.show.palette;
  std::span<uint8_t> rows(s.recordWork, static_cast<size_t>(bytes));
  if (!ConvertTo24(frame, rows)) return KZ_ERR_AVI_WRITE;
  return WriteAviFrame(&e, rows.data(), static_cast<uint32_t>(bytes), frame.width, frame.height)
             ? 0
             : KZ_ERR_AVI_WRITE;
}

void FinishAviRecording(StreamRecord& e) {
  e.live.aviWriter.store(nullptr, std::memory_order_release);
  const bool open = e.avi.file != nullptr;
  CloseAviOutput(&e);
  // The stream's rate becomes the one the frames were really written at.
  if (open) CorrectAviHeader(e.record.fileName, e.avi.frames, e.avi.firstTime, e.avi.lastTime);
}

int64_t FileSizeLimit(int32_t maxFileMB) {
  const int64_t mb = maxFileMB > 0 ? maxFileMB : kDefaultFileMB;
  return std::min<int64_t>(mb * 1048576, kMaxFileBytes);
}

FrameTime RecordFrameTime(StreamRecord& e, uint32_t r) {
  const SlotHeader& slot = *SlotHead(e, r);
  // A frame requested before the base (a recording that began again while the grab thread
  // had not yet seen it end) counts from 0, so the count never runs backwards.
  const int64_t since = std::max<int64_t>(RecordMs(e.live, slot), 0);
  const RecordState& s = e.rec;
  const uint64_t base = (uint64_t{s.appendBaseHigh} << 32) | s.appendBaseLow;
  FrameTime t;
  t.ms = (static_cast<uint64_t>(since) + base) & 0xFFFFFFFFFFFFull;
  t.julian = s.julianBase + static_cast<double>(since) / 86400000.0;
  return t;
}

uint64_t BuildFrameRecord(StreamRecord& e, bool withChunks, const uint8_t* frame,
                          const FrameTime& t, int64_t position) {
  RecordState& s = e.rec;
  const uint32_t kind = e.record.fileFlags & KZ_KIND_MASK;
  bool justAllocated = false;
  if (!s.recordWork) {
    s.recordWork = static_cast<uint8_t*>(BlockAlloc(kRecordWorkBytes));
    if (!s.recordWork) return 0;
    justAllocated = true;
  }
  if (kind != kStreamRaw && !EnsureEncoder(e, kind)) return 0;

  size_t chunkBytes = 0;
  if (withChunks) {
    KZDISPLAY display{};
    bool displaying = false;
    {
      std::lock_guard lock(e.blockMutex);
      display = e.display;
      displaying = (e.running.load(std::memory_order_acquire) & kDisplayBit) != 0;
    }
    chunkBytes = EncodeChunkPart(e.record, displaying ? &display : nullptr,
                                 s.recordWork + kFrameHeaderBytes);
  }

  FrameHeader& h = s.built;
  h = FrameHeader{};
  h.kind = KindFourccOf(kind);
  h.chunkBytes = static_cast<uint32_t>(chunkBytes);
  h.width = static_cast<uint16_t>(e.record.width);
  h.height = static_cast<uint16_t>(e.record.height);
  h.format = static_cast<uint16_t>(e.record.format);
  h.msLow = static_cast<uint32_t>(t.ms);
  h.msHigh = static_cast<uint16_t>(t.ms >> 32);
  h.julian = t.julian;
  h.frameNumber = s.nextFrameNumber++;

  if (kind == kStreamRaw) {
    h.dataBytes = e.frameBytes;
    s.builtData = nullptr;
  } else {
    const bool forceKey = withChunks || justAllocated;
    const EncodedFrame coded = EncodeFrame(s.encoder, frame, h.frameNumber, position, forceKey);
    h.dataBytes = coded.bytes;
    s.builtData = coded.data;
  }
  EncodeFrameHeader(h, s.recordWork);
  s.builtHeadBytes = kFrameHeaderBytes + chunkBytes;
  s.builtPosition = position;
  return h.RecordBytes();
}

void UnbuildFrameRecord(StreamRecord& e) {
  --e.rec.nextFrameNumber;
}

bool WriteFrameRecord(StreamRecord& e, const uint8_t* frame) {
  RecordState& s = e.rec;
  File file = s.recordFile;
  const FrameHeader& h = s.built;
  const uint8_t* data = s.builtData ? s.builtData : frame;
  uint8_t trailer[kTrailerBytes];
  // The record's own length, never a difference of positions: a record that starts a
  // continuation file measures the same as anywhere else.
  EncodeTrailer(static_cast<uint32_t>(h.RecordBytes()), trailer);
  const bool whole = FileWrite(s.recordWork, 1, s.builtHeadBytes, file) == s.builtHeadBytes &&
                     (h.dataBytes == 0 || FileWrite(data, 1, h.dataBytes, file) == h.dataBytes) &&
                     FileWrite(trailer, 1, kTrailerBytes, file) == kTrailerBytes;
  if (whole) return true;
  // Half a record would make the file unwalkable from its end: it goes.
  FileTruncate(file, s.builtPosition);
  return false;
}

namespace {

// Opens the next numbered file of the recording and makes it the current one.
uint32_t ContinueInNextFile(StreamRecord& e) {
  RecordState& s = e.rec;
  FileClose(s.recordFile);
  s.recordFile = nullptr;
  char name[sizeof e.record.fileName];
  std::memcpy(name, e.record.fileName, sizeof name);
  name[sizeof name - 1] = '\0';
  if (!NeighbourName(name, sizeof name, 1)) return KZ_ERR_APPEND;
  if ((e.record.fileFlags & KZ_OPEN_MASK) != KZ_OPEN_OVERWRITE) {
    File existing = FileOpen(name, "rb");
    if (existing) {
      FileClose(existing);
      return KZ_ERR_FILE_EXISTS;
    }
  }
  s.recordFile = FileOpen(name, "wb");
  if (!s.recordFile) return KZ_ERR_APPEND;
  // KZGetRecord reads the name under the same lock, so it never sees half of it.
  std::lock_guard lock(e.blockMutex);
  std::memcpy(e.record.fileName, name, sizeof name);
  return 0;
}

}  // namespace

uint32_t WriteOwnKindFrame(StreamRecord& e, const uint8_t* frame, const FrameTime& t) {
  RecordState& s = e.rec;
  if (!s.recordFile) {
    s.recordFile = FileOpen(e.record.fileName, "ab");
    if (!s.recordFile) return KZ_ERR_APPEND;
  }
  int64_t position = FileLength(s.recordFile);
  if (position < 0) position = 0;
  const uint64_t bytes = BuildFrameRecord(e, position == 0, frame, t, position);
  if (bytes == 0) return KZ_ERR_MEMORY;
  const int64_t limit = FileSizeLimit(e.record.maxFileMB);
  if (position != 0 && static_cast<uint64_t>(position) + bytes > static_cast<uint64_t>(limit)) {
    UnbuildFrameRecord(e);
    const uint32_t code = ContinueInNextFile(e);
    if (code) return code;
    if (BuildFrameRecord(e, true, frame, t, 0) == 0) return KZ_ERR_MEMORY;
  }
  return WriteFrameRecord(e, frame) ? 0 : KZ_ERR_WRITE;
}

void FinishRecordingFile(StreamRecord& e) {
  RecordState& s = e.rec;
  if (s.recordFile) {
    FileClose(s.recordFile);
    s.recordFile = nullptr;
  }
  BlockFree(s.recordWork);
  s.recordWork = nullptr;
  s.encoder = FrameEncoderState{};
  s.encoderReady = false;
  s.builtData = nullptr;
}

}  // namespace kz

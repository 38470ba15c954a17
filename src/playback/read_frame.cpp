// Reading frames of recordings and AVI files into the playback ring, and decoding the
// compressed kinds through the frame decoder.
#include <algorithm>
#include <cstring>
#include <span>

#include "frame/blocks.h"
#include "frame/files.h"
#include "image/pixfmt.h"
#include "playback/drawing_fields.h"
#include "playback/file_info.h"
#include "playback/playback_io.h"
#include "playback/record_walk.h"
#include "record/frame_coding.h"

namespace kz {
namespace {

// Earlier records of the open file for the decoder. It restores the file position.
class PlayFileSource final : public RecordSource {
 public:
  explicit PlayFileSource(StreamRecord* e) : e_(e) {}
  bool FetchRecord(int64_t offset, FrameHeader* header, uint8_t* data,
                   uint32_t capacity) override {
    PlaybackState& p = e_->play;
    const int64_t back = FileTell(p.playFile);
    bool ok = ReadSequenceRecord(e_, offset, header) && header->dataBytes <= capacity &&
              FileSeek(p.playFile, offset + static_cast<int64_t>(kFrameHeaderBytes) +
                                       header->chunkBytes,
                       0) == 0 &&
              FileRead(data, 1, header->dataBytes, p.playFile) == header->dataBytes;
    FileSeek(p.playFile, back, 0);
    return ok;
  }

 private:
  StreamRecord* e_;
};

// Takes the chunk part of the record whose header has just been read.
bool ReadChunks(StreamRecord* e, const FrameHeader& h) {
  PlaybackState& p = e->play;
  p.recordedDisplay = false;
  if (h.chunkBytes == 0) return true;
  auto* part = static_cast<uint8_t*>(BlockAlloc(h.chunkBytes));
  if (!part) return false;
  const bool ok = FileRead(part, 1, h.chunkBytes, p.playFile) == h.chunkBytes;
  if (ok) {
    const ChunkContents c = DecodeChunkPart(std::span<const uint8_t>(part, h.chunkBytes));
    std::lock_guard lock(e->blockMutex);
    if (c.hasDisplay) {
      p.recordedDisplay = true;
      p.fileDisplay = {};
      CopyDrawingFields(&p.fileDisplay, c.display);
      CopyDrawingFields(&e->pendingDisplay, c.display);
      if (e->playback.flags & KZ_PLAY_FOLLOW_DISPLAY) {
        const uint32_t was = e->pending.fetch_or(kPlaybackBit, std::memory_order_acq_rel);
        if (!(was & kPlaybackBit)) e->pendingPlayback = e->playback;
        CopyDrawingFields(&e->pendingPlayback, c.display);
      }
    }
    // An export's record block describes its output: a source's stored block never
    // replaces it.
    if (c.hasRecord && !(e->running.load(std::memory_order_acquire) & kSaveBit)) {
      // Callbacks and handles of a stored block come back null from the decoder.
      e->record = c.record;
      e->record.size = sizeof(KZRECORD);
    }
  }
  BlockFree(part);
  return ok;
}

bool EnsureRing(StreamRecord* e, bool single) {
  if (e->ring) return true;
  const KZFILEINFO& s = e->play.sequenceInfo;
  const uint32_t frameBytes = RecordFrameBytes(s.width, s.height, s.format);
  if (frameBytes == 0) return false;
  const int32_t slots = single ? 1 : 3;
  e->ring = static_cast<uint8_t*>(BlockAlloc(static_cast<size_t>(frameBytes) * slots));
  if (!e->ring) return false;
  e->frameBytes = frameBytes;
  e->slotCount = slots;
  e->readCount.store(static_cast<uint32_t>(slots - 1), std::memory_order_release);
  return true;
}

uint8_t* AdvanceRing(StreamRecord* e) {
  const uint32_t r = (e->readCount.load(std::memory_order_relaxed) + 1) %
                     static_cast<uint32_t>(e->slotCount);
  e->readCount.store(r, std::memory_order_release);
  e->writeCount.store(r + 1, std::memory_order_release);
  return e->ring + static_cast<size_t>(r) * e->frameBytes;
}

void AviPosition(const KZFILEINFO& s, KZPLAYBACKFRAME* pos, int64_t i) {
  *pos = {};
  pos->index = static_cast<int32_t>(i);
  pos->frame = static_cast<uint32_t>(i);
  SetPositionMs(pos, AviFrameMs(s, i));
  pos->time = AviFrameTime(s, i);
}

int ReadAviFrame(StreamRecord* e, bool single) {
  PlaybackState& p = e->play;
  const KZFILEINFO& s = p.sequenceInfo;
  if (!p.aviGetFrame) return 0;
  if (!EnsureRing(e, single)) return 0;
  const int32_t last = s.frameCount - 1;
  p.aviIndex = std::clamp(p.aviIndex, 0, std::max(last, 0));
  const auto* dib = static_cast<const uint8_t*>(AVIStreamGetFrame(p.aviGetFrame, p.aviIndex));
  if (!dib && single) return 0;
  uint8_t* slot = AdvanceRing(e);
  // A frame the decoder cannot give keeps the picture shown before it (black when none
  // was), not whatever the slot held three reads ago, and the playback moves on instead of
  // asking for the same frame for ever. The shown frame is this thread's: it publishes it.
  if (dib) {
    std::memcpy(slot, dib + p.aviPixelOffset, e->frameBytes);
  } else if (const uint8_t* shown = e->show.shownFrame) {
    std::memcpy(slot, shown, e->frameBytes);
  } else {
    std::memset(slot, 0, e->frameBytes);
  }
  AviPosition(s, &p.curPos, p.aviIndex);
  p.nextPos = {};
  p.prevPos = {};
  if (p.aviIndex + 1 < s.frameCount) AviPosition(s, &p.nextPos, p.aviIndex + 1);
  if (p.curPos.index != 0) AviPosition(s, &p.prevPos, p.aviIndex - 1);
  if (p.aviIndex != last) ++p.aviIndex;
  return 1;
}

// The first record of sequence file f (offset 0), or the last when `last` is set.
bool NeighbourFileRecord(StreamRecord* e, int32_t f, bool last, int64_t* offset,
                         FrameHeader* h) {
  PlaybackState& p = e->play;
  if (f < 0 || f >= SequenceFiles(p.sequenceInfo)) return false;
  char name[300];
  SequenceFileName(p.sequenceInfo, f, name, sizeof name);
  File file = FileOpen(name, "rb");
  if (!file) return false;
  const int64_t length = FileLength(file);
  bool ok;
  if (last) {
    ok = RecordBefore(file, length, length, p.streamKind, offset, h);
  } else {
    *offset = 0;
    ok = ReadRecordAt(file, 0, length, p.streamKind, h);
  }
  FileClose(file);
  return ok && h->width == static_cast<uint32_t>(p.sequenceInfo.width) &&
         h->height == static_cast<uint32_t>(p.sequenceInfo.height) &&
         h->format == p.sequenceInfo.format;
}

int ReadRecordingFrame(StreamRecord* e, bool single) {
  PlaybackState& p = e->play;
  if (!p.playFile) return 0;
  int64_t p0 = FileTell(p.playFile);
  FrameHeader h;
  if (!ReadSequenceRecord(e, p0, &h)) {
    // At the end of a file whose next position names the following file, that file is
    // opened and read from its start.
    const int32_t nf = p.nextPos.fileNumber;
    if (p.nextPos.time == 0.0 || nf == p.fileNumber || nf != p.fileNumber + 1) {
      FileSeek(p.playFile, p0, 0);
      return 0;
    }
    const int32_t firstIndex = p.fileFirstIndex + p.fileInfo.frameCount;
    if (!OpenSequenceFile(e, nf)) return 0;
    p.fileFirstIndex = firstIndex;
    p0 = p.nextPos.offset;
    if (!ReadSequenceRecord(e, p0, &h)) {
      FileSeek(p.playFile, p0, 0);
      return 0;
    }
  }
  auto fail = [&] {
    FileSeek(p.playFile, p0, 0);
    return 0;
  };
  if (!ReadChunks(e, h)) return fail();
  if (!EnsureRing(e, single)) return fail();
  uint8_t* slot = AdvanceRing(e);
  if (h.kind == kKindRawFourcc) {
    if (h.dataBytes != e->frameBytes) return fail();
    if (FileRead(slot, 1, h.dataBytes, p.playFile) != h.dataBytes) return fail();
  } else {
    const PixelFormat* row = FormatByCode(h.format);
    if (!p.decoderReady) {
      if (!InitFrameDecoder(p.decoder, e->frameBytes, row->sampleDistance)) return fail();
      p.recordData.reset(new (std::nothrow) uint8_t[MaxFrameDataBytes(e->frameBytes)]);
      if (!p.recordData) return fail();
      p.decoderReady = true;
    }
    if (FileRead(p.recordData.get(), 1, h.dataBytes, p.playFile) != h.dataBytes) return fail();
    PlayFileSource source(e);
    if (DecodeFrameData(p.decoder, source, h, p0, p.recordData.get(), slot) !=
        DecodeResult::kOk) {
      return fail();
    }
  }
  const int64_t p1 = p0 + static_cast<int64_t>(h.RecordBytes());
  SetPosition(&p.curPos, p.nextPos.index, h, p.fileNumber, p0);
  p.nextPos = {};
  p.prevPos = {};

  FrameHeader n;
  int64_t offset = 0;
  if (ReadSequenceRecord(e, p1, &n)) {
    SetPosition(&p.nextPos, int64_t{p.curPos.index} + 1, n, p.fileNumber, p1);
  } else if (NeighbourFileRecord(e, p.fileNumber + 1, false, &offset, &n)) {
    SetPosition(&p.nextPos, int64_t{p.curPos.index} + 1, n, p.fileNumber + 1, 0);
  }
  int64_t start = 0;
  if (RecordBefore(p.playFile, p0, p.fileLength, p.streamKind, &start, &n)) {
    SetPosition(&p.prevPos, int64_t{p.curPos.index} - 1, n, p.fileNumber, start);
  } else if (p.fileNumber != 0 &&
             NeighbourFileRecord(e, p.fileNumber - 1, true, &offset, &n)) {
    SetPosition(&p.prevPos, int64_t{p.curPos.index} - 1, n, p.fileNumber - 1, offset);
  }
  if (FileSeek(p.playFile, p1, 0) != 0) return 0;
  return 1;
}

}  // namespace

int ReadPlaybackFrame(StreamRecord* e, bool single) {
  if (e->play.sequenceInfo.kind == kKindAvi) return ReadAviFrame(e, single);
  return ReadRecordingFrame(e, single);
}

int ReadNextFrame(StreamRecord* e) {
  PlaybackState& p = e->play;
  const int32_t state = p.playbackState.load(std::memory_order_acquire);
  if (state == -1) return 0;
  double rate;
  uint32_t flags;
  {
    std::lock_guard lock(e->blockMutex);
    rate = e->playback.rate;
    flags = e->playback.flags;
  }
  // Paused in time mode: the frame on screen stays. Step mode at rate 0 is not a pause.
  if (state == 2 && rate == 0.0 && !(flags & KZ_PLAY_STEP)) return 1;
  p.playbackState.store(0, std::memory_order_release);
  if (!p.playFile && !p.aviGetFrame) return 0;
  if (ReadPlaybackFrame(e, false)) {
    p.playbackState.store(1, std::memory_order_release);
    return 1;
  }
  SetPlaybackFlags(e, 0, KZ_PLAY_SEEKING);
  p.playbackState.store(-1, std::memory_order_release);
  return 0;
}

void ClosePlaybackFile(StreamRecord* e) {
  PlaybackState& p = e->play;
  if (p.aviGetFrame) AVIStreamGetFrameClose(p.aviGetFrame);
  if (p.aviStream) AVIStreamRelease(p.aviStream);
  p.aviGetFrame = nullptr;
  p.aviStream = nullptr;
  if (p.playFile) FileClose(p.playFile);
  p.playFile = nullptr;
  p.fileLength = 0;
}

void FreePlaybackMemory(StreamRecord* e) {
  ClosePlaybackFile(e);
  PlaybackState& p = e->play;
  p.decoder = FrameDecoderState{};
  p.decoderReady = false;
  p.recordData.reset();
}

}  // namespace kz

// KZLoadFrame: one frame of a recording or AVI file, on a private stream record.
#include <cstdio>
#include <cstring>
#include <memory>

#include "frame/blocks.h"
#include "frame/errors.h"
#include "frame/session.h"
#include "image/show.h"
#include "playback/drawing_fields.h"
#include "playback/file_info.h"
#include "playback/playback_io.h"

namespace kz {
namespace {

void ReleasePrivate(StreamRecord* rec) {
  FreePlaybackMemory(rec);
  ReleaseShow(*rec);
  BlockFree(rec->ring);
  rec->ring = nullptr;
}

}  // namespace

// With the this-file flag the summary covers only the named file, so that the reader
// never names another file of the sequence from it.
static int SummariseOneFile(const char* path, KZFILEINFO* info, uint32_t flags,
                            uint32_t* error) {
  if (!FileInfoOf(path, info, flags, error)) return 0;
  if (info->kind == kKindAvi) return 1;
  KZFILEINFO one = *info;
  one.kind = info->kind;
  uint32_t scan = flags & kFullScan;
  if (!ScanRecording(path, &one, &scan, error)) return 0;
  std::snprintf(one.path, sizeof one.path, "%s", path);
  one.sequenceFirst = -1;
  one.sequenceCount = 1;
  *info = one;
  return 1;
}

}  // namespace kz

KZHGLOBAL KZAPI KZLoadFrame(const char* path, KZPLAYBACK* block, KZDISPLAY* display,
                            uint32_t flags) {
  using namespace kz;
  SetError(0);
  if (!EverOpened()) return (Fail(KZ_ERR_SESSION), nullptr);
  if (!path) return (Fail(KZ_ERR_NULL), nullptr);
  if ((block && block->size != sizeof(KZPLAYBACK)) ||
      (display && display->size != sizeof(KZDISPLAY))) {
    return (Fail(KZ_ERR_RECORD_SIZE), nullptr);
  }
  if (!*path) return (Fail(KZ_ERR_NO_FILE_NAME), nullptr);

  auto rec = std::make_unique<StreamRecord>();
  if (block) rec->playback = *block;
  if (display) rec->display = *display;
  PlaybackState& p = rec->play;
  p.sequenceInfo.size = sizeof(KZFILEINFO);
  uint32_t error = 0;
  const int ok = (flags & KZ_LOAD_THIS_FILE)
                     ? SummariseOneFile(path, &p.sequenceInfo, rec->playback.flags, &error)
                     : FileInfoOf(path, &p.sequenceInfo, rec->playback.flags, &error);
  if (!ok) return (Fail(error ? error : KZ_ERR_FILE_KIND), nullptr);

  KZDISPLAY& d = rec->display;
  d.width = p.sequenceInfo.width;
  d.height = p.sequenceInfo.height;
  d.format = p.sequenceInfo.format;
  d.bitCount = p.sequenceInfo.bitCount;
  d.size = sizeof(KZDISPLAY);
  std::snprintf(rec->playback.fileName, sizeof rec->playback.fileName, "%s",
                p.sequenceInfo.path);
  if (block) {
    CopyDrawingFields(&d, *block);
    d.drawFlags = block->flags & KZ_PLAY_DRAW_MASK;
  }

  const int seek = SeekPlayback(rec.get());
  if (seek != kSeekDone) {
    ReleasePrivate(rec.get());
    return (Fail(seek == kSeekFailed ? KZ_ERR_POSITION : KZ_ERR_NO_MATCH), nullptr);
  }
  if (!ReadPlaybackFrame(rec.get(), true)) {
    ReleasePrivate(rec.get());
    return (Fail(KZ_ERR_FILE_READ), nullptr);
  }
  ClosePlaybackFile(rec.get());
  // The frame at the new position is in hand: the move is over.
  rec->playback.flags &= ~KZ_PLAY_SEEKING;

  HGLOBAL result = nullptr;
  if (flags & KZ_IMAGE_AS_DRAWN) {
    if ((flags & KZ_LOAD_RECORDED_DISPLAY) && p.recordedDisplay) {
      CopyDrawingFields(&d, p.fileDisplay);
    }
    // The record is not a stream: the show step as KZImageToBitmap runs it, with the
    // callbacks of the caller's own display block (a file's block gives drawing fields only).
    PrepareShow(*rec);
    ShowCallbacks callbacks;
    callbacks.beforeDraw = d.beforeDrawCallback;
    callbacks.afterConvert = d.afterConvertCallback;
    callbacks.afterDraw = d.afterDrawCallback;
    uint8_t* bitmap = ShowStep(*rec, rec->ring, rec->frameBytes, callbacks, ShowHooks{});
    if (!bitmap) {
      ReleasePrivate(rec.get());
      return (Fail(KZ_ERR_MEMORY), nullptr);
    }
    result = BlockHandOver(bitmap);
  } else {
    result = BlockHandOver(rec->ring);
    rec->ring = nullptr;
  }
  ReleasePrivate(rec.get());
  if (p.recordedDisplay) CopyDrawingFields(&d, p.fileDisplay);

  if (block) {
    std::snprintf(block->fileName, sizeof block->fileName, "%s", path);
    block->index = p.curPos.index;
    block->time = p.curPos.time;
    block->msLow = p.curPos.msLow;
    block->msHigh = p.curPos.msHigh;
    block->frame = p.curPos.frame;
    CopyDrawingFields(block, d);
    block->flags = rec->playback.flags;
  }
  if (display) *display = d;
  return result;
}

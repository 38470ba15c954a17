// Choosing the next frame and its due time: speed, direction, dropping to keep up, and
// what happens at the ends of the file.
#include <algorithm>
#include <cmath>

#include "frame/files.h"
#include "playback/file_info.h"
#include "playback/playback_io.h"
#include "playback/playback_thread.h"
#include "playback/record_walk.h"

namespace kz {
namespace {

enum { kGoOn = 0, kToStart = 1, kToEnd = 2 };

// Time between two frames of the sequence, for the first frame of a new pass.
double FrameSpacingMs(const StreamRecord* e, const KZPLAYBACK& b) {
  if (b.flags & KZ_PLAY_STEP) return b.stepRate > 0 ? 1000.0 / b.stepRate : 1.0;
  const KZFILEINFO& s = e->play.sequenceInfo;
  double spacing = 1000.0;
  if (s.frameCount > 1) {
    const double span = static_cast<double>(InfoMs(s.maxMsLow, s.maxMsHigh)) -
                        static_cast<double>(InfoMs(s.minMsLow, s.minMsHigh));
    spacing = span / (s.frameCount - 1);
  }
  const double rate = std::fabs(b.rate);
  return std::max(1.0, rate > 0 ? spacing / rate : spacing);
}

// Moves to the record after the one at (file, offset); false at the end of the sequence.
bool StepForward(StreamRecord* e, int32_t* file, int64_t* offset, FrameHeader* h) {
  PlaybackState& p = e->play;
  if (*file != p.fileNumber) {
    const int32_t firstIndex = p.fileFirstIndex + p.fileInfo.frameCount;
    if (!OpenSequenceFile(e, *file)) return false;
    p.fileFirstIndex = firstIndex;
  }
  FrameHeader here;
  if (!ReadSequenceRecord(e, *offset, &here)) return false;
  const int64_t after = *offset + static_cast<int64_t>(here.RecordBytes());
  if (ReadSequenceRecord(e, after, h)) {
    *offset = after;
    return true;
  }
  if (*file + 1 >= SequenceFiles(p.sequenceInfo)) return false;
  const int32_t firstIndex = p.fileFirstIndex + p.fileInfo.frameCount;
  if (!OpenSequenceFile(e, *file + 1)) return false;
  p.fileFirstIndex = firstIndex;
  if (!ReadSequenceRecord(e, 0, h)) return false;
  *file += 1;
  *offset = 0;
  return true;
}

// Moves to the record before the one at (file, offset); false at the start of the sequence.
bool StepBack(StreamRecord* e, int32_t* file, int64_t* offset, FrameHeader* h) {
  PlaybackState& p = e->play;
  if (*file != p.fileNumber) {
    if (!OpenSequenceFile(e, *file)) return false;
  }
  int64_t start = 0;
  if (*offset > 0 && RecordBefore(p.playFile, *offset, p.fileLength, p.streamKind, &start, h)) {
    *offset = start;
    return true;
  }
  if (*file == 0) return false;
  if (!OpenSequenceFile(e, *file - 1)) return false;
  p.fileFirstIndex -= p.fileInfo.frameCount;
  if (!RecordBefore(p.playFile, p.fileLength, p.fileLength, p.streamKind, &start, h)) {
    return false;
  }
  *file -= 1;
  *offset = start;
  return true;
}

// Opens the file of a chosen record and places the file position on it.
bool PlaceAt(StreamRecord* e, int32_t file, int64_t offset) {
  PlaybackState& p = e->play;
  if (file != p.fileNumber || !p.playFile) {
    const int32_t firstIndex =
        file == 0 ? 0 : (file == p.fileNumber + 1 ? p.fileFirstIndex + p.fileInfo.frameCount
                                                  : p.fileFirstIndex);
    if (!OpenSequenceFile(e, file)) return false;
    p.fileFirstIndex = firstIndex;
  }
  return FileSeek(p.playFile, offset, 0) == 0;
}

}  // namespace

uint32_t ClampedDelay(double ms) {
  if (!(ms > 0)) return 0;
  return ms >= 2147483647.0 ? 2147483647u : static_cast<uint32_t>(ms);
}

int AdvancePlayback(StreamRecord* e) {
  PlaybackState& p = e->play;
  const bool avi = p.sequenceInfo.kind == kKindAvi;
  KZPLAYBACK b;
  {
    std::lock_guard lock(e->blockMutex);
    b = e->playback;
  }
  const double cur = static_cast<double>(PositionMs(p.curPos));
  double target = cur;
  double skip = 0;
  int result = kGoOn;
  bool drop = (b.flags & KZ_PLAY_NO_DROP) == 0;
  const bool step = (b.flags & KZ_PLAY_STEP) != 0;

  uint32_t t0 = 0;
  uint32_t t1 = 0;
  double el = 10.0;
  // A clock reading of 0 is a reading like any other: only the count says what exists.
  if (p.playbackTimes.Get(0, &t0) && p.playbackTimes.Get(1, &t1)) {
    double d = static_cast<double>(static_cast<uint32_t>(t0 - t1));
    if (d > p.waitedMs) d -= p.waitedMs;
    el = d == 0 ? 1.0 : d;
  }

  bool endPlayback = false;
  auto countPass = [&](int pauseResult) {
    if (b.repeatCount > 0) --b.repeatCount;
    if (b.repeatCount == 0) {
      if (b.flags & KZ_PLAY_END) {
        endPlayback = true;
      } else {
        b.flags &= ~KZ_PLAY_STEP;
        b.rate = 0.0;
        result = pauseResult;
      }
      return true;
    }
    return false;
  };

  bool endHandled = false;
  if (step) {
    target = cur + 1.0;
    if (p.nextPos.time == 0.0) {
      // One count per pass, as in time mode.
      endHandled = true;
      if (!countPass(kToEnd)) result = kToStart;
    }
    if (b.stepRate > 0) {
      skip = std::min(std::floor(b.stepRate * el / 1000.0), 1e9);
    } else {
      drop = false;
    }
  } else {
    if (b.rate == 0.0) return 0;
    target = cur + b.rate * el;
    if (target == cur) target += b.rate > 0 ? 1 : -1;
  }

  if (!endHandled && target > cur && p.nextPos.time == 0.0) {
    if (!countPass(kToEnd)) {
      if (b.flags & KZ_PLAY_BOUNCE) {
        b.rate = -b.rate;
        target = cur + b.rate * el;
      } else {
        result = kToStart;
      }
    }
  } else if (target < cur && p.prevPos.time == 0.0) {
    if (!countPass(kToStart)) {
      if (b.flags & KZ_PLAY_BOUNCE) {
        b.rate = -b.rate;
        target = cur + b.rate * el;
      } else {
        result = kToEnd;
      }
    }
  }
  {
    // The end rules write back rate, step mode and passes left into the active block.
    std::lock_guard lock(e->blockMutex);
    e->playback.rate = b.rate;
    e->playback.repeatCount = b.repeatCount;
    e->playback.flags = (e->playback.flags & ~KZ_PLAY_STEP) | (b.flags & KZ_PLAY_STEP);
  }
  if (endPlayback) {
    EndPlayback(e, KZ_END_PLAYBACK);
    return 1;
  }

  p.nextDue = t0;
  if (result == kToStart) {
    // The first frame of a new pass is due one frame spacing later, so that even a
    // one-frame file is shown at a pace.
    p.nextDue += ClampedDelay(FrameSpacingMs(e, b));
    if (avi) {
      p.aviIndex = 0;
      p.nextPos = {};
      return 1;
    }
    if (!PlaceAt(e, 0, 0)) return 0;
    p.fileFirstIndex = 0;
    p.nextPos = {};
    return 1;
  }
  if (result == kToEnd) {
    p.nextDue += ClampedDelay(FrameSpacingMs(e, b));
    if (avi) {
      p.aviIndex = p.sequenceInfo.frameCount - 1;
      return 1;
    }
    {
      std::lock_guard lock(e->blockMutex);
      e->playback.index = 0;
      e->playback.flags = (e->playback.flags & ~(KZ_PLAY_MODE_MASK | KZ_PLAY_MOVE_MASK)) |
                          KZ_PLAY_MOVE_END;
    }
    return SeekPlayback(e) == kSeekDone ? 1 : 0;
  }

  const double rate = step ? 1.0 : b.rate;
  if (target > cur) {
    double next = static_cast<double>(PositionMs(p.nextPos));
    int64_t advanced = 0;
    if (avi) {
      const int32_t n = p.sequenceInfo.frameCount;
      while (drop && (target > next || advanced < skip) && p.aviIndex + 1 < n) {
        ++p.aviIndex;
        ++advanced;
        next = static_cast<double>(AviFrameMs(p.sequenceInfo, p.aviIndex));
      }
      p.nextPos.index = p.aviIndex;
    } else {
      int32_t file = p.nextPos.fileNumber;
      int64_t offset = p.nextPos.offset;
      FrameHeader h;
      while (drop && (target > next || advanced < skip) && !PlaybackStopAsked(e)) {
        if (!StepForward(e, &file, &offset, &h)) break;
        ++advanced;
        next = static_cast<double>(HeaderMs(h));
      }
      if (!PlaceAt(e, file, offset)) return 0;
      if (advanced) {
        SetPosition(&p.nextPos, int64_t{p.curPos.index} + 1 + advanced, h, file, offset);
      }
    }
    p.framesSkipped.fetch_add(static_cast<uint32_t>(advanced), std::memory_order_relaxed);
    if (step) {
      if (b.stepRate <= 0) return 1;
      p.nextDue += ClampedDelay((advanced + 1) * 1000.0 / b.stepRate);
    } else {
      p.nextDue += ClampedDelay((next - cur) / rate);
    }
    return 1;
  }
  if (target < cur) {
    double prev = static_cast<double>(PositionMs(p.prevPos));
    int64_t advanced = 0;
    if (avi) {
      // Backwards from the frame on screen, whatever the read-ahead index says.
      p.aviIndex = std::max(p.curPos.index - 1, 0);
      while (drop && target < prev && p.aviIndex != 0) {
        --p.aviIndex;
        ++advanced;
        prev = static_cast<double>(AviFrameMs(p.sequenceInfo, p.aviIndex));
      }
      p.nextPos.index = p.aviIndex;
    } else {
      int32_t file = p.curPos.fileNumber;
      int64_t offset = p.curPos.offset;
      FrameHeader h;
      int64_t back = 0;
      while (!PlaybackStopAsked(e)) {
        if (!StepBack(e, &file, &offset, &h)) break;
        ++back;
        prev = static_cast<double>(HeaderMs(h));
        if (!drop || prev <= target) break;
      }
      if (back == 0) return 0;
      advanced = back - 1;
      if (!PlaceAt(e, file, offset)) return 0;
      SetPosition(&p.nextPos, int64_t{p.curPos.index} - back, h, file, offset);
    }
    p.framesSkipped.fetch_add(static_cast<uint32_t>(advanced), std::memory_order_relaxed);
    p.nextDue += ClampedDelay((prev - cur) / rate);
    return 1;
  }
  return 0;
}

}  // namespace kz

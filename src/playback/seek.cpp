// Opening a playback file and moving to a position by index, milliseconds, frame number
// or Julian time, across the files of a numbered sequence.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "frame/files.h"
#include "playback/avi_open.h"
#include "playback/file_info.h"
#include "playback/playback_io.h"
#include "playback/record_walk.h"

namespace kz {
namespace {

constexpr uint32_t kModeMask = KZ_PLAY_MODE_MASK;

// A position in all four measures; only the one of the mode is compared.
struct Target {
  int64_t index = 0;
  int64_t ms = 0;
  int64_t frame = 0;
  double time = 0.0;
};

uint32_t StreamFourcc(uint32_t kind) {
  return kind == 1 ? kKindRawFourcc : kind == 2 ? kKindLosslessFourcc : kKindLossyFourcc;
}

bool OpenAvi(StreamRecord* e) {
  PlaybackState& p = e->play;
  PAVISTREAM stream = nullptr;
  if (AVIStreamOpenFromFileA(&stream, p.fileInfo.path, streamtypeVIDEO, 0, OF_SHARE_DENY_NONE,
                             nullptr) != 0 ||
      !stream) {
    return false;
  }
  const uint8_t* palette = nullptr;
  if (p.sequenceInfo.format == KZ_FORMAT_PAL8) {
    uint8_t format[1064] = {};
    LONG bytes = sizeof format;
    if (AVIStreamReadFormat(stream, 0, format, &bytes) == 0 && bytes >= 1064) {
      std::memcpy(e->show.palette, format + 40, 1024);
    } else {
      for (int i = 0; i < 256; ++i) {
        uint8_t* c = e->show.palette + 4 * i;
        c[0] = c[1] = c[2] = static_cast<uint8_t>(i);
        c[3] = 0;
      }
    }
    palette = e->show.palette;
  }
  uint32_t headerBytes = 0;
  PGETFRAME frames = OpenAviFrames(stream, p.sequenceInfo, palette, &headerBytes);
  if (!frames) {
    AVIStreamRelease(stream);
    return false;
  }
  p.aviStream = stream;
  p.aviGetFrame = frames;
  p.aviPixelOffset = headerBytes;
  return true;
}

int64_t ValueOf(uint32_t mode, const Target& t) {
  switch (mode) {
    case KZ_PLAY_MODE_INDEX: return t.index;
    case KZ_PLAY_MODE_MS: return t.ms;
    default: return t.frame;
  }
}

// Distance of a candidate to the target in the mode (times as doubles).
double Distance(uint32_t mode, const Target& a, const Target& b) {
  if (mode == KZ_PLAY_MODE_TIME) return std::fabs(a.time - b.time);
  const int64_t x = ValueOf(mode, a), y = ValueOf(mode, b);
  return x > y ? static_cast<double>(x - y) : static_cast<double>(y - x);
}

bool Exact(uint32_t mode, const Target& a, const Target& b) {
  if (mode == KZ_PLAY_MODE_TIME) return a.time == b.time;
  return ValueOf(mode, a) == ValueOf(mode, b);
}

struct Best {
  bool have = false;
  Target at;
  int32_t file = 0;
  int64_t offset = 0;
  int32_t firstIndex = 0;
};

}  // namespace

uint32_t PlaybackFlags(StreamRecord* e) {
  std::lock_guard lock(e->blockMutex);
  return e->playback.flags;
}

void SetPlaybackFlags(StreamRecord* e, uint32_t set, uint32_t clear) {
  std::lock_guard lock(e->blockMutex);
  e->playback.flags = (e->playback.flags & ~clear) | set;
}

bool PlaybackStopAsked(const StreamRecord* e) {
  return (e->stopRequest.load(std::memory_order_acquire) & kPlaybackBit) != 0;
}

uint64_t AviFrameMs(const KZFILEINFO& info, int64_t i) {
  if (info.frameCount < 2) return static_cast<uint64_t>(std::max<int64_t>(i, 0)) * 1000;
  const double step =
      static_cast<double>(InfoMs(info.maxMsLow, info.maxMsHigh)) / (info.frameCount - 1);
  return static_cast<uint64_t>(static_cast<double>(i) * step);
}

double AviFrameTime(const KZFILEINFO& info, int64_t i) {
  const double step =
      info.frameCount > 1 ? (info.maxTime - info.minTime) / (info.frameCount - 1) : 0.001;
  return info.minTime + static_cast<double>(i) * step;
}

void SetPosition(KZPLAYBACKFRAME* pos, int64_t index, const FrameHeader& h, int32_t file,
                 int64_t offset) {
  pos->index = static_cast<int32_t>(index);
  pos->msLow = h.msLow;
  pos->msHigh = h.msHigh;
  pos->frame = h.frameNumber;
  pos->time = h.julian;
  pos->fileNumber = file;
  pos->offset = static_cast<uint32_t>(offset);
}

bool ReadSequenceRecord(StreamRecord* e, int64_t pos, FrameHeader* h) {
  PlaybackState& p = e->play;
  if (!p.playFile) return false;
  if (!ReadRecordAt(p.playFile, pos, p.fileLength, p.streamKind, h)) return false;
  return h->width == static_cast<uint32_t>(p.sequenceInfo.width) &&
         h->height == static_cast<uint32_t>(p.sequenceInfo.height) &&
         h->format == p.sequenceInfo.format;
}

bool OpenSequenceFile(StreamRecord* e, int32_t f) {
  PlaybackState& p = e->play;
  if (p.playFile) FileClose(p.playFile);
  p.playFile = nullptr;
  p.fileLength = 0;
  if (f < 0 || f >= SequenceFiles(p.sequenceInfo)) return false;
  char name[300];
  SequenceFileName(p.sequenceInfo, f, name, sizeof name);
  p.fileInfo = p.sequenceInfo;
  uint32_t flags = PlaybackFlags(e) & kFullScan;
  uint32_t error = 0;
  if (!ScanRecording(name, &p.fileInfo, &flags, &error, &e->stopRequest)) return false;
  if (flags & kFullScan) SetPlaybackFlags(e, kFullScan, 0);
  p.playFile = FileOpen(name, "rb");
  if (!p.playFile) return false;
  p.fileLength = FileLength(p.playFile);
  p.fileNumber = f;
  p.streamKind = StreamFourcc(p.sequenceInfo.kind);
  // Chains never cross files: the caches describe offsets of the file they came from.
  if (p.decoderReady) ResetFrameDecoder(p.decoder);
  return true;
}

int SeekPlayback(StreamRecord* e) {
  PlaybackState& p = e->play;
  SetPlaybackFlags(e, KZ_PLAY_SEEKING, 0);
  const bool avi = p.sequenceInfo.kind == kKindAvi;
  if (!p.playFile && !p.aviStream) {
    p.fileInfo = p.sequenceInfo;
    if (avi) {
      if (!OpenAvi(e)) return kSeekFailed;
    } else if (!OpenSequenceFile(e, 0)) {
      return kSeekFailed;
    }
    p.fileNumber = 0;
    p.fileFirstIndex = 0;
  }

  KZPLAYBACK block;
  {
    std::lock_guard lock(e->blockMutex);
    block = e->playback;
  }
  const KZFILEINFO& s = p.sequenceInfo;
  const uint32_t mode = block.flags & kModeMask;
  Target base;
  switch (block.flags & KZ_PLAY_MOVE_MASK) {
    case KZ_PLAY_MOVE_START: break;
    case KZ_PLAY_MOVE_CURRENT: {
      // "Current" is the frame on screen when there is one, else the frame read last.
      const KZPLAYBACKFRAME& c = p.shownPos.time != 0.0 ? p.shownPos : p.curPos;
      if (c.time != 0.0) {
        base = {c.index, static_cast<int64_t>(PositionMs(c)), c.frame, c.time};
      } else {
        base = {0, static_cast<int64_t>(InfoMs(s.firstMsLow, s.firstMsHigh)), s.firstFrame,
                s.firstTime};
      }
      break;
    }
    case KZ_PLAY_MOVE_END:
      base = {int64_t{s.frameCount} - 1, static_cast<int64_t>(InfoMs(s.lastMsLow, s.lastMsHigh)),
              s.lastFrame, s.lastTime};
      break;
    default: SetPlaybackFlags(e, 0, KZ_PLAY_SEEKING); return kSeekDone;
  }
  SetPlaybackFlags(e, 0, KZ_PLAY_MOVE_MASK);

  // Offsets are signed; every sum is 64-bit, so no offset wraps into the range.
  const bool strict = (block.flags & KZ_PLAY_STRICT) != 0;
  Target t = base;
  bool outside = false;
  switch (mode) {
    case KZ_PLAY_MODE_INDEX: {
      t.index = base.index + block.index;
      const int64_t hi = int64_t{s.frameCount} - 1;
      outside = t.index < 0 || t.index > hi;
      t.index = std::clamp<int64_t>(t.index, 0, std::max<int64_t>(hi, 0));
      break;
    }
    case KZ_PLAY_MODE_MS: {
      const uint64_t offset = (static_cast<uint64_t>(block.msHigh) << 32) | block.msLow;
      t.ms = static_cast<int64_t>(static_cast<uint64_t>(base.ms) + offset);
      const int64_t lo = static_cast<int64_t>(InfoMs(s.minMsLow, s.minMsHigh));
      const int64_t hi = static_cast<int64_t>(InfoMs(s.maxMsLow, s.maxMsHigh));
      outside = t.ms < lo || t.ms > hi;
      t.ms = std::clamp(t.ms, lo, std::max(lo, hi));
      break;
    }
    case KZ_PLAY_MODE_FRAME: {
      t.frame = base.frame + static_cast<int32_t>(block.frame);
      const int64_t lo = s.minFrame, hi = s.maxFrame;
      outside = t.frame < lo || t.frame > hi;
      t.frame = std::clamp(t.frame, lo, std::max(lo, hi));
      break;
    }
    default: {
      t.time = base.time + block.time;
      outside = !(t.time >= s.minTime && t.time <= s.maxTime);
      t.time = std::isnan(t.time) ? s.minTime : ClampOf(t.time, s.minTime, s.maxTime);
      break;
    }
  }
  if (outside && strict) {
    SetPlaybackFlags(e, 0, KZ_PLAY_SEEKING);
    return kSeekFailed;
  }

  if (avi) {
    const int64_t n = s.frameCount;
    int64_t index = 0;
    if (mode == KZ_PLAY_MODE_INDEX) {
      index = t.index;
    } else if (mode == KZ_PLAY_MODE_FRAME) {
      index = t.frame;
    } else {
      // The largest frame whose reported value does not exceed the target.
      auto above = [&](int64_t i) {
        return mode == KZ_PLAY_MODE_MS ? static_cast<int64_t>(AviFrameMs(s, i)) > t.ms
                                       : AviFrameTime(s, i) > t.time;
      };
      int64_t lo = 0, hi = n - 1;
      while (lo < hi) {
        const int64_t mid = lo + (hi - lo + 1) / 2;
        if (above(mid)) hi = mid - 1;
        else lo = mid;
      }
      index = lo;
    }
    if (index < 0 || index > n - 1) {
      if (strict) {
        SetPlaybackFlags(e, 0, KZ_PLAY_SEEKING);
        return kSeekNoMatch;
      }
      index = std::clamp<int64_t>(index, 0, n - 1);
    }
    p.aviIndex = static_cast<int32_t>(index);
    p.prevPos = {};
    p.curPos = {};
    p.nextPos = {};
    p.nextPos.index = p.aviIndex;
    return kSeekDone;
  }

  // Recording: can the search stay in the open file?
  const KZFILEINFO& fi = p.fileInfo;
  bool inFile = false;
  switch (mode) {
    case KZ_PLAY_MODE_INDEX:
      inFile = p.fileFirstIndex <= t.index && t.index < int64_t{p.fileFirstIndex} + fi.frameCount;
      break;
    case KZ_PLAY_MODE_MS:
      inFile = static_cast<int64_t>(InfoMs(fi.minMsLow, fi.minMsHigh)) <= t.ms &&
               t.ms <= static_cast<int64_t>(InfoMs(fi.maxMsLow, fi.maxMsHigh));
      break;
    case KZ_PLAY_MODE_FRAME: inFile = fi.minFrame <= t.frame && t.frame <= fi.maxFrame; break;
    default: inFile = fi.minTime <= t.time && t.time <= fi.maxTime; break;
  }
  const bool searchAll =
      !(inFile && ((PlaybackFlags(e) & kFullScan) == 0 || mode == KZ_PLAY_MODE_INDEX));

  const int32_t homeFile = p.fileNumber;
  const int32_t homeCount = fi.frameCount;
  const int64_t homePos = FileTell(p.playFile);
  const int32_t homeFirst = p.fileFirstIndex;
  p.prevPos = {};
  p.curPos = {};
  p.nextPos = {};
  Best best;
  int match = 0;
  const int32_t files = SequenceFiles(s);
  int32_t prevFile = -1, prevFirst = 0, prevCount = 0;
  bool opened = true;
  for (int32_t pass = -1; pass < files && match != 2; ++pass) {
    if (pass >= 0) {
      if (!searchAll) break;
      if (pass == homeFile) continue;
      if (!OpenSequenceFile(e, pass)) {
        opened = false;
        break;
      }
      if (pass == 0) p.fileFirstIndex = 0;
      else if (pass == homeFile + 1) p.fileFirstIndex = homeFirst + homeCount;
      else p.fileFirstIndex = prevFirst + prevCount;
    }
    int64_t pos = 0;
    int64_t index = int64_t{p.fileFirstIndex} - 1;
    FrameHeader h;
    while (pos < p.fileLength && ReadSequenceRecord(e, pos, &h)) {
      if (PlaybackStopAsked(e)) break;
      ++index;
      const Target here{index, static_cast<int64_t>(HeaderMs(h)), h.frameNumber, h.julian};
      bool take = false;
      if (Exact(mode, here, t)) {
        match = 2;
        take = true;
      } else if (!best.have) {
        match = 1;
        take = true;
      } else if (mode != KZ_PLAY_MODE_INDEX &&
                 Distance(mode, here, t) < Distance(mode, best.at, t)) {
        take = true;
      }
      if (take) best = {true, here, p.fileNumber, pos, p.fileFirstIndex};
      if (match == 2) break;
      pos += static_cast<int64_t>(h.RecordBytes());
    }
    prevFile = p.fileNumber;
    prevFirst = p.fileFirstIndex;
    prevCount = p.fileInfo.frameCount;
    if (PlaybackStopAsked(e)) break;
  }
  (void)prevFile;
  if (!opened) {
    SetPlaybackFlags(e, 0, KZ_PLAY_SEEKING);
    return kSeekFailed;
  }

  const bool found = match == 2 || (match == 1 && !strict);
  if (!found || !best.have) {
    best = {true, Target{homeFirst, 0, 0, 0.0}, homeFile, homePos, homeFirst};
    best.at.index = p.nextPos.index;
  }
  if (best.file != p.fileNumber || !p.playFile) {
    if (!OpenSequenceFile(e, best.file)) return kSeekFailed;
    p.fileFirstIndex = best.firstIndex;
  }
  FileSeek(p.playFile, best.offset, 0);
  p.fileFirstIndex = best.firstIndex;
  p.nextPos = {};
  p.nextPos.index = static_cast<int32_t>(found ? best.at.index : homeFirst);
  p.prevPos = {};
  p.curPos = {};
  if (!found) SetPlaybackFlags(e, 0, KZ_PLAY_SEEKING);
  return found ? kSeekDone : kSeekNoMatch;
}

}  // namespace kz

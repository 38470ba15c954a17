// The export thread: reads the frames of the range list from the source, writes them
// through the recording writer or the AVI output, runs the output clock and reports.
#include <kzvideo.h>
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <span>

#include "export/avi_output.h"
#include "export/export.h"
#include "frame/blocks.h"
#include "frame/stream.h"
#include "image/convert.h"
#include "image/pixfmt.h"
#include "image/show.h"
#include "playback/file_info.h"
#include "playback/playback_io.h"
#include "record/writer.h"

namespace kz {
namespace {

constexpr double kDefaultIntervalMs = 67.0;

// What the thread keeps for itself while it runs.
struct Job {
  KZEXPORT save{};
  uint32_t kind = 0;
  bool asShown = false;
  bool fixed = false;
  bool avi = false;
  uint8_t* rgb = nullptr;  // 24-bit rows for the AVI output (block of the memory table)
  size_t rgbBytes = 0;
  uint64_t base = 0;        // the output clock at the start
  double elapsed = 0.0;     // milliseconds the clock has run since, unrounded
  int32_t aviFrames = 0;    // frames this export gave the AVI output
  bool createdAvi = false;  // the AVI file did not exist before this export
};

bool StopAsked(const StreamRecord* e) {
  return (e->stopRequest.load(std::memory_order_acquire) & kSaveBit) != 0;
}

// The stop request goes first, so that a stop arriving now cannot turn the code into 0.
void EndExport(StreamRecord* e, uint32_t code) {
  e->stopRequest.fetch_or(kSaveBit, std::memory_order_acq_rel);
  e->exp.status.store(code, std::memory_order_release);
}

bool OpenAt(StreamRecord* e, int32_t position) {
  {
    std::lock_guard lock(e->blockMutex);
    e->playback.flags = KZ_PLAY_MOVE_START | KZ_PLAY_MODE_INDEX;
    e->playback.index = position;
  }
  return SeekPlayback(e) == kSeekDone;
}

bool Progress(StreamRecord* e, uint32_t done) {
  KZEXPORT copy;
  {
    std::lock_guard lock(e->blockMutex);
    copy = e->save;
  }
  if (!copy.progress) return true;
  return copy.progress(&copy, done, e->exp.total) != 0;
}

// One frame to the output; 0, or the code the export ends with.
uint32_t WriteFrame(StreamRecord* e, Job& job, const uint8_t* frame) {
  const PlaybackState& p = e->play;
  if (!job.avi) {
    FrameTime t;
    t.ms = job.base + static_cast<uint64_t>(std::llround(job.elapsed));
    t.julian = p.curPos.time;
    return WriteOwnKindFrame(*e, frame, t);
  }
  if (job.asShown) {
    ShowHooks hooks;
    hooks.context = e;
    hooks.neverDraw = true;
    hooks.aviWrite = WriteAviShown;
    hooks.spare = &e->show.spareImage;
    uint8_t* bitmap = ShowStep(*e, frame, e->frameBytes, ShowCallbacks{}, hooks);
    if (!bitmap) return KZ_ERR_MEMORY;
    e->show.spareImage = bitmap;  // drawn into again at the next frame
  } else {
    const KZFILEINFO& s = p.sequenceInfo;
    const SourceFrame source{static_cast<int32_t>(s.format), s.width, s.height,
                             std::span<const uint8_t>(frame, e->frameBytes), e->show.palette};
    if (!ConvertTo24(source, std::span<uint8_t>(job.rgb, job.rgbBytes))) return KZ_ERR_FILE_KIND;
    WriteAviFrame(e, job.rgb, static_cast<uint32_t>(job.rgbBytes), s.width, s.height);
  }
  // The AVI output tells its failures through the record status.
  if (const uint32_t code = e->rec.recordEndCode.load(std::memory_order_acquire)) return code;
  ++job.aviFrames;
  return 0;
}

// Milliseconds between the frame just written and the next one of the output.
double Interval(const StreamRecord* e, const Job& job, bool backwards) {
  if (job.fixed) return 1000.0 / job.save.fixedRate;
  const PlaybackState& p = e->play;
  const double cur = static_cast<double>(PositionMs(p.curPos));
  const bool hasNext = p.nextPos.time != 0.0, hasPrev = p.prevPos.time != 0.0;
  const double ahead = hasNext ? static_cast<double>(PositionMs(p.nextPos)) - cur : 0.0;
  const double behind = hasPrev ? cur - static_cast<double>(PositionMs(p.prevPos)) : 0.0;
  // The distance towards the frame that follows in the output's direction, else the other.
  double ms = backwards ? (hasPrev ? behind : ahead) : (hasNext ? ahead : behind);
  ms = ms > 0.0 ? ms * job.save.speed : 0.0;
  return ms > 0.0 && std::isfinite(ms) ? ms : kDefaultIntervalMs;
}

void StoreClock(StreamRecord* e, const Job& job) {
  const uint64_t ms = job.base + static_cast<uint64_t>(std::llround(job.elapsed));
  e->exp.clockLow = static_cast<uint32_t>(ms);
  e->exp.clockHigh = static_cast<uint32_t>(ms >> 32);
}

// Restates the AVI output's frame times from the output clock, not the wall clock.
void RestateAviTimes(StreamRecord* e, const Job& job, double rate) {
  if (job.aviFrames < 2) return;
  std::lock_guard lock(e->avi.mutex);
  e->avi.firstTime = 1.0;
  e->avi.lastTime = 1.0 + ((job.aviFrames - 1) / rate) / 86400.0;
}

bool StartOutput(StreamRecord* e, Job& job) {
  if (!job.avi) return true;
  const KZFILEINFO& s = e->play.sequenceInfo;
  if (job.asShown) {
    PrepareShow(*e);
  } else {
    job.rgbBytes = static_cast<size_t>(BitmapStride(s.width, false) * s.height);
    job.rgb = static_cast<uint8_t*>(BlockAlloc(job.rgbBytes));
    if (!job.rgb) {
      EndExport(e, KZ_ERR_MEMORY);
      return false;
    }
  }
  WIN32_FIND_DATAA found;
  HANDLE h = FindFirstFileA(e->record.fileName, &found);
  job.createdAvi = h == INVALID_HANDLE_VALUE;
  if (!job.createdAvi) FindClose(h);
  if (!OpenAviOutput(e)) {
    EndExport(e, e->rec.recordEndCode.load(std::memory_order_acquire));
    return false;
  }
  return true;
}

void FinishOutput(StreamRecord* e, Job& job, uint32_t status) {
  FreePlaybackMemory(e);
  FinishRecordingFile(*e);
  if (!job.avi) return;
  CloseAviOutput(e);
  // An AVI file this export made and could not fill is no file at all: a reader would take
  // its header's word for frames that never reached the disk.
  const bool writerFailed = status != 0 && status != KZ_END_EXPORT && status != KZ_ERR_CANCELLED &&
                            status != KZ_ERR_POSITION;
  if (writerFailed && job.createdAvi) DeleteFileA(e->record.fileName);
  if (job.asShown) ReleaseShow(*e);
  BlockFree(job.rgb);
  job.rgb = nullptr;
}

void RunExport(StreamRecord* e, Job& job) {
  const int32_t* list = e->exp.ranges;
  size_t pair = 0;
  int32_t cur = list[0];
  if (!OpenAt(e, cur)) {
    EndExport(e, KZ_ERR_POSITION);
    return;
  }
  if (!StartOutput(e, job)) return;
  if (!Progress(e, 0)) {
    EndExport(e, KZ_ERR_CANCELLED);
    return;
  }
  const double rate = e->record.rate;
  while (!StopAsked(e)) {
    e->busy.fetch_or(kSaveBit, std::memory_order_acq_rel);
    if (!ReadPlaybackFrame(e, true) || e->play.curPos.index != cur) {
      EndExport(e, KZ_ERR_POSITION);
      break;
    }
    if (const uint32_t code = WriteFrame(e, job, e->ring)) {
      EndExport(e, code);
      break;
    }
    const int32_t last = list[pair + 1];
    job.elapsed += Interval(e, job, list[pair] > last);
    StoreClock(e, job);
    e->exp.nextFrameNumber = e->rec.nextFrameNumber;
    if (job.avi) RestateAviTimes(e, job, rate);

    if (cur == last) {
      pair += 2;
      if (list[pair] < 0) {
        EndExport(e, KZ_END_EXPORT);
      } else {
        cur = list[pair];
        if (!OpenAt(e, cur)) EndExport(e, KZ_ERR_POSITION);
      }
    } else if (cur < last) {
      ++cur;  // read on in file order
    } else {
      --cur;
      if (!OpenAt(e, cur)) EndExport(e, KZ_ERR_POSITION);
    }
    const uint32_t done = e->exp.done.fetch_add(1, std::memory_order_acq_rel) + 1;
    // A cancel after the last frame changes nothing: the output is whole.
    if (!Progress(e, done) && e->exp.status.load(std::memory_order_acquire) == 0) {
      EndExport(e, KZ_ERR_CANCELLED);
    }
    e->busy.fetch_and(~kSaveBit, std::memory_order_acq_rel);
    Sleep(0);
  }
  e->busy.fetch_and(~kSaveBit, std::memory_order_acq_rel);
}

}  // namespace

uint32_t MakeRangeList(HGLOBAL handle, int32_t frameCount, bool backwards, int32_t** list) {
  *list = nullptr;
  if (!handle) {
    auto* l = static_cast<int32_t*>(BlockAlloc(3 * sizeof(int32_t)));
    if (!l) return KZ_ERR_MEMORY;
    const int32_t last = std::max(frameCount - 1, 0);
    l[0] = backwards ? last : 0;
    l[1] = backwards ? 0 : last;
    l[2] = -1;
    *list = l;
    return 0;
  }
  const auto* given = static_cast<const int32_t*>(BlockAdopt(handle));
  // A handle that does not lock holds no range: the list is empty.
  const size_t room = given ? GlobalSize(handle) / sizeof(int32_t) : 0;
  size_t n = 0;
  while (n < room && given[n] >= 0) ++n;
  auto* l = static_cast<int32_t*>(BlockAlloc((n + 2) * sizeof(int32_t)));
  if (l) {
    if (n) std::memcpy(l, given, n * sizeof(int32_t));
    l[n] = -1;
    l[n + 1] = -1;
  }
  if (given) BlockHandOver(const_cast<int32_t*>(given));
  if (!l) return KZ_ERR_MEMORY;
  *list = l;
  return 0;
}

uint32_t ClipRanges(int32_t* list, int32_t frameCount) {
  uint64_t total = 0;
  size_t out = 0;
  for (size_t in = 0; list[in] >= 0; in += 2) {
    int32_t first = list[in];
    int32_t last = list[in + 1];
    if (last < 0) last = first;
    if (first < frameCount) {
      if (last >= frameCount) last = frameCount - 1;
    } else if (last < frameCount) {
      first = frameCount - 1;
    } else {
      continue;
    }
    list[out++] = first;
    list[out++] = last;
    total += static_cast<uint64_t>(first > last ? first - last : last - first) + 1;
  }
  list[out] = -1;
  return total > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(total);
}

double OutputRate(const KZEXPORT& job, const KZFILEINFO& info) {
  double rate = 0.0;
  if (job.exportFlags & KZ_EXPORT_FIXED_RATE) {
    rate = job.fixedRate;
  } else if (info.frameCount > 1) {
    const double ms = static_cast<double>(InfoMs(info.lastMsLow, info.lastMsHigh)) -
                      static_cast<double>(InfoMs(info.firstMsLow, info.firstMsHigh));
    const double days = info.lastTime - info.firstTime;
    const double seconds = ms > 0.0 ? ms / 1000.0 : days * 86400.0;
    if (seconds > 0.0) rate = (info.frameCount - 1) / seconds / job.speed;
  }
  if (!(rate > 0.0) || !std::isfinite(rate)) return 15.0;
  // Half a thousandth up, so that truncating rate x 1000 gives the nearest whole number.
  return (std::round(rate * 1000.0) + 0.5) / 1000.0;
}

DWORD WINAPI ExportThread(LPVOID param) {
  const auto id = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(param));
  StreamRecord* e = FindStream(id, kSaveBit);
  if (!e) return 0;
  while (e->startGate.load(std::memory_order_acquire) == 0) Sleep(0);
  Job job;
  {
    std::lock_guard lock(e->blockMutex);
    job.save = e->save;
  }
  job.kind = job.save.fileFlags & KZ_KIND_MASK;
  job.avi = job.kind == KZ_KIND_AVI;
  job.asShown = job.avi && (job.save.fileFlags & KZ_AVI_AS_SHOWN) != 0;
  job.fixed = (job.save.exportFlags & KZ_EXPORT_FIXED_RATE) != 0;
  job.base = InfoMs(e->exp.clockLow, e->exp.clockHigh);

  RunExport(e, job);
  const uint32_t status = e->exp.status.load(std::memory_order_acquire);
  FinishOutput(e, job, status);
  KZEXPORT copy;
  {
    std::lock_guard lock(e->blockMutex);
    copy = e->save;
  }
  if (copy.endNotify) copy.endNotify(&copy, status == KZ_END_EXPORT ? 0 : status);
  // The stop-request bit stays set until the entry is released, so a stop arriving now can
  // never turn the status into 0. Clearing the running bit is the thread's last act on the
  // entry: the waiting KZSaveVideo, a stop or this thread may release it from then on.
  const uint32_t generation = e->generation.load(std::memory_order_acquire);
  const uint32_t final = e->exp.status.load(std::memory_order_acquire);
  e->running.fetch_and(~kSaveBit, std::memory_order_acq_rel);
  if (final != 0 && !(copy.exportFlags & KZ_EXPORT_WAIT)) ReleaseEntry(e, generation);
  return 0;
}

}  // namespace kz

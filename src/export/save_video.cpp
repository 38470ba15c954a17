// KZSaveVideo: checks the export record, guards the source, prepares the output and starts
// the export thread on an entry of the stream table; the waiting form waits for its end.
#include <kzvideo.h>
#include <windows.h>

#include <cmath>
#include <cstring>
#include <mutex>

#include "export/export.h"
#include "frame/blocks.h"
#include "frame/errors.h"
#include "frame/files.h"
#include "frame/session.h"
#include "frame/stream.h"
#include "playback/file_info.h"
#include "playback/record_walk.h"
#include "record/frame_format.h"
#include "record/prepare.h"

namespace kz {
namespace {

bool IsExportKind(uint32_t kind) {
  return kind == KZ_KIND_RAW || kind == KZ_KIND_LOSSLESS || kind == KZ_KIND_LOSSY ||
         kind == KZ_KIND_AVI;
}

// A 256-byte name field as a string that surely ends.
void NameOf(const char (&field)[256], char (&out)[257]) {
  std::memcpy(out, field, 256);
  out[256] = '\0';
}

void FullName(const char* given, char* out, uint32_t room) {
  if (!LongPathName(given, out, room)) {
    const size_t n = strnlen(given, room - 1);
    std::memcpy(out, given, n);
    out[n] = '\0';
  }
}

struct FileIdentity {
  DWORD volume = 0;
  DWORD high = 0;
  DWORD low = 0;
  bool operator==(const FileIdentity&) const = default;
};

bool IdentityOf(const char* name, FileIdentity* id) {
  File f = FileOpen(name, "rb");
  if (!f) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool ok = GetFileInformationByHandle(f, &info) != FALSE;
  FileClose(f);
  if (ok) *id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  return ok;
}

// Whether the output names a file of the source or of its sequence: by name, and by the
// file's identity (volume and index), which sees through links, other spellings and the
// case of names where the system ignores it. A sequence continues into later numbered
// files, so the output's next names count too when it is one of the library's own kinds.
bool OutputIsSource(const char* output, uint32_t kind, const KZFILEINFO& info) {
  const int32_t files = info.kind == kKindAvi ? 1 : SequenceFiles(info);
  FileIdentity out;
  const bool outExists = IdentityOf(output, &out);
  for (int32_t f = 0; f < files; ++f) {
    char name[300];
    SequenceFileName(info, f, name, sizeof name);
    if (std::strncmp(name, output, sizeof name) == 0) return true;
    FileIdentity in;
    if (outExists && IdentityOf(name, &in) && in == out) return true;
  }
  // A recording that outgrows its size limit goes on in the next numbered names.
  if (kind != KZ_KIND_AVI && outExists) {
    char next[256];
    std::memcpy(next, output, sizeof next);
    for (int i = 0; i < 4 && NeighbourName(next, sizeof next, 1); ++i) {
      FileIdentity n;
      if (!IdentityOf(next, &n)) break;
      for (int32_t f = 0; f < files; ++f) {
        char name[300];
        SequenceFileName(info, f, name, sizeof name);
        FileIdentity in;
        if (IdentityOf(name, &in) && in == n) return true;
      }
    }
  }
  return false;
}

// The export reads the options on its own thread, after KZSaveVideo has returned and the
// caller may have freed its handle: it keeps a copy of its own.
HGLOBAL CopyOptions(HGLOBAL given) {
  if (!given) return nullptr;
  const SIZE_T size = GlobalSize(given);
  const void* from = size ? GlobalLock(given) : nullptr;
  // An unreadable handle becomes a block that holds no options (an uncompressed stream).
  const SIZE_T bytes = from ? size : 8;
  HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
  if (copy && from) {
    void* to = GlobalLock(copy);
    if (to) std::memcpy(to, from, size);
    GlobalUnlock(copy);
  }
  if (from) GlobalUnlock(given);
  return copy;
}

void ReleaseUnstarted(StreamRecord* e) {
  e->running.store(0, std::memory_order_release);
  ReleaseEntry(e);
}

}  // namespace
}  // namespace kz

extern "C" uint32_t KZAPI KZSaveVideo(KZEXPORT* job) {
  using namespace kz;
  SetError(0);
  if (!job) return Fail(KZ_ERR_NULL);
  if (job->size != sizeof(KZEXPORT)) return Fail(KZ_ERR_RECORD_SIZE);
  KZEXPORT copy = *job;  // the caller's record is read once
  if (copy.session == 0) return Fail(KZ_ERR_SESSION);
  if (!CheckOpenSession(copy.session)) return 0;
  if (copy.sourceName[0] == '\0' || copy.fileName[0] == '\0') return Fail(KZ_ERR_NO_FILE_NAME);
  const uint32_t kind = copy.fileFlags & KZ_KIND_MASK;
  if (!IsExportKind(kind)) return Fail(KZ_ERR_KIND);

  char given[257];
  char source[256];
  char output[256];
  NameOf(copy.sourceName, given);
  FullName(given, source, sizeof source);
  NameOf(copy.fileName, given);
  FullName(given, output, sizeof output);

  KZFILEINFO info{};
  info.size = sizeof info;
  uint32_t error = 0;
  if (!FileInfoOf(source, &info, 0, &error)) return Fail(error ? error : KZ_ERR_FILE_KIND);
  // Before anything opens, creates or cuts the output: an export never destroys its source.
  if (OutputIsSource(output, kind, info)) return Fail(KZ_ERR_SAME_FILE);
  if (kind != KZ_KIND_AVI && RecordFrameBytes(info.width, info.height, info.format) == 0) {
    return Fail(KZ_ERR_FILE_KIND);
  }

  // The output clock.
  bool backwards = false;
  if ((copy.exportFlags & KZ_EXPORT_FIXED_RATE) && !(copy.fixedRate > 0.0)) {
    copy.exportFlags &= ~KZ_EXPORT_FIXED_RATE;
    copy.speed = 1.0;
  }
  if (!(copy.exportFlags & KZ_EXPORT_FIXED_RATE) && copy.speed < 0.0) {
    backwards = true;
    copy.speed = -copy.speed;
  }
  if (!(copy.speed > 0.0) || !std::isfinite(copy.speed)) copy.speed = 1.0;

  int32_t* ranges = nullptr;
  if (MakeRangeList(copy.ranges, info.frameCount, backwards, &ranges)) {
    return Fail(KZ_ERR_MEMORY);
  }
  const uint32_t total = ClipRanges(ranges, info.frameCount);
  if (total == 0) {
    BlockFree(ranges);
    return Fail(KZ_ERR_NO_FRAMES);
  }

  KZRECORD record{};
  record.size = sizeof record;
  record.session = copy.session;
  record.width = info.width;
  record.height = info.height;
  record.format = info.format;
  record.bitCount = info.bitCount;
  std::memcpy(record.fileName, output, sizeof record.fileName);
  record.fileFlags = copy.fileFlags;
  record.maxFileMB = copy.maxFileMB;
  record.rate = OutputRate(copy, info);
  record.keyInterval = copy.keyInterval;
  record.refInterval = copy.refInterval;
  record.quantStep = copy.quantStep;
  record.levels = copy.levels;

  // The entry is taken before the output is touched: an export that cannot get one must
  // not have cut an existing file to nothing. Nothing runs on it until the thread starts.
  StreamRecord* e;
  uint32_t id;
  {
    std::lock_guard lock(StreamTableMutex());
    int index = 0;
    e = TakeEntry(&index);
    if (!e) {
      BlockFree(ranges);
      return Fail(KZ_ERR_NO_STREAM_SLOT);
    }
    id = KZ_EXPORT_ID_BASE + static_cast<uint32_t>(index);
    e->session.store(copy.session, std::memory_order_relaxed);
    e->streamId.store(id, std::memory_order_release);
  }
  File probe = FileOpen(output, "rb");
  const bool existed = probe != nullptr;
  FileClose(probe);
  AppendValues append;
  if (const uint32_t prepared = PrepareRecordFile(record, &append)) {
    BlockFree(ranges);
    ReleaseUnstarted(e);
    return Fail(prepared);
  }
  // What this call made of nothing goes again when the export cannot start.
  auto undo = [&](uint32_t code) {
    if (!existed) DeleteFileA(output);
    return Fail(code);
  };
  HGLOBAL options = kind == KZ_KIND_AVI ? CopyOptions(copy.aviOptions) : nullptr;
  if (copy.aviOptions && kind == KZ_KIND_AVI && !options) {
    BlockFree(ranges);
    ReleaseUnstarted(e);
    return undo(KZ_ERR_MEMORY);
  }
  record.aviOptions = options;

  uint32_t generation;
  {
    std::lock_guard lock(StreamTableMutex());
    {
      std::lock_guard blockLock(e->blockMutex);
      e->save = copy;
      e->record = record;
      KZDISPLAY& d = e->display;
      d.size = sizeof(KZDISPLAY);
      d.session = copy.session;
      d.source = id;
      d.window = GetDesktopWindow();
      d.cropLeft = copy.cropLeft;
      d.cropTop = copy.cropTop;
      d.cropWidth = copy.cropWidth;
      d.cropHeight = copy.cropHeight;
      d.orientation = copy.orientation;
      d.zoom = copy.zoom;
      d.aspect = copy.aspect;
      d.resampling = copy.resampling;
      d.adjust = copy.adjust;
      // The low four bits, as a playback passes them: otherwise the crop and zoom fields
      // of the record could never take effect.
      d.drawFlags = copy.exportFlags & KZ_PLAY_DRAW_MASK;
      d.width = info.width;
      d.height = info.height;
      d.format = info.format;
      d.bitCount = info.bitCount;
    }
    e->play.sequenceInfo = info;
    e->exp.ranges = ranges;
    e->exp.total = total;
    e->exp.options = options;
    e->exp.clockLow = append.baseLow;
    e->exp.clockHigh = append.baseHigh;
    e->exp.nextFrameNumber = append.nextFrameNumber;
    e->rec.appendBaseLow = append.baseLow;
    e->rec.appendBaseHigh = append.baseHigh;
    e->rec.nextFrameNumber = append.nextFrameNumber;
    generation = e->generation.load(std::memory_order_acquire);
    // Running from the start: a stop that comes before the thread is scheduled still finds
    // the export and waits for it.
    e->running.store(kSaveBit, std::memory_order_release);
  }
  HANDLE thread = CreateThread(nullptr, 0, ExportThread,
                               reinterpret_cast<LPVOID>(static_cast<uintptr_t>(id)), 0, nullptr);
  if (!thread) {
    ReleaseUnstarted(e);
    return undo(KZ_ERR_THREAD);
  }
  e->saveThread = thread;
  e->startGate.store(1, std::memory_order_release);
  if (!(copy.exportFlags & KZ_EXPORT_WAIT)) return id;

  // The waiting form reads the status once the thread is done with the entry, and then
  // releases the entry itself; a stop that released it first means "stopped by the caller".
  uint32_t status = 0;
  for (;;) {
    // The atomics alone say when to look; the look itself is made under the table lock.
    if ((e->running.load(std::memory_order_acquire) & kSaveBit) &&
        e->generation.load(std::memory_order_acquire) == generation) {
      Sleep(0);
      continue;
    }
    {
      std::lock_guard lock(StreamTableMutex());
      if (e->generation.load(std::memory_order_acquire) != generation ||
          e->releasing.load(std::memory_order_acquire) != 0) {
        break;
      }
      if (!(e->running.load(std::memory_order_acquire) & kSaveBit)) {
        status = e->exp.status.load(std::memory_order_acquire);
        break;
      }
    }
    Sleep(0);
  }
  ReleaseEntry(e, generation);
  if (status != 0 && status != KZ_END_EXPORT) return Fail(status);
  return KZ_EXPORT_DONE;
}

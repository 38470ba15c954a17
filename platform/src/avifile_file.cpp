// AVIFile entry points for files and their streams: opening, reference counts, stream
// information and formats, and the uncompressed write path.
#include <sys/stat.h>
#include <unistd.h>

#include <kzwin_test.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "avifile_internal.h"

namespace kzwin::avi {

long LiveCount();

namespace {

std::atomic<long> initCount{0};

FileStream* AsFileStream(IAVIStream* s) {
  return s && s->kind == IAVIStream::Kind::File ? static_cast<FileStream*>(s) : nullptr;
}

bool ValidFile(PAVIFILE file) {
  std::lock_guard lock(RegistryMutex());
  return IsLive(file) && file->refs > 0;
}

bool ValidStream(PAVISTREAM stream) {
  std::lock_guard lock(RegistryMutex());
  return IsLive(stream) && stream->refs > 0;
}

void DestroyFile(IAVIFile* file) {
  {
    std::lock_guard lock(file->mutex);
    FinishOutput(file);
    CloseInput(file);
  }
  {
    std::lock_guard lock(RegistryMutex());
    for (auto& s : file->streams) Unregister(s.get());
    Unregister(file);
  }
  delete file;
}

}  // namespace

void AddFileRef(IAVIFile* file) {
  std::lock_guard lock(RegistryMutex());
  ++file->refs;
}

ULONG ReleaseFile(IAVIFile* file) {
  long left;
  {
    std::lock_guard lock(RegistryMutex());
    if (!IsLive(file) || file->refs <= 0) return 0;
    left = --file->refs;
  }
  if (left == 0) DestroyFile(file);
  return static_cast<ULONG>(left);
}

void AddStreamRef(IAVIStream* stream) {
  bool firstOfFileStream = false;
  {
    std::lock_guard lock(RegistryMutex());
    firstOfFileStream = stream->refs++ == 0 && stream->kind == IAVIStream::Kind::File;
  }
  // A stream in use keeps its file open.
  if (firstOfFileStream) AddFileRef(static_cast<FileStream*>(stream)->file);
}

}  // namespace kzwin::avi

using namespace kzwin::avi;

extern "C" {

void VFWAPI AVIFileInit(void) {
  EnsureAvSetup();
  initCount.fetch_add(1);
}

void VFWAPI AVIFileExit(void) {
  long n = initCount.load();
  while (n > 0 && !initCount.compare_exchange_weak(n, n - 1)) {
  }
}

HRESULT VFWAPI AVIFileOpenA(PAVIFILE* result, LPCSTR name, UINT mode, LPCLSID) {
  if (!result) return AVIERR_BADPARAM;
  *result = nullptr;
  if (!name || !*name) return AVIERR_BADPARAM;
  EnsureAvSetup();
  auto file = std::make_unique<IAVIFile>();
  file->path = name;
  file->created = (mode & OF_CREATE) != 0;
  file->writable = file->created || (mode & (OF_WRITE | OF_READWRITE)) != 0;
  if (file->created) {
    file->outPath = file->path;
    if (!file->outIo.Open(file->outPath, true, true)) return AVIERR_FILEOPEN;
  } else {
    bool missing = false;
    if (!file->inIo.Open(file->path, false, false, &missing)) {
      // Only a missing file is AVIERR_FILEOPEN: callers create one then. Something that is
      // there but does not read as a file must not be replaced.
      return missing ? AVIERR_FILEOPEN : AVIERR_FILEREAD;
    }
    if (file->writable && ::access(name, W_OK) != 0) return AVIERR_READONLY;
    // A file that exists but is not an AVI is refused, never replaced.
    if (!OpenInput(file.get())) {
      CloseInput(file.get());
      return AVIERR_BADFORMAT;
    }
  }
  std::lock_guard lock(RegistryMutex());
  Register(file.get());
  for (auto& s : file->streams) Register(s.get());
  *result = file.release();
  return AVIERR_OK;
}

HRESULT VFWAPI AVIFileGetStream(PAVIFILE file, PAVISTREAM* result, DWORD type, LONG index) {
  if (!result) return AVIERR_BADPARAM;
  *result = nullptr;
  if (!ValidFile(file)) return AVIERR_BADHANDLE;
  if (index < 0) return AVIERR_NODATA;
  FileStream* found = nullptr;
  {
    std::lock_guard lock(file->mutex);
    LONG seen = 0;
    for (auto& s : file->streams) {
      if (type != 0 && s->info.fccType != type) continue;
      if (seen++ == index) {
        found = s.get();
        break;
      }
    }
  }
  if (!found) return AVIERR_NODATA;
  AddStreamRef(found);
  *result = found;
  return AVIERR_OK;
}

HRESULT VFWAPI AVIFileCreateStreamA(PAVIFILE file, PAVISTREAM* result, AVISTREAMINFOA* info) {
  if (!result) return AVIERR_BADPARAM;
  *result = nullptr;
  if (!ValidFile(file)) return AVIERR_BADHANDLE;
  if (!info) return AVIERR_BADPARAM;
  if (!file->writable) return AVIERR_READONLY;
  if (info->fccType != streamtypeVIDEO) return AVIERR_UNSUPPORTED;
  if (info->dwScale == 0 || info->dwRate == 0) return AVIERR_BADPARAM;
  FileStream* stream;
  {
    std::lock_guard lock(file->mutex);
    // The muxer takes its streams once, before the first chunk; an existing file keeps the
    // streams it has.
    if (!file->created || file->headerWritten || file->failed) return AVIERR_UNSUPPORTED;
    auto s = std::make_unique<FileStream>();
    s->file = file;
    s->info = *info;
    s->info.szName[sizeof s->info.szName - 1] = 0;
    s->info.dwLength = 0;
    s->info.dwStart = 0;
    stream = s.get();
    file->streams.push_back(std::move(s));
  }
  {
    std::lock_guard lock(RegistryMutex());
    Register(stream);
  }
  AddStreamRef(stream);
  *result = stream;
  return AVIERR_OK;
}

ULONG VFWAPI AVIFileRelease(PAVIFILE file) {
  return ReleaseFile(file);
}

HRESULT VFWAPI AVIStreamInfoA(PAVISTREAM stream, LPAVISTREAMINFOA info, LONG size) {
  if (!ValidStream(stream)) return AVIERR_BADHANDLE;
  if (!info || size < 0) return AVIERR_BADPARAM;
  AVISTREAMINFOA copy;
  if (auto* fs = AsFileStream(stream)) {
    std::lock_guard lock(fs->file->mutex);
    copy = fs->info;
    copy.dwLength = static_cast<DWORD>(std::min<int64_t>(fs->Length(), INT32_MAX));
  } else {
    auto* cs = static_cast<CompressedStream*>(stream);
    {
      std::lock_guard lock(cs->source->file->mutex);
      copy = cs->source->info;
      copy.dwLength = static_cast<DWORD>(std::min<int64_t>(cs->source->Length(), INT32_MAX));
    }
    copy.fccHandler = cs->handler ? cs->handler : mmioFOURCC('D', 'I', 'B', ' ');
  }
  std::memcpy(info, &copy, std::min<size_t>(static_cast<size_t>(size), sizeof copy));
  return static_cast<size_t>(size) < sizeof copy ? AVIERR_BUFFERTOOSMALL : AVIERR_OK;
}

HRESULT VFWAPI AVIStreamReadFormat(PAVISTREAM stream, LONG, LPVOID format, LONG* size) {
  if (!ValidStream(stream)) return AVIERR_BADHANDLE;
  if (!size) return AVIERR_BADPARAM;
  FileStream* fs = AsFileStream(stream);
  if (!fs) fs = static_cast<CompressedStream*>(stream)->source;
  std::lock_guard lock(fs->file->mutex);
  if (fs->format.empty()) return AVIERR_NODATA;
  LONG full = static_cast<LONG>(std::min<size_t>(fs->format.size(), INT32_MAX));
  if (!format) {
    *size = full;
    return AVIERR_OK;
  }
  LONG room = std::max<LONG>(*size, 0);
  std::memcpy(format, fs->format.data(), static_cast<size_t>(std::min(room, full)));
  *size = full;
  return room < full ? AVIERR_BUFFERTOOSMALL : AVIERR_OK;
}

LONG VFWAPI AVIStreamLength(PAVISTREAM stream) {
  if (!ValidStream(stream)) return -1;
  FileStream* fs = AsFileStream(stream);
  if (!fs) fs = static_cast<CompressedStream*>(stream)->source;
  std::lock_guard lock(fs->file->mutex);
  return static_cast<LONG>(std::min<int64_t>(fs->Length(), INT32_MAX));
}

HRESULT VFWAPI AVIStreamOpenFromFileA(PAVISTREAM* result, LPCSTR name, DWORD type, LONG index,
                                      UINT mode, CLSID* handler) {
  if (!result) return AVIERR_BADPARAM;
  *result = nullptr;
  PAVIFILE file = nullptr;
  HRESULT hr = AVIFileOpenA(&file, name, mode, handler);
  if (hr != AVIERR_OK) return hr;
  hr = AVIFileGetStream(file, result, type, index);
  AVIFileRelease(file);  // the stream, if any, holds the file
  return hr;
}

}  // extern "C"

// Test seams.
extern "C" KZWIN_API LONG kzwinAviLiveObjects(void) {
  std::lock_guard lock(RegistryMutex());
  return LiveCount();
}

extern "C" KZWIN_API LONG kzwinAviInitCount(void) {
  return initCount.load();
}

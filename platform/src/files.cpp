// File handles over POSIX descriptors, with Windows' creation dispositions, share modes,
// 32-bit file pointer calls and error codes.
#include <windows.h>
#include <kzwin_test.h>

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "fileio.h"
#include "handles.h"

static_assert(sizeof(off_t) == 8, "files need 64-bit offsets");

namespace kzwin {
namespace {

using FileId = std::pair<dev_t, ino_t>;

struct File;
std::mutex shareMutex;
std::multimap<FileId, File*>& OpenFiles() {
  static auto* files = new std::multimap<FileId, File*>;  // outlives static destructors
  return *files;
}

struct File : Object {
  static constexpr Kind kKind = Kind::File;
  File(int descriptor, DWORD accessMask, DWORD shareMask)
      : Object(kKind), fd(descriptor), access(accessMask), share(shareMask) {}
  ~File() override {
    if (entered) {
      std::lock_guard lock(shareMutex);
      OpenFiles().erase(entry);
    }
    close(fd);
  }
  bool CanRead() const { return access & GENERIC_READ; }
  bool CanWrite() const { return access & GENERIC_WRITE; }

  const int fd;
  const DWORD access;
  const DWORD share;
  bool entered = false;
  std::multimap<FileId, File*>::iterator entry;
};

// Windows refuses an open whose access another open does not share, or whose share mode
// does not allow the access another open already has.
bool Compatible(const File& a, const File& b) {
  // An open for attributes only takes part in no share check, either way.
  if (!a.access || !b.access) return true;
  if (a.CanRead() && !(b.share & FILE_SHARE_READ)) return false;
  if (a.CanWrite() && !(b.share & FILE_SHARE_WRITE)) return false;
  if (b.CanRead() && !(a.share & FILE_SHARE_READ)) return false;
  if (b.CanWrite() && !(a.share & FILE_SHARE_WRITE)) return false;
  return true;
}

bool EnterShared(File* file, FileId id) {
  std::lock_guard lock(shareMutex);
  auto range = OpenFiles().equal_range(id);
  for (auto it = range.first; it != range.second; ++it) {
    if (!Compatible(*file, *it->second)) return false;
  }
  file->entry = OpenFiles().emplace(id, file);
  file->entered = true;
  return true;
}

std::atomic<int64_t> writeBudget{-1};
std::atomic<long> writeCalls{0};
std::atomic<int64_t> bytesWritten{0};

// Takes up to `want` bytes from the disk-full seam's budget.
DWORD ClaimWrite(DWORD want) {
  int64_t left = writeBudget.load();
  while (left >= 0) {
    int64_t take = left < want ? left : want;
    if (writeBudget.compare_exchange_weak(left, left - take)) return static_cast<DWORD>(take);
  }
  return want;
}

void RefundWrite(DWORD unused) {
  int64_t left = writeBudget.load();
  while (left >= 0 && unused > 0) {
    if (writeBudget.compare_exchange_weak(left, left + unused)) return;
  }
}

int OpenFlags(DWORD access) {
  bool read = access & GENERIC_READ, write = access & GENERIC_WRITE;
  int flags = O_CLOEXEC | O_NOCTTY;
  if (read && write) return flags | O_RDWR;
  if (write) return flags | O_WRONLY;
  return flags | O_RDONLY;
}

std::shared_ptr<File> LookupFile(HANDLE handle) {
  auto file = Lookup<File>(handle);
  if (!file) SetError(ERROR_INVALID_HANDLE);
  return file;
}

}  // namespace

bool OpenWithoutDeleteSharing(dev_t device, ino_t inode) {
  std::lock_guard lock(shareMutex);
  auto range = OpenFiles().equal_range(FileId(device, inode));
  for (auto it = range.first; it != range.second; ++it) {
    if (!(it->second->share & FILE_SHARE_DELETE)) return true;
  }
  return false;
}

}  // namespace kzwin

using kzwin::File;
using kzwin::SetError;

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                          DWORD creation, DWORD flags, HANDLE) {
  if (!name) {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (!*name) {
    SetError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (creation < CREATE_NEW || creation > TRUNCATE_EXISTING ||
      (creation == TRUNCATE_EXISTING && !(access & GENERIC_WRITE))) {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::string path = kzwin::PosixPath(name);
  const int base = kzwin::OpenFlags(access);
  const mode_t mode = (flags & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;

  int fd = -1;
  bool existed = false;
  switch (creation) {
    case CREATE_NEW:
      fd = open(path.c_str(), base | O_CREAT | O_EXCL, mode);
      break;
    case OPEN_EXISTING:
    case TRUNCATE_EXISTING:
      fd = open(path.c_str(), base);
      existed = true;
      break;
    default:
      // Learn whether the file was there: Windows reports it as ERROR_ALREADY_EXISTS.
      for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        fd = open(path.c_str(), base | O_CREAT | O_EXCL, mode);
        if (fd >= 0 || errno != EEXIST) break;
        fd = open(path.c_str(), base);
        if (fd >= 0)
          existed = true;
        else if (errno != ENOENT)
          break;  // ENOENT: removed meanwhile, try again
      }
      break;
  }
  if (fd < 0) {
    int err = errno;
    SetError(err == ENOENT ? kzwin::MissingError(path)
                           : kzwin::ErrorFromErrno(err, ERROR_ACCESS_DENIED));
    return INVALID_HANDLE_VALUE;
  }
  auto file = std::make_shared<File>(fd, access & (GENERIC_READ | GENERIC_WRITE), share);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    SetError(kzwin::ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    return INVALID_HANDLE_VALUE;
  }
  if (S_ISDIR(st.st_mode)) {  // a folder is no file
    SetError(creation == CREATE_NEW ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (!kzwin::EnterShared(file.get(), kzwin::FileId(st.st_dev, st.st_ino))) {
    SetError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  if (existed && (creation == CREATE_ALWAYS || creation == TRUNCATE_EXISTING)) {
    int rc = file->CanWrite() ? ftruncate(fd, 0) : truncate(path.c_str(), 0);
    if (rc != 0) {
      SetError(kzwin::ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
      return INVALID_HANDLE_VALUE;
    }
  }
  HANDLE handle = kzwin::RegisterObject(file);
  SetError(existed && (creation == CREATE_ALWAYS || creation == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                             : ERROR_SUCCESS);
  return handle;
}

BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read,
                     LPOVERLAPPED overlapped) {
  if (read) *read = 0;
  auto file = kzwin::LookupFile(handle);
  if (!file) return FALSE;
  if (overlapped) {
    SetError(ERROR_INVALID_PARAMETER);  // every handle here is synchronous
    return FALSE;
  }
  if (!file->CanRead()) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (toRead > 0 && !buffer) {
    SetError(ERROR_NOACCESS);
    return FALSE;
  }
  auto* bytes = static_cast<uint8_t*>(buffer);
  DWORD done = 0;
  while (done < toRead) {
    ssize_t n = ::read(file->fd, bytes + done, toRead - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (read) *read = done;
      SetError(kzwin::ErrorFromErrno(errno, ERROR_READ_FAULT));
      return FALSE;
    }
    if (n == 0) break;  // end of file: success with fewer bytes
    done += static_cast<DWORD>(n);
  }
  if (read) *read = done;
  return TRUE;
}

BOOL WINAPI WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                      LPOVERLAPPED overlapped) {
  if (written) *written = 0;
  auto file = kzwin::LookupFile(handle);
  if (!file) return FALSE;
  if (overlapped) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!file->CanWrite()) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (toWrite == 0) return TRUE;
  if (!buffer) {
    SetError(ERROR_NOACCESS);
    return FALSE;
  }
  kzwin::writeCalls.fetch_add(1, std::memory_order_relaxed);
  const DWORD allowed = kzwin::ClaimWrite(toWrite);
  if (allowed == 0) {
    SetError(ERROR_DISK_FULL);
    return FALSE;
  }
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  DWORD done = 0;
  int err = 0;
  while (done < allowed) {
    ssize_t n = ::write(file->fd, bytes + done, allowed - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : ENOSPC;
      break;
    }
    done += static_cast<DWORD>(n);
  }
  kzwin::RefundWrite(allowed - done);
  kzwin::bytesWritten.fetch_add(done, std::memory_order_relaxed);
  if (written) *written = done;
  // Like a full disk under POSIX: what fit is a short write; the next call fails.
  if (err && done == 0) {
    SetError(kzwin::ErrorFromErrno(err, ERROR_WRITE_FAULT));
    return FALSE;
  }
  return TRUE;
}

DWORD WINAPI SetFilePointer(HANDLE handle, LONG distance, LONG* distanceHigh, DWORD method) {
  auto file = kzwin::LookupFile(handle);
  if (!file) return INVALID_SET_FILE_POINTER;
  int64_t move = distance;
  if (distanceHigh) {
    move =
        static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
                             static_cast<uint32_t>(distance));
  }
  int64_t origin = 0;
  if (method == FILE_CURRENT) {
    origin = lseek(file->fd, 0, SEEK_CUR);
  } else if (method == FILE_END) {
    struct stat st;
    origin = fstat(file->fd, &st) == 0 ? st.st_size : -1;
  } else if (method != FILE_BEGIN) {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (origin < 0) {
    SetError(kzwin::ErrorFromErrno(errno, ERROR_INVALID_FUNCTION));
    return INVALID_SET_FILE_POINTER;
  }
  int64_t target;
  if (__builtin_add_overflow(origin, move, &target)) {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (target < 0) {
    SetError(ERROR_NEGATIVE_SEEK);
    return INVALID_SET_FILE_POINTER;
  }
  // Without the high part the caller could not see where the pointer went.
  if (!distanceHigh && target > 0xFFFFFFFFll) {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (lseek(file->fd, target, SEEK_SET) < 0) {
    SetError(kzwin::ErrorFromErrno(errno, ERROR_INVALID_PARAMETER));
    return INVALID_SET_FILE_POINTER;
  }
  if (distanceHigh) *distanceHigh = static_cast<LONG>(static_cast<uint64_t>(target) >> 32);
  SetError(ERROR_SUCCESS);  // a low part of 0xFFFFFFFF is then told apart from failure
  return static_cast<DWORD>(target);
}

BOOL WINAPI SetEndOfFile(HANDLE handle) {
  auto file = kzwin::LookupFile(handle);
  if (!file) return FALSE;
  if (!file->CanWrite()) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  off_t here = lseek(file->fd, 0, SEEK_CUR);
  if (here < 0 || ftruncate(file->fd, here) != 0) {
    SetError(kzwin::ErrorFromErrno(errno, ERROR_WRITE_FAULT));
    return FALSE;
  }
  return TRUE;
}

DWORD WINAPI GetFileSize(HANDLE handle, LPDWORD high) {
  auto file = kzwin::LookupFile(handle);
  if (!file) return INVALID_FILE_SIZE;
  struct stat st;
  if (fstat(file->fd, &st) != 0) {
    SetError(kzwin::ErrorFromErrno(errno, ERROR_INVALID_HANDLE));
    return INVALID_FILE_SIZE;
  }
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (high) *high = static_cast<DWORD>(size >> 32);
  SetError(ERROR_SUCCESS);
  return static_cast<DWORD>(size);
}

BOOL WINAPI FlushFileBuffers(HANDLE handle) {
  auto file = kzwin::LookupFile(handle);
  if (!file) return FALSE;
  if (!file->CanWrite()) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (fsync(file->fd) != 0) {
    SetError(kzwin::ErrorFromErrno(errno, ERROR_WRITE_FAULT));
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI GetFileTime(HANDLE handle, LPFILETIME creation, LPFILETIME access, LPFILETIME write) {
  auto file = kzwin::LookupFile(handle);
  if (!file) return FALSE;
  kzwin::FileFacts facts;
  if (!kzwin::ReadFacts(file->fd, nullptr, &facts)) {
    SetError(kzwin::ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    return FALSE;
  }
  if (creation) *creation = facts.creation;
  if (access) *access = facts.access;
  if (write) *write = facts.write;
  return TRUE;
}

BOOL WINAPI GetFileInformationByHandle(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION info) {
  auto file = kzwin::LookupFile(handle);
  if (!file) return FALSE;
  if (!info) {
    SetError(ERROR_NOACCESS);
    return FALSE;
  }
  kzwin::FileFacts facts;
  if (!kzwin::ReadFacts(file->fd, nullptr, &facts)) {
    SetError(kzwin::ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    return FALSE;
  }
  const uint64_t device = facts.st.st_dev, inode = facts.st.st_ino;
  const uint64_t size = static_cast<uint64_t>(facts.st.st_size);
  info->dwFileAttributes = facts.attributes;
  info->ftCreationTime = facts.creation;
  info->ftLastAccessTime = facts.access;
  info->ftLastWriteTime = facts.write;
  info->dwVolumeSerialNumber = static_cast<DWORD>(device ^ (device >> 32));
  info->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  info->nFileSizeLow = static_cast<DWORD>(size);
  info->nNumberOfLinks = static_cast<DWORD>(facts.st.st_nlink);
  info->nFileIndexHigh = static_cast<DWORD>(inode >> 32);
  info->nFileIndexLow = static_cast<DWORD>(inode);
  return TRUE;
}

void kzwinFailWritesAfter(LONGLONG bytes) {
  kzwin::writeBudget.store(bytes < 0 ? -1 : bytes);
}

LONG kzwinCountWriteCalls(void) { return kzwin::writeCalls.load(); }
LONGLONG kzwinCountBytesWritten(void) { return kzwin::bytesWritten.load(); }

}  // extern "C"

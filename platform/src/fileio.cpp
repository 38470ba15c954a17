// Helpers shared by the file functions.
#include "fileio.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace kzwin {

DWORD ErrorFromErrno(int err, DWORD fallback) {
  switch (err) {
    case 0:
      return fallback;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL;
    case EFBIG:
      return ERROR_FILE_TOO_LARGE;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ELOOP:
      return ERROR_CANT_RESOLVE_FILENAME;
    case EXDEV:
      return ERROR_NOT_SAME_DEVICE;
    case ESPIPE:
      return ERROR_INVALID_FUNCTION;
    default:
      return fallback;
  }
}

std::string PosixPath(const char* name) {
  std::string path(name);
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

DWORD MissingError(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return ERROR_FILE_NOT_FOUND;
  struct stat st;
  std::string folder = path.substr(0, slash);
  if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
  return ERROR_FILE_NOT_FOUND;
}

FILETIME FileTimeFromUnix(int64_t seconds, long nanoseconds) {
  constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
  FILETIME result{0, 0};
  if (seconds < -kSecondsFrom1601To1970) return result;  // before 1601: the earliest time
  uint64_t ticks = static_cast<uint64_t>(seconds + kSecondsFrom1601To1970) * 10000000u +
                   static_cast<uint64_t>(nanoseconds / 100);
  result.dwLowDateTime = static_cast<DWORD>(ticks);
  result.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return result;
}

bool ReadFacts(int fd, const char* path, FileFacts* facts) {
  int rc = fd >= 0 ? fstat(fd, &facts->st) : stat(path, &facts->st);
  if (rc != 0) return false;
  const struct stat& st = facts->st;
  facts->access = FileTimeFromUnix(st.st_atim.tv_sec, st.st_atim.tv_nsec);
  facts->write = FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  // The birth time where the file system keeps one; the status-change time otherwise.
  facts->creation = FileTimeFromUnix(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
#ifdef STATX_BTIME
  struct statx sx;
  int sxrc = fd >= 0 ? statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &sx)
                     : statx(AT_FDCWD, path, 0, STATX_BTIME, &sx);
  if (sxrc == 0 && (sx.stx_mask & STATX_BTIME)) {
    facts->creation = FileTimeFromUnix(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec);
  }
#endif
  DWORD attributes = 0;
  if (S_ISDIR(st.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  if (!(st.st_mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
  facts->attributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
  return true;
}

}  // namespace kzwin

// Shared pieces of the file functions: errno translation, path spelling, file times,
// and the share-mode table that CreateFileA, DeleteFileA and MoveFileExA consult.
#pragma once

#include <windows.h>
#include <sys/stat.h>

#include <string>

namespace kzwin {

// The Win32 code for a failed POSIX call; `fallback` for errors with no closer match.
DWORD ErrorFromErrno(int err, DWORD fallback);

// Windows accepts both separators; POSIX only knows '/'.
std::string PosixPath(const char* name);

// After ENOENT: a missing file is ERROR_FILE_NOT_FOUND, a missing folder on the way to it
// ERROR_PATH_NOT_FOUND.
DWORD MissingError(const std::string& path);

// 100-ns ticks since 1601-01-01 UTC.
FILETIME FileTimeFromUnix(int64_t seconds, long nanoseconds);

// What FindFirstFileA and GetFileInformationByHandle report about a file.
struct FileFacts {
  struct stat st;
  FILETIME creation, access, write;
  DWORD attributes;
};
// `fd` >= 0 describes that descriptor, otherwise `path`. False with errno set on failure.
bool ReadFacts(int fd, const char* path, FileFacts* facts);

// Whether a handle of this process holds the file open without FILE_SHARE_DELETE, so
// that deleting or renaming it is a sharing violation.
bool OpenWithoutDeleteSharing(dev_t device, ino_t inode);

}  // namespace kzwin

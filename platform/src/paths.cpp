// Path functions: full and temporary paths, directory search, deleting and renaming.
#include <windows.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fileio.h"
#include "handles.h"

namespace kzwin {
namespace {

struct Find : Object {
  static constexpr Kind kKind = Kind::Find;
  Find() : Object(kKind) {}
  std::vector<WIN32_FIND_DATAA> entries;
  size_t next = 0;  // touched only by the thread that searches, as on Windows
};

std::string CurrentFolder() {
  std::vector<char> buffer(256);
  while (!getcwd(buffer.data(), buffer.size())) {
    if (errno != ERANGE) return std::string();
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

// The absolute form of `path`: relative to the current folder, "." and ".." folded by
// spelling alone (nothing is looked up), a trailing separator kept.
bool AbsolutePath(const std::string& path, std::string* out) {
  std::string whole = path;
  if (whole.empty() || whole[0] != '/') {
    std::string folder = CurrentFolder();
    if (folder.empty()) return false;
    whole = folder + "/" + whole;
  }
  std::vector<std::string> parts;
  size_t pos = 0;
  while (pos <= whole.size()) {
    size_t slash = whole.find('/', pos);
    if (slash == std::string::npos) slash = whole.size();
    std::string part = whole.substr(pos, slash - pos);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(std::move(part));
    }
    pos = slash + 1;
  }
  std::string result;
  for (const std::string& part : parts) result += "/" + part;
  // Windows keeps a trailing separator the caller wrote; "." and ".." ends leave none.
  if (result.empty() || path.back() == '/') result += "/";
  *out = std::move(result);
  return true;
}

// Windows' convention for string results: the length without the terminator when it fits,
// otherwise the room needed including the terminator (and the buffer untouched).
DWORD CopyOut(const std::string& text, DWORD room, LPSTR buffer) {
  if (!buffer || text.size() + 1 > room) return static_cast<DWORD>(text.size() + 1);
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<DWORD>(text.size());
}

void FillFindData(const FileFacts& facts, const char* name, WIN32_FIND_DATAA* data) {
  std::memset(data, 0, sizeof *data);
  uint64_t size = S_ISDIR(facts.st.st_mode) ? 0 : static_cast<uint64_t>(facts.st.st_size);
  data->dwFileAttributes = facts.attributes;
  data->ftCreationTime = facts.creation;
  data->ftLastAccessTime = facts.access;
  data->ftLastWriteTime = facts.write;
  data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(size);
  std::strncpy(data->cFileName, name, MAX_PATH - 1);
}

bool HasWildcard(const std::string& text) {
  return text.find_first_of("*?") != std::string::npos;
}

// Refuses to delete or rename a file that an open handle does not share for deleting.
bool SharedForDelete(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return true;  // the call itself reports what is missing
  if (OpenWithoutDeleteSharing(st.st_dev, st.st_ino)) {
    SetError(ERROR_SHARING_VIOLATION);
    return false;
  }
  return true;
}

}  // namespace
}  // namespace kzwin

using kzwin::SetError;

extern "C" {

DWORD WINAPI GetFullPathNameA(LPCSTR name, DWORD room, LPSTR buffer, LPSTR* filePart) {
  if (!name) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!*name) {
    SetError(ERROR_INVALID_NAME);
    return 0;
  }
  std::string full;
  if (!kzwin::AbsolutePath(kzwin::PosixPath(name), &full)) {
    SetError(kzwin::ErrorFromErrno(errno, ERROR_PATH_NOT_FOUND));
    return 0;
  }
  DWORD n = kzwin::CopyOut(full, room, buffer);
  if (n == full.size() && filePart) {
    *filePart = full.back() == '/' ? nullptr : buffer + full.find_last_of('/') + 1;
  }
  return n;
}

DWORD WINAPI GetTempPathA(DWORD room, LPSTR buffer) {
  const char* tmp = getenv("TMPDIR");
  std::string path = tmp && *tmp ? tmp : "/tmp";
  if (path[0] != '/' && !kzwin::AbsolutePath(path, &path)) path = "/tmp";
  if (path.back() != '/') path += '/';
  return kzwin::CopyOut(path, room, buffer);
}

HANDLE WINAPI FindFirstFileA(LPCSTR name, LPWIN32_FIND_DATAA data) {
  if (!name || !data) {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string path = kzwin::PosixPath(name);
  size_t slash = path.find_last_of('/');
  std::string folder = slash == std::string::npos ? "./" : path.substr(0, slash + 1);
  std::string pattern = slash == std::string::npos ? path : path.substr(slash + 1);
  if (pattern.empty()) {  // "folder/" names no entry
    SetError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (kzwin::HasWildcard(folder)) {
    SetError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  auto find = std::make_shared<kzwin::Find>();
  kzwin::FileFacts facts;
  if (!kzwin::HasWildcard(pattern)) {
    if (!kzwin::ReadFacts(-1, path.c_str(), &facts)) {
      SetError(errno == ENOENT ? kzwin::MissingError(path)
                               : kzwin::ErrorFromErrno(errno, ERROR_FILE_NOT_FOUND));
      return INVALID_HANDLE_VALUE;
    }
    find->entries.resize(1);
    kzwin::FillFindData(facts, pattern.c_str(), &find->entries[0]);
  } else {
    if (pattern == "*.*") pattern = "*";  // Windows: "*.*" matches names without a dot too
    DIR* dir = opendir(folder.c_str());
    if (!dir) {
      SetError(errno == ENOENT || errno == ENOTDIR
                   ? ERROR_PATH_NOT_FOUND
                   : kzwin::ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
      return INVALID_HANDLE_VALUE;
    }
    std::vector<std::string> names;
    while (struct dirent* entry = readdir(dir)) {
      if (fnmatch(pattern.c_str(), entry->d_name, 0) == 0) {
        names.emplace_back(entry->d_name);
      }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& entryName : names) {
      // An entry removed since the folder was read is simply left out.
      if (!kzwin::ReadFacts(-1, (folder + entryName).c_str(), &facts)) continue;
      find->entries.emplace_back();
      kzwin::FillFindData(facts, entryName.c_str(), &find->entries.back());
    }
    if (find->entries.empty()) {
      SetError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
  }
  *data = find->entries[0];
  find->next = 1;
  SetError(ERROR_SUCCESS);
  return kzwin::RegisterObject(find);
}

BOOL WINAPI FindNextFileA(HANDLE handle, LPWIN32_FIND_DATAA data) {
  auto find = kzwin::Lookup<kzwin::Find>(handle);
  if (!find || !data) {
    SetError(find ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (find->next >= find->entries.size()) {
    SetError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  *data = find->entries[find->next++];
  return TRUE;
}

BOOL WINAPI FindClose(HANDLE handle) {
  if (kzwin::UnregisterObject(handle, kzwin::Kind::Find)) return TRUE;
  SetError(ERROR_INVALID_HANDLE);
  return FALSE;
}

BOOL WINAPI DeleteFileA(LPCSTR name) {
  if (!name || !*name) {
    SetError(name ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string path = kzwin::PosixPath(name);
  if (!kzwin::SharedForDelete(path)) return FALSE;
  if (unlink(path.c_str()) != 0) {
    SetError(errno == ENOENT ? kzwin::MissingError(path)
                             : kzwin::ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
  if (!from || !to || !*from || !*to) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string source = kzwin::PosixPath(from), target = kzwin::PosixPath(to);
  if (!kzwin::SharedForDelete(source) || !kzwin::SharedForDelete(target)) return FALSE;
  struct stat st;
  if (stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && source != target) {
    SetError(ERROR_ACCESS_DENIED);  // a folder is never replaced
    return FALSE;
  }
  int rc;
  if (flags & MOVEFILE_REPLACE_EXISTING) {
    rc = rename(source.c_str(), target.c_str());
  } else {
    rc = renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
      // A file system without no-replace renames: a hard link fails when the target exists.
      rc = link(source.c_str(), target.c_str());
      if (rc == 0) unlink(source.c_str());
    }
  }
  if (rc != 0) {
    int err = errno;
    if (err == EEXIST || err == ENOTEMPTY) {
      SetError(ERROR_ALREADY_EXISTS);
    } else if (err == ENOENT) {
      SetError(kzwin::MissingError(lstat(source.c_str(), &st) == 0 ? target : source));
    } else {
      SetError(kzwin::ErrorFromErrno(err, ERROR_ACCESS_DENIED));
    }
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"

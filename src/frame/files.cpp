// Unbuffered files over the system's handles, shaped like the C stream calls, and the
// names of numbered file sequences.
#include "frame/files.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

namespace kz {
namespace {

// One system call moves at most this much; larger requests are split.
constexpr size_t kMaxChunk = 0x40000000;

}  // namespace

File FileOpen(const char* name, const char* mode) {
  if (!name || !mode || !mode[0]) return nullptr;
  const bool both = mode[1] == '+';
  DWORD access = 0;
  DWORD creation = 0;
  switch (std::toupper(static_cast<unsigned char>(mode[0]))) {
    case 'R':
      access = GENERIC_READ | (both ? GENERIC_WRITE : 0);
      creation = OPEN_EXISTING;
      break;
    case 'W':
      access = GENERIC_WRITE | (both ? GENERIC_READ : 0);
      creation = CREATE_ALWAYS;
      break;
    case 'A':
      access = GENERIC_WRITE | (both ? GENERIC_READ : 0);
      creation = OPEN_ALWAYS;
      break;
    default:
      return nullptr;
  }
  HANDLE h = CreateFileA(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, creation,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE || !h) return nullptr;
  if (creation == OPEN_ALWAYS && FileSeek(h, 0, 2) != 0) {
    CloseHandle(h);
    return nullptr;
  }
  return h;
}

int FileClose(File file) {
  if (!file) return 0;
  return CloseHandle(file) ? 0 : 1;
}

size_t FileRead(void* buffer, size_t size, size_t count, File file) {
  if (!file || !buffer || size == 0 || count == 0) return 0;
  if (count > std::numeric_limits<size_t>::max() / size) return 0;
  const size_t total = size * count;
  size_t done = 0;
  auto* at = static_cast<uint8_t*>(buffer);
  while (done < total) {
    const DWORD want = static_cast<DWORD>(std::min(total - done, kMaxChunk));
    DWORD got = 0;
    if (!ReadFile(file, at + done, want, &got, nullptr)) break;
    done += got;
    if (got < want) break;  // end of file
  }
  return done / size;
}

size_t FileWrite(const void* buffer, size_t size, size_t count, File file) {
  if (!file || !buffer || size == 0 || count == 0) return 0;
  if (count > std::numeric_limits<size_t>::max() / size) return 0;
  const size_t total = size * count;
  size_t done = 0;
  const auto* at = static_cast<const uint8_t*>(buffer);
  while (done < total) {
    const DWORD want = static_cast<DWORD>(std::min(total - done, kMaxChunk));
    DWORD put = 0;
    if (!WriteFile(file, at + done, want, &put, nullptr)) {
      done += put;
      break;
    }
    done += put;
    if (put < want) break;  // disk full
  }
  return done / size;
}

int FileSeek(File file, int64_t offset, int origin) {
  if (!file) return 1;
  DWORD method;
  switch (origin) {
    case 0:
      method = FILE_BEGIN;
      break;
    case 1:
      method = FILE_CURRENT;
      break;
    case 2:
      method = FILE_END;
      break;
    default:
      return 1;
  }
  LONG high = static_cast<LONG>(static_cast<uint64_t>(offset) >> 32);
  SetLastError(ERROR_SUCCESS);
  DWORD low = SetFilePointer(file, static_cast<LONG>(static_cast<uint32_t>(offset)), &high, method);
  // The low part of a valid position can be 0xFFFFFFFF; only the error code tells.
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS) return 1;
  return 0;
}

int64_t FileTell(File file) {
  if (!file) return 0;
  LONG high = 0;
  SetLastError(ERROR_SUCCESS);
  DWORD low = SetFilePointer(file, 0, &high, FILE_CURRENT);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS) return -1;
  return static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | low);
}

void FileRewind(File file) {
  if (file) FileSeek(file, 0, 0);
}

int64_t FileLength(File file) {
  if (!file) return -1;
  DWORD high = 0;
  SetLastError(ERROR_SUCCESS);
  DWORD low = GetFileSize(file, &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) return -1;
  return static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | low);
}

bool FileTruncate(File file, int64_t length) {
  if (!file || length < 0) return false;
  if (FileSeek(file, length, 0) != 0) return false;
  return SetEndOfFile(file) != FALSE;
}

bool NeighbourName(char* name, size_t capacity, int direction) {
  if (!name || capacity == 0) return false;
  const size_t length = strnlen(name, capacity);
  if (length == capacity) return false;  // not terminated inside the buffer

  // Both separators part a path on every host, so the dot of a directory is never taken.
  size_t from = 0;
  for (size_t i = 0; i < length; ++i) {
    if (name[i] == '\\' || name[i] == '/') from = i;
  }
  size_t extension = length;  // where the extension (dot included) begins
  for (size_t i = from; i < length; ++i) {
    if (name[i] == '.') extension = i;
  }
  const char* stem = extension ? name : "A";
  const size_t stemLength = extension ? extension : 1;

  // Trailing digits are the number; the stem's first character always stays in the stem.
  size_t kept = stemLength;
  while (kept > 1 && std::isdigit(static_cast<unsigned char>(stem[kept - 1]))) --kept;
  int64_t number = 1;
  if (kept < stemLength) {
    number = 0;
    for (size_t i = kept; i < stemLength; ++i) {
      number = number * 10 + (stem[i] - '0');
      if (number > std::numeric_limits<int32_t>::max()) return false;  // would not print back
    }
  }
  number += direction >= 0 ? 1 : -1;
  if (number > std::numeric_limits<int32_t>::max()) return false;

  char digitsText[16] = "";
  if (number != 0) std::snprintf(digitsText, sizeof digitsText, "%d", static_cast<int>(number));
  std::string result;
  result.append(stem, kept);
  result.append(digitsText);
  result.append(name + extension, name + length);
  if (result.size() + 1 > capacity) return false;
  std::memcpy(name, result.c_str(), result.size() + 1);
  return true;
}

}  // namespace kz

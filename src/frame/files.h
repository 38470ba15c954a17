// Files with C-stream-like calls over system handles, unbuffered, and numbered file names.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace kz {

using File = HANDLE;  // null = no file

// Mode "rb", "r+b", "wb", "ab", "a+b": first letter R, W or A (any case), '+' adds the other
// direction, the rest is ignored. Returns null on failure.
File FileOpen(const char* name, const char* mode);
int FileClose(File file);  // 0 closed, 1 refused; null gives 0
size_t FileRead(void* buffer, size_t size, size_t count, File file);
size_t FileWrite(const void* buffer, size_t size, size_t count, File file);
int FileSeek(File file, int64_t offset, int origin);  // 0 ok, 1 failure; origin 0/1/2
int64_t FileTell(File file);                          // -1 on failure; null gives 0
void FileRewind(File file);
int64_t FileLength(File file);                 // -1 on failure
bool FileTruncate(File file, int64_t length);  // cuts the file; position moves to `length`

// Next (direction >= 0) or previous name of a numbered file sequence, written in place.
// Fails and leaves `name` unchanged when the result does not fit in `capacity` bytes.
bool NeighbourName(char* name, size_t capacity, int direction);

}  // namespace kz

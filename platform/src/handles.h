// Kernel objects behind HANDLE values. Handle values are never reused, so a
// stale handle is refused instead of reaching another object.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>

namespace kzwin {

enum class Kind : uint32_t { Memory = 1, File, Thread, Find };

struct Object {
  explicit Object(Kind k) : kind(k) {}
  virtual ~Object() = default;
  const Kind kind;
};

// Enters an object; returns its new handle.
HANDLE RegisterObject(std::shared_ptr<Object> object);
// The object behind a handle if it is of the given kind, else null.
std::shared_ptr<Object> LookupObject(HANDLE handle, Kind kind);
// Removes the handle; returns the object it named (null if none of that kind).
std::shared_ptr<Object> UnregisterObject(HANDLE handle, Kind kind);
long CountObjects(Kind kind);
long CountObjects();

template <class T>
std::shared_ptr<T> Lookup(HANDLE handle) {
  return std::static_pointer_cast<T>(LookupObject(handle, T::kKind));
}

// Win32's own last error, per thread.
void SetError(DWORD code);

}  // namespace kzwin

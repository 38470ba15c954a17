#include "handles.h"

#include <kzwin_test.h>

#include <mutex>
#include <unordered_map>

namespace kzwin {
namespace {

struct Table {
  std::mutex mutex;
  std::unordered_map<uintptr_t, std::shared_ptr<Object>> objects;
  uintptr_t next = 0x10000;
};

Table& GetTable() {
  static Table* table = new Table;  // outlives every static destructor that may close handles
  return *table;
}

thread_local DWORD lastError = 0;

}  // namespace

HANDLE RegisterObject(std::shared_ptr<Object> object) {
  Table& t = GetTable();
  std::lock_guard lock(t.mutex);
  t.next += 16;
  t.objects.emplace(t.next, std::move(object));
  return reinterpret_cast<HANDLE>(t.next);
}

std::shared_ptr<Object> LookupObject(HANDLE handle, Kind kind) {
  Table& t = GetTable();
  std::lock_guard lock(t.mutex);
  auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
  if (it == t.objects.end() || it->second->kind != kind) return nullptr;
  return it->second;
}

std::shared_ptr<Object> UnregisterObject(HANDLE handle, Kind kind) {
  Table& t = GetTable();
  std::lock_guard lock(t.mutex);
  auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
  if (it == t.objects.end() || it->second->kind != kind) return nullptr;
  std::shared_ptr<Object> object = std::move(it->second);
  t.objects.erase(it);
  return object;
}

long CountObjects(Kind kind) {
  Table& t = GetTable();
  std::lock_guard lock(t.mutex);
  long n = 0;
  for (auto& [key, object] : t.objects) n += object->kind == kind;
  return n;
}

long CountObjects() {
  Table& t = GetTable();
  std::lock_guard lock(t.mutex);
  return static_cast<long>(t.objects.size());
}

void SetError(DWORD code) { lastError = code; }

}  // namespace kzwin

extern "C" {

BOOL WINAPI CloseHandle(HANDLE handle) {
  // Global memory is released with GlobalFree, never with CloseHandle.
  for (kzwin::Kind kind : {kzwin::Kind::File, kzwin::Kind::Thread, kzwin::Kind::Find}) {
    if (kzwin::UnregisterObject(handle, kind)) return TRUE;
  }
  kzwin::SetError(ERROR_INVALID_HANDLE);
  return FALSE;
}

DWORD WINAPI GetLastError(void) { return kzwin::lastError; }
void WINAPI SetLastError(DWORD code) { kzwin::lastError = code; }

LONG kzwinCountOpenHandles(void) {
  return static_cast<LONG>(kzwin::CountObjects() - kzwin::CountObjects(kzwin::Kind::Memory));
}
LONG kzwinCountGlobalBlocks(void) {
  return static_cast<LONG>(kzwin::CountObjects(kzwin::Kind::Memory));
}

}  // extern "C"

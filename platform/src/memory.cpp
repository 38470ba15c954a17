// Movable global memory: a handle owns a buffer that locking pins to one address.
#include <windows.h>
#include <kzwin_test.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

#include "handles.h"

namespace kzwin {
namespace {

struct Memory : Object {
  static constexpr Kind kKind = Kind::Memory;
  Memory() : Object(kKind) {}
  std::mutex mutex;
  size_t size = 0;
  std::unique_ptr<uint8_t[]> data;
  long locks = 0;
  bool freed = false;  // set by GlobalFree, so a racing GlobalReAlloc publishes no address
};

std::mutex addressMutex;
std::unordered_map<const void*, HANDLE>& Addresses() {
  static auto* map = new std::unordered_map<const void*, HANDLE>;
  return *map;
}

std::atomic<long> allocsLeft{-1};
std::atomic<long> allocCalls{0};

// The fault seam: false once the configured number of allocations has been used up.
bool MayAllocate() {
  allocCalls.fetch_add(1, std::memory_order_relaxed);
  long left = allocsLeft.load();
  while (left >= 0) {
    if (left == 0) return false;
    if (allocsLeft.compare_exchange_weak(left, left - 1)) return true;
  }
  return true;
}

// Nothing the library keeps in one block comes near this; a larger request is a size gone
// wrong and is refused rather than handed to the allocator.
constexpr uint64_t kMaxBlock = PTRDIFF_MAX < 0xFFFFFFFFu ? PTRDIFF_MAX : 0xFFFFFFFFu;

std::unique_ptr<uint8_t[]> NewBuffer(size_t bytes, bool zero) {
  if (static_cast<uint64_t>(bytes) > kMaxBlock || !MayAllocate()) return nullptr;
  // Round up so that a zero-size block still has an address of its own.
  auto buffer = std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[bytes ? bytes : 1]);
  if (buffer && zero) std::memset(buffer.get(), 0, bytes ? bytes : 1);
  return buffer;
}

void Remember(const void* address, HANDLE handle) {
  std::lock_guard lock(addressMutex);
  Addresses()[address] = handle;
}

void Forget(const void* address) {
  std::lock_guard lock(addressMutex);
  Addresses().erase(address);
}

}  // namespace
}  // namespace kzwin

using kzwin::Memory;

extern "C" {

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes) {
  auto block = std::make_shared<Memory>();
  block->data = kzwin::NewBuffer(bytes, (flags & GMEM_ZEROINIT) != 0);
  if (!block->data) {
    kzwin::SetError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  block->size = bytes;
  const void* address = block->data.get();
  HANDLE handle = kzwin::RegisterObject(block);
  kzwin::Remember(address, handle);
  return handle;
}

HGLOBAL WINAPI GlobalReAlloc(HGLOBAL mem, SIZE_T bytes, UINT flags) {
  auto block = kzwin::Lookup<Memory>(mem);
  if (!block) {
    kzwin::SetError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  std::lock_guard lock(block->mutex);
  if (block->freed) {
    kzwin::SetError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (block->locks > 0 && !(flags & GMEM_MOVEABLE)) {
    kzwin::SetError(ERROR_NOT_ENOUGH_MEMORY);  // a locked block cannot move
    return nullptr;
  }
  auto fresh = kzwin::NewBuffer(bytes, false);
  if (!fresh) {
    kzwin::SetError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  size_t keep = bytes < block->size ? bytes : block->size;
  std::memcpy(fresh.get(), block->data.get(), keep);
  if ((flags & GMEM_ZEROINIT) && bytes > keep) std::memset(fresh.get() + keep, 0, bytes - keep);
  kzwin::Forget(block->data.get());
  block->data = std::move(fresh);
  block->size = bytes;
  kzwin::Remember(block->data.get(), mem);
  return mem;
}

HGLOBAL WINAPI GlobalFree(HGLOBAL mem) {
  if (!mem) return nullptr;
  auto object = kzwin::UnregisterObject(mem, kzwin::Kind::Memory);
  if (!object) {
    kzwin::SetError(ERROR_INVALID_HANDLE);
    return mem;
  }
  auto block = std::static_pointer_cast<Memory>(object);
  std::lock_guard lock(block->mutex);
  block->freed = true;
  kzwin::Forget(block->data.get());
  return nullptr;
}

LPVOID WINAPI GlobalLock(HGLOBAL mem) {
  auto block = kzwin::Lookup<Memory>(mem);
  if (!block) {
    kzwin::SetError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  std::lock_guard lock(block->mutex);
  ++block->locks;
  return block->data.get();
}

BOOL WINAPI GlobalUnlock(HGLOBAL mem) {
  auto block = kzwin::Lookup<Memory>(mem);
  if (!block) {
    kzwin::SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard lock(block->mutex);
  if (block->locks == 0) {
    kzwin::SetError(ERROR_NOT_LOCKED);
    return FALSE;
  }
  --block->locks;
  kzwin::SetError(ERROR_SUCCESS);  // FALSE with no error: the last lock is gone
  return block->locks > 0;
}

SIZE_T WINAPI GlobalSize(HGLOBAL mem) {
  auto block = kzwin::Lookup<Memory>(mem);
  if (!block) {
    kzwin::SetError(ERROR_INVALID_HANDLE);
    return 0;
  }
  std::lock_guard lock(block->mutex);
  return block->size;
}

HGLOBAL WINAPI GlobalHandle(LPCVOID address) {
  std::lock_guard lock(kzwin::addressMutex);
  auto it = kzwin::Addresses().find(address);
  if (it != kzwin::Addresses().end()) return it->second;
  kzwin::SetError(ERROR_INVALID_HANDLE);
  return nullptr;
}

void kzwinFailAllocAfter(LONG count) { kzwin::allocsLeft.store(count < 0 ? -1 : count); }

LONG kzwinCountAllocCalls(void) { return kzwin::allocCalls.load(); }

}  // extern "C"

// The memory block table. Every block stays locked for its whole life, so its address is
// the key; the table itself is a movable global block that grows 1000 entries at a time.
#include "frame/blocks.h"

#include <cstring>
#include <limits>
#include <mutex>

namespace kz {
namespace {

struct Entry {
  HGLOBAL handle;
  void* address;
  int32_t locks;
};

constexpr int32_t kGrowEntries = 1000;

// Worker threads allocate and free frame buffers while callers' threads work on the table:
// every operation holds this lock from start to end and calls nothing that takes it again.
std::mutex tableMutex;
HGLOBAL tableHandle = nullptr;
Entry* table = nullptr;
int32_t capacity = 0;
int32_t count = 0;

bool FitsIn32Bits(size_t size) {
  return size <= std::numeric_limits<uint32_t>::max();
}

// Room for one more entry; false (table unchanged) when memory is exhausted.
bool Grow() {
  if (count < capacity) return true;
  if (capacity == 0) {
    HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE, sizeof(Entry) * kGrowEntries);
    if (!handle) return false;
    void* address = GlobalLock(handle);
    if (!address) {
      GlobalFree(handle);
      return false;
    }
    tableHandle = handle;
    table = static_cast<Entry*>(address);
    capacity = kGrowEntries;
    return true;
  }
  if (capacity > std::numeric_limits<int32_t>::max() - kGrowEntries) return false;
  GlobalUnlock(tableHandle);
  HGLOBAL grown = GlobalReAlloc(
      tableHandle, sizeof(Entry) * (static_cast<size_t>(capacity) + kGrowEntries), GMEM_MOVEABLE);
  if (!grown) {
    table = static_cast<Entry*>(GlobalLock(tableHandle));
    return false;
  }
  void* address = GlobalLock(grown);
  if (!address) {
    // A handle that reallocated but will not lock leaves nothing usable; keep what we can.
    tableHandle = grown;
    table = nullptr;
    capacity = 0;
    count = 0;
    return false;
  }
  tableHandle = grown;
  table = static_cast<Entry*>(address);
  capacity += kGrowEntries;
  return true;
}

int32_t FindAddress(const void* address) {
  for (int32_t i = 0; i < count; ++i) {
    if (table[i].address == address) return i;
  }
  return -1;
}

int32_t FindHandle(HGLOBAL handle) {
  for (int32_t i = 0; i < count; ++i) {
    if (table[i].handle == handle) return i;
  }
  return -1;
}

void Remove(int32_t index) {
  std::memmove(&table[index], &table[index + 1], sizeof(Entry) * (count - index - 1));
  --count;
}

}  // namespace

void* BlockAlloc(size_t size) {
  if (size == 0 || !FitsIn32Bits(size)) return nullptr;
  std::lock_guard lock(tableMutex);
  if (!Grow()) return nullptr;
  HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE, size);
  if (!handle) return nullptr;
  void* address = GlobalLock(handle);
  if (!address) {
    GlobalFree(handle);
    return nullptr;
  }
  table[count++] = Entry{handle, address, 1};
  return address;
}

void BlockFree(void* address) {
  if (!address) return;
  std::lock_guard lock(tableMutex);
  int32_t i = FindAddress(address);
  if (i < 0) return;
  HGLOBAL handle = table[i].handle;
  // Whatever its lock count: freeing ends every use of the block.
  while (GlobalUnlock(handle)) {
  }
  GlobalFree(handle);
  Remove(i);
}

void* BlockRealloc(void* address, size_t size) {
  if (!FitsIn32Bits(size)) return nullptr;
  if (size == 0) size = 1;
  std::lock_guard lock(tableMutex);
  int32_t i = FindAddress(address);
  if (i < 0) return nullptr;
  Entry& e = table[i];
  GlobalUnlock(e.handle);
  HGLOBAL grown = GlobalReAlloc(e.handle, size, GMEM_MOVEABLE);
  if (!grown) {
    GlobalLock(e.handle);  // the old block, locked again at its old address
    return nullptr;
  }
  void* moved = GlobalLock(grown);
  if (!moved) {
    // The block exists but cannot be reached: drop it rather than keep a stale address.
    GlobalFree(grown);
    Remove(i);
    return nullptr;
  }
  e.handle = grown;
  e.address = moved;
  return moved;
}

void* BlockAdopt(HGLOBAL handle) {
  if (!handle) return nullptr;
  std::lock_guard lock(tableMutex);
  int32_t i = FindHandle(handle);
  if (i >= 0) {
    if (!GlobalLock(handle)) return nullptr;
    ++table[i].locks;
    return table[i].address;
  }
  if (!Grow()) return nullptr;
  // A handle that does not lock (not a global memory handle, or freed) enters nothing.
  void* address = GlobalLock(handle);
  if (!address) return nullptr;
  table[count++] = Entry{handle, address, 1};
  return address;
}

HGLOBAL BlockHandOver(void* address) {
  if (!address) return nullptr;
  std::lock_guard lock(tableMutex);
  int32_t i = FindAddress(address);
  if (i < 0) return nullptr;
  HGLOBAL handle = table[i].handle;
  GlobalUnlock(handle);
  if (--table[i].locks <= 0) Remove(i);
  return handle;
}

int BlockCount() {
  std::lock_guard lock(tableMutex);
  return count;
}

int BlockCapacity() {
  std::lock_guard lock(tableMutex);
  return capacity;
}

}  // namespace kz

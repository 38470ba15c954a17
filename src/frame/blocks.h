// The memory block table: every block the library allocates is a locked movable global
// block, found again by its address.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace kz {

// Size 0, a size beyond 32 bits, or exhausted memory: null, nothing allocated.
void* BlockAlloc(size_t size);
// Null or an address not in the table is ignored.
void BlockFree(void* address);
// Size 0 counts as 1; an unknown address gives null. On failure the old block stays valid.
void* BlockRealloc(void* address, size_t size);
// Enters a caller's handle (or adds a lock to one already entered); null if it does not lock.
void* BlockAdopt(HGLOBAL handle);
// Unlocks the block and leaves the table when its count reaches 0; the handle is returned.
HGLOBAL BlockHandOver(void* address);
// Entries in the table (tests and leak checks), and the room it has before it grows.
int BlockCount();
int BlockCapacity();

// Frees a block on scope exit.
struct BlockDeleter {
  void operator()(void* p) const { BlockFree(p); }
};

}  // namespace kz

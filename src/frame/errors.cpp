#include "frame/errors.h"

#include <kzvideo.h>

#include <atomic>

namespace kz {
namespace {
// One value for the whole process, as callers of the interface expect.
std::atomic<uint32_t> lastError{0};
}  // namespace

void SetError(uint32_t code) { lastError.store(code, std::memory_order_relaxed); }
uint32_t GetError() { return lastError.load(std::memory_order_relaxed); }

}  // namespace kz

extern "C" {

int KZAPI KZEntryPoint(void*, uint32_t, void*) { return 1; }

uint32_t KZAPI KZGetLastError(void) { return kz::GetError(); }

}  // extern "C"

// The KZACCESS table that KZBegin fills for callers who use the library without linking
// against its exports.
#pragma once

#include <kzvideo.h>

#include <cstdint>

namespace kz {

// The not-implemented stub: a message box, error 16, result 0.
void NotImplemented();

// One stub per slot type: it takes the slot's own arguments, so a stdcall caller finds its
// stack as it left it, and returns the slot's zero.
template <class F>
struct SlotStub;
template <class R, class... A>
struct SlotStub<R(KZAPI*)(A...)> {
  static R KZAPI Call(A...) {
    NotImplemented();
    return R{};
  }
};

// Writes the whole record: size, session id, version and every function slot, with the stub
// in each slot whose function is not built.
void FillAccess(KZACCESS* access, uint32_t session);

}  // namespace kz

// The process-wide last-error value of the exported functions.
#pragma once

#include <cstdint>

namespace kz {

// Sets the value that KZGetLastError returns. Worker threads never call it.
void SetError(uint32_t code);
uint32_t GetError();

// Returns 0 after setting `code`: `return Fail(KZ_ERR_NULL);` in functions whose failure is 0.
inline int Fail(uint32_t code) {
  SetError(code);
  return 0;
}

}  // namespace kz

#include <kzvideo.h>

#include <cstdio>
#include <cstring>

#include "frame/errors.h"

extern "C" uint32_t KZAPI KZVersion(char* text, int32_t length) {
  kz::SetError(0);
  if (text && length >= 1) {
    char work[2048];
    int n = std::snprintf(work, sizeof work, "%d.%d%02d", 1, 0, 0);
    n += std::snprintf(work + n, sizeof work - n, "%s", " beta");
    std::snprintf(work + n, sizeof work - n, " - %s", "Dec 12 2001");
    if (length < 2048) work[length - 1] = '\0';
    std::memcpy(text, work, std::strlen(work) + 1);
  }
  if (text && length < 1) return kz::Fail(KZ_ERR_TEXT_LENGTH);
  return KZ_VERSION_NUMBER;
}

// A caller's AVI compression-options handle naming `handler` at full quality, as the stored
// options block the library reads. The caller frees it.
#pragma once

#include <windows.h>
#include <vfw.h>

#include <cstdint>

#include "export/avi_options.h"

inline HGLOBAL AviOptionsHandle(DWORD handler) {
  AVICOMPRESSOPTIONS o{};
  o.fccType = streamtypeVIDEO;
  o.fccHandler = handler;
  o.dwQuality = 0xFFFFFFFFu;
  HGLOBAL h = GlobalAlloc(GHND, kz::AviOptionsBlockSize(o));
  kz::EncodeAviOptions(o, static_cast<uint8_t*>(GlobalLock(h)));
  GlobalUnlock(h);
  return h;
}

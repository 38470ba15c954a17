#include "export/avi_options.h"

#include <cstring>

#include "frame/blocks.h"

namespace kz {
namespace {

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t Get32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// A pointer field keeps only what a 32-bit build would have stored.
uint32_t Low32(const void* p) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}

// Copies `size` bytes into a new block of the memory table; null for 0 bytes.
bool CopyToBlock(const uint8_t* from, uint32_t size, void** to) {
  *to = nullptr;
  if (size == 0) return true;
  *to = BlockAlloc(size);
  if (!*to) return false;
  std::memcpy(*to, from, size);
  return true;
}

}  // namespace

uint32_t AviOptionsBlockSize(const AVICOMPRESSOPTIONS& o) {
  uint64_t size = uint64_t{kAviOptionsHeadBytes} + o.cbFormat + o.cbParms;
  return size <= kAviOptionsMaxBytes ? static_cast<uint32_t>(size) : 0;
}

void EncodeAviOptions(const AVICOMPRESSOPTIONS& o, uint8_t* out) {
  const uint32_t fields[11] = {o.fccType,          o.fccHandler, o.dwKeyFrameEvery,  o.dwQuality,
                               o.dwBytesPerSecond, o.dwFlags,    Low32(o.lpFormat),  o.cbFormat,
                               Low32(o.lpParms),   o.cbParms,    o.dwInterleaveEvery};
  Put32(out, 1);
  Put32(out + 4, kAviOptionsRecordBytes);
  for (int i = 0; i < 11; ++i) Put32(out + 8 + 4 * i, fields[i]);
  uint8_t* tail = out + kAviOptionsHeadBytes;
  if (o.cbFormat && o.lpFormat) std::memcpy(tail, o.lpFormat, o.cbFormat);
  if (o.cbFormat && !o.lpFormat) std::memset(tail, 0, o.cbFormat);
  tail += o.cbFormat;
  if (o.cbParms && o.lpParms) std::memcpy(tail, o.lpParms, o.cbParms);
  if (o.cbParms && !o.lpParms) std::memset(tail, 0, o.cbParms);
}

bool DecodeAviOptions(const uint8_t* block, uint64_t size, AVICOMPRESSOPTIONS* o) {
  std::memset(o, 0, sizeof *o);
  if (!block || size < kAviOptionsHeadBytes) return false;
  int32_t count = static_cast<int32_t>(Get32(block));
  if (count < 1 || Get32(block + 4) != kAviOptionsRecordBytes) return false;
  const uint8_t* f = block + 8;
  uint32_t cbFormat = Get32(f + 28), cbParms = Get32(f + 36);
  // Lengths are checked in 64 bits: their sum may not wrap, and must lie inside the block.
  if (uint64_t{cbFormat} + cbParms > size - kAviOptionsHeadBytes) return false;
  AVICOMPRESSOPTIONS r{};
  r.fccType = Get32(f);
  r.fccHandler = Get32(f + 4);
  r.dwKeyFrameEvery = Get32(f + 8);
  r.dwQuality = Get32(f + 12);
  r.dwBytesPerSecond = Get32(f + 16);
  r.dwFlags = Get32(f + 20);
  r.cbFormat = cbFormat;
  r.cbParms = cbParms;
  r.dwInterleaveEvery = Get32(f + 40);
  const uint8_t* tail = block + kAviOptionsHeadBytes;
  if (!CopyToBlock(tail, cbFormat, &r.lpFormat) ||
      !CopyToBlock(tail + cbFormat, cbParms, &r.lpParms)) {
    FreeAviOptionBlocks(&r);
    return false;
  }
  *o = r;
  return true;
}

void FreeAviOptionBlocks(AVICOMPRESSOPTIONS* o) {
  BlockFree(o->lpFormat);
  BlockFree(o->lpParms);
  std::memset(o, 0, sizeof *o);
}

bool LoadStoredAviOptions(std::vector<uint8_t>* block) {
  block->clear();
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kAviOptionsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  DWORD type = 0, size = 0;
  bool ok = RegQueryValueExA(key, nullptr, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
            type == REG_BINARY && size <= kAviOptionsMaxBytes;
  if (ok) {
    block->resize(size);
    DWORD got = size;
    ok = RegQueryValueExA(key, nullptr, nullptr, &type, block->data(), &got) == ERROR_SUCCESS &&
         type == REG_BINARY && got <= size;
    block->resize(ok ? got : 0);
  }
  RegCloseKey(key);
  return ok;
}

bool StoreAviOptions(const uint8_t* block, uint32_t size) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  char noClass[] = "";
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kAviOptionsKey, 0, noClass, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &key, &disposition) != ERROR_SUCCESS) {
    return false;
  }
  bool ok = RegSetValueExA(key, nullptr, 0, REG_BINARY, block, size) == ERROR_SUCCESS;
  RegCloseKey(key);
  return ok;
}

bool ReadAviOptions(HGLOBAL handle, AVICOMPRESSOPTIONS* o) {
  std::memset(o, 0, sizeof *o);
  if (!handle) {
    std::vector<uint8_t> stored;
    return LoadStoredAviOptions(&stored) && DecodeAviOptions(stored.data(), stored.size(), o);
  }
  // The caller's handle is read, never changed or freed.
  void* p = BlockAdopt(handle);
  if (!p) return false;
  bool ok = DecodeAviOptions(static_cast<const uint8_t*>(p), GlobalSize(handle), o);
  BlockHandOver(p);
  return ok;
}

}  // namespace kz

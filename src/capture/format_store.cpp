#include "capture/format_store.h"

#include <windows.h>

#include <cstdio>
#include <memory>

#include "frame/blocks.h"
#include "image/pixfmt.h"

namespace kz {
namespace {

constexpr const char* kFormatsKey = "Software\\Orbel\\Kazam\\formats";

struct Key {
  HKEY handle = nullptr;
  Key() {
    DWORD disposition = 0;
    char noClass[] = "";
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kFormatsKey, 0, noClass, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &handle, &disposition) != ERROR_SUCCESS) {
      handle = nullptr;
    }
  }
  ~Key() {
    if (handle) RegCloseKey(handle);
  }
};

void ValueName(uint32_t source, char (&name)[16]) {
  std::snprintf(name, sizeof name, "Source %03u", source);
}

int32_t ReadLe32(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                              (static_cast<uint32_t>(p[2]) << 16) |
                              (static_cast<uint32_t>(p[3]) << 24));
}

void WriteLe32(uint8_t* p, int32_t value) {
  const auto v = static_cast<uint32_t>(value);
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace

bool LoadStoredEntries(uint32_t source, std::vector<StoredFormat>* entries) {
  entries->clear();
  Key key;
  if (!key.handle) return true;
  char name[16];
  ValueName(source, name);
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(key.handle, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      type != REG_BINARY || size < kStoredFormatBytes) {
    return true;
  }
  std::unique_ptr<void, BlockDeleter> block(BlockAlloc(size));
  if (!block) return false;
  DWORD got = size;
  if (RegQueryValueExA(key.handle, name, nullptr, &type, static_cast<BYTE*>(block.get()), &got) !=
          ERROR_SUCCESS ||
      type != REG_BINARY || got > size) {
    return true;  // changed under us or unreadable: counts as empty
  }
  const size_t count = got / kStoredFormatBytes;
  try {
    entries->reserve(count);
  } catch (...) {
    return false;
  }
  const auto* p = static_cast<const uint8_t*>(block.get());
  for (size_t i = 0; i < count; ++i, p += kStoredFormatBytes) {
    entries->push_back(StoredFormat{ReadLe32(p), ReadLe32(p + 4), ReadLe32(p + 8)});
  }
  return true;
}

std::vector<StoredFormat> UsableFormats(const std::vector<StoredFormat>& entries) {
  std::vector<StoredFormat> usable;
  for (const StoredFormat& f : entries) {
    if (FormatByCode(f.code)) usable.push_back(f);
  }
  return usable;
}

void SaveStoredEntries(uint32_t source, const std::vector<StoredFormat>& entries) {
  Key key;
  if (!key.handle) return;
  char name[16];
  ValueName(source, name);
  std::vector<uint8_t> data(entries.size() * kStoredFormatBytes);
  for (size_t i = 0; i < entries.size(); ++i) {
    uint8_t* p = data.data() + i * kStoredFormatBytes;
    WriteLe32(p, entries[i].width);
    WriteLe32(p + 4, entries[i].height);
    WriteLe32(p + 8, entries[i].code);
  }
  static const BYTE kNothing = 0;  // an empty value still needs a valid address
  RegSetValueExA(key.handle, name, 0, REG_BINARY, data.empty() ? &kNothing : data.data(),
                 static_cast<DWORD>(data.size()));
}

}  // namespace kz

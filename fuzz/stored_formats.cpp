// Arbitrary bytes as a source's value in the formats store, read back as KZEnumFormats
// does: first byte the source (1 to 10) and the list's room, the rest the value. Values of
// any length and any codes must give formats of the pixel-format table or an error code.
#include <kzvideo.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "capture/format_store.h"
#include "fuzz_util.h"
#include "image/pixfmt.h"

namespace {

const bool kOwnRegistry = !kzfuzz::Folder().empty();

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const uint32_t session = KZBegin(nullptr);
  if (!kOwnRegistry || size < 1) return 0;
  const uint32_t source = data[0] % 10 + 1;
  const int32_t room = (data[0] >> 4) + (data[0] & 0x80 ? -2 : 0);  // -2 to 13: some refused
  char name[16];
  std::snprintf(name, sizeof name, "Source %03u", source);
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Orbel\\Kazam\\formats", 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return 0;
  }
  static const BYTE kNothing = 0;
  const bool stored = RegSetValueExA(key, name, 0, REG_BINARY, size > 1 ? data + 1 : &kNothing,
                                     static_cast<DWORD>(size - 1)) == ERROR_SUCCESS;
  RegCloseKey(key);
  if (!stored) return 0;

  kzfuzz::LeakCheck leaks;
  std::vector<kz::StoredFormat> entries;
  if (!kz::LoadStoredEntries(source, &entries)) return 0;
  if (entries.size() != (size - 1) / kz::kStoredFormatBytes) std::abort();
  const std::vector<kz::StoredFormat> usable = kz::UsableFormats(entries);
  // Mode 0 probes the camera when nothing usable is stored; that is not this target's work.
  for (uint32_t mode : {3u, 0u}) {
    if (mode == 0 && usable.empty()) break;
    std::vector<KZFORMAT> list(room > 0 ? static_cast<size_t>(room) : 0);
    const int32_t n = KZEnumFormats(session, source, room > 0 ? list.data() : nullptr,
                                    room > 0 ? room : 0, mode);
    for (int32_t i = 0; i < n && i < room; ++i) {
      const kz::PixelFormat* row = kz::FormatByCode(list[static_cast<size_t>(i)].format);
      if (!row) std::abort();  // only table formats reach a caller
    }
  }
  return 0;
}

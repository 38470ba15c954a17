// The formats store: per source, the capture formats known to work, kept in the registry
// under HKEY_CURRENT_USER\Software\Orbel\Kazam\formats as value "Source %03d" (REG_BINARY,
// 12 bytes per format: width, height, format code, little-endian, no header).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kz {

struct StoredFormat {
  int32_t width = 0;
  int32_t height = 0;
  int32_t code = 0;
  bool operator==(const StoredFormat&) const = default;
};

constexpr size_t kStoredFormatBytes = 12;

// The raw entries of a source's value, cut to whole 12-byte entries. A missing value, a
// value of another type or one that cannot be read counts as empty. False only when
// memory for the value could not be had.
bool LoadStoredEntries(uint32_t source, std::vector<StoredFormat>* entries);
// The entries a caller may be given: those whose code is a pixel format (1..14).
std::vector<StoredFormat> UsableFormats(const std::vector<StoredFormat>& entries);
// Replaces the source's value with these entries (empty gives an empty value). Failures
// are not reported: the store is a cache.
void SaveStoredEntries(uint32_t source, const std::vector<StoredFormat>& entries);

}  // namespace kz

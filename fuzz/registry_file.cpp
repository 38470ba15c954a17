// Arbitrary bytes as the registry's file of a key (the formats store's, then the options
// store's): the values the library reads from it must come back whole or not at all.
#include <kzvideo.h>
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "capture/format_store.h"
#include "export/avi_options.h"
#include "fuzz_util.h"

namespace {

const bool kOwnRegistry = !kzfuzz::Folder().empty();

// The registry keeps a key in the file named by its case-folded path, '\' as '.'.
const std::string& StoreFile(bool options) {
  static const std::string folder = kzfuzz::InFolder("kzvideo");
  static const std::string formats = folder + "/hkcu.software.orbel.kazam.formats";
  static const std::string avi = folder + "/hkcu.software.orbel.kazam.avioptions";
  return options ? avi : formats;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!kOwnRegistry) return 0;
  static const bool made = std::filesystem::create_directories(kzfuzz::InFolder("kzvideo")) ||
                           std::filesystem::is_directory(kzfuzz::InFolder("kzvideo"));
  if (!made) return 0;
  kzfuzz::LeakCheck leaks;
  for (bool options : {false, true}) {
    if (!kzfuzz::WriteBytes(StoreFile(options), data, size)) return 0;
    if (!options) {
      std::vector<kz::StoredFormat> entries;
      for (uint32_t source = 1; source <= 10; ++source) kz::LoadStoredEntries(source, &entries);
    } else {
      std::vector<uint8_t> block;
      AVICOMPRESSOPTIONS o{};
      if (kz::LoadStoredAviOptions(&block) && kz::DecodeAviOptions(block.data(), block.size(), &o)) {
        kz::FreeAviOptionBlocks(&o);
      }
    }
  }
  return 0;
}

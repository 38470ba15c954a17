// Arbitrary bytes as a compression-options block, from the store or from a caller's handle
// (first byte), the rest the block: it is decoded, and a recording's AVI output is opened
// with it, written two frames and closed, as a recording to AVI does. Refused blocks mean
// empty options; a compressor the options name may fail with its status, never crash.
#include <kzvideo.h>
#include <windows.h>
#include <vfw.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "export/avi_options.h"
#include "export/avi_output.h"
#include "frame/stream.h"
#include "fuzz_util.h"

namespace {

const bool kOwnRegistry = !kzfuzz::Folder().empty();
constexpr int32_t kWidth = 16, kHeight = 8;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool begun = (AVIFileInit(), KZBegin(nullptr) != 0);
  (void)begun;
  static const std::string path = kzfuzz::InFolder("options.avi");
  if (!kOwnRegistry || size < 1) return 0;
  const bool fromHandle = data[0] & 1;
  const bool append = data[0] & 2;  // a second output continues the first file
  const uint8_t* block = data + 1;
  const size_t bytes = size - 1;
  if (!fromHandle && !kz::StoreAviOptions(bytes ? block : data, static_cast<uint32_t>(bytes))) {
    return 0;
  }
  std::remove(path.c_str());
  kzfuzz::LeakCheck leaks;
  AVICOMPRESSOPTIONS o{};
  if (kz::DecodeAviOptions(block, bytes, &o)) {
    // What was read writes back to the bytes it came from, up to the parameter end, but for
    // the stream count (written as 1) and the two pointer fields (written anew).
    std::vector<uint8_t> again(kz::AviOptionsBlockSize(o));
    if (again.empty() || again.size() > bytes) std::abort();
    kz::EncodeAviOptions(o, again.data());
    std::memcpy(again.data(), block, 4);
    std::memcpy(again.data() + 8 + 24, block + 8 + 24, 4);
    std::memcpy(again.data() + 8 + 32, block + 8 + 32, 4);
    if (std::memcmp(again.data(), block, again.size()) != 0) std::abort();
  }
  kz::FreeAviOptionBlocks(&o);

  HGLOBAL handle = nullptr;
  if (fromHandle) {
    handle = GlobalAlloc(GMEM_MOVEABLE, bytes ? bytes : 1);
    if (!handle) return 0;
    if (bytes) std::memcpy(GlobalLock(handle), block, bytes), GlobalUnlock(handle);
  }
  const std::vector<uint8_t> frame(static_cast<size_t>((3 * kWidth + 3) & ~3) * kHeight, 0x5A);
  for (int pass = 0; pass < (append ? 2 : 1); ++pass) {
    auto e = std::make_unique<kz::StreamRecord>();
    KZRECORD& r = e->record;
    r.size = sizeof r;
    std::snprintf(r.fileName, sizeof r.fileName, "%s", path.c_str());
    r.fileFlags = KZ_KIND_AVI | (pass ? KZ_OPEN_APPEND : KZ_OPEN_OVERWRITE);
    r.rate = 25.0;
    r.width = kWidth;
    r.height = kHeight;
    r.aviOptions = handle;
    if (kz::OpenAviOutput(e.get())) {
      for (int i = 0; i < 2; ++i) {
        if (!kz::WriteAviFrame(e.get(), frame.data(), static_cast<uint32_t>(frame.size()), kWidth,
                               kHeight)) {
          break;
        }
      }
    }
    kz::CloseAviOutput(e.get());
  }
  if (handle) GlobalFree(handle);
  return 0;
}

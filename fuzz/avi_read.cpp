// Fuzz target: the AVI read path (open, stream information, format, every frame in every
// format the library asks for) on arbitrary bytes written to a temporary file.
#include <windows.h>
#include <vfw.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_util.h"

namespace {

void ReadStream(PAVISTREAM s) {
  AVISTREAMINFOA info{};
  if (AVIStreamInfoA(s, &info, sizeof info) != 0) return;
  LONG size = 0;
  if (AVIStreamReadFormat(s, 0, nullptr, &size) != 0 || size <= 0 || size > (1 << 22)) return;
  std::vector<uint8_t> format(static_cast<size_t>(size));
  AVIStreamReadFormat(s, 0, format.data(), &size);
  if (info.fccType != streamtypeVIDEO || format.size() < 40) return;
  BITMAPINFOHEADER native;
  __builtin_memcpy(&native, format.data(), 40);
  const struct {
    DWORD compression;
    WORD bits;
  } wanted[] = {{0, 24},
                {0, 8},
                {mmioFOURCC('Y', 'U', 'Y', '2'), 16},
                {mmioFOURCC('I', '4', '2', '0'), 12},
                {native.biCompression, native.biBitCount}};
  LONG length = AVIStreamLength(s);
  for (const auto& w : wanted) {
    BITMAPINFOHEADER want{};
    want.biSize = 40;
    want.biWidth = info.rcFrame.right;
    want.biHeight = info.rcFrame.bottom;
    want.biPlanes = 1;
    want.biBitCount = w.bits;
    want.biCompression = w.compression;
    PGETFRAME g = AVIStreamGetFrameOpen(s, &want);
    if (!g) continue;
    // Forwards, then a jump back, as playback does; bounded so that one input stays quick.
    for (LONG i = 0; i < length && i < 64; ++i) AVIStreamGetFrame(g, i);
    if (length > 2) AVIStreamGetFrame(g, length / 2);
    AVIStreamGetFrame(g, 0);
    AVIStreamGetFrameClose(g);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool init = (AVIFileInit(), true);
  (void)init;
  static const std::string path = kzfuzz::InFolder("read.avi");
  if (!kzfuzz::WriteBytes(path, data, size)) return 0;
  PAVIFILE file = nullptr;
  if (AVIFileOpenA(&file, path.c_str(), OF_SHARE_DENY_NONE, nullptr) != 0) return 0;
  for (LONG i = 0; i < 4; ++i) {
    PAVISTREAM s = nullptr;
    if (AVIFileGetStream(file, &s, 0, i) != 0) break;
    ReadStream(s);
    AVIStreamRelease(s);
  }
  AVIFileRelease(file);
  return 0;
}

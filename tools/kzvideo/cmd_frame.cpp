// kzvideo frame FILE N --out OUT.bmp: one frame of a recording or AVI file as a BMP.
#include <kzvideo.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands.h"

namespace kztool {

bool WriteBitmapFile(const char* path, KZHGLOBAL dib) {
  const auto* p = static_cast<const unsigned char*>(GlobalLock(dib));
  if (!p) return false;
  const size_t bytes = GlobalSize(dib);
  BITMAPINFOHEADER bi;
  bool ok = bytes >= sizeof bi;
  if (ok) std::memcpy(&bi, p, sizeof bi);
  const size_t colours = ok && bi.biClrUsed ? 1024 : 0;
  ok = ok && bytes >= sizeof bi + colours;
  FILE* f = ok ? std::fopen(path, "wb") : nullptr;
  if (f) {
    unsigned char head[14] = {'B', 'M'};
    const unsigned total = static_cast<unsigned>(14 + bytes);
    const unsigned offset = static_cast<unsigned>(14 + sizeof bi + colours);
    for (int i = 0; i < 4; ++i) head[2 + i] = static_cast<unsigned char>(total >> (8 * i));
    for (int i = 0; i < 4; ++i) head[10 + i] = static_cast<unsigned char>(offset >> (8 * i));
    ok = std::fwrite(head, 1, sizeof head, f) == sizeof head &&
         std::fwrite(p, 1, bytes, f) == bytes;
    ok = std::fclose(f) == 0 && ok;
  } else {
    ok = false;
  }
  GlobalUnlock(dib);
  return ok;
}

int CmdFrame(int argc, char** argv) {
  const char* out = nullptr;
  if (argc == 5 && !std::strcmp(argv[3], "--out")) out = argv[4];
  if (!out) {
    std::printf(
        "usage: kzvideo frame FILE N --out OUT.bmp\n"
        "  writes frame index N (0 = first of the sequence, negative counts from the end)\n"
        "  as it is drawn, to a BMP file\n");
    return argc >= 2 && !std::strcmp(argv[1], "--help") ? 0 : 2;
  }
  char* end = nullptr;
  const long n = std::strtol(argv[2], &end, 10);
  if (*end) {
    std::fprintf(stderr, "kzvideo frame: '%s' is not a frame index\n", argv[2]);
    return 2;
  }
  KZBegin(nullptr);
  KZPLAYBACK block{};
  block.size = sizeof block;
  block.zoom = 1.0;
  block.index = static_cast<int32_t>(n < 0 ? n + 1 : n);
  block.flags = (n < 0 ? KZ_PLAY_MOVE_END : KZ_PLAY_MOVE_START) | KZ_PLAY_STRICT;
  KZHGLOBAL dib = KZLoadFrame(argv[1], &block, nullptr, KZ_IMAGE_AS_DRAWN);
  if (!dib) return ReportError(argv[1], KZGetLastError());
  const bool ok = WriteBitmapFile(out, dib);
  GlobalFree(dib);
  if (!ok) {
    std::fprintf(stderr, "kzvideo frame: cannot write %s\n", out);
    return 1;
  }
  std::printf("frame %d (number %u) written to %s\n", block.index, block.frame, out);
  return 0;
}

}  // namespace kztool

// kzvideo frame FILE N --out OUT: one frame of a recording or AVI file as a BMP or PNG file.
#include <kzvideo.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "args.h"
#include "commands.h"
#include "image_files.h"
#include "live_window.h"

namespace kztool {
namespace {

constexpr Option kOptions[] = {
    {"--out", "OUT", "the image file, .bmp or .png (required)"},
};
constexpr CommandSpec kCommand = {
    "frame",
    "FILE N --out OUT",
    "Writes frame index N (0 = first of the sequence, negative counts from the end) as it\n"
    "is drawn.",
    kOptions,
    2,
    2,
    "kzvideo frame take.kzv 0 --out first.png\n"
    "kzvideo frame take.kzv -1 --out last.bmp"};

}  // namespace

int CmdFrame(int argc, char** argv) {
  const Args args(kCommand, argc, argv);
  if (args.Finished()) return args.Exit();
  long n = 0;
  if (!args.PositionalLong(1, "N", -0x7FFFFFFFL, 0x7FFFFFFFL, &n)) return kExitBadArgs;
  const char* out = args.Text("--out");
  if (!out) return args.Bad("--out is required");
  if (!IsImageFileName(out)) return args.Bad("--out must name a .bmp or .png file");
  const char* file = args.Positional(0);
  const Session session;
  KZPLAYBACK block{};
  block.size = sizeof block;
  block.zoom = 1.0;
  block.index = static_cast<int32_t>(n < 0 ? n + 1 : n);
  block.flags = (n < 0 ? KZ_PLAY_MOVE_END : KZ_PLAY_MOVE_START) | KZ_PLAY_STRICT;
  KZHGLOBAL dib = KZLoadFrame(file, &block, nullptr, KZ_IMAGE_AS_DRAWN);
  if (!dib) return ReportError(file, KZGetLastError());
  std::string why;
  const bool ok = WriteImageFile(out, dib, &why);
  GlobalFree(dib);
  if (!ok) {
    std::fprintf(stderr, "kzvideo frame: %s\n", why.c_str());
    return kExitFailed;
  }
  std::printf("frame %d (number %u) written to %s\n", block.index, block.frame, out);
  return kExitOk;
}

}  // namespace kztool

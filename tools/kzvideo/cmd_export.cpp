// kzvideo export IN OUT: copies frame ranges of a recording, sequence or AVI file into a
// new file of one of the library's kinds or a compressed AVI file, with progress.
#include <kzvideo.h>
#include <windows.h>
#include <vfw.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "args.h"
#include "commands.h"
#include "export/avi_options.h"
#include "live_window.h"
#include "progress.h"

namespace kztool {
namespace {

constexpr Option kOptions[] = {
    {"--kind", "K", "raw, lossless (default), lossy or avi"},
    {"--range", "A-B",
     "frames A to B (B < A runs backwards, A alone is one frame); may repeat "
     "or list several as A-B,C-D; default: the whole file"},
    {"--speed", "X", "factor on the source's frame intervals (negative: backwards)"},
    {"--rate", "FPS", "a fixed output frame rate instead"},
    {"--handler", "FOURCC", "AVI compressor (DIB, FFV1, MJPG, ...; default: the stored options)"},
    {"--overwrite", nullptr, "replace OUT when it exists"},
    {"--append", nullptr, "continue OUT when it exists"},
    {"--quiet", nullptr, "no progress"},
};
constexpr CommandSpec kCommand = {
    "export",
    "IN OUT [options]",
    "Copies frames of IN (a recording, numbered sequence or AVI file) into OUT, a\n"
    "recording of the library's own kinds or a compressed AVI file.",
    kOptions,
    2,
    2,
    "kzvideo export take.kzv part.kzv --range 100-199 --range 50-40\n"
    "kzvideo export take.kzv take.avi --kind avi --handler FFV1 --rate 25"};

Progress* progress = nullptr;

// Runs on the export thread while the main thread waits in KZSaveVideo.
int KZCALLBACK OnProgress(KZEXPORT*, uint32_t done, uint32_t total) {
  if (progress) progress->Update(done, total);
  return 1;
}

// "A-B,C-D,E": pairs of frame positions; false for anything else.
bool ParseRanges(const char* text, std::vector<int32_t>* values) {
  std::string list(text);
  size_t at = 0;
  while (at <= list.size()) {
    const size_t comma = std::min(list.find(',', at), list.size());
    const std::string item = list.substr(at, comma - at);
    const size_t dash = item.find('-', 1);
    long a = 0, b = 0;
    if (!ParseLong(item.substr(0, dash).c_str(), 0, 0x7FFFFFFF, &a)) return false;
    b = a;
    if (dash != std::string::npos && !ParseLong(item.substr(dash + 1).c_str(), 0, 0x7FFFFFFF, &b))
      return false;
    values->push_back(static_cast<int32_t>(a));
    values->push_back(static_cast<int32_t>(b));
    at = comma + 1;
  }
  return true;
}

// A compression-options block that names `fourcc` (shorter names are padded with spaces).
HGLOBAL OptionsBlock(const char* fourcc) {
  AVICOMPRESSOPTIONS o{};
  o.fccType = streamtypeVIDEO;
  char c[4] = {' ', ' ', ' ', ' '};
  std::memcpy(c, fourcc, strnlen(fourcc, 4));
  o.fccHandler = mmioFOURCC(c[0], c[1], c[2], c[3]);
  o.dwQuality = 0xFFFFFFFFu;
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, kz::AviOptionsBlockSize(o));
  if (h) {
    kz::EncodeAviOptions(o, static_cast<uint8_t*>(GlobalLock(h)));
    GlobalUnlock(h);
  }
  return h;
}

}  // namespace

int CmdExport(int argc, char** argv) {
  const Args args(kCommand, argc, argv);
  if (args.Finished()) return args.Exit();
  KZEXPORT job{};
  job.size = sizeof job;
  const char* in = args.Positional(0);
  const char* out = args.Positional(1);
  if (std::strlen(in) >= sizeof job.sourceName || std::strlen(out) >= sizeof job.fileName) {
    return args.Bad("a file name is too long");
  }
  std::snprintf(job.sourceName, sizeof job.sourceName, "%s", in);
  std::snprintf(job.fileName, sizeof job.fileName, "%s", out);

  if (!FileFlagsOf(args, "lossless", &job.fileFlags)) return kExitBadArgs;
  const uint32_t kind = job.fileFlags & KZ_KIND_MASK;
  job.speed = 1.0;
  if (!args.Double("--speed", -1000, 1000, &job.speed)) return kExitBadArgs;
  if (args.Has("--rate")) {
    if (!args.Double("--rate", 0.001, 100000, &job.fixedRate)) return kExitBadArgs;
    job.exportFlags |= KZ_EXPORT_FIXED_RATE;
  }
  const char* handler = args.Text("--handler");
  if (handler && kind != KZ_KIND_AVI) return args.Bad("--handler is for --kind avi");

  // Every --range counts, in the order given.
  std::vector<int32_t> ranges;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--range") != 0) continue;
    if (!ParseRanges(argv[++i], &ranges)) {
      return args.Bad("--range takes A-B, A or a comma list of them, not '%s'", argv[i]);
    }
  }

  const Session session;
  if (!session.id) return ReportError("begin", KZGetLastError());
  job.session = session.id;
  if (!ranges.empty()) {
    ranges.push_back(-1);
    job.ranges = GlobalAlloc(GMEM_MOVEABLE, ranges.size() * sizeof(int32_t));
    if (!job.ranges) return ReportError("ranges", KZ_ERR_MEMORY);
    std::memcpy(GlobalLock(job.ranges), ranges.data(), ranges.size() * sizeof(int32_t));
    GlobalUnlock(job.ranges);
  }
  if (handler) job.aviOptions = OptionsBlock(handler);
  const std::string what = std::string("exporting ") + out;
  uint32_t result;
  {
    Progress bar(what.c_str(), "frames", args.Has("--quiet"));
    progress = &bar;
    job.progress = OnProgress;
    job.exportFlags |= KZ_EXPORT_WAIT;
    result = KZSaveVideo(&job);
    progress = nullptr;
  }
  const unsigned error = KZGetLastError();
  if (job.ranges) GlobalFree(job.ranges);
  if (job.aviOptions) GlobalFree(job.aviOptions);
  if (result != KZ_EXPORT_DONE) return ReportError(in, error);
  std::printf("wrote %s\n", out);
  return kExitOk;
}

}  // namespace kztool

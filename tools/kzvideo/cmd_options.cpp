// kzvideo options: the stored AVI compression options, and choosing new ones. The choice
// goes through KZAVIOptionsDialog, whose dialog the tool answers itself, so the store is
// written exactly as the library writes it for any caller.
#include <kzvideo.h>
#include <windows.h>
#include <vfw.h>

#ifndef _WIN32
#include <kzwin_test.h>
#endif

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "args.h"
#include "commands.h"
#include "export/avi_options.h"
#include "live_window.h"

namespace kztool {
namespace {

struct Handler {
  const char* name;
  uint32_t fourcc;
  const char* about;
};
constexpr Handler kHandlers[] = {
    {"none", 0, "uncompressed frames"},
    {"MJPG", MAKEFOURCC('M', 'J', 'P', 'G'), "Motion JPEG"},
    {"FFV1", MAKEFOURCC('F', 'F', 'V', '1'), "FFV1, lossless"},
    {"XVID", MAKEFOURCC('X', 'V', 'I', 'D'), "MPEG-4 part 2"},
    {"H264", MAKEFOURCC('H', '2', '6', '4'), "H.264, where an encoder is installed"},
};

constexpr Option kOptions[] = {
    {"--handler", "NAME", "choose the compressor: none, MJPG, FFV1, XVID or H264"},
    {"--quality", "Q", "quality 0 to 10000 (with --handler; default: the compressor's)"},
    {"--keyframes", "N", "a key frame every N frames (with --handler)"},
};
constexpr CommandSpec kCommand = {
    "options",
    "[--handler NAME [--quality Q] [--keyframes N]]",
    "Prints the stored AVI compression options that `kzvideo record --kind avi` and\n"
    "exports use; with --handler, chooses new ones and stores them first.",
    kOptions,
    0,
    0,
    "kzvideo options --handler MJPG --quality 9000\nkzvideo options"};

uint32_t Le32(const uint8_t* p) {
  return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

void PrintFourcc(uint32_t f) {
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>(f >> (8 * i));
    std::putchar(c >= 32 && c < 127 ? c : '?');
  }
}

int Show() {
  std::vector<uint8_t> block;
  if (!kz::LoadStoredAviOptions(&block)) {
    std::printf("no stored options: AVI files get uncompressed frames\n");
    return kExitOk;
  }
  if (block.size() < kz::kAviOptionsHeadBytes || static_cast<int32_t>(Le32(&block[0])) < 1 ||
      Le32(&block[4]) != kz::kAviOptionsRecordBytes) {
    std::printf("the stored options are not in the expected shape and are ignored\n");
    return kExitOk;
  }
  // The record's eleven fields follow the count and the length.
  const uint8_t* o = &block[8];
  const uint32_t handler = Le32(o + 4);
  std::printf("handler     ");
  if (handler) {
    PrintFourcc(handler);
  } else {
    std::printf("none");
  }
  for (const Handler& h : kHandlers) {
    if (h.fourcc && !strncasecmp(reinterpret_cast<const char*>(o + 4), h.name, 4)) {
      std::printf(" (%s)", h.about);
    }
  }
  const uint32_t quality = Le32(o + 12);
  if (quality == 0xFFFFFFFFu) {
    std::printf("\nquality     the compressor's default\n");
  } else {
    std::printf("\nquality     %u\n", quality);
  }
  std::printf("keyframes   every %u\nbytes/s     %u\nflags       0x%x\n", Le32(o + 8), Le32(o + 16),
              Le32(o + 20));
  std::printf("format      %u bytes\nparameters  %u bytes\n", Le32(o + 28), Le32(o + 36));
  return kExitOk;
}

#ifndef _WIN32
struct Choice {
  uint32_t fourcc;
  long quality, keyframes;
};

// Answers the compression dialog with the choice; format and parameter bytes of another
// compressor would mean nothing to the new one, so they are dropped.
int Answer(KZWIN_DIALOG* dialog, void* context) {
  if (dialog->kind != KZWIN_DIALOG_AVI_SAVE_OPTIONS ||
      dialog->payloadRoom < sizeof(AVICOMPRESSOPTIONS)) {
    return KZWIN_DIALOG_FAIL;
  }
  const auto* c = static_cast<const Choice*>(context);
  auto* o = static_cast<AVICOMPRESSOPTIONS*>(dialog->payload);
  const bool same = o->fccHandler == c->fourcc;
  o->fccType = streamtypeVIDEO;
  o->fccHandler = c->fourcc;
  if (c->quality >= 0) o->dwQuality = static_cast<DWORD>(c->quality);
  if (!same && c->quality < 0) o->dwQuality = 0xFFFFFFFFu;  // the compressor's default
  o->dwKeyFrameEvery =
      c->keyframes > 0 ? static_cast<DWORD>(c->keyframes) : (same ? o->dwKeyFrameEvery : 0);
  o->dwFlags =
      (o->dwFlags & ~AVICOMPRESSF_KEYFRAMES) | (o->dwKeyFrameEvery ? AVICOMPRESSF_KEYFRAMES : 0);
  if (!same) {
    o->lpFormat = nullptr;
    o->cbFormat = 0;
    o->lpParms = nullptr;
    o->cbParms = 0;
  }
  return KZWIN_DIALOG_OK;
}
#endif

}  // namespace

int CmdOptions(int argc, char** argv) {
  const Args args(kCommand, argc, argv);
  if (args.Finished()) return args.Exit();
  long quality = -1, keyframes = 0;
  if (!args.Long("--quality", 0, 10000, &quality) ||
      !args.Long("--keyframes", 1, 100000, &keyframes)) {
    return kExitBadArgs;
  }
  const char* name = args.Text("--handler");
  if (!name && (args.Has("--quality") || args.Has("--keyframes"))) {
    return args.Bad("--quality and --keyframes go with --handler");
  }
  if (name) {
    const Handler* chosen = nullptr;
    for (const Handler& h : kHandlers) {
      if (!strcasecmp(h.name, name)) chosen = &h;
    }
    if (!chosen) return args.Bad("--handler takes none, MJPG, FFV1, XVID or H264, not '%s'", name);
#ifndef _WIN32
    const Session session;
    Choice choice{chosen->fourcc, quality, keyframes};
    KZWIN_DIALOG_RESPONDER* before = kzwinSetDialogResponder(Answer, &choice);
    // Bit 1: only the store is written.
    const KZHGLOBAL done = KZAVIOptionsDialog(nullptr, 1, nullptr);
    const uint32_t error = KZGetLastError();
    kzwinSetDialogResponder(before, nullptr);
    if (!done) return ReportError("store options", error);
    std::printf("stored: %s (%s)\n", chosen->name, chosen->about);
#endif
  }
  return Show();
}

}  // namespace kztool

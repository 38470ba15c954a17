// kzvideo show: live video of a capture source in a window of the tool's own, headless:
// the frames are shown into the window's surface, and one can be saved as a BMP file.
#include <kzvideo.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <strings.h>

#include "commands.h"

namespace kztool {
namespace {

struct FormatName {
  const char* name;
  uint32_t code;
  uint32_t bits;
};
constexpr FormatName kFormats[] = {
    {"RGB24", 1, 24}, {"RGB16", 2, 16}, {"RGB8", 3, 8},   {"UYVY", 4, 16}, {"I420", 5, 12},
    {"YUY2", 6, 16},  {"YVU9", 7, 9},   {"Y444", 8, 24},  {"Y422", 9, 16}, {"Y411", 10, 12},
    {"Y800", 11, 8},  {"PAL8", 12, 8},  {"GV24", 13, 24}, {"GV8", 14, 8},
};

int Usage(FILE* to) {
  std::fprintf(to,
               "usage: kzvideo show SOURCE [--frames N] [--snapshot OUT.bmp]\n"
               "                    [--format NAME --width W --height H]\n\n"
               "Shows live video of capture source SOURCE (1 to 10) until N frames (default\n"
               "100) have been shown, then prints the display rate. --snapshot saves the last\n"
               "image as drawn. The format defaults to 320 x 240 YUY2; NAME is one of\n"
               "RGB24 RGB16 RGB8 UYVY I420 YUY2 YVU9 Y444 Y422 Y411 Y800 PAL8 GV24 GV8.\n");
  return to == stdout ? 0 : 2;
}

const FormatName* FindFormat(const char* name) {
  for (const FormatName& f : kFormats) {
    if (!strcasecmp(f.name, name)) return &f;
  }
  return nullptr;
}

bool ParseInt(const char* text, long low, long high, long* out) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (!*text || *end || v < low || v > high) return false;
  *out = v;
  return true;
}

// A BMP file of a packed bitmap (BITMAPINFOHEADER, colour table, pixels).
bool WriteBmp(const char* path, const uint8_t* dib, size_t bytes) {
  if (bytes < 40) return false;
  uint32_t colours = 0;
  std::memcpy(&colours, dib + 32, 4);
  const uint64_t offset = 14 + 40 + uint64_t{colours} * 4;
  const uint64_t total = 14 + uint64_t{bytes};
  if (offset > total || total > 0xFFFFFFFFu) return false;
  uint8_t head[14] = {'B', 'M'};
  for (int i = 0; i < 4; ++i) {
    head[2 + i] = static_cast<uint8_t>(total >> (8 * i));
    head[10 + i] = static_cast<uint8_t>(offset >> (8 * i));
  }
  FILE* f = std::fopen(path, "wb");
  if (!f) return false;
  const bool ok = std::fwrite(head, 1, 14, f) == 14 && std::fwrite(dib, 1, bytes, f) == bytes;
  return std::fclose(f) == 0 && ok;
}

int Snapshot(uint32_t session, uint32_t source, HWND window, const char* path) {
  HGLOBAL image = KZGetDisplayImage(session, source, window, KZ_IMAGE_AS_DRAWN, 1000);
  if (!image) return ReportError("snapshot", KZGetLastError());
  const auto* dib = static_cast<const uint8_t*>(GlobalLock(image));
  const bool ok = dib && WriteBmp(path, dib, GlobalSize(image));
  GlobalUnlock(image);
  GlobalFree(image);
  if (!ok) {
    std::fprintf(stderr, "kzvideo show: cannot write %s\n", path);
    return 1;
  }
  return 0;
}

}  // namespace

int CmdShow(int argc, char** argv) {
  long source = 0, frames = 100, width = 320, height = 240;
  const char* snapshot = nullptr;
  const FormatName* format = &kFormats[5];
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i] ? argv[i] : "";
    if (a == "--help") return Usage(stdout);
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    bool ok = false;
    if (a == "--frames" || a == "--width" || a == "--height") {
      long* target = a == "--frames" ? &frames : (a == "--width" ? &width : &height);
      const long high = a == "--frames" ? 1000000 : (1L << 16);
      ok = value && ParseInt(value, 1, high, target);
      ++i;
    } else if (a == "--snapshot") {
      snapshot = value;
      ok = value != nullptr;
      ++i;
    } else if (a == "--format") {
      format = value ? FindFormat(value) : nullptr;
      ok = format != nullptr;
      ++i;
    } else {
      ok = source == 0 && ParseInt(argv[i], 1, 10, &source);
    }
    if (!ok) return Usage(stderr);
  }
  if (source == 0) return Usage(stderr);

  const uint32_t session = KZBegin(nullptr);
  if (!session) return ReportError("begin", KZGetLastError());
  HWND window = CreateWindowExA(0, nullptr, "kzvideo show", WS_OVERLAPPEDWINDOW, 0, 0,
                                static_cast<int>(width), static_cast<int>(height), nullptr, nullptr,
                                nullptr, nullptr);
  KZDISPLAY block{};
  block.size = sizeof block;
  block.session = session;
  block.source = static_cast<uint32_t>(source);
  block.width = static_cast<int32_t>(width);
  block.height = static_cast<int32_t>(height);
  block.format = format->code;
  block.bitCount = format->bits;
  block.window = window;
  int status = 0;
  if (!KZStartDisplay(&block)) {
    status = ReportError("start display", KZGetLastError());
  } else {
    // Each wait pumps this thread's sent messages: the capture window is this thread's.
    for (long shown = 0; shown < frames && status == 0; ++shown) {
      HGLOBAL image = KZGetDisplayImage(session, block.source, window, KZ_IMAGE_NEXT, 5000);
      if (!image) status = ReportError("frame", KZGetLastError());
      GlobalFree(image);
    }
    KZRATE rate{};
    if (KZGetDisplayRate(session, block.source, window, &rate)) {
      const double mean = rate.meanRate;
      std::printf("source %ld: %ld x %ld %s, %u frames shown, %u dropped, %.2f frames/s\n", source,
                  width, height, format->name, rate.framesDone, rate.framesDropped, mean);
    }
    if (status == 0 && snapshot) status = Snapshot(session, block.source, window, snapshot);
    if (!KZStopDisplay(session, block.source, window) && status == 0) {
      status = ReportError("stop display", KZGetLastError());
    }
  }
  if (window) DestroyWindow(window);
  KZEnd(session);
  return status;
}

}  // namespace kztool

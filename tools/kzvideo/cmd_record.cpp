// kzvideo record: records a capture source to a file for a number of frames or seconds,
// with a progress line, and says how the recording ended.
#include <kzvideo.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "commands.h"

namespace kztool {
namespace {

struct Kind {
  const char* name;
  uint32_t flags;
};
constexpr Kind kKinds[] = {{"raw", KZ_KIND_RAW},
                           {"lossless", KZ_KIND_LOSSLESS},
                           {"lossy", KZ_KIND_LOSSY},
                           {"avi", KZ_KIND_AVI}};

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

// The recording's callbacks run on its thread; they talk to the tool through these.
std::atomic<long> framesWanted{0};
std::atomic<long> framesPassed{0};
std::atomic<int> ended{0};
std::atomic<uint32_t> endCode{0};

extern "C" int KZCALLBACK PassFrames(KZRECORD*, const void*) {
  if (framesPassed.load() >= framesWanted.load()) return 0;
  framesPassed.fetch_add(1);
  return 1;
}

extern "C" void KZCALLBACK NoteEnd(KZRECORD*, uint32_t code) {
  endCode.store(code);
  ended.store(1);
}

const Kind* FindKind(const char* name) {
  for (const Kind& k : kKinds) {
    if (!strcasecmp(k.name, name)) return &k;
  }
  return nullptr;
}

const FormatName* FindFormat(const char* name) {
  for (const FormatName& f : kFormats) {
    if (!strcasecmp(f.name, name)) return &f;
  }
  return nullptr;
}

int Usage(FILE* to) {
  std::fprintf(to,
               "usage: kzvideo record SOURCE (--frames N | --seconds S)\n"
               "                      --kind raw|lossless|lossy|avi [options] OUT\n\n"
               "Records capture source SOURCE (1 to 10) into OUT: N frames, or S seconds.\n"
               "Options:\n"
               "  --format NAME --width W --height H   capture format (default 320 x 240 YUY2)\n"
               "  --rate FPS        highest record rate (default: every frame)\n"
               "  --max-mb M        size limit of one file; more go to OUT2, OUT3, ...\n"
               "  --append | --overwrite   continue or replace an existing OUT\n"
               "  --quiet           no progress line\n\n"
               "Example:\n"
               "  kzvideo record 1 --frames 100 --kind lossless take.kzv\n");
  return to == stdout ? 0 : 2;
}

bool ParseLong(const char* text, long low, long high, long* out) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (!*text || *end || v < low || v > high) return false;
  *out = v;
  return true;
}

bool ParseDouble(const char* text, double low, double high, double* out) {
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (!*text || *end || !(v >= low && v <= high)) return false;
  *out = v;
  return true;
}

// Pumps this thread's sent messages (the capture window is this thread's, so the frames
// arrive here) for about `ms` milliseconds.
void Pump(DWORD ms) {
  const DWORD start = timeGetTime();
  MSG msg;
  do {
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    Sleep(1);
  } while (timeGetTime() - start < ms);
}

}  // namespace

int CmdRecord(int argc, char** argv) {
  long source = 0, frames = 0, width = 320, height = 240, maxMB = 0;
  double seconds = 0.0, rate = 0.0;
  const Kind* kind = nullptr;
  const FormatName* format = &kFormats[5];
  const char* out = nullptr;
  uint32_t mode = KZ_OPEN_NEW;
  bool quiet = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i] ? argv[i] : "";
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--help") return Usage(stdout);
    bool ok = true;
    bool tookValue = value != nullptr;
    if (a == "--frames" && value) {
      ok = ParseLong(value, 1, 100000000, &frames);
    } else if (a == "--seconds" && value) {
      ok = ParseDouble(value, 0.001, 1e7, &seconds);
    } else if (a == "--rate" && value) {
      ok = ParseDouble(value, 0.0, 1e6, &rate);
    } else if (a == "--width" && value) {
      ok = ParseLong(value, 1, 1 << 16, &width);
    } else if (a == "--height" && value) {
      ok = ParseLong(value, 1, 1 << 16, &height);
    } else if (a == "--max-mb" && value) {
      ok = ParseLong(value, 1, 2047, &maxMB);
    } else if (a == "--kind" && value) {
      kind = FindKind(value);
      ok = kind != nullptr;
    } else if (a == "--format" && value) {
      format = FindFormat(value);
      ok = format != nullptr;
    } else {
      tookValue = false;
      if (a == "--append") {
        mode = KZ_OPEN_APPEND;
      } else if (a == "--overwrite") {
        mode = KZ_OPEN_OVERWRITE;
      } else if (a == "--quiet") {
        quiet = true;
      } else if (source == 0 && ParseLong(a.c_str(), 1, 10, &source)) {
      } else if (!out && !a.empty() && a[0] != '-') {
        out = argv[i];
      } else {
        ok = false;
      }
    }
    if (!ok) return Usage(stderr);
    if (tookValue) ++i;
  }
  if (source == 0 || !kind || !out || (frames == 0) == (seconds == 0.0)) return Usage(stderr);
  if (std::strlen(out) >= sizeof(KZRECORD::fileName)) {
    std::fprintf(stderr, "kzvideo record: file name too long\n");
    return 2;
  }

  const uint32_t session = KZBegin(nullptr);
  if (!session) return ReportError("begin", KZGetLastError());
  HWND window = CreateWindowExA(0, nullptr, "kzvideo record", WS_OVERLAPPEDWINDOW, 0, 0,
                                static_cast<int>(width), static_cast<int>(height), nullptr, nullptr,
                                nullptr, nullptr);
  KZRECORD block{};
  block.size = sizeof block;
  block.session = session;
  block.source = static_cast<uint32_t>(source);
  block.width = static_cast<int32_t>(width);
  block.height = static_cast<int32_t>(height);
  block.format = format->code;
  block.bitCount = format->bits;
  block.window = window;
  std::strcpy(block.fileName, out);
  block.fileFlags = kind->flags | mode;
  block.maxFileMB = static_cast<int32_t>(maxMB);
  block.rate = rate;
  block.duration = seconds / 86400.0;
  block.endNotify = NoteEnd;
  framesWanted = frames;
  if (frames > 0) block.frameFilter = PassFrames;

  int status = 0;
  if (!KZStartRecord(&block)) {
    status = ReportError("start recording", KZGetLastError());
  } else {
    KZRATE r{};
    for (;;) {
      Pump(100);
      if (ended.load() || (frames > 0 && framesPassed.load() >= frames)) break;
      if (!quiet && KZGetRecordRate(session, block.source, window, &r)) {
        std::fprintf(stderr, "\rrecording %s: %u frames, %u dropped, %.1f frames/s   ", out,
                     r.framesDone, r.framesDropped, r.meanRate);
      }
    }
    const bool running = KZGetRecordRate(session, block.source, window, &r) != 0;
    if (running && !KZStopRecord(session, block.source, window)) {
      status = ReportError("stop recording", KZGetLastError());
    }
    for (int i = 0; i < 100 && !ended.load(); ++i) Pump(10);
    if (!quiet) std::fprintf(stderr, "\n");
    if (endCode.load() != 0) {
      status = ReportError("recording", endCode.load());
    } else if (status == 0) {
      std::printf("%s: %s, %ld x %ld %s, %u frames recorded, %u dropped\n", out, kind->name, width,
                  height, format->name,
                  frames > 0 ? static_cast<unsigned>(framesPassed.load()) : r.framesDone,
                  r.framesDropped);
    }
  }
  KZStopAll(session, 0, nullptr);
  if (window) DestroyWindow(window);
  KZEnd(session);
  return status;
}

}  // namespace kztool

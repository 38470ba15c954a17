// kzvideo record: records a capture source to a file for a number of frames or seconds,
// with progress, and says how the recording ended.
#include <kzvideo.h>
#include <windows.h>

#include <strings.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "args.h"
#include "commands.h"
#include "live_window.h"
#include "progress.h"

namespace kztool {
namespace {

constexpr Option kOptions[] = {
    {"--kind", "KIND", "raw, lossless, lossy or avi (required)"},
    {"--frames", "N", "record N frames"},
    {"--seconds", "S", "record for S seconds"},
    {"--format", "NAME", "capture pixel format (default YUY2)"},
    {"--width", "W", "capture width (default 320)"},
    {"--height", "H", "capture height (default 240)"},
    {"--rate", "FPS", "highest record rate (default: every frame)"},
    {"--max-mb", "M", "size limit of one file; more go to OUT2, OUT3, ..."},
    {"--show", nullptr, "show the video while recording (a real window where possible)"},
    {"--append", nullptr, "continue an existing OUT"},
    {"--overwrite", nullptr, "replace an existing OUT"},
    {"--quiet", nullptr, "no progress"},
};
constexpr CommandSpec kCommand = {
    "record",
    "SOURCE --kind KIND (--frames N | --seconds S) [options] OUT",
    "Records capture source SOURCE (1 to 10) into OUT. AVI files are compressed with the\n"
    "stored options (kzvideo options).",
    kOptions,
    2,
    2,
    "kzvideo record 1 --seconds 5 --kind lossless take.kzv\n"
    "kzvideo record 1 --frames 50 --kind avi --show take.avi"};

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

}  // namespace

int CmdRecord(int argc, char** argv) {
  const Args args(kCommand, argc, argv);
  if (args.Finished()) return args.Exit();
  long source = 0, frames = 0, width = 320, height = 240, maxMB = 0;
  double seconds = 0.0, rate = 0.0;
  if (!args.PositionalLong(0, "SOURCE", 1, 10, &source) ||
      !args.Long("--frames", 1, 100000000, &frames) ||
      !args.Double("--seconds", 0.001, 1e7, &seconds) || !args.Double("--rate", 0.0, 1e6, &rate) ||
      !args.Long("--width", 1, 1 << 16, &width) || !args.Long("--height", 1, 1 << 16, &height) ||
      !args.Long("--max-mb", 1, 2047, &maxMB)) {
    return kExitBadArgs;
  }
  uint32_t fileFlags = 0;
  if (!FileFlagsOf(args, "", &fileFlags)) return kExitBadArgs;
  const PixelFormat* format = FindPixelFormat(args.Text("--format", "YUY2"));
  if (!format) return args.Bad("--format takes one of %s", PixelFormatNames().c_str());
  if ((frames == 0) == (seconds == 0.0)) return args.Bad("give one of --frames and --seconds");
  const char* out = args.Positional(1);
  if (std::strlen(out) >= sizeof(KZRECORD::fileName)) return args.Bad("the file name is too long");

  LiveWindow live("kzvideo record", static_cast<int>(width), static_cast<int>(height),
                  args.Has("--show"));
  if (!live.session) return ReportError("begin", KZGetLastError());
  KZDISPLAY show{};
  if (args.Has("--show")) {
    show.size = sizeof show;
    show.session = live.session;
    show.source = static_cast<uint32_t>(source);
    show.width = static_cast<int32_t>(width);
    show.height = static_cast<int32_t>(height);
    show.format = format->code;
    show.bitCount = format->bits;
    show.window = live.window;
    if (!KZStartDisplay(&show)) return ReportError("start display", KZGetLastError());
  }
  KZRECORD block{};
  block.size = sizeof block;
  block.session = live.session;
  block.source = static_cast<uint32_t>(source);
  block.width = static_cast<int32_t>(width);
  block.height = static_cast<int32_t>(height);
  block.format = format->code;
  block.bitCount = format->bits;
  block.window = live.window;
  std::strcpy(block.fileName, out);
  block.fileFlags = fileFlags;
  block.maxFileMB = static_cast<int32_t>(maxMB);
  block.rate = rate;
  block.duration = seconds / 86400.0;
  block.endNotify = NoteEnd;
  framesWanted = frames;
  if (frames > 0) block.frameFilter = PassFrames;

  if (!KZStartRecord(&block)) return ReportError("start recording", KZGetLastError());
  int status = kExitOk;
  const std::string what = std::string("recording ") + out;
  Progress progress(what.c_str(), frames > 0 ? "frames" : "seconds", args.Has("--quiet"),
                    frames > 0 ? 0 : 1);
  KZRATE r{};
  const DWORD start = timeGetTime();
  for (;;) {
    live.Pump(100);
    if (ended.load() || (frames > 0 && framesPassed.load() >= frames) || live.Closed()) break;
    live.Present();
    if (KZGetRecordRate(live.session, block.source, live.window, &r)) {
      char detail[64];
      std::snprintf(detail, sizeof detail, "(%u dropped, %.1f frames/s)", r.framesDropped,
                    r.meanRate);
      if (frames > 0) {
        progress.Update(static_cast<double>(framesPassed.load()), static_cast<double>(frames),
                        detail);
      } else {
        progress.Update((timeGetTime() - start) / 1000.0, seconds, detail);
      }
    }
  }
  const bool running = KZGetRecordRate(live.session, block.source, live.window, &r) != 0;
  if (running && !KZStopRecord(live.session, block.source, live.window)) {
    status = ReportError("stop recording", KZGetLastError());
  }
  for (int i = 0; i < 100 && !ended.load(); ++i) live.Pump(10);
  progress.Update(frames > 0 ? static_cast<double>(frames) : seconds,
                  frames > 0 ? static_cast<double>(frames) : seconds);
  progress.Finish();
  if (endCode.load() != 0) {
    status = ReportError("recording", endCode.load());
  } else if (status == kExitOk) {
    std::printf("%s: %s, %ld x %ld %s, %u frames recorded, %u dropped\n", out,
                args.Text("--kind", ""), width, height, format->name,
                frames > 0 ? static_cast<unsigned>(framesPassed.load()) : r.framesDone,
                r.framesDropped);
  }
  return status;
}

}  // namespace kztool

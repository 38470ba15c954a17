// kzvideo show: live video of a capture source, in a real window when a display is
// available, else headless; the last picture can be saved as BMP or PNG.
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
    {"--frames", "N", "frames to show (default: 100 headless, until closed on screen)"},
    {"--snapshot", "OUT", "save the last picture as drawn, .bmp or .png"},
    {"--format", "NAME", "capture pixel format (default YUY2)"},
    {"--width", "W", "capture width (default 320)"},
    {"--height", "H", "capture height (default 240)"},
    {"--headless", nullptr, "never open a window on the screen"},
};
constexpr CommandSpec kCommand = {
    "show",
    "SOURCE [options]",
    "Shows live video of capture source SOURCE (1 to 10) and prints the display rate.\n"
    "With a display (DISPLAY or WAYLAND_DISPLAY) the video appears in a window until it is\n"
    "closed or N frames were shown; without one, or with --snapshot or --frames, it runs\n"
    "for N frames.",
    kOptions,
    1,
    1,
    "kzvideo show 1\n"
    "kzvideo show 1 --frames 25 --snapshot still.png"};

}  // namespace

int CmdShow(int argc, char** argv) {
  const Args args(kCommand, argc, argv);
  if (args.Finished()) return args.Exit();
  long source = 0, frames = 100, width = 320, height = 240;
  if (!args.PositionalLong(0, "SOURCE", 1, 10, &source) ||
      !args.Long("--frames", 1, 100000000, &frames) || !args.Long("--width", 1, 1 << 16, &width) ||
      !args.Long("--height", 1, 1 << 16, &height)) {
    return kExitBadArgs;
  }
  const char* snapshot = args.Text("--snapshot");
  if (snapshot && !IsImageFileName(snapshot))
    return args.Bad("--snapshot must name a .bmp or .png file");
  const PixelFormat* format = FindPixelFormat(args.Text("--format", "YUY2"));
  if (!format) return args.Bad("--format takes one of %s", PixelFormatNames().c_str());

  LiveWindow live("kzvideo show", static_cast<int>(width), static_cast<int>(height),
                  !args.Has("--headless"));
  if (!live.session) return ReportError("begin", KZGetLastError());
  // On screen without a count the video runs until the window is closed.
  const bool untilClosed = live.OnScreen() && !args.Has("--frames") && !snapshot;
  KZDISPLAY block{};
  block.size = sizeof block;
  block.session = live.session;
  block.source = static_cast<uint32_t>(source);
  block.width = static_cast<int32_t>(width);
  block.height = static_cast<int32_t>(height);
  block.format = format->code;
  block.bitCount = format->bits;
  block.window = live.window;
  if (!KZStartDisplay(&block)) return ReportError("start display", KZGetLastError());
  int status = kExitOk;
  // Each wait pumps this thread's sent messages: the capture window is this thread's.
  for (long shown = 0; (untilClosed || shown < frames) && !live.Closed(); ++shown) {
    HGLOBAL image = KZGetDisplayImage(live.session, block.source, live.window, KZ_IMAGE_NEXT, 5000);
    if (!image) {
      status = ReportError("frame", KZGetLastError());
      break;
    }
    GlobalFree(image);
    live.Present();
  }
  KZRATE rate{};
  if (KZGetDisplayRate(live.session, block.source, live.window, &rate)) {
    std::printf("source %ld: %ld x %ld %s, %u frames shown, %u dropped, %.2f frames/s\n", source,
                width, height, format->name, rate.framesDone, rate.framesDropped, rate.meanRate);
  }
  if (status == kExitOk && snapshot) {
    HGLOBAL image =
        KZGetDisplayImage(live.session, block.source, live.window, KZ_IMAGE_AS_DRAWN, 1000);
    if (!image) return ReportError("snapshot", KZGetLastError());
    std::string why;
    const bool ok = WriteImageFile(snapshot, image, &why);
    GlobalFree(image);
    if (!ok) {
      std::fprintf(stderr, "kzvideo show: %s\n", why.c_str());
      return kExitFailed;
    }
    std::printf("snapshot: %s\n", snapshot);
  }
  if (!KZStopDisplay(live.session, block.source, live.window) && status == kExitOk) {
    status = ReportError("stop display", KZGetLastError());
  }
  return status;
}

}  // namespace kztool

// kzvideo play: plays a recording, sequence or AVI file into a window of its own (on the
// screen when a display is available) with progress, and can save the last frame shown.
#include <kzvideo.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "args.h"
#include "commands.h"
#include "image_files.h"
#include "live_window.h"
#include "progress.h"

namespace kztool {
namespace {

constexpr Option kOptions[] = {
    {"--frames", "N", "stop after N frames"},
    {"--speed", "X", "speed factor (default 1: the recorded pace)"},
    {"--snapshot", "OUT", "save the last frame shown, as drawn, .bmp or .png"},
    {"--headless", nullptr, "never open a window on the screen"},
    {"--quiet", nullptr, "no progress"},
};
constexpr CommandSpec kCommand = {
    "play",
    "FILE [options]",
    "Plays FILE to its end (or N frames) at its recorded pace, in a window on the screen\n"
    "when a display is available, else headless.",
    kOptions,
    1,
    1,
    "kzvideo play take.kzv --headless --snapshot last.png\n"
    "kzvideo play take.avi --speed 4"};

std::atomic<int> finished{0};
std::atomic<unsigned> finishStatus{0};

void KZCALLBACK OnEnd(KZPLAYBACK*, uint32_t status) {
  finishStatus = status;
  finished = 1;
}

}  // namespace

int CmdPlay(int argc, char** argv) {
  const Args args(kCommand, argc, argv);
  if (args.Finished()) return args.Exit();
  long frames = -1;
  double speed = 1.0;
  if (!args.Long("--frames", 1, 100000000, &frames) ||
      !args.Double("--speed", 0.01, 1000, &speed)) {
    return kExitBadArgs;
  }
  const char* file = args.Positional(0);
  const char* snapshot = args.Text("--snapshot");
  if (snapshot && !IsImageFileName(snapshot))
    return args.Bad("--snapshot must name a .bmp or .png file");
  if (std::string(file).size() >= sizeof(KZPLAYBACK::fileName))
    return args.Bad("the file name is too long");

  const Session forInfo;
  KZFILEINFO info{};
  info.size = sizeof info;
  if (!KZGetFileInfo(file, &info, 0)) return ReportError(file, KZGetLastError());
  LiveWindow live("kzvideo play", info.width, info.height, !args.Has("--headless"));
  if (!live.session) return ReportError("begin", KZGetLastError());
  KZPLAYBACK block{};
  block.size = sizeof block;
  block.session = live.session;
  std::snprintf(block.fileName, sizeof block.fileName, "%s", file);
  block.window = live.window;
  block.rate = speed;
  block.zoom = 1.0;
  block.flags = KZ_PLAY_END;
  block.endCallback = OnEnd;
  const uint32_t id = KZStartPlayback(&block);
  if (!id) return ReportError(file, KZGetLastError());
  const double total = frames > 0 && frames < info.frameCount ? frames : info.frameCount;
  const std::string what = std::string("playing ") + file;
  Progress progress(what.c_str(), "frames", args.Has("--quiet"));
  KZRATE r{};
  for (;;) {
    if (finished || live.Closed()) break;
    if (KZGetPlaybackRate(0, id, nullptr, &r)) {
      if (frames > 0) {
        progress.Update(r.framesDone, total);
        if (r.framesDone >= static_cast<uint32_t>(frames)) break;
      } else {
        // Through the file by position: frames dropped to keep the pace count as passed.
        KZPLAYBACKFRAME at{};
        at.size = sizeof at;
        char detail[48];
        std::snprintf(detail, sizeof detail, "(%u shown)", r.framesDone);
        if (KZGetPlaybackFrame(0, id, nullptr, &at)) progress.Update(at.index + 1, total, detail);
      }
    }
    live.Present();
    live.Pump(5);
  }
  KZHGLOBAL dib = nullptr;
  const bool running = !finished;
  if (running) {
    if (snapshot) dib = KZGetPlaybackImage(0, id, nullptr, KZ_IMAGE_NOW | KZ_IMAGE_AS_DRAWN, 100);
    KZStopPlayback(0, id, nullptr);
  }
  const unsigned shown = running ? r.framesDone : static_cast<unsigned>(info.frameCount);
  progress.Update(shown, total);
  progress.Finish();
  int status = kExitOk;
  if (snapshot) {
    // After the end the last frame is loaded again, as it was drawn.
    if (!dib) {
      KZPLAYBACK last{};
      last.size = sizeof last;
      last.zoom = 1.0;
      last.flags = KZ_PLAY_MOVE_END;
      dib = KZLoadFrame(file, &last, nullptr, KZ_IMAGE_AS_DRAWN);
    }
    std::string why = "no frame to save";
    if (!dib || !WriteImageFile(snapshot, dib, &why)) {
      std::fprintf(stderr, "kzvideo play: %s\n", why.c_str());
      status = kExitFailed;
    }
    if (dib) GlobalFree(dib);
  }
  if (finishStatus) status = ReportError("playback", finishStatus);
  if (running) {
    std::printf("%u frames shown\n", shown);
  } else {
    std::printf("played to the end (%d frames)\n", info.frameCount);
  }
  if (status == kExitOk && snapshot) std::printf("snapshot: %s\n", snapshot);
  return status;
}

}  // namespace kztool

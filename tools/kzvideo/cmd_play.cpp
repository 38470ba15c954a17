// kzvideo play FILE [--frames N] [--snapshot OUT.bmp] [--rate R]: plays into a window of
// its own (headless off Windows) and can save the last frame shown.
#include <kzvideo.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands.h"

namespace kztool {
namespace {

std::atomic<int> finished{0};
std::atomic<unsigned> finishStatus{0};

void KZCALLBACK OnEnd(KZPLAYBACK*, uint32_t status) {
  finishStatus = status;
  finished = 1;
}

}  // namespace

int CmdPlay(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "--help")) {
    std::printf(
        "usage: kzvideo play FILE [--frames N] [--snapshot OUT.bmp] [--rate R]\n"
        "  plays a recording, sequence or AVI file to its end (or N frames), then writes\n"
        "  the last frame shown to OUT.bmp\n");
    return argc < 2 ? 2 : 0;
  }
  long frames = -1;
  double rate = 1.0;
  const char* snapshot = nullptr;
  for (int i = 2; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--frames") && i + 1 < argc) {
      frames = std::strtol(argv[++i], nullptr, 10);
    } else if (!std::strcmp(argv[i], "--snapshot") && i + 1 < argc) {
      snapshot = argv[++i];
    } else if (!std::strcmp(argv[i], "--rate") && i + 1 < argc) {
      rate = std::strtod(argv[++i], nullptr);
    } else {
      std::fprintf(stderr, "kzvideo play: unknown argument '%s'\n", argv[i]);
      return 2;
    }
  }
  const uint32_t session = KZBegin(nullptr);
  KZFILEINFO info{};
  info.size = sizeof info;
  if (!KZGetFileInfo(argv[1], &info, 0)) return ReportError(argv[1], KZGetLastError());
  HWND window = CreateWindowExA(0, nullptr, "kzvideo play", 0, 0, 0, info.width, info.height,
                                nullptr, nullptr, nullptr, nullptr);
  KZPLAYBACK block{};
  block.size = sizeof block;
  block.session = session;
  std::snprintf(block.fileName, sizeof block.fileName, "%s", argv[1]);
  block.window = window;
  block.rate = rate;
  block.zoom = 1.0;
  block.flags = KZ_PLAY_END;
  block.endCallback = OnEnd;
  const uint32_t id = KZStartPlayback(&block);
  if (!id) return ReportError(argv[1], KZGetLastError());
  KZRATE r{};
  for (;;) {
    if (finished) break;
    if (KZGetPlaybackRate(0, id, nullptr, &r) && frames >= 0 && r.framesDone >= frames) break;
    Sleep(5);
  }
  KZHGLOBAL dib = nullptr;
  KZPLAYBACKFRAME pos{};
  pos.size = sizeof pos;
  const bool running = !finished;
  if (running) {
    KZGetPlaybackFrame(0, id, nullptr, &pos);
    if (snapshot) dib = KZGetPlaybackImage(0, id, nullptr, KZ_IMAGE_NOW | KZ_IMAGE_AS_DRAWN, 100);
    KZStopPlayback(0, id, nullptr);
  }
  int status = 0;
  if (snapshot) {
    // After the end the last frame is loaded again, as it was drawn.
    if (!dib) {
      KZPLAYBACK last{};
      last.size = sizeof last;
      last.zoom = 1.0;
      last.flags = KZ_PLAY_MOVE_END;
      dib = KZLoadFrame(argv[1], &last, nullptr, KZ_IMAGE_AS_DRAWN);
    }
    if (!dib || !WriteBitmapFile(snapshot, dib)) {
      std::fprintf(stderr, "kzvideo play: cannot write %s\n", snapshot);
      status = 1;
    }
    if (dib) GlobalFree(dib);
  }
  std::printf("%u frames shown%s\n", running ? r.framesDone : info.frameCount,
              finishStatus ? " (ended early)" : "");
  DestroyWindow(window);
  KZEnd(session);
  return status;
}

}  // namespace kztool

// kzvideo info FILE: the summary of a recording, a numbered sequence or an AVI file.
#include <kzvideo.h>

#include <cstdio>
#include <cstring>

#include "args.h"
#include "commands.h"
#include "live_window.h"

namespace kztool {
namespace {

constexpr Option kOptions[] = {
    {"--full", nullptr, "read every record instead of the first and the last"},
};
constexpr CommandSpec kCommand = {
    "info",
    "FILE [--full]",
    "Prints kind, picture, frames, numbers, times and the files of its sequence of a\n"
    "recording, a numbered sequence or an AVI file.",
    kOptions,
    1,
    1,
    "kzvideo info take.kzv --full"};

}  // namespace

int CmdInfo(int argc, char** argv) {
  const Args args(kCommand, argc, argv);
  if (args.Finished()) return args.Exit();
  const Session session;
  KZFILEINFO info{};
  info.size = sizeof info;
  if (!KZGetFileInfo(args.Positional(0), &info, args.Has("--full") ? KZ_INFO_FULL_SCAN : 0)) {
    return ReportError(args.Positional(0), KZGetLastError());
  }
  const char* kind = info.kind == 1   ? "recording, raw frames (KZVr)"
                     : info.kind == 2 ? "recording, lossless (KZVc)"
                     : info.kind == 3 ? "recording, lossy (KZVl)"
                                      : "AVI";
  const unsigned long long bytes =
      (static_cast<unsigned long long>(info.byteCountHigh) << 32) | info.byteCountLow;
  const unsigned long long firstMs =
      (static_cast<unsigned long long>(info.firstMsHigh) << 32) | info.firstMsLow;
  const unsigned long long lastMs =
      (static_cast<unsigned long long>(info.lastMsHigh) << 32) | info.lastMsLow;
  std::printf("path        %s\n", info.path);
  std::printf("kind        %u %s\n", info.kind, kind);
  std::printf("picture     %d x %d, format %u, %u bits\n", info.width, info.height, info.format,
              info.bitCount);
  std::printf("sequence    first %d, count %d\n", info.sequenceFirst, info.sequenceCount);
  std::printf("bytes       %llu\n", bytes);
  std::printf("frames      %d (numbers %u to %u, smallest %u, largest %u)\n", info.frameCount,
              info.firstFrame, info.lastFrame, info.minFrame, info.maxFrame);
  std::printf("times       %.8f to %.8f\n", info.firstTime, info.lastTime);
  std::printf("ms          %llu to %llu\n", firstMs, lastMs);
  if (info.kind == KZ_KIND_AVI) {
    std::printf("audio       %u Hz, %u bits, %u channels\n", info.audioRate, info.audioBits,
                info.audioChannels);
  }
  std::printf("flags       0x%04x%s%s%s%s%s\n", info.flags,
              info.flags & KZ_INFO_TIMES_RISING ? " times-rising" : "",
              info.flags & KZ_INFO_FRAMES_CONSECUTIVE ? " frames-consecutive" : "",
              info.flags & KZ_INFO_FRAMES_RISING ? " frames-rising" : "",
              info.flags & KZ_INFO_MS_RISING ? " ms-rising" : "",
              info.flags & KZ_INFO_FULL_SCAN ? " full-scan" : "");
  return 0;
}

}  // namespace kztool

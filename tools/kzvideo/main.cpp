// kzvideo: the command-line way to use the library.
#include <kzvideo.h>

#include <cstdio>
#include <cstring>

#include "args.h"
#include "commands.h"

namespace kztool {
namespace {

// One row per subcommand.
constexpr Command kCommands[] = {
    {"version", CmdVersion, "print the library's version"},
    {"show", CmdShow, "show live video of a capture source (on screen when a display is there)"},
    {"record", CmdRecord, "record a capture source to a file"},
    {"time", CmdTime, "convert between calendar times and Julian dates"},
    {"sources", CmdSources, "list the capture sources"},
    {"formats", CmdFormats, "list the capture formats of a source"},
    {"convert", CmdConvert, "push a BMP through a pixel format and the image pipeline"},
    {"info", CmdInfo, "summarise a recording, a numbered sequence or an AVI file"},
    {"play", CmdPlay, "play a file back, optionally saving the last frame shown"},
    {"frame", CmdFrame, "write one frame of a file as a BMP or PNG file"},
    {"options", CmdOptions, "show or choose the stored AVI compression options"},
    {"export", CmdExport, "copy frame ranges of a file into a recording or compressed AVI"},
};

int Usage(FILE* to) {
  std::fprintf(to, "usage: kzvideo COMMAND [ARGS]   (kzvideo COMMAND --help for more)\n\n");
  for (const Command& c : kCommands) std::fprintf(to, "  %-10s %s\n", c.name, c.summary);
  return to == stdout ? 0 : 2;
}

}  // namespace
}  // namespace kztool

int main(int argc, char** argv) {
  using namespace kztool;
  if (argc < 2) return Usage(stderr);
  if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "help")) return Usage(stdout);
  for (const Command& c : kCommands) {
    if (!std::strcmp(argv[1], c.name)) return c.run(argc - 1, argv + 1);
  }
  std::fprintf(stderr, "kzvideo: unknown command '%s'\n", argv[1]);
  Usage(stderr);
  return kExitBadArgs;
}

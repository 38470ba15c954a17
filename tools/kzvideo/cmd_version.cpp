#include <kzvideo.h>

#include <cstdio>
#include <cstring>

#include "args.h"
#include "commands.h"

namespace kztool {

namespace {
constexpr CommandSpec kCommand = {
    "version", "", "Prints the library's version text and number.", {}, 0, 0, "kzvideo version"};
}  // namespace

int CmdVersion(int argc, char** argv) {
  const Args args(kCommand, argc, argv);
  if (args.Finished()) return args.Exit();
  char text[128];
  uint32_t number = KZVersion(text, sizeof text);
  if (!number) return ReportError("KZVersion", KZGetLastError());
  std::printf("%s (0x%08X)\n", text, number);
  return 0;
}

}  // namespace kztool

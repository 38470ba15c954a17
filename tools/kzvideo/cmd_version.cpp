#include <kzvideo.h>

#include <cstdio>
#include <cstring>

#include "commands.h"

namespace kztool {

int CmdVersion(int argc, char** argv) {
  if (argc > 1 && !std::strcmp(argv[1], "--help")) {
    std::printf("usage: kzvideo version\n  prints the library's version text and number\n"
                "example: kzvideo version\n");
    return 0;
  }
  char text[128];
  uint32_t number = KZVersion(text, sizeof text);
  if (!number) return ReportError("KZVersion", KZGetLastError());
  std::printf("%s (0x%08X)\n", text, number);
  return 0;
}

}  // namespace kztool

// kzvideo: the command-line way to use the library.
#include <kzvideo.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "version") == 0) {
    std::printf("kzvideo\n");
    return 0;
  }
  std::fprintf(stderr, "usage: kzvideo COMMAND [ARGS]\n");
  return 2;
}

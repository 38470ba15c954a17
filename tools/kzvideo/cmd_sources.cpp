// kzvideo sources / kzvideo formats SOURCE: the capture sources and their formats.
#include <kzvideo.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "commands.h"

namespace kztool {
namespace {

const char* const kFormatNames[15] = {"?",    "RGB24", "RGB16", "RGB8", "UYVY",
                                      "I420", "YUY2",  "YVU9",  "Y444", "Y422",
                                      "Y411", "Y800",  "PAL8",  "GV24", "GV8"};

// Reads "--mode N" (0 to 3) from the arguments after the command; -1 on a bad value.
int ModeOption(int argc, char** argv, int* mode) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--mode") != 0) continue;
    if (i + 1 >= argc) return -1;
    char* end = nullptr;
    long value = std::strtol(argv[i + 1], &end, 10);
    if (*end != 0 || value < 0 || value > 3) return -1;
    *mode = static_cast<int>(value);
  }
  return 0;
}

// A session for the length of one command.
struct Session {
  uint32_t id = KZBegin(nullptr);
  ~Session() {
    if (id) KZEnd(id);
  }
};

}  // namespace

int CmdSources(int argc, char** argv) {
  if (argc > 1 && !std::strcmp(argv[1], "--help")) {
    std::printf(
        "usage: kzvideo sources [--mode N]\n"
        "  lists the capture sources (1 to 10) and their driver names\n"
        "  --mode 0  installed drivers (default)\n"
        "  --mode 1  every driver slot, unnamed ones as \"Video For Windows N\"\n"
        "  --mode 2  as 1, but only drivers that connect\n"
        "example: kzvideo sources --mode 2\n");
    return 0;
  }
  int mode = 0;
  if (ModeOption(argc, argv, &mode) != 0) {
    std::fprintf(stderr, "kzvideo sources: --mode takes 0, 1, 2 or 3\n");
    return 2;
  }
  Session session;
  if (!session.id) return ReportError("KZBegin", KZGetLastError());
  int32_t count = KZEnumSources(session.id, nullptr, 0, static_cast<uint32_t>(mode));
  if (count <= 0) return ReportError("KZEnumSources", KZGetLastError());
  std::vector<KZSOURCE> list(static_cast<size_t>(count));
  count = KZEnumSources(session.id, list.data(), count, static_cast<uint32_t>(mode));
  if (count <= 0) return ReportError("KZEnumSources", KZGetLastError());
  for (int32_t i = 0; i < count && i < static_cast<int32_t>(list.size()); ++i) {
    std::printf("%2d  %s\n", list[i].source, list[i].name);
  }
  return 0;
}

int CmdFormats(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "--help")) {
    std::printf(
        "usage: kzvideo formats SOURCE [--mode N]\n"
        "  lists the capture formats of a source (1 to 10) and marks the current one\n"
        "  --mode 0  the stored formats, probing the driver only when none are stored\n"
        "  --mode 1  probe the driver again and store the result\n"
        "  --mode 3  the stored formats only\n"
        "example: kzvideo formats 1 --mode 1\n");
    return argc < 2 ? 2 : 0;
  }
  char* end = nullptr;
  long source = std::strtol(argv[1], &end, 10);
  if (*end != 0 || source < 0 || source > 0xFFFF) {
    std::fprintf(stderr, "kzvideo formats: SOURCE is a number from 1 to 10\n");
    return 2;
  }
  int mode = 0;
  if (ModeOption(argc, argv, &mode) != 0) {
    std::fprintf(stderr, "kzvideo formats: --mode takes 0, 1, 2 or 3\n");
    return 2;
  }
  Session session;
  if (!session.id) return ReportError("KZBegin", KZGetLastError());
  const auto id = static_cast<uint32_t>(source);
  int32_t count = KZEnumFormats(session.id, id, nullptr, 0, static_cast<uint32_t>(mode));
  if (count <= 0) return ReportError("KZEnumFormats", KZGetLastError());
  std::vector<KZFORMAT> list(static_cast<size_t>(count));
  count = KZEnumFormats(session.id, id, list.data(), count, static_cast<uint32_t>(mode));
  if (count <= 0) return ReportError("KZEnumFormats", KZGetLastError());
  KZFORMAT current{};
  const bool haveCurrent = KZGetFormat(session.id, id, &current) != 0;
  for (int32_t i = 0; i < count && i < static_cast<int32_t>(list.size()); ++i) {
    const KZFORMAT& f = list[i];
    const bool isCurrent = haveCurrent && f.width == current.width && f.height == current.height &&
                           f.format == current.format;
    const char* name = f.format >= 1 && f.format <= 14 ? kFormatNames[f.format] : "?";
    std::printf("%c %5d x %-5d %-5s %2d bits (format %d)\n", isCurrent ? '*' : ' ', f.width,
                f.height, name, f.bitCount, f.format);
  }
  return 0;
}

}  // namespace kztool

// kzvideo sources / kzvideo formats SOURCE: the capture sources and their formats.
#include <kzvideo.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "args.h"
#include "commands.h"
#include "live_window.h"

namespace kztool {
namespace {

constexpr Option kModeOption[] = {{"--mode", "N", "enumeration mode, see above"}};
constexpr CommandSpec kSources = {
    "sources",
    "[--mode N]",
    "Lists the capture sources (1 to 10) and their driver names.\n"
    "  --mode 0  installed drivers (default)\n"
    "  --mode 1  every driver slot, unnamed ones as \"Video For Windows N\"\n"
    "  --mode 2  as 1, but only drivers that connect",
    kModeOption,
    0,
    0,
    "kzvideo sources --mode 2"};
constexpr CommandSpec kFormats = {
    "formats",
    "SOURCE [--mode N]",
    "Lists the capture formats of a source (1 to 10) and marks the current one with *.\n"
    "  --mode 0  the stored formats, probing the driver only when none are stored\n"
    "  --mode 1  probe the driver again and store the result\n"
    "  --mode 3  the stored formats only",
    kModeOption,
    1,
    1,
    "kzvideo formats 1 --mode 1"};

}  // namespace

int CmdSources(int argc, char** argv) {
  const Args args(kSources, argc, argv);
  if (args.Finished()) return args.Exit();
  long mode = 0;
  if (!args.Long("--mode", 0, 3, &mode)) return kExitBadArgs;
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
  const Args args(kFormats, argc, argv);
  if (args.Finished()) return args.Exit();
  long source = 0, mode = 0;
  if (!args.PositionalLong(0, "SOURCE", 1, 10, &source) || !args.Long("--mode", 0, 3, &mode)) {
    return kExitBadArgs;
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
    const PixelFormat* known = PixelFormatOfCode(static_cast<uint32_t>(f.format));
    const char* name = known ? known->name : "?";
    std::printf("%c %5d x %-5d %-5s %2d bits (format %d)\n", isCurrent ? '*' : ' ', f.width,
                f.height, name, f.bitCount, f.format);
  }
  return 0;
}

}  // namespace kztool

#include "args.h"

#include <kzvideo.h>

#include <strings.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kztool {
namespace {

void PrintHelp(const CommandSpec& c) {
  std::printf("usage: kzvideo %s %s\n\n%s\n", c.name, c.synopsis, c.about);
  if (!c.options.empty()) {
    std::printf("\noptions:\n");
    for (const Option& o : c.options) {
      std::string head = o.name;
      if (o.value) head += std::string(" ") + o.value;
      std::printf("  %-18s %s\n", head.c_str(), o.help);
    }
  }
  std::printf("\nexample:\n");
  // Each line of the example indented.
  for (const char* p = c.example; *p;) {
    const char* end = std::strchr(p, '\n');
    const size_t n = end ? static_cast<size_t>(end - p) : std::strlen(p);
    std::printf("  %.*s\n", static_cast<int>(n), p);
    p += n + (end ? 1 : 0);
  }
}

constexpr PixelFormat kPixelFormats[] = {
    {"RGB24", 1, 24}, {"RGB16", 2, 16}, {"RGB8", 3, 8},   {"UYVY", 4, 16}, {"I420", 5, 12},
    {"YUY2", 6, 16},  {"YVU9", 7, 9},   {"Y444", 8, 24},  {"Y422", 9, 16}, {"Y411", 10, 12},
    {"Y800", 11, 8},  {"PAL8", 12, 8},  {"GV24", 13, 24}, {"GV8", 14, 8},
};

}  // namespace

Args::Args(const CommandSpec& command, int argc, char** argv) : command_(command) {
  bool onlyPositional = false;
  for (int i = 1; i < argc && !finished_; ++i) {
    const char* a = argv[i];
    if (!onlyPositional && !std::strcmp(a, "--help")) {
      PrintHelp(command_);
      finished_ = true;
      return;
    }
    if (!onlyPositional && !std::strcmp(a, "--")) {
      onlyPositional = true;
      continue;
    }
    // A lone "-" or a negative number is a positional argument (frame indexes count back).
    const bool looksLikeOption =
        !onlyPositional && a[0] == '-' && a[1] != '\0' && !(a[1] >= '0' && a[1] <= '9');
    if (!looksLikeOption) {
      if (positional_.size() >= static_cast<size_t>(command_.maxPositional)) {
        exit_ = Bad("unexpected argument '%s'", a);
        finished_ = true;
        return;
      }
      positional_.push_back(a);
      continue;
    }
    const Option* o = Find(a);
    if (!o) {
      exit_ = Bad("unknown option '%s'", a);
      finished_ = true;
      return;
    }
    const char* value = nullptr;
    if (o->value) {
      if (i + 1 >= argc) {
        exit_ = Bad("%s needs a value (%s)", o->name, o->value);
        finished_ = true;
        return;
      }
      value = argv[++i];
    }
    given_.emplace_back(o, value);
  }
  if (positional_.size() < static_cast<size_t>(command_.minPositional)) {
    exit_ = Bad("missing arguments: kzvideo %s %s", command_.name, command_.synopsis);
    finished_ = true;
  }
}

const Option* Args::Find(const char* name) const {
  for (const Option& o : command_.options) {
    if (!std::strcmp(o.name, name)) return &o;
  }
  return nullptr;
}

bool Args::Has(const char* option) const {
  for (const auto& g : given_) {
    if (!std::strcmp(g.first->name, option)) return true;
  }
  return false;
}

const char* Args::Text(const char* option, const char* fallback) const {
  const char* v = fallback;
  for (const auto& g : given_) {
    if (!std::strcmp(g.first->name, option)) v = g.second;  // the last one counts
  }
  return v;
}

bool Args::Long(const char* option, long low, long high, long* out) const {
  const char* v = Text(option);
  if (!v) return true;
  if (ParseLong(v, low, high, out)) return true;
  Bad("%s takes a whole number from %ld to %ld, not '%s'", option, low, high, v);
  return false;
}

bool Args::Double(const char* option, double low, double high, double* out) const {
  const char* v = Text(option);
  if (!v) return true;
  if (ParseDouble(v, low, high, out)) return true;
  Bad("%s takes a number from %g to %g, not '%s'", option, low, high, v);
  return false;
}

bool Args::PositionalLong(size_t i, const char* what, long low, long high, long* out) const {
  if (i < positional_.size() && ParseLong(positional_[i], low, high, out)) return true;
  Bad("%s is a whole number from %ld to %ld, not '%s'", what, low, high,
      i < positional_.size() ? positional_[i] : "");
  return false;
}

int Args::Bad(const char* format, ...) const {
  std::fprintf(stderr, "kzvideo %s: ", command_.name);
  va_list list;
  va_start(list, format);
  std::vfprintf(stderr, format, list);
  va_end(list);
  std::fprintf(stderr, "\n(kzvideo %s --help shows the usage)\n", command_.name);
  return kExitBadArgs;
}

bool ParseLong(const char* text, long low, long high, long* out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (!*text || *end || errno || v < low || v > high) return false;
  *out = v;
  return true;
}

bool ParseDouble(const char* text, double low, double high, double* out) {
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (!*text || *end || !(v >= low && v <= high)) return false;
  *out = v;
  return true;
}

const PixelFormat* FindPixelFormat(const char* name) {
  for (const PixelFormat& f : kPixelFormats) {
    if (!strcasecmp(f.name, name)) return &f;
  }
  return nullptr;
}

const PixelFormat* PixelFormatOfCode(uint32_t code) {
  for (const PixelFormat& f : kPixelFormats) {
    if (f.code == code) return &f;
  }
  return nullptr;
}

std::string PixelFormatNames() {
  std::string names;
  for (const PixelFormat& f : kPixelFormats)
    names += std::string(names.empty() ? "" : " ") + f.name;
  return names;
}

bool FileFlagsOf(const Args& args, const char* defaultKind, uint32_t* flags) {
  struct Kind {
    const char* name;
    uint32_t flags;
  };
  static constexpr Kind kKinds[] = {{"raw", KZ_KIND_RAW},
                                    {"lossless", KZ_KIND_LOSSLESS},
                                    {"lossy", KZ_KIND_LOSSY},
                                    {"avi", KZ_KIND_AVI}};
  const char* name = args.Text("--kind", defaultKind);
  const Kind* kind = nullptr;
  for (const Kind& k : kKinds) {
    if (!strcasecmp(k.name, name)) kind = &k;
  }
  if (!kind) return args.Bad("--kind takes raw, lossless, lossy or avi, not '%s'", name), false;
  if (args.Has("--append") && args.Has("--overwrite")) {
    return args.Bad("--append and --overwrite exclude each other"), false;
  }
  *flags = kind->flags | (args.Has("--append")      ? KZ_OPEN_APPEND
                          : args.Has("--overwrite") ? KZ_OPEN_OVERWRITE
                                                    : KZ_OPEN_NEW);
  return true;
}

}  // namespace kztool

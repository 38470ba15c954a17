// The argument parser every subcommand shares: options with values, flags and positional
// arguments, checked against the command's own table, with one help layout for all.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kztool {

// Exit codes of every subcommand.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;   // the library or the system refused the work
constexpr int kExitBadArgs = 2;  // the command line is wrong

struct Option {
  const char* name;   // "--frames"
  const char* value;  // placeholder of its value ("N"), or null for a flag
  const char* help;
};

struct CommandSpec {
  const char* name;      // "record"
  const char* synopsis;  // what follows "kzvideo record" in the usage line
  const char* about;     // a few lines on what it does
  std::span<const Option> options;
  int minPositional;
  int maxPositional;
  const char* example;  // one or more command lines, each on its own line
};

// One subcommand's command line. Construct, then check `Finished()`: true for --help (the
// help was printed) or a bad command line (the message was printed); `Exit()` is then
// the exit code. Typed getters print a clear message and return false on a bad value.
class Args {
 public:
  Args(const CommandSpec& command, int argc, char** argv);

  bool Finished() const { return finished_; }
  int Exit() const { return exit_; }

  bool Has(const char* option) const;
  // The option's value, or `fallback` when it was not given.
  const char* Text(const char* option, const char* fallback = nullptr) const;
  bool Long(const char* option, long low, long high, long* out) const;
  bool Double(const char* option, double low, double high, double* out) const;

  size_t Positionals() const { return positional_.size(); }
  const char* Positional(size_t i) const { return positional_[i]; }
  bool PositionalLong(size_t i, const char* what, long low, long high, long* out) const;

  // Prints "kzvideo CMD: message" and a hint to --help; returns kExitBadArgs.
  int Bad(const char* format, ...) const __attribute__((format(printf, 2, 3)));

 private:
  const Option* Find(const char* name) const;
  const CommandSpec& command_;
  std::vector<std::pair<const Option*, const char*>> given_;
  std::vector<const char*> positional_;
  bool finished_ = false;
  int exit_ = kExitOk;
};

// Parses a whole number or a decimal number in [low, high]; false for anything else.
bool ParseLong(const char* text, long low, long high, long* out);
bool ParseDouble(const char* text, double low, double high, double* out);

// Capture pixel formats by name: code and bits per pixel.
struct PixelFormat {
  const char* name;
  uint32_t code;
  uint32_t bits;
};
const PixelFormat* FindPixelFormat(const char* name);
// The file kind and open mode that record and export share: --kind NAME (case ignored),
// --append, --overwrite. False, having said why, on an unknown kind or both modes.
bool FileFlagsOf(const Args& args, const char* defaultKind, uint32_t* flags);

const PixelFormat* PixelFormatOfCode(uint32_t code);
// "RGB24 RGB16 ..." for help texts.
std::string PixelFormatNames();

}  // namespace kztool

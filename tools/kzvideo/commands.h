// Subcommands of the kzvideo tool; each lives in a cmd_<name>.cpp of its own.
#pragma once

namespace kztool {

using CommandFn = int (*)(int argc, char** argv);

struct Command {
  const char* name;
  CommandFn run;
  const char* summary;
};

int CmdVersion(int argc, char** argv);
int CmdShow(int argc, char** argv);
int CmdRecord(int argc, char** argv);
int CmdTime(int argc, char** argv);
int CmdSources(int argc, char** argv);
int CmdFormats(int argc, char** argv);
int CmdConvert(int argc, char** argv);
int CmdInfo(int argc, char** argv);
int CmdPlay(int argc, char** argv);
int CmdFrame(int argc, char** argv);
int CmdOptions(int argc, char** argv);
int CmdExport(int argc, char** argv);

// Prints "error N: meaning" for a library error code; returns the tool's exit code 1.
// Extra subcommands (export) join the table in main.cpp.
int ReportError(const char* what, unsigned code);
// Text of a library error code.
const char* ErrorText(unsigned code);

}  // namespace kztool

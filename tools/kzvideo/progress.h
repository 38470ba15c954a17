// Progress of long work (record, play, export): a bar redrawn in place on a terminal, plain
// lines at every tenth when stderr is a file or a pipe, so logs stay readable.
#pragma once

#include <cstdio>

namespace kztool {

class Progress {
 public:
  // `what` names the work ("recording take.kzv"); `unit` names what is counted.
  Progress(const char* what, const char* unit, bool quiet, int decimals = 0);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // `done` of `total` (total 0: unknown, only the count is shown); `detail` is appended.
  void Update(double done, double total, const char* detail = "");
  // Ends the bar's line; later output starts on a line of its own.
  void Finish();

  // Decides how progress looks: a terminal gets the bar. The tool's tests force either.
  static bool OnTerminal();

 private:
  const char* what_;
  const char* unit_;
  bool quiet_;
  bool terminal_;
  int decimals_;
  bool drawn_ = false;
  int lastTenth_ = -1;
  double lastPlain_ = -1.0;
};

}  // namespace kztool

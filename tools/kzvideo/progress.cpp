#include "progress.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace kztool {

bool Progress::OnTerminal() {
  // KZVIDEO_PROGRESS=bar|lines overrides the guess (tests see both forms through pipes).
  const char* force = std::getenv("KZVIDEO_PROGRESS");
  if (force && !std::strcmp(force, "bar")) return true;
  if (force && !std::strcmp(force, "lines")) return false;
  return isatty(fileno(stderr)) != 0;
}

Progress::Progress(const char* what, const char* unit, bool quiet, int decimals)
    : what_(what), unit_(unit), quiet_(quiet), terminal_(OnTerminal()), decimals_(decimals) {}

Progress::~Progress() {
  Finish();
}

void Progress::Update(double done, double total, const char* detail) {
  if (quiet_) return;
  const double fraction = total > 0 ? (done < total ? done / total : 1.0) : -1.0;
  if (terminal_) {
    constexpr int kWidth = 30;
    char bar[kWidth + 1];
    const int filled = fraction < 0 ? 0 : static_cast<int>(fraction * kWidth);
    for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : (fraction < 0 ? '?' : '.');
    bar[kWidth] = '\0';
    if (fraction >= 0) {
      std::fprintf(stderr, "\r%s [%s] %3d%% %.*f of %.*f %s %s\033[K", what_, bar,
                   static_cast<int>(fraction * 100), decimals_, done, decimals_, total, unit_,
                   detail);
    } else {
      std::fprintf(stderr, "\r%s %.0f %s %s\033[K", what_, done, unit_, detail);
    }
    std::fflush(stderr);
    drawn_ = true;
    return;
  }
  // Plain lines: one per tenth reached, or per count change when the total is unknown.
  if (fraction >= 0) {
    const int tenth = static_cast<int>(fraction * 10);
    if (tenth <= lastTenth_) return;
    lastTenth_ = tenth;
    std::fprintf(stderr, "%s: %d%% (%.*f of %.*f %s) %s\n", what_, tenth * 10, decimals_, done,
                 decimals_, total, unit_, detail);
  } else {
    if (done == lastPlain_) return;
    lastPlain_ = done;
    std::fprintf(stderr, "%s: %.0f %s %s\n", what_, done, unit_, detail);
  }
}

void Progress::Finish() {
  if (drawn_) std::fprintf(stderr, "\n");
  drawn_ = false;
}

}  // namespace kztool

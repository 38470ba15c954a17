// Windows and per-thread message queues of the user area, as other areas of the platform
// layer see them (avicap, dialogs, gdi).
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

namespace kzwin {

// Per-window state another area attaches at creation (a capture window's driver link).
// Destroyed once the window is gone and no procedure of it runs any more.
struct WindowExtra {
  virtual ~WindowExtra() = default;
};

// Creates a window owned by the calling thread with a given procedure and extra state.
// A null parent is accepted for every style. Null when `parent` is given but is no window.
HWND CreateWindowWith(LPCSTR title, DWORD style, int width, int height, HWND parent, WNDPROC proc,
                      std::shared_ptr<WindowExtra> extra);
// The extra state of a live window, or null.
std::shared_ptr<WindowExtra> ExtraOfWindow(HWND window);

// Runs every message sent to the calling thread's windows that is waiting now.
void RunSentMessages();

// Modal wait: runs sent messages of the calling thread until `done` is true or `timeout`
// passes (timeouts only bound a hang; the clock is the real one). Returns done().
bool WaitRunningSent(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// Live windows (tests and leak checks).
long CountWindows();

}  // namespace kzwin

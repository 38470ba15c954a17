// A session and a window of the tool's own for live video or playback. With `onScreen`
// the window's surface is also shown in a real window when a display is available;
// otherwise everything runs headless and draws the same.
#pragma once

#include <kzvideo.h>
#include <windows.h>

struct KZWIN_PRESENTER;

namespace kztool {

// A session for the length of one command.
struct Session {
  uint32_t id = KZBegin(nullptr);
  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() {
    if (id) KZEnd(id);
  }
};

class LiveWindow {
 public:
  LiveWindow(const char* title, int width, int height, bool onScreen);
  ~LiveWindow();  // stops the session's streams, then closes window and session
  LiveWindow(const LiveWindow&) = delete;
  LiveWindow& operator=(const LiveWindow&) = delete;

  // Runs this thread's sent messages (capture windows are this thread's, so frames arrive
  // here) for about `ms` milliseconds.
  void Pump(DWORD ms) const;
  // Puts the latest picture on the screen and says so once ("shown in a window").
  void Present();
  bool OnScreen() const { return presenter_ != nullptr; }
  // The person closed the on-screen window: the tool ends its work early.
  bool Closed() const;

  uint32_t session = 0;
  HWND window = nullptr;

 private:
  KZWIN_PRESENTER* presenter_ = nullptr;
  bool announced_ = false;
};

}  // namespace kztool

#include "live_window.h"

#include <cstdio>

#ifndef _WIN32
#include <kzwin/presenter.h>
#endif

namespace kztool {

LiveWindow::LiveWindow(const char* title, int width, int height, bool onScreen) {
  session = KZBegin(nullptr);
  if (!session) return;
  window = CreateWindowExA(0, nullptr, title, WS_OVERLAPPEDWINDOW, 0, 0, width, height, nullptr,
                           nullptr, nullptr, nullptr);
#ifndef _WIN32
  if (onScreen && window) presenter_ = kzwinOpenPresenter(window, title);
#else
  (void)onScreen;
#endif
}

LiveWindow::~LiveWindow() {
  if (session) KZStopAll(session, 0, nullptr);
#ifndef _WIN32
  kzwinClosePresenter(presenter_);
#endif
  if (window) DestroyWindow(window);
  if (session) KZEnd(session);
}

void LiveWindow::Pump(DWORD ms) const {
  const DWORD start = timeGetTime();
  MSG msg;
  do {
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    Sleep(1);
  } while (timeGetTime() - start < ms);
}

void LiveWindow::Present() {
#ifndef _WIN32
  if (!presenter_ || !kzwinPresent(presenter_) || announced_) return;
  announced_ = true;
  std::printf("shown in a window on the screen\n");
  std::fflush(stdout);
#endif
}

bool LiveWindow::Closed() const {
#ifndef _WIN32
  return presenter_ && kzwinPresenterClosed(presenter_);
#else
  return false;
#endif
}

}  // namespace kztool

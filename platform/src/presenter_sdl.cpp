// The on-screen presenter over SDL2. One thread per presenter makes every SDL call (video
// start, window, events, drawing), so callers on any thread never meet SDL's thread rules.
#include <windows.h>
#include <kzwin/presenter.h>

#include <SDL.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "surface.h"

struct KZWIN_PRESENTER {
  std::shared_ptr<kzwin::Surface> surface;
  std::string title;
  std::thread thread;
  std::mutex mutex;
  std::condition_variable changed;
  int started = 0;  // 1 up, -1 failed to start
  bool stop = false;
  bool closed = false;
  uint64_t asked = 0;  // Present requests, and the ones done
  uint64_t done = 0;
};

namespace kzwin {
namespace {

// SDL's video subsystem is process-wide: one presenter at a time holds it.
std::mutex& VideoMutex() {
  static auto* m = new std::mutex;
  return *m;
}

bool DisplayNamed() {
  const char* x = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (w && *w);
}

// Draws the surface into the window; false when the window's own surface is not there.
bool Draw(SDL_Window* window, Surface& s, std::vector<uint32_t>& copy) {
  int32_t w = 0, h = 0;
  {
    std::lock_guard lock(s.mutex);
    w = s.width;
    h = s.height;
    copy = s.pixels;
  }
  if (w <= 0 || h <= 0) return true;
  int ww = 0, wh = 0;
  SDL_GetWindowSize(window, &ww, &wh);
  if (ww != w || wh != h) SDL_SetWindowSize(window, w, h);
  SDL_Surface* target = SDL_GetWindowSurface(window);
  if (!target) return false;
  const int cw = target->w < w ? target->w : w, ch = target->h < h ? target->h : h;
  SDL_LockSurface(target);
  // Our pixels are 0x00RRGGBB words: SDL's RGB888.
  SDL_ConvertPixels(cw, ch, SDL_PIXELFORMAT_RGB888, copy.data(), w * 4, target->format->format,
                    target->pixels, target->pitch);
  SDL_UnlockSurface(target);
  return SDL_UpdateWindowSurface(window) == 0;
}

void Run(KZWIN_PRESENTER* p) {
  std::unique_lock video(VideoMutex(), std::try_to_lock);
  // The program keeps its own signal handling; SDL only shows.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  SDL_Window* window = nullptr;
  if (video.owns_lock() && SDL_InitSubSystem(SDL_INIT_VIDEO) == 0) {
    int32_t w = 0, h = 0;
    {
      std::lock_guard lock(p->surface->mutex);
      w = p->surface->width;
      h = p->surface->height;
    }
    window = SDL_CreateWindow(p->title.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                              w > 0 ? w : 1, h > 0 ? h : 1, SDL_WINDOW_SHOWN);
    if (!window) SDL_QuitSubSystem(SDL_INIT_VIDEO);
  }
  {
    std::lock_guard lock(p->mutex);
    p->started = window ? 1 : -1;
  }
  p->changed.notify_all();
  if (!window) return;

  std::vector<uint32_t> copy;
  for (;;) {
    uint64_t asked = 0;
    {
      std::unique_lock lock(p->mutex);
      p->changed.wait_for(lock, std::chrono::milliseconds(16),
                          [p] { return p->stop || p->asked != p->done; });
      if (p->stop) break;
      asked = p->asked;
    }
    SDL_Event e;
    bool closed = false;
    while (SDL_PollEvent(&e)) {
      if (e.type == SDL_QUIT ||
          (e.type == SDL_WINDOWEVENT && e.window.event == SDL_WINDOWEVENT_CLOSE)) {
        closed = true;
      }
    }
    if (!closed) closed = !Draw(window, *p->surface, copy);
    {
      std::lock_guard lock(p->mutex);
      p->closed = p->closed || closed;
      p->done = asked;
    }
    p->changed.notify_all();
  }
  SDL_DestroyWindow(window);
  SDL_QuitSubSystem(SDL_INIT_VIDEO);
}

}  // namespace
}  // namespace kzwin

KZWIN_PRESENTER* kzwinOpenPresenter(HWND window, LPCSTR title) {
  if (!kzwin::DisplayNamed()) return nullptr;
  auto surface = kzwin::SurfaceOfWindow(window);
  if (!surface) return nullptr;
  auto p = std::make_unique<KZWIN_PRESENTER>();
  p->surface = std::move(surface);
  p->title = title ? title : "kzvideo";
  p->thread = std::thread(kzwin::Run, p.get());
  std::unique_lock lock(p->mutex);
  p->changed.wait(lock, [&] { return p->started != 0; });
  const bool up = p->started > 0;
  lock.unlock();
  if (!up) {
    p->thread.join();
    return nullptr;
  }
  return p.release();
}

BOOL kzwinPresent(KZWIN_PRESENTER* p) {
  if (!p) return FALSE;
  std::unique_lock lock(p->mutex);
  const uint64_t ticket = ++p->asked;
  p->changed.notify_all();
  p->changed.wait(lock, [&] { return p->done >= ticket || p->closed; });
  return p->closed ? FALSE : TRUE;
}

BOOL kzwinPresenterClosed(KZWIN_PRESENTER* p) {
  if (!p) return TRUE;
  std::lock_guard lock(p->mutex);
  return p->closed ? TRUE : FALSE;
}

void kzwinClosePresenter(KZWIN_PRESENTER* p) {
  if (!p) return;
  {
    std::lock_guard lock(p->mutex);
    p->stop = true;
  }
  p->changed.notify_all();
  p->thread.join();
  delete p;
}

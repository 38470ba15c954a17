// Windows: creation, the handle table, destruction and the plain queries.
#include <unistd.h>
#include <kzwin_test.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <unordered_map>

#include "handles.h"
#include "user_internal.h"

namespace kzwin {
namespace {

struct WindowTable {
  std::mutex mutex;
  std::unordered_map<uintptr_t, std::shared_ptr<Window>> windows;
  uintptr_t next = 0x20000;  // apart from kernel handles, so a mix-up is refused
  std::vector<std::pair<std::string, WNDPROC>> classes;  // atom = index + 0xC000
};

WindowTable& Table() {
  static WindowTable* table = new WindowTable;  // outlives threads that end at exit
  return *table;
}

std::string Lower(const char* text) {
  std::string s(text);
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

constexpr uintptr_t kFirstAtom = 0xC000;

// The procedure of a class given by name or atom; null when it is not registered.
WNDPROC FindClass(LPCSTR className) {
  WindowTable& t = Table();
  std::lock_guard lock(t.mutex);
  auto value = reinterpret_cast<uintptr_t>(className);
  if (value < 0x10000) {
    if (value < kFirstAtom || value - kFirstAtom >= t.classes.size()) return nullptr;
    return t.classes[value - kFirstAtom].second;
  }
  std::string name = Lower(className);
  for (auto& [known, proc] : t.classes) {
    if (known == name) return proc;
  }
  return nullptr;
}

std::shared_ptr<Window> DesktopObject() {
  static std::shared_ptr<Window>* desktop = [] {
    auto w = std::make_shared<Window>();
    w->proc = DefWindowProcA;
    w->width = 1920;
    w->height = 1080;
    w->title = "Desktop";
    WindowTable& t = Table();
    std::lock_guard lock(t.mutex);
    t.next += 4;
    w->handle = t.next;
    t.windows.emplace(w->handle, w);
    return new std::shared_ptr<Window>(w);
  }();
  return *desktop;
}

HWND ToHandle(uintptr_t value) {
  return reinterpret_cast<HWND>(value);
}

std::vector<std::shared_ptr<Window>> Collect(bool (*match)(const Window&, uintptr_t),
                                             uintptr_t key) {
  WindowTable& t = Table();
  std::lock_guard lock(t.mutex);
  std::vector<std::shared_ptr<Window>> found;
  for (auto& [handle, w] : t.windows) {
    if (match(*w, key)) found.push_back(w);
  }
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a->handle < b->handle; });
  return found;
}

// Destroys a window and its children. The window procedure sees WM_DESTROY while the
// window is still a window; children go after their parent, as on Windows.
void DestroyTree(const std::shared_ptr<Window>& w) {
  if (w->destroying.exchange(true)) return;
  const bool ownThread = w->ownerThreadId == GetCurrentThreadId();
  if (ownThread) CallWindowProcedure(w, WM_DESTROY, 0, 0);
  auto children =
      Collect([](const Window& c,
                 uintptr_t parent) { return reinterpret_cast<uintptr_t>(c.parent) == parent; },
              w->handle);
  for (auto& child : children) DestroyTree(child);
  w->alive.store(false);
  {
    WindowTable& t = Table();
    std::lock_guard lock(t.mutex);
    t.windows.erase(w->handle);
  }
  // A child of another thread may be inside its procedure right now; its end is awaited
  // (pumping, so that procedure may send to us) before the caller goes on.
  if (!ownThread && w->procDepth.load() > 0) {
    WaitRunningSent([&] { return w->procDepth.load() == 0; }, std::chrono::seconds(10));
  }
  if (w->owner) ReleaseSendsToDeadWindows(*w->owner);
}

}  // namespace

std::shared_ptr<Window> FindWindowObject(HWND window) {
  if (!window) return nullptr;
  WindowTable& t = Table();
  std::lock_guard lock(t.mutex);
  auto it = t.windows.find(reinterpret_cast<uintptr_t>(window));
  if (it == t.windows.end() || !it->second->alive.load()) return nullptr;
  return it->second;
}

HWND CreateWindowWith(LPCSTR title, DWORD style, int width, int height, HWND parent, WNDPROC proc,
                      std::shared_ptr<WindowExtra> extra) {
  if (parent && !FindWindowObject(parent)) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  auto w = std::make_shared<Window>();
  w->owner = CurrentQueue();
  w->ownerThreadId = GetCurrentThreadId();
  w->parent = parent;
  w->style = style;
  w->title = title ? title : "";
  w->proc = proc ? proc : DefWindowProcA;
  w->width = width == CW_USEDEFAULT ? 640 : std::max(width, 0);
  w->height = height == CW_USEDEFAULT ? 480 : std::max(height, 0);
  w->extra = std::move(extra);
  WindowTable& t = Table();
  std::lock_guard lock(t.mutex);
  t.next += 4;
  w->handle = t.next;
  t.windows.emplace(w->handle, w);
  return ToHandle(w->handle);
}

std::shared_ptr<WindowExtra> ExtraOfWindow(HWND window) {
  auto w = FindWindowObject(window);
  return w ? w->extra : nullptr;
}

std::shared_ptr<Surface> SurfaceOfWindow(HWND window) {
  auto w = FindWindowObject(window);
  if (!w) return nullptr;
  std::lock_guard lock(w->surfaceMutex);
  if (!w->surface) {
    w->surface = std::make_shared<Surface>();
    w->surface->Resize(w->width, w->height);
  }
  return w->surface;
}

void DestroyWindowsOfThread(DWORD threadId) {
  auto owned =
      Collect([](const Window& w,
                 uintptr_t id) { return w.owner && w.ownerThreadId == static_cast<DWORD>(id); },
              threadId);
  for (auto& w : owned) DestroyTree(w);
}

long CountWindows() {
  WindowTable& t = Table();
  std::lock_guard lock(t.mutex);
  long n = 0;
  for (auto& [handle, w] : t.windows) n += w->owner != nullptr;
  return n;
}

}  // namespace kzwin

using kzwin::FindWindowObject;

extern "C" {

WORD WINAPI RegisterClassA(const WNDCLASSA* windowClass) {
  if (!windowClass || !windowClass->lpszClassName || !windowClass->lpfnWndProc ||
      reinterpret_cast<uintptr_t>(windowClass->lpszClassName) < 0x10000) {
    kzwin::SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  kzwin::WindowTable& t = kzwin::Table();
  std::lock_guard lock(t.mutex);
  std::string name = kzwin::Lower(windowClass->lpszClassName);
  for (auto& [known, proc] : t.classes) {
    if (known == name) {
      kzwin::SetError(ERROR_CLASS_ALREADY_EXISTS);
      return 0;
    }
  }
  if (t.classes.size() >= 0x3FFF) {
    kzwin::SetError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  t.classes.emplace_back(name, windowClass->lpfnWndProc);
  return static_cast<WORD>(kzwin::kFirstAtom + t.classes.size() - 1);
}

HWND WINAPI CreateWindowExA(DWORD, LPCSTR className, LPCSTR title, DWORD style, int, int, int width,
                            int height, HWND parent, HMENU, HINSTANCE, LPVOID) {
  WNDPROC proc = DefWindowProcA;
  if (className) {
    proc = kzwin::FindClass(className);
    if (!proc) {
      kzwin::SetError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
  }
  return kzwin::CreateWindowWith(title, style, width, height, parent, proc, nullptr);
}

LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM, LPARAM) {
  if (message == WM_CLOSE) DestroyWindow(window);
  return 0;
}

BOOL WINAPI DestroyWindow(HWND window) {
  auto w = FindWindowObject(window);
  if (!w) {
    kzwin::SetError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (!w->owner || w->ownerThreadId != GetCurrentThreadId()) {
    kzwin::SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  kzwin::DestroyTree(w);
  return TRUE;
}

BOOL WINAPI IsWindow(HWND window) {
  return FindWindowObject(window) ? TRUE : FALSE;
}

HWND WINAPI GetParent(HWND window) {
  auto w = FindWindowObject(window);
  if (!w) {
    kzwin::SetError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  return w->parent;
}

BOOL WINAPI GetClientRect(HWND window, LPRECT rect) {
  auto w = FindWindowObject(window);
  if (!w || !rect) {
    kzwin::SetError(w ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  *rect = RECT{0, 0, w->width, w->height};
  return TRUE;
}

DWORD WINAPI GetWindowThreadProcessId(HWND window, LPDWORD processId) {
  auto w = FindWindowObject(window);
  if (!w) {
    kzwin::SetError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (processId) *processId = static_cast<DWORD>(getpid());
  return w->ownerThreadId;
}

HWND WINAPI GetActiveWindow(void) {
  // The newest top-level window of the calling thread; none makes it null.
  auto mine = kzwin::Collect(
      [](const kzwin::Window& w, uintptr_t id) {
        return w.owner && w.ownerThreadId == static_cast<DWORD>(id) && !(w.style & WS_CHILD) &&
               w.parent == nullptr;
      },
      GetCurrentThreadId());
  return mine.empty() ? nullptr : kzwin::ToHandle(mine.back()->handle);
}

HWND WINAPI GetDesktopWindow(void) {
  return kzwin::ToHandle(kzwin::DesktopObject()->handle);
}

LONG kzwinCountWindows(void) {
  return static_cast<LONG>(kzwin::CountWindows());
}

}  // extern "C"

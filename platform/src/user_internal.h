// Window objects and thread queues shared by the two halves of the user area
// (user_windows.cpp: the window table; user_messages.cpp: sending, posting, pumping).
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "message_ring.h"
#include "surface.h"
#include "window.h"

namespace kzwin {

struct ThreadQueue;

// One SendMessageA from another thread, waiting in the owner's queue.
struct SentMessage {
  HWND window = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  // Written by the thread that replies, under `sender->mutex`.
  LRESULT result = 0;
  bool done = false;
  std::shared_ptr<ThreadQueue> sender;
};

// The message queue of one thread. Created the first time a thread needs one; marked dead
// when the thread ends, after which nothing is queued to it any more.
struct ThreadQueue {
  std::mutex mutex;
  std::condition_variable wake;  // a message arrived or a send this thread waits on ended
  MessageRing<std::shared_ptr<SentMessage>> sent;
  std::deque<MSG> posted;
  bool alive = true;
  bool quit = false;
  uint64_t arrivals = 0;  // counts every queued message, so a waiter can tell news apart
  int quitCode = 0;
  DWORD threadId = 0;
};

struct Window {
  uintptr_t handle = 0;
  std::shared_ptr<ThreadQueue> owner;  // null for the desktop window
  DWORD ownerThreadId = 0;
  HWND parent = nullptr;
  DWORD style = 0;
  std::string title;
  WNDPROC proc = nullptr;
  int32_t width = 0;
  int32_t height = 0;
  std::shared_ptr<WindowExtra> extra;
  std::atomic<bool> alive{true};
  std::atomic<bool> destroying{false};
  std::atomic<int> procDepth{0};  // window procedures of this window running now

  std::mutex surfaceMutex;
  std::shared_ptr<Surface> surface;  // made on first use: most windows are never drawn into
};

// The calling thread's queue (made on first use).
std::shared_ptr<ThreadQueue> CurrentQueue();
// The live window behind a handle, or null.
std::shared_ptr<Window> FindWindowObject(HWND window);
// Calls the window procedure on the calling thread, counting it as running.
LRESULT CallWindowProcedure(const std::shared_ptr<Window>& window, UINT message, WPARAM wParam,
                            LPARAM lParam);
// Replies to a sent message and wakes its sender.
void ReplySent(const std::shared_ptr<SentMessage>& sent, LRESULT result);
// Replies 0 to every message waiting in `queue` for a window that is gone.
void ReleaseSendsToDeadWindows(ThreadQueue& queue);
// Destroys the windows of a thread that ends (called from the thread itself).
void DestroyWindowsOfThread(DWORD threadId);

}  // namespace kzwin

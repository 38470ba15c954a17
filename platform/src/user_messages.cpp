// Sent and posted messages. A message sent to a window of another thread waits in that
// thread's queue until the thread next pumps (PeekMessageA, GetMessageA, or a wait of its
// own inside SendMessageA); the sender blocks meanwhile and runs messages sent to its own
// windows, so two threads sending to each other never deadlock. Every hand-over goes
// through a queue mutex, so each side sees the other's writes.
#include <windows.h>

#include "handles.h"
#include "user_internal.h"

namespace kzwin {
namespace {

// Holds the calling thread's queue; when the thread ends its windows are destroyed and
// everyone still waiting on it is released with 0.
struct QueueHolder {
  std::shared_ptr<ThreadQueue> queue;
  ~QueueHolder() {
    if (!queue) return;
    DestroyWindowsOfThread(queue->threadId);
    std::vector<std::shared_ptr<SentMessage>> left;
    {
      std::lock_guard lock(queue->mutex);
      queue->alive = false;
      left = queue->sent.TakeAll();
      queue->posted.clear();
    }
    for (auto& sent : left) ReplySent(sent, 0);
  }
};

thread_local QueueHolder holder;

void RunOne(const std::shared_ptr<SentMessage>& sent) {
  auto w = FindWindowObject(sent->window);
  LRESULT result = w ? CallWindowProcedure(w, sent->message, sent->wParam, sent->lParam) : 0;
  ReplySent(sent, result);
}

std::shared_ptr<SentMessage> PopSent(ThreadQueue& queue) {
  std::lock_guard lock(queue.mutex);
  if (queue.sent.Empty()) return nullptr;
  return queue.sent.TakeFront();
}

bool Matches(const MSG& m, HWND window, UINT filterMin, UINT filterMax) {
  if (window && m.hwnd != window) return false;
  if (filterMin == 0 && filterMax == 0) return true;
  return m.message >= filterMin && m.message <= filterMax;
}

}  // namespace

std::shared_ptr<ThreadQueue> CurrentQueue() {
  if (!holder.queue) {
    holder.queue = std::make_shared<ThreadQueue>();
    holder.queue->threadId = GetCurrentThreadId();
  }
  return holder.queue;
}

LRESULT CallWindowProcedure(const std::shared_ptr<Window>& window, UINT message, WPARAM wParam,
                            LPARAM lParam) {
  window->procDepth.fetch_add(1);
  // NOLINTNEXTLINE(performance-no-int-to-ptr): window handles are numbers
  LRESULT result = window->proc(reinterpret_cast<HWND>(window->handle), message, wParam, lParam);
  window->procDepth.fetch_sub(1);
  return result;
}

void ReplySent(const std::shared_ptr<SentMessage>& sent, LRESULT result) {
  {
    std::lock_guard lock(sent->sender->mutex);
    sent->result = result;
    sent->done = true;
  }
  sent->sender->wake.notify_all();
}

void ReleaseSendsToDeadWindows(ThreadQueue& queue) {
  std::vector<std::shared_ptr<SentMessage>> dead;
  {
    std::lock_guard lock(queue.mutex);
    queue.sent.RemoveIf([](const auto& sent) { return !FindWindowObject(sent->window); }, dead);
  }
  for (auto& sent : dead) ReplySent(sent, 0);
}

void RunSentMessages() {
  auto self = CurrentQueue();
  // Only the sends waiting now: senders answered here that send again at once (grab threads
  // do) would otherwise keep the thread in this loop for as long as they run.
  size_t waiting;
  {
    std::lock_guard lock(self->mutex);
    waiting = self->sent.Size();
  }
  for (; waiting > 0; --waiting) {
    auto sent = PopSent(*self);
    if (!sent) break;
    RunOne(sent);
  }
}

bool WaitRunningSent(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  auto self = CurrentQueue();
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    RunSentMessages();
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::unique_lock lock(self->mutex);
    self->wake.wait_for(lock, std::chrono::milliseconds(1), [&] { return !self->sent.Empty(); });
  }
}

}  // namespace kzwin

using kzwin::CurrentQueue;
using kzwin::FindWindowObject;

extern "C" {

LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto w = FindWindowObject(window);
  if (!w) {
    kzwin::SetError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  auto self = CurrentQueue();
  if (!w->owner || w->owner == self) {
    return kzwin::CallWindowProcedure(w, message, wParam, lParam);
  }
  // A thread sends over and over (a grab per frame) and its sends nest only while it waits,
  // so it keeps one record and takes it again when nobody else holds it any more: the
  // replier lets go after its reply. Its `sender` is this thread's queue from the start.
  thread_local std::shared_ptr<kzwin::SentMessage> kept;
  std::shared_ptr<kzwin::SentMessage> sent;
  if (kept && kept.use_count() == 1) {
    sent = std::move(kept);
  } else {
    sent = std::make_shared<kzwin::SentMessage>();
    sent->sender = self;
  }
  sent->window = window;
  sent->message = message;
  sent->wParam = wParam;
  sent->lParam = lParam;
  sent->result = 0;
  sent->done = false;
  auto keep = [&](LRESULT result) {
    if (!kept) kept = std::move(sent);
    return result;
  };
  {
    std::lock_guard lock(w->owner->mutex);
    if (!w->owner->alive) return keep(0);  // its thread has ended
    w->owner->sent.PushBack(sent);
    ++w->owner->arrivals;
  }
  w->owner->wake.notify_all();
  // The window may have been destroyed between the lookup and the queueing; its
  // destruction released what was queued then, so catch what came after.
  if (!FindWindowObject(window)) kzwin::ReleaseSendsToDeadWindows(*w->owner);
  w.reset();
  for (;;) {
    std::shared_ptr<kzwin::SentMessage> incoming;
    {
      std::unique_lock lock(self->mutex);
      self->wake.wait(lock, [&] { return sent->done || !self->sent.Empty(); });
      if (sent->done) {
        const LRESULT result = sent->result;
        lock.unlock();
        return keep(result);
      }
      incoming = self->sent.TakeFront();
    }
    kzwin::RunOne(incoming);
  }
}

BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<kzwin::ThreadQueue> target;
  if (!window) {
    target = CurrentQueue();
  } else {
    auto w = FindWindowObject(window);
    if (!w) {
      kzwin::SetError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    if (!w->owner) return TRUE;  // the desktop takes no posts
    target = w->owner;
  }
  {
    std::lock_guard lock(target->mutex);
    if (!target->alive) {
      kzwin::SetError(1444);  // ERROR_INVALID_THREAD_ID
      return FALSE;
    }
    target->posted.push_back(MSG{window, message, wParam, lParam, timeGetTime(), POINT{0, 0}});
    ++target->arrivals;
  }
  target->wake.notify_all();
  return TRUE;
}

BOOL WINAPI PeekMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT remove) {
  kzwin::RunSentMessages();
  auto self = CurrentQueue();
  std::lock_guard lock(self->mutex);
  for (auto it = self->posted.begin(); it != self->posted.end(); ++it) {
    if (!kzwin::Matches(*it, window, filterMin, filterMax)) continue;
    if (msg) *msg = *it;
    if (remove & PM_REMOVE) self->posted.erase(it);
    return TRUE;
  }
  if (self->quit &&
      ((filterMin == 0 && filterMax == 0) || (WM_QUIT >= filterMin && WM_QUIT <= filterMax))) {
    if (msg) *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(self->quitCode), 0, 0, {0, 0}};
    if (remove & PM_REMOVE) self->quit = false;
    return TRUE;
  }
  return FALSE;
}

BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax) {
  if (!msg) {
    kzwin::SetError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  auto self = CurrentQueue();
  for (;;) {
    uint64_t seen;
    {
      std::lock_guard lock(self->mutex);
      seen = self->arrivals;
    }
    if (PeekMessageA(msg, window, filterMin, filterMax, PM_REMOVE)) {
      return msg->message == WM_QUIT ? FALSE : TRUE;
    }
    std::unique_lock lock(self->mutex);
    self->wake.wait(lock, [&] { return self->arrivals != seen; });
  }
}

BOOL WINAPI TranslateMessage(const MSG*) {
  return FALSE;
}  // no keyboard to translate

LRESULT WINAPI DispatchMessageA(const MSG* msg) {
  if (!msg || !msg->hwnd) return 0;
  auto w = FindWindowObject(msg->hwnd);
  if (!w || (w->owner && w->owner != CurrentQueue())) return 0;
  return kzwin::CallWindowProcedure(w, msg->message, msg->wParam, msg->lParam);
}

void WINAPI PostQuitMessage(int exitCode) {
  auto self = CurrentQueue();
  {
    std::lock_guard lock(self->mutex);
    self->quit = true;
    self->quitCode = exitCode;
    ++self->arrivals;
  }
  self->wake.notify_all();
}

}  // extern "C"

// Threads, sleeping and the millisecond clock.
#include <windows.h>
#include <kzwin_test.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "handles.h"

namespace kzwin {
namespace {

struct Thread : Object {
  static constexpr Kind kKind = Kind::Thread;
  Thread() : Object(kKind) {}
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  DWORD exitCode = STILL_ACTIVE;
  DWORD id = 0;
};

std::atomic<DWORD> nextThreadId{1};
thread_local DWORD currentThreadId = 0;
std::atomic<long> threadsLeft{-1};
std::atomic<long> threadsRunning{0};

std::atomic<bool> manualClock{false};
std::atomic<DWORD> manualNow{0};

DWORD RealClock() {
  using namespace std::chrono;
  auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  return static_cast<DWORD>(ms);
}

}  // namespace
}  // namespace kzwin

using kzwin::Thread;

extern "C" {

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start,
                           LPVOID parameter, DWORD, LPDWORD threadId) {
  long left = kzwin::threadsLeft.load();
  while (left >= 0) {
    if (left == 0) {
      kzwin::SetError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    if (kzwin::threadsLeft.compare_exchange_weak(left, left - 1)) break;
  }
  auto thread = std::make_shared<Thread>();
  thread->id = kzwin::nextThreadId.fetch_add(1);
  if (threadId) *threadId = thread->id;
  HANDLE handle = kzwin::RegisterObject(thread);
  kzwin::threadsRunning.fetch_add(1);
  try {
    std::thread([thread, start, parameter] {
      kzwin::currentThreadId = thread->id;
      DWORD code = start(parameter);
      kzwin::threadsRunning.fetch_sub(1);
      std::lock_guard lock(thread->mutex);
      thread->exitCode = code;
      thread->done = true;
      thread->ended.notify_all();
    }).detach();
  } catch (...) {
    kzwin::threadsRunning.fetch_sub(1);
    kzwin::UnregisterObject(handle, kzwin::Kind::Thread);
    kzwin::SetError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return handle;
}

DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  auto thread = kzwin::Lookup<Thread>(object);
  if (!thread) {
    kzwin::SetError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  std::unique_lock lock(thread->mutex);
  if (milliseconds == INFINITE) {
    thread->ended.wait(lock, [&] { return thread->done; });
    return WAIT_OBJECT_0;
  }
  bool done = thread->ended.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                     [&] { return thread->done; });
  return done ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL WINAPI GetExitCodeThread(HANDLE object, LPDWORD code) {
  auto thread = kzwin::Lookup<Thread>(object);
  if (!thread || !code) {
    kzwin::SetError(thread ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard lock(thread->mutex);
  *code = thread->exitCode;
  return TRUE;
}

DWORD WINAPI GetCurrentThreadId(void) {
  if (kzwin::currentThreadId == 0) kzwin::currentThreadId = kzwin::nextThreadId.fetch_add(1);
  return kzwin::currentThreadId;
}

void WINAPI Sleep(DWORD milliseconds) {
  if (kzwin::manualClock.load()) {
    kzwin::manualNow.fetch_add(milliseconds);
    std::this_thread::yield();
    return;
  }
  if (milliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD WINAPI timeGetTime(void) {
  return kzwin::manualClock.load() ? kzwin::manualNow.load() : kzwin::RealClock();
}

void kzwinUseManualClock(BOOL manual, DWORD start) {
  kzwin::manualNow.store(start);
  kzwin::manualClock.store(manual != FALSE);
}

void kzwinAdvanceClock(DWORD milliseconds) { kzwin::manualNow.fetch_add(milliseconds); }

void kzwinFailThreadsAfter(LONG count) { kzwin::threadsLeft.store(count < 0 ? -1 : count); }

LONG kzwinCountRunningThreads(void) { return kzwin::threadsRunning.load(); }

}  // extern "C"

// Windows and messages of the platform layer: sends across threads, pumping, destruction.
#include <gtest/gtest.h>
#include <kzwin_test.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <tuple>
#include <utility>
#include "expect_call.h"

namespace {

constexpr UINT kAsk = WM_USER + 100;    // replies wParam * 2, records the running thread
constexpr UINT kRelay = WM_USER + 101;  // sends kAsk to the window in lParam, adds 1
constexpr UINT kNote = WM_USER + 102;

std::atomic<DWORD> lastProcThread{0};
std::atomic<int> asksRun{0};

LRESULT CALLBACK TestProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kAsk:
      lastProcThread.store(GetCurrentThreadId());
      asksRun.fetch_add(1);
      return static_cast<LRESULT>(wParam * 2);
    case kRelay:
      return SendMessageA(reinterpret_cast<HWND>(lParam), kAsk, wParam, 0) + 1;
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

const char* TestClass() {
  static const char* name = [] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = TestProc;
    wc.lpszClassName = "KzTestWindow";
    RegisterClassA(&wc);
    return "KzTestWindow";
  }();
  return name;
}

HWND MakeWindow(HWND parent = nullptr) {
  return CreateWindowExA(0, TestClass(), "test", parent ? WS_CHILD : WS_OVERLAPPEDWINDOW, 0, 0, 320,
                         200, parent, nullptr, nullptr, nullptr);
}

// A thread that owns one window and pumps sent messages until told to stop.
struct PumpingOwner {
  std::atomic<HWND> window{nullptr};
  std::atomic<DWORD> threadId{0};
  std::atomic<bool> stop{false};
  std::thread thread;

  PumpingOwner() {
    thread = std::thread([this] {
      threadId.store(GetCurrentThreadId());
      window.store(MakeWindow());
      MSG msg;
      while (!stop.load()) {
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
        std::this_thread::yield();
      }
    });
    while (!window.load()) std::this_thread::yield();
  }
  ~PumpingOwner() {
    stop.store(true);
    thread.join();
  }
};

TEST(UserMessages, SendsBetweenTwoThreadsDoNotDeadlock) {
  PumpingOwner other;
  HWND mine = MakeWindow();
  // Nested: the other thread's procedure sends back to this thread while this thread waits.
  EXPECT_EQ(SendMessageA(other.window.load(), kRelay, 4, reinterpret_cast<LPARAM>(mine)), 9);
  EXPECT_EQ(lastProcThread.load(), GetCurrentThreadId());

  // Crossed: two threads, neither pumping, send to each other at the same moment.
  std::atomic<HWND> bWindow{nullptr};
  std::atomic<int> ready{0};
  LRESULT fromB = 0;
  std::atomic<bool> bAnswered{false};
  std::thread b([&] {
    bWindow.store(MakeWindow());
    ready.fetch_add(1);
    while (ready.load() < 2) std::this_thread::yield();
    fromB = SendMessageA(mine, kAsk, 7, 1);
    bAnswered.store(true);
    // Keep the window alive until the crossed send of the main thread was answered.
    while (ready.load() < 3) PeekMessageA(nullptr, nullptr, 0, 0, PM_NOREMOVE);
  });
  while (!bWindow.load()) std::this_thread::yield();
  ready.fetch_add(1);
  EXPECT_EQ(SendMessageA(bWindow.load(), kAsk, 8, 1), 16);
  // Whichever reply came first, the other send may still wait for this thread to pump.
  while (!bAnswered.load()) PeekMessageA(nullptr, nullptr, 0, 0, PM_NOREMOVE);
  ready.fetch_add(1);
  b.join();
  EXPECT_EQ(fromB, 14);
  EXPECT_FALSE(IsWindow(bWindow.load()));  // gone with its thread
  EXPECT_TRUE(DestroyWindow(mine));
}

// A thread sending over and over (as a grab thread does) gets each send's own reply,
// whether the send is plain, nests a send back to it, or meets a window already gone.
TEST(UserMessages, RepeatedSendsEachGetTheirOwnReply) {
  PumpingOwner other;
  HWND mine = MakeWindow();
  HWND gone = MakeWindow();
  ASSERT_TRUE(DestroyWindow(gone));
  for (WPARAM i = 1; i <= 300; ++i) {
    switch (i % 3) {
      case 0:
        ASSERT_EQ(SendMessageA(other.window.load(), kAsk, i, 0), LRESULT(2 * i)) << i;
        break;
      case 1:
        ASSERT_EQ(SendMessageA(other.window.load(), kRelay, i, reinterpret_cast<LPARAM>(mine)),
                  LRESULT(2 * i + 1))
            << i;
        break;
      default:
        ASSERT_EQ(SendMessageA(gone, kAsk, i, 0), 0) << i;
    }
  }
  EXPECT_TRUE(DestroyWindow(mine));
}

TEST(UserMessages, SenderIsReleasedWhenOwnerEnds) {
  std::atomic<HWND> window{nullptr};
  std::atomic<bool> finish{false};
  std::thread owner([&] {
    window.store(MakeWindow());
    while (!finish.load()) std::this_thread::yield();  // never pumps
  });
  while (!window.load()) std::this_thread::yield();
  LRESULT result = -1;
  std::thread sender([&] { result = SendMessageA(window.load(), kAsk, 3, 0); });
  finish.store(true);
  owner.join();
  sender.join();
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(IsWindow(window.load()));
  EXPECT_EQ(SendMessageA(window.load(), kAsk, 3, 0), 0);
  EXPECT_FALSE(PostMessageA(window.load(), kNote, 0, 0));
}

TEST(UserMessages, PeekRunsSentMessagesAndKeepsPostedOnes) {
  HWND window = MakeWindow();
  ASSERT_TRUE(PostMessageA(window, kNote, 11, 12));
  std::atomic<bool> answered{false};
  LRESULT result = 0;
  std::thread sender([&] {
    result = SendMessageA(window, kAsk, 50, 0);
    answered.store(true);
  });
  MSG msg{};
  while (!answered.load()) PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
  sender.join();
  EXPECT_EQ(result, 100);
  // The posted message is still first in line, twice with PM_NOREMOVE, then taken.
  for (UINT remove : {PM_NOREMOVE, PM_NOREMOVE, PM_REMOVE}) {
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, remove));
    EXPECT_EQ(std::tuple(msg.message, msg.hwnd, msg.wParam, msg.lParam),
              std::tuple(kNote, window, WPARAM{11}, LPARAM{12}));
  }
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_TRUE(DestroyWindow(window));
}

// Senders that send again as soon as they are answered (two grab threads) never keep a
// pumping thread inside one peek: it runs the sends waiting when it began, one per sender.
TEST(UserMessages, APeekRunsOnlyTheSendsWaitingWhenItBegan) {
  HWND window = MakeWindow();
  std::atomic<int> finished{0};
  auto send = [&] {
    for (int i = 0; i < 3000; ++i) SendMessageA(window, kAsk, 1, 0);
    finished.fetch_add(1);
  };
  const int start = asksRun.load();
  std::thread a(send), b(send);
  MSG msg{};
  int most = 0;
  while (finished.load() < 2) {
    const int before = asksRun.load();
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    most = std::max(most, asksRun.load() - before);
  }
  a.join();
  b.join();
  EXPECT_EQ(asksRun.load() - start, 6000);
  EXPECT_LE(most, 2);
  EXPECT_TRUE(DestroyWindow(window));
}

TEST(UserWindows, DestructionOwnershipAndQueries) {
  LONG before = kzwinCountWindows();
  HWND parent = MakeWindow();
  HWND child = MakeWindow(parent);
  ASSERT_TRUE(parent && child);
  EXPECT_EQ(GetParent(child), parent);
  EXPECT_EQ(GetParent(parent), nullptr);
  RECT rc{};
  ASSERT_TRUE(GetClientRect(child, &rc));
  EXPECT_EQ(std::pair(rc.right, rc.bottom), (std::pair<LONG, LONG>(320, 200)));
  EXPECT_EQ(GetWindowThreadProcessId(child, nullptr), GetCurrentThreadId());
  EXPECT_EQ(GetActiveWindow(), parent);
  EXPECT_EQ(kzwinCountWindows(), before + 2);

  BOOL foreign = TRUE;
  DWORD foreignError = 0;
  std::thread([&] {
    foreign = DestroyWindow(parent);
    foreignError = GetLastError();
  }).join();
  EXPECT_FALSE(foreign);
  EXPECT_EQ(foreignError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(IsWindow(parent));

  EXPECT_TRUE(DestroyWindow(parent));
  EXPECT_FALSE(IsWindow(child));  // children go with their parent
  EXPECT_EQ(SendMessageA(child, kAsk, 1, 0), 0);
  EXPECT_FALSE(DestroyWindow(parent));
  EXPECT_EQ(kzwinCountWindows(), before);

  HWND again = MakeWindow();
  EXPECT_TRUE(again != parent && again != child);  // handles are never reused
  EXPECT_TRUE(DestroyWindow(again));

  HWND desktop = GetDesktopWindow();
  EXPECT_TRUE(IsWindow(desktop));
  EXPECT_EQ(GetDesktopWindow(), desktop);
  EXPECT_FALSE(DestroyWindow(desktop));

  HWND plain =
      CreateWindowExA(0, nullptr, "plain", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  EXPECT_TRUE(IsWindow(plain));
  EXPECT_EQ(SendMessageA(plain, kAsk, 1, 0), 0);  // DefWindowProcA
  EXPECT_TRUE(DestroyWindow(plain));
  EXPECT_WIN_ERR(
      CreateWindowExA(0, "NoSuchClass", "x", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr),
      nullptr, ERROR_CANNOT_FIND_WND_CLASS);
  EXPECT_EQ(MakeWindow(reinterpret_cast<HWND>(0x12345)), nullptr);  // no such parent
}

}  // namespace

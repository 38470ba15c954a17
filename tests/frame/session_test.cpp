#include <gtest/gtest.h>
#include <kzvideo.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "frame/access_table.h"
#include "frame/errors.h"
#include "frame/session.h"
#include "expect_call.h"

namespace kz {
namespace {

// The record is packed to 4 bytes: a slot is read by value, never bound by reference.
template <class F>
F Slot(F value) {
  return value;
}

// Closes what a test opened, whatever happened in it.
struct Sessions {
  std::vector<uint32_t> ids;
  uint32_t Open(KZACCESS* access = nullptr) {
    uint32_t id = KZBegin(access);
    if (id) ids.push_back(id);
    return id;
  }
  ~Sessions() {
    for (uint32_t id : ids) KZEnd(id);
  }
};

TEST(Sessions, IdsRunUpAreNeverReusedAndEndZeroClosesTheNewest) {
  Sessions s;
  const uint32_t a = s.Open();
  const uint32_t b = s.Open();
  const uint32_t c = s.Open();
  ASSERT_NE(a, 0u);
  EXPECT_EQ(b, a + 1);
  EXPECT_EQ(c, b + 1);
  EXPECT_EQ(KZEnd(b), 1);
  EXPECT_FALSE(IsSessionOpen(b));
  EXPECT_CALL_ERR(KZEnd(b), 0, KZ_ERR_SESSION);
  const uint32_t d = s.Open();
  EXPECT_EQ(d, c + 1);
  EXPECT_TRUE(CheckSession(0));  // KZBegin has run
  EXPECT_TRUE(CheckSession(a));
  EXPECT_FALSE(CheckSession(b));
  EXPECT_FALSE(CheckOpenSession(0));
  EXPECT_TRUE(CheckOpenSession(d));
  const int open = OpenSessionCount();
  EXPECT_EQ(KZEnd(0), 1);
  EXPECT_EQ(OpenSessionCount(), open - 1);
  EXPECT_FALSE(IsSessionOpen(d));
  EXPECT_TRUE(IsSessionOpen(c));
  // A record of the wrong size opens nothing and is not filled.
  KZACCESS wrong{};
  wrong.size = 200;
  EXPECT_EQ(KZBegin(&wrong), 0u);
  EXPECT_EQ(OpenSessionCount(), open - 1);
  EXPECT_EQ(wrong.session, 0u);
  wrong.size = 200 | KZ_REJOIN;  // the rejoin flag does not hide a wrong size
  wrong.session = b;
  EXPECT_CALL_ERR(KZBegin(&wrong), 0u, KZ_ERR_RECORD_SIZE);
}

TEST(Sessions, Rejoin) {
  Sessions s;
  KZACCESS a{};
  a.size = sizeof a;
  const uint32_t id = s.Open(&a);
  ASSERT_NE(id, 0u);
  const int open = OpenSessionCount();

  a.size |= KZ_REJOIN;
  a.KZVersion = nullptr;  // a rejoin does not refill the record
  EXPECT_EQ(KZBegin(&a), id);
  EXPECT_EQ(a.size, sizeof a);
  EXPECT_EQ(Slot(a.KZVersion), nullptr);
  EXPECT_EQ(OpenSessionCount(), open);

  // The session has gone meanwhile: a new one is opened and the record refilled.
  ASSERT_EQ(KZEnd(id), 1);
  a.size |= KZ_REJOIN;
  const uint32_t again = s.Open(&a);
  EXPECT_GT(again, id);
  EXPECT_EQ(a.session, again);
  EXPECT_EQ(a.size, sizeof a);
  EXPECT_NE(Slot(a.KZVersion), nullptr);
}

// The function each slot must hold once it is built, by slot position.
template <class F>
bool HoldsStub(F slot) {
  return slot == &SlotStub<F>::Call;
}

TEST(Sessions, AccessTableSlots) {
  Sessions s;
  KZACCESS a;
  std::memset(&a, 0xAB, sizeof a);
  a.size = sizeof a;
  const uint32_t id = s.Open(&a);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(a.size, sizeof(KZACCESS));
  EXPECT_EQ(a.session, id);
  EXPECT_EQ(a.version, KZ_VERSION_NUMBER);
  // No slot holds garbage: each is its function or the stub of its own type.
  const auto* raw = reinterpret_cast<const unsigned char*>(&a.KZAVIOptionsDialog);
  for (size_t i = 0; i < 46; ++i) {
    void* slot;
    std::memcpy(&slot, raw + i * sizeof(void*), sizeof slot);
    EXPECT_NE(slot, nullptr) << "slot " << i + 3;
  }
  EXPECT_EQ(Slot(a.KZBegin), &KZBegin);
  EXPECT_EQ(Slot(a.KZEnd), &KZEnd);
  EXPECT_EQ(Slot(a.KZGetLastError), &KZGetLastError);
  EXPECT_EQ(Slot(a.KZJulianToSystemTime), &KZJulianToSystemTime);
  EXPECT_EQ(Slot(a.KZStopAll), &KZStopAll);
  EXPECT_EQ(Slot(a.KZStopDisplay), &KZStopDisplay);
  EXPECT_EQ(Slot(a.KZStopPlayback), &KZStopPlayback);
  EXPECT_EQ(Slot(a.KZStopRecord), &KZStopRecord);
  EXPECT_EQ(Slot(a.KZSystemTimeToJulian), &KZSystemTimeToJulian);
  EXPECT_EQ(Slot(a.KZVersion), &KZVersion);
  EXPECT_EQ(Slot(a.KZShowImage), &KZShowImage);
  EXPECT_EQ(Slot(a.KZImageToBitmap), &KZImageToBitmap);
  EXPECT_EQ(Slot(a.KZDisplayCoord), &KZDisplayCoord);
  EXPECT_EQ(Slot(a.KZDisplayCoord2), &KZDisplayCoord2);

#ifndef _WIN32
  // The stub of any slot: a message, error 16, result 0. On Windows the message box waits
  // for a user, so only the platform layer, which answers it at once, runs this part.
  SetError(0);
  EXPECT_CALL_ERR((SlotStub<decltype(a.KZCameraDialog)>::Call(1, 2, nullptr, 3)), 0,
                  KZ_ERR_NOT_IMPLEMENTED);
  SetError(0);
  EXPECT_CALL_ERR((SlotStub<decltype(a.KZGetPlaybackImage)>::Call(1, 2, nullptr, 3, 4)), nullptr,
                  KZ_ERR_NOT_IMPLEMENTED);
  // Whatever a slot holds, calling the table's entry of a stubbed slot behaves the same.
  if (HoldsStub(a.KZEnumSources)) {
    SetError(0);
    EXPECT_CALL_ERR(a.KZEnumSources(id, nullptr, 0, 0), 0, KZ_ERR_NOT_IMPLEMENTED);
  }
#endif
  // Calls through the table reach the library.
  EXPECT_EQ(a.KZVersion(nullptr, 0), KZ_VERSION_NUMBER);
  EXPECT_EQ(a.KZEnd(0xFFFFFFF0u), 0);
  EXPECT_EQ(a.KZGetLastError(), uint32_t{KZ_ERR_SESSION});
}

TEST(Version, TextCutAtEveryLength) {
  const std::string full = "1.000 beta - Dec 12 2001";
  for (int length = 1; length <= 40; ++length) {
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    SetError(99);
    EXPECT_EQ(KZVersion(buffer, length), KZ_VERSION_NUMBER) << length;
    EXPECT_EQ(KZGetLastError(), 0u);
    const size_t kept = std::min<size_t>(length - 1, full.size());
    EXPECT_EQ(std::string(buffer), full.substr(0, kept)) << length;
    EXPECT_EQ(buffer[kept + 1], '#') << length;  // nothing past the terminator
  }
  char buffer[8] = "xxxxxxx";
  EXPECT_EQ(KZVersion(buffer, 0), 0u);  // refused lengths leave the text alone
  EXPECT_CALL_ERR(KZVersion(buffer, -1), 0u, KZ_ERR_TEXT_LENGTH);
  EXPECT_STREQ(buffer, "xxxxxxx");
  EXPECT_EQ(KZVersion(nullptr, 0), KZ_VERSION_NUMBER);  // the number alone
  // Reading the code neither clears it nor is disturbed by the entry point.
  KZVersion(buffer, 0);
  KZEntryPoint(nullptr, 1, nullptr);
  EXPECT_EQ(KZGetLastError(), uint32_t{KZ_ERR_TEXT_LENGTH});
  EXPECT_EQ(KZGetLastError(), uint32_t{KZ_ERR_TEXT_LENGTH});
}

TEST(Sessions, ConcurrentBeginAndEndNeverDuplicateOrLose) {
  const int open = OpenSessionCount();
  constexpr int kThreads = 8;
  constexpr int kRounds = 300;
  std::vector<std::vector<uint32_t>> seen(kThreads);
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &seen, &failures] {
      for (int r = 0; r < kRounds; ++r) {
        KZACCESS a{};
        a.size = sizeof a;
        const uint32_t first = KZBegin(r % 2 ? &a : nullptr);
        const uint32_t second = KZBegin(nullptr);
        if (!first || !second || (r % 2 && a.session != first)) ++failures[t];
        seen[t].push_back(first);
        seen[t].push_back(second);
        if (KZEnd(first) != 1 || KZEnd(second) != 1) ++failures[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  std::set<uint32_t> all;
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(failures[t], 0) << t;
    all.insert(seen[t].begin(), seen[t].end());
  }
  EXPECT_EQ(all.size(), size_t{kThreads} * kRounds * 2);  // no id given out twice
  EXPECT_EQ(OpenSessionCount(), open);                    // none lost, none left over
}

}  // namespace
}  // namespace kz

// KZEnumSources over the test cameras (KZIsSourceInUse is in the table of error codes).
#include <string>

#include "capture_fixture.h"
#include "expect_call.h"

namespace kz::test {
namespace {

using Sources = CaptureTest;

TEST_F(Sources, EveryModeListsTheDriversItShould) {
  SetCamera(1, [](KZWIN_CAMERA& c) { c.name = "Camera B"; });
  SetCamera(4, [](KZWIN_CAMERA& c) { c.name = "Broken", c.failConnect = TRUE; });

  using List = std::vector<std::pair<int, std::string>>;
  const List named = {{1, "KZ Test Pattern Camera"}, {2, "Camera B"}, {5, "Broken"}};
  List every = {{1, "KZ Test Pattern Camera"}, {2, "Camera B"}};  // every driver slot
  for (int n = 3; n <= 10; ++n) {
    every.emplace_back(n, n == 5 ? "Broken" : "Video For Windows " + std::to_string(n - 1));
  }
  struct Case {
    uint32_t flags;
    List expected;
  } cases[] = {
      {0, named},     {3, named},
      {4 | 3, named},                             // low bits only
      {1, every},     {2, {named[0], named[1]}},  // only drivers that connect
  };
  for (const Case& c : cases) {
    KZSOURCE list[12];
    std::memset(list, 0x5A, sizeof list);
    const int32_t n = KZEnumSources(session_, list, 12, c.flags);
    ASSERT_EQ(n, static_cast<int32_t>(c.expected.size())) << "flags " << c.flags;
    EXPECT_EQ(KZGetLastError(), 0u);
    for (int32_t i = 0; i < n; ++i) {
      EXPECT_EQ(list[i].source, c.expected[i].first);
      EXPECT_EQ(std::string(list[i].name), c.expected[i].second);
      EXPECT_EQ(std::memcmp(list[i].name, list[i].nameAgain, 80), 0);
    }
    EXPECT_EQ(list[n].source, 0x5A5A5A5A);  // nothing past the count
  }
  EXPECT_EQ(kzwinCountWindows(), windows_);  // mode 2's probe windows are gone
}

TEST_F(Sources, CapacitiesAndLongNames) {
  std::string longName(100, 'x');
  KZWIN_CAMERA c = Camera();
  c.name = longName.c_str();
  kzwinSetCamera(2, &c);
  kzwinSetCamera(3, &c);
  struct Case {
    bool withList;
    int32_t capacity;
    int32_t written;
    uint32_t error;
  } cases[] = {
      {true, 0, 0, KZ_ERR_SOURCE_LIST_SHORT},
      {true, 1, 1, KZ_ERR_SOURCE_LIST_SHORT},
      {true, 3, 3, 0},
      {true, 5, 3, 0},
      {true, -4, 0, KZ_ERR_SOURCE_LIST_SHORT},
      {false, 7, 0, 0},
      {false, -1, 0, 0},
  };
  for (const Case& k : cases) {
    KZSOURCE list[6];
    std::memset(list, 0x5A, sizeof list);
    EXPECT_EQ(KZEnumSources(session_, k.withList ? list : nullptr, k.capacity, 0), 3) << k.capacity;
    EXPECT_EQ(KZGetLastError(), k.error) << k.capacity;
    for (int32_t i = 0; i < 6; ++i) {
      if (i < k.written) {
        EXPECT_EQ(list[i].source, i == 0 ? 1 : i + 2);
      } else {
        EXPECT_EQ(list[i].source, 0x5A5A5A5A);
      }
    }
    if (k.written >= 2) {
      EXPECT_EQ(std::strlen(list[1].name), 79u);  // cut to 79 characters
      EXPECT_EQ(std::strlen(list[1].nameAgain), 79u);
    }
  }
}

TEST_F(Sources, StreamsOfOtherSessionsHideTheirSource) {
  const uint32_t other = KZBegin(nullptr);
  ASSERT_NE(other, 0u);
  // Driver 0's connection belongs to the stream: mode 2 must not probe it.
  FakeStream(1, other, kDisplayBit | kGrabBit, true);
  KZSOURCE list[10];
  EXPECT_CALL_ERR(KZEnumSources(session_, list, 10, 0), 0, KZ_ERR_NO_SOURCE);
  EXPECT_EQ(KZEnumSources(other, list, 10, 2), 1);
  EXPECT_EQ(KZEnumSources(0, list, 10, 2), 1);
  EXPECT_CALL_ERR(list[0].source, 1, 0u);
  ClearFakes();
  KZEnd(other);
}

}  // namespace
}  // namespace kz::test

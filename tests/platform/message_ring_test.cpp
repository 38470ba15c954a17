// The queue of sent messages: order kept across wrap-around, growth and removal, and no
// growth while messages come and go one at a time.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "message_ring.h"

namespace {

using kzwin::MessageRing;

std::vector<int> Drain(MessageRing<int>& ring) {
  std::vector<int> out;
  while (!ring.empty()) out.push_back(ring.take_front());
  return out;
}

TEST(MessageRing, KeepsOrderAcrossWrapAndGrowth) {
  MessageRing<int> ring;
  // Head moved past the start first, so that the growth below unwraps a wrapped buffer.
  for (int i = 0; i < 5; ++i) ring.push_back(-1);
  for (int i = 0; i < 5; ++i) ring.take_front();
  for (int i = 0; i < 20; ++i) ring.push_back(i);
  EXPECT_EQ(ring.size(), 20u);
  std::vector<int> expected(20);
  for (int i = 0; i < 20; ++i) expected[i] = i;
  EXPECT_EQ(Drain(ring), expected);
}

TEST(MessageRing, RemoveIfKeepsTheRestInOrder) {
  MessageRing<int> ring;
  for (int i = 0; i < 6; ++i) ring.push_back(-1);
  for (int i = 0; i < 6; ++i) ring.take_front();
  for (int i = 0; i < 7; ++i) ring.push_back(i);  // wraps the 8 slots
  std::vector<int> removed;
  ring.remove_if([](int v) { return v % 3 == 0; }, removed);
  EXPECT_EQ(removed, (std::vector<int>{0, 3, 6}));
  ring.push_back(7);
  EXPECT_EQ(Drain(ring), (std::vector<int>{1, 2, 4, 5, 7}));
}

TEST(MessageRing, OneAtATimeNeverGrowsAndReleasesWhatItHandsOut) {
  MessageRing<std::shared_ptr<int>> ring;
  auto value = std::make_shared<int>(1);
  ring.push_back(value);
  ring.push_back(value);
  const size_t capacity = ring.capacity();
  for (int i = 0; i < 10000; ++i) {
    ring.push_back(value);
    EXPECT_EQ(ring.take_front(), value);
  }
  EXPECT_EQ(ring.capacity(), capacity);
  ring.take_front();
  ring.take_front();
  // Taken entries leave no copy behind in their slots.
  EXPECT_EQ(value.use_count(), 1);
  ring.push_back(value);
  std::vector<std::shared_ptr<int>> removed;
  ring.remove_if([](const auto&) { return true; }, removed);
  removed.clear();
  EXPECT_EQ(value.use_count(), 1);
  EXPECT_TRUE(ring.take_all().empty());
}

}  // namespace

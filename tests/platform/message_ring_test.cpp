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
  while (!ring.Empty()) out.push_back(ring.TakeFront());
  return out;
}

TEST(MessageRing, KeepsOrderAcrossWrapAndGrowth) {
  MessageRing<int> ring;
  // Head moved past the start first, so that the growth below unwraps a wrapped buffer.
  for (int i = 0; i < 5; ++i) ring.PushBack(-1);
  for (int i = 0; i < 5; ++i) ring.TakeFront();
  for (int i = 0; i < 20; ++i) ring.PushBack(i);
  EXPECT_EQ(ring.Size(), 20u);
  std::vector<int> expected(20);
  for (int i = 0; i < 20; ++i) expected[i] = i;
  EXPECT_EQ(Drain(ring), expected);
}

TEST(MessageRing, RemoveIfKeepsTheRestInOrder) {
  MessageRing<int> ring;
  for (int i = 0; i < 6; ++i) ring.PushBack(-1);
  for (int i = 0; i < 6; ++i) ring.TakeFront();
  for (int i = 0; i < 7; ++i) ring.PushBack(i);  // wraps the 8 slots
  std::vector<int> removed;
  ring.RemoveIf([](int v) { return v % 3 == 0; }, removed);
  EXPECT_EQ(removed, (std::vector<int>{0, 3, 6}));
  ring.PushBack(7);
  EXPECT_EQ(Drain(ring), (std::vector<int>{1, 2, 4, 5, 7}));
}

TEST(MessageRing, OneAtATimeNeverGrowsAndReleasesWhatItHandsOut) {
  MessageRing<std::shared_ptr<int>> ring;
  auto value = std::make_shared<int>(1);
  ring.PushBack(value);
  ring.PushBack(value);
  const size_t capacity = ring.Capacity();
  for (int i = 0; i < 10000; ++i) {
    ring.PushBack(value);
    EXPECT_EQ(ring.TakeFront(), value);
  }
  EXPECT_EQ(ring.Capacity(), capacity);
  ring.TakeFront();
  ring.TakeFront();
  // Taken entries leave no copy behind in their slots.
  EXPECT_EQ(value.use_count(), 1);
  ring.PushBack(value);
  std::vector<std::shared_ptr<int>> removed;
  ring.RemoveIf([](const auto&) { return true; }, removed);
  removed.clear();
  EXPECT_EQ(value.use_count(), 1);
  EXPECT_TRUE(ring.TakeAll().empty());
}

}  // namespace

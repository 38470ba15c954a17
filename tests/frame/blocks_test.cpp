#include <gtest/gtest.h>
#include <kzwin_test.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "frame/blocks.h"

namespace kz {
namespace {

// Leaves the allocation seam off whatever a test did.
struct AllocSeamOff {
  ~AllocSeamOff() { kzwinFailAllocAfter(-1); }
};

TEST(Blocks, AllocateFreeAndResize) {
  const int before = BlockCount();
  EXPECT_EQ(BlockAlloc(0), nullptr);
  EXPECT_EQ(BlockCount(), before);
  if constexpr (sizeof(size_t) > 4) {
    // A size that does not fit 32 bits is refused before anything is allocated.
    EXPECT_EQ(BlockAlloc(size_t{1} << 32), nullptr);
    EXPECT_EQ(BlockCount(), before);
  }

  auto* p = static_cast<uint8_t*>(BlockAlloc(16));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(BlockCount(), before + 1);
  for (int i = 0; i < 16; ++i) p[i] = static_cast<uint8_t>(i * 7);

  auto* q = static_cast<uint8_t*>(BlockRealloc(p, 4096));
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(BlockCount(), before + 1);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(q[i], static_cast<uint8_t>(i * 7)) << i;

  // Size 0 keeps a block of one byte in its place.
  auto* r = static_cast<uint8_t*>(BlockRealloc(q, 0));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r[0], 0);
  EXPECT_EQ(GlobalSize(GlobalHandle(r)), 1u);

  int never = 0;
  EXPECT_EQ(BlockRealloc(&never, 10), nullptr);
  EXPECT_EQ(BlockRealloc(nullptr, 10), nullptr);
  BlockFree(&never);  // not in the table: ignored
  BlockFree(nullptr);
  EXPECT_EQ(BlockCount(), before + 1);
  BlockFree(r);
  EXPECT_EQ(BlockCount(), before);
  BlockFree(r);  // freed already: ignored
  EXPECT_EQ(BlockCount(), before);
}

TEST(Blocks, FailedReallocKeepsTheOldBlock) {
  AllocSeamOff off;
  auto* p = static_cast<uint8_t*>(BlockAlloc(8));
  ASSERT_NE(p, nullptr);
  std::memcpy(p, "kzvideo", 8);
  const int count = BlockCount();
  kzwinFailAllocAfter(0);
  EXPECT_EQ(BlockRealloc(p, 1 << 20), nullptr);
  EXPECT_EQ(BlockAlloc(4), nullptr);
  kzwinFailAllocAfter(-1);
  EXPECT_EQ(BlockCount(), count);
  EXPECT_STREQ(reinterpret_cast<char*>(p), "kzvideo");
  BlockFree(p);
  EXPECT_EQ(BlockCount(), count - 1);
}

TEST(Blocks, AdoptAndHandOver) {
  const int before = BlockCount();
  HGLOBAL caller = GlobalAlloc(GMEM_MOVEABLE, 32);
  ASSERT_NE(caller, nullptr);
  void* a = BlockAdopt(caller);
  void* b = BlockAdopt(caller);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_EQ(BlockCount(), before + 1);
  // Two adoptions need two hand-overs; the handle itself is never freed by them.
  EXPECT_EQ(BlockHandOver(a), caller);
  EXPECT_EQ(BlockCount(), before + 1);
  EXPECT_EQ(BlockHandOver(a), caller);
  EXPECT_EQ(BlockCount(), before);
  EXPECT_EQ(GlobalSize(caller), 32u);
  EXPECT_EQ(BlockHandOver(a), nullptr);
  EXPECT_EQ(GlobalFree(caller), nullptr);

  // A handle that does not lock enters nothing.
  EXPECT_EQ(BlockAdopt(nullptr), nullptr);
  EXPECT_EQ(BlockAdopt(caller), nullptr);  // freed just above
  int notAHandle = 0;
  EXPECT_EQ(BlockAdopt(&notAHandle), nullptr);
  EXPECT_EQ(BlockCount(), before);

  // An allocated block handed over outlives its entry; freeing the old address does nothing.
  auto* p = static_cast<uint8_t*>(BlockAlloc(4));
  ASSERT_NE(p, nullptr);
  std::memcpy(p, "abc", 4);
  HGLOBAL given = BlockHandOver(p);
  ASSERT_NE(given, nullptr);
  EXPECT_EQ(BlockCount(), before);
  BlockFree(p);
  auto* again = static_cast<char*>(GlobalLock(given));
  ASSERT_NE(again, nullptr);
  EXPECT_STREQ(again, "abc");
  GlobalUnlock(given);
  GlobalFree(given);
}

TEST(Blocks, TheTableGrowsPastAThousandEntries) {
  const int before = BlockCount();
  std::vector<uint32_t*> blocks;
  for (int i = 0; i < 2100; ++i) {
    auto* p = static_cast<uint32_t*>(BlockAlloc(sizeof(uint32_t)));
    ASSERT_NE(p, nullptr) << i;
    *p = 0xB10C0000u + i;
    blocks.push_back(p);
  }
  EXPECT_EQ(BlockCount(), before + 2100);
  EXPECT_EQ(BlockCapacity() % 1000, 0);  // grown 1000 entries at a time
  EXPECT_GE(BlockCapacity(), before + 2100);
  // Every earlier address is still valid and found again (a hand-over finds it by address).
  for (int i = 0; i < 2100; ++i) EXPECT_EQ(*blocks[i], 0xB10C0000u + i) << i;
  for (int i = 0; i < 2100; i += 2) BlockFree(blocks[i]);
  EXPECT_EQ(BlockCount(), before + 1050);
  for (int i = 1; i < 2100; i += 2) {
    HGLOBAL h = BlockHandOver(blocks[i]);
    ASSERT_NE(h, nullptr) << i;
    GlobalFree(h);
  }
  EXPECT_EQ(BlockCount(), before);
}

TEST(Blocks, AFailedGrowthChangesNothing) {
  AllocSeamOff off;
  // Fill the table to its capacity, then make the growth fail.
  std::vector<void*> blocks;
  while (blocks.empty() || BlockCount() < BlockCapacity()) {
    void* p = BlockAlloc(1);
    ASSERT_NE(p, nullptr);
    blocks.push_back(p);
  }
  const int capacity = BlockCapacity();
  const int count = BlockCount();
  kzwinFailAllocAfter(0);
  EXPECT_EQ(BlockAlloc(1), nullptr);
  HGLOBAL h = nullptr;
  kzwinFailAllocAfter(-1);
  h = GlobalAlloc(GMEM_MOVEABLE, 4);
  kzwinFailAllocAfter(0);
  EXPECT_EQ(BlockAdopt(h), nullptr);
  kzwinFailAllocAfter(-1);
  EXPECT_EQ(BlockCount(), count);
  EXPECT_EQ(BlockCapacity(), capacity);
  for (void* p : blocks) BlockFree(p);
  // With room again, the same handle is taken in.
  void* adopted = BlockAdopt(h);
  EXPECT_NE(adopted, nullptr);
  EXPECT_EQ(BlockHandOver(adopted), h);
  GlobalFree(h);
}

}  // namespace
}  // namespace kz

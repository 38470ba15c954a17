#include <gtest/gtest.h>

#include "image/pixfmt.h"

namespace kz {
namespace {

TEST(PixelFormat, LookupFollowsTableOrder) {
  struct Case {
    uint32_t format, bits;
    int32_t code;
  } cases[] = {{0, 16, 4}, {2, 16, 2}, {0, 24, 1}, {0, 8, 3}, {0, 12, 5}, {0, 9, 7}, {9, 0, 9},
               {Fourcc('Y', 'U', 'Y', '2'), 16, 6}, {Fourcc('Y', 'U', 'Y', '2'), 12, 0}, {15, 16, 0}};
  for (const Case& c : cases) {
    const PixelFormat* row = LookupFormat(c.format, c.bits);
    EXPECT_EQ(row ? row->code : 0, c.code) << c.format << "/" << c.bits;
  }
}

TEST(PixelFormat, FrameSizes) {
  EXPECT_EQ(FrameSize(5, 3, *FormatByCode(5)), 22);
  EXPECT_EQ(FrameSize(4, 4, *FormatByCode(14)), 16 + 768);
  EXPECT_EQ(FrameSize(4, 4, *FormatByCode(3)), 16 + 1024);
  EXPECT_EQ(PaddedFrameSize(5, 4, *FormatByCode(11)), 32);
  EXPECT_EQ(BitmapStride(5, false), 16);
  EXPECT_EQ(BitmapStride(5, true), 8);
  EXPECT_EQ(FrameSize(0, 3, *FormatByCode(1)), -1);
}

}  // namespace
}  // namespace kz

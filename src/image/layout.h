// Where the samples of each channel of a frame lie: per-channel column and row offset
// lists, the common ground of the direct conversions' row tails and the resampling plan.
#pragma once

#include <cstdint>
#include <span>

namespace kz {

// How the general converter samples a format.
enum PixelKind : int32_t {
  kKindYuv = 0,
  kKindGrey = 1,
  kKindRgb = 2,
  kKindRgb16 = 3,
  kKindPalette = 4,
  kKindUnknown = -1
};

PixelKind KindOfFormat(int32_t code);
// Channels the kind samples: 3 for YUV and RGB, else 1.
int ChannelCount(PixelKind kind);

// Column and row offset lists of the three channels (channel 0 only for one-channel
// kinds): the sample of pixel (x, y) is at cols[c][x] + rows[c][y] from the frame start.
// A sample the format's grouping would place past the end of its row or plane (odd widths
// and heights of subsampled formats) is taken from the last existing sample of that
// channel instead, so nothing outside the frame is read. A channel the frame holds no
// sample of at all (a 1-pixel-wide 4:2:2 row has no V; I420 under 2 and YVU9 under 4
// pixels have no chroma planes; a 1-pixel-wide Y411 row holds only U) is marked absent
// and its offsets are 0; the converters use the neutral value for it (0 for luma, 128
// for chroma).
struct ChannelLists {
  std::span<int64_t> cols[3];  // width entries each
  std::span<int64_t> rows[3];  // height entries each
  bool present[3] = {false, false, false};
};

// Fills the lists for a frame of `code`, `width` x `height` (both positive). False for an
// unknown code.
bool BuildChannelLists(int32_t code, int32_t width, int32_t height, ChannelLists& lists);

// Value a converter uses for an absent channel.
inline int32_t AbsentValue(int channel) {
  return channel == 0 ? 0 : 128;
}

}  // namespace kz

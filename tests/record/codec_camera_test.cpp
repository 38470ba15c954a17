// The frame codec against its literal model on what the built-in test camera delivers, coded
// the way the recorder codes it: a key frame as each byte less the like sample before it,
// the frames after it as differences from the key.
#include <gtest/gtest.h>
#include <kzwin_test.h>

#include <string>
#include <vector>

#include "record/codec.h"
#include "record/codec_reference.h"

namespace kz {
namespace {

std::vector<uint8_t> CameraFrame(LONG w, LONG h, DWORD fourcc, WORD bits, DWORD n) {
  std::vector<uint8_t> f(static_cast<size_t>(w) * h * 4);
  f.resize(kzwinRenderTestFrame(f.data(), static_cast<DWORD>(f.size()), w, h, fourcc, bits, n));
  return f;
}

TEST(FrameCodecCamera, MatchesReferenceOnTestCameraFrames) {
  const struct {
    DWORD fourcc;
    WORD bits;
    uint32_t sampleDistance;
  } formats[] = {
      {MAKEFOURCC('Y', 'U', 'Y', '2'), 16, 4}, {0, 24, 3}, {MAKEFOURCC('I', '4', '2', '0'), 12, 1}};
  for (const auto& f : formats) {
    const auto key = CameraFrame(352, 288, f.fourcc, f.bits, 0);
    const auto later = CameraFrame(352, 288, f.fourcc, f.bits, 5);
    ASSERT_FALSE(key.empty());
    ASSERT_EQ(key.size(), later.size());
    std::vector<uint8_t> h(key.size()), d(key.size());
    for (size_t i = 0; i < key.size(); ++i) {
      h[i] =
          static_cast<uint8_t>(i < f.sampleDistance ? key[i] : key[i] - key[i - f.sampleDistance]);
      d[i] = static_cast<uint8_t>(later[i] - key[i]);
    }
    const std::vector<uint8_t>* inputs[] = {&key, &h, &d};
    for (int n = 0; n < 3; ++n) {
      const std::vector<uint8_t>* src = inputs[n];
      const std::string what = std::to_string(f.fourcc) + " input " + std::to_string(n);
      std::vector<uint8_t> block(src->size() + 4);
      block.resize(CompressFrame(block.data(), src->data(), src->size(), src->size()));
      ASSERT_EQ(block, reference::Compress(src->data(), src->size(), src->size())) << what;
      ASSERT_LT(block.size(), src->size() / 2) << what;
      std::vector<uint8_t> back(src->size());
      ASSERT_EQ(DecompressFrame(back.data(), block.data(), back.size(), block.size()), back.size());
      EXPECT_EQ(back, *src) << what;
    }
  }
}

}  // namespace
}  // namespace kz

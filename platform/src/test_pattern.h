// Formats, sizes and frames of the test-pattern camera.
#pragma once

#include <cstdint>

namespace kzwin {

enum class Layout { Uyvy, Yuy2, Y444, Y411, I420, Yvu9, Y800, Rgb24, Rgb16, Rgb8, Gv24, Gv8 };

struct CameraFormat {
  uint32_t compression;
  uint16_t bits;
  Layout layout;
};

// The camera's format of a (biCompression, biBitCount) pair, or null.
const CameraFormat* FindCameraFormat(uint32_t compression, uint16_t bitCount);
// Sizes the camera delivers: 160 x 120 to 1920 x 1080, width a multiple of 4, height even.
bool CameraSizeOk(int64_t width, int64_t height);
int64_t CameraRowBytes(const CameraFormat& f, int64_t width);
// Padded rows x height, plus the palette in front for GV8.
int64_t CameraFrameBytes(const CameraFormat& f, int64_t width, int64_t height);
// Writes frame `frameNumber` into `out`, which holds CameraFrameBytes bytes.
void RenderCameraFrame(uint8_t* out, const CameraFormat& f, int64_t width, int64_t height,
                       uint32_t frameNumber);

}  // namespace kzwin

// Summaries of AVI files from their first video stream.
#include <windows.h>
#include <vfw.h>

#include <cmath>
#include <cstring>

#include "frame/blocks.h"
#include "image/pixfmt.h"
#include "playback/avi_open.h"
#include "playback/file_info.h"
#include "time/julian.h"

namespace kz {

const PixelFormat* AviPixelFormat(const BITMAPINFOHEADER& bi, const uint8_t* colours,
                                  size_t colourBytes, uint32_t* format, uint32_t* bitCount) {
  const PixelFormat* row = LookupDriverFormat(static_cast<int16_t>(bi.biBitCount), bi.biCompression);
  if (row) {
    *format = static_cast<uint32_t>(row->code);
    *bitCount = row->bits;
    return row;
  }
  if (bi.biBitCount == 8 && bi.biClrUsed == 256 && colourBytes >= 1024) {
    bool grey = true;
    for (int i = 0; i < 256 && grey; ++i) {
      const uint8_t* c = colours + 4 * i;
      grey = c[0] == i && c[1] == i && c[2] == i;
    }
    *format = grey ? KZ_FORMAT_RGB8 : KZ_FORMAT_PAL8;
    *bitCount = 8;
    return FormatByCode(*format);
  }
  *format = KZ_FORMAT_RGB24;
  *bitCount = 24;
  return FormatByCode(KZ_FORMAT_RGB24);
}

PGETFRAME OpenAviFrames(PAVISTREAM stream, const KZFILEINFO& info, const uint8_t* palette,
                        uint32_t* headerBytes) {
  const PixelFormat* row = FormatByCode(info.format);
  if (!row) return nullptr;
  alignas(8) uint8_t buffer[sizeof(BITMAPINFOHEADER) + 1024 + 16] = {};
  auto* bmi = reinterpret_cast<BITMAPINFO*>(buffer);
  const uint32_t length = BuildCaptureHeader(bmi, info.width, info.height, *row);
  if (info.format == KZ_FORMAT_PAL8 && palette) {
    std::memcpy(buffer + sizeof(BITMAPINFOHEADER), palette, 1024);
  }
  if (headerBytes) *headerBytes = length;
  return AVIStreamGetFrameOpen(stream, &bmi->bmiHeader);
}

int ScanAvi(const char* path, KZFILEINFO* info, uint32_t* error) {
  const char* name = path ? path : info->path;
  if (info->kind != kKindAvi) return 0;
  PAVISTREAM stream = nullptr;
  if (AVIStreamOpenFromFileA(&stream, name, streamtypeVIDEO, 0, OF_SHARE_DENY_NONE, nullptr) !=
          0 ||
      !stream) {
    *error = KZ_ERR_AVI_NO_VIDEO;
    return 0;
  }
  AVISTREAMINFOA si{};
  LONG formatBytes = 0;
  if (AVIStreamInfoA(stream, &si, sizeof si) != 0 || si.dwRate == 0 ||
      AVIStreamReadFormat(stream, 0, nullptr, &formatBytes) != 0 ||
      formatBytes < static_cast<LONG>(sizeof(BITMAPINFOHEADER))) {
    AVIStreamRelease(stream);
    *error = KZ_ERR_AVI_FORMAT;
    return 0;
  }
  auto* format = static_cast<uint8_t*>(BlockAlloc(static_cast<size_t>(formatBytes)));
  if (!format) {
    AVIStreamRelease(stream);
    *error = KZ_ERR_MEMORY;
    return 0;
  }
  if (AVIStreamReadFormat(stream, 0, format, &formatBytes) != 0) {
    BlockFree(format);
    AVIStreamRelease(stream);
    return 0;
  }
  // A stream without frames has nothing to play; its length would underflow below.
  if (si.dwLength == 0 || si.dwLength > INT32_MAX) {
    BlockFree(format);
    AVIStreamRelease(stream);
    *error = KZ_ERR_AVI_FORMAT;
    return 0;
  }
  info->frameCount = static_cast<int32_t>(si.dwLength);
  info->firstFrame = info->minFrame = 0;
  info->lastFrame = info->maxFrame = si.dwLength - 1;
  info->firstMsLow = info->firstMsHigh = info->minMsLow = info->minMsHigh = 0;
  const double d = (si.dwLength - 1.0) * 1000.0 * si.dwScale / si.dwRate;
  const uint64_t dms = d < 1.8e19 ? static_cast<uint64_t>(d) : ~uint64_t{0};
  info->lastMsLow = info->maxMsLow = static_cast<uint32_t>(dms);
  info->lastMsHigh = info->maxMsHigh = static_cast<uint32_t>(dms >> 32);
  info->flags = kInfoRisingFlags;
  double last = FileTimeJulian(name, 1);
  if (last == 0.0) last = CurrentJulian();
  info->lastTime = info->maxTime = last;
  info->firstTime = info->minTime = last - d / 86400000.0;

  BITMAPINFOHEADER bi;
  std::memcpy(&bi, format, sizeof bi);
  info->width = bi.biWidth;
  // A top-down stream says so with a negative height; frames are asked for bottom-up.
  info->height = bi.biHeight < 0 && bi.biHeight != INT32_MIN ? -bi.biHeight : bi.biHeight;
  info->bitCount = bi.biBitCount;
  const size_t colourBytes = static_cast<size_t>(formatBytes) - sizeof bi;
  AviPixelFormat(bi, format + sizeof bi, colourBytes, &info->format, &info->bitCount);
  const uint8_t* palette = colourBytes >= 1024 ? format + sizeof bi : nullptr;
  PGETFRAME frames = info->width > 0 && info->height > 0
                         ? OpenAviFrames(stream, *info, palette, nullptr)
                         : nullptr;
  if (frames) AVIStreamGetFrameClose(frames);
  AVIStreamRelease(stream);
  BlockFree(format);
  if (!frames) {
    *error = KZ_ERR_AVI_NO_DECOMPRESSOR;
    return 0;
  }

  PAVISTREAM audio = nullptr;
  if (AVIStreamOpenFromFileA(&audio, name, streamtypeAUDIO, 0, OF_SHARE_DENY_NONE, nullptr) ==
          0 &&
      audio) {
    LONG bytes = 0;
    if (AVIStreamReadFormat(audio, 0, nullptr, &bytes) == 0 &&
        bytes >= static_cast<LONG>(sizeof(WAVEFORMATEX) - 2)) {
      uint8_t wave[64] = {};
      LONG n = bytes < static_cast<LONG>(sizeof wave) ? bytes : static_cast<LONG>(sizeof wave);
      if (AVIStreamReadFormat(audio, 0, wave, &n) == 0) {
        WAVEFORMATEX w;
        std::memcpy(&w, wave, sizeof w);
        info->audioRate = w.nSamplesPerSec;
        info->audioBits = w.wBitsPerSample;
        info->audioChannels = w.nChannels;
      }
    }
    AVIStreamRelease(audio);
  }
  return 1;
}

}  // namespace kz

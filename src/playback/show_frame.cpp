// The playback side of the show step: conversion, callbacks, drawing and publication.
#include "playback/show_frame.h"

#include <cstring>
#include <span>
#include <utility>

#include "frame/blocks.h"
#include "image/convert.h"
#include "image/pixfmt.h"

namespace kz {
namespace {

void Draw(StreamRecord* e, const uint8_t* bitmap) {
  HWND window;
  int32_t left, top;
  {
    std::lock_guard lock(e->blockMutex);
    window = e->display.window;
    left = e->display.left;
    top = e->display.top;
  }
  if (!window || !IsWindow(window)) return;
  BITMAPINFOHEADER bi;
  std::memcpy(&bi, bitmap, sizeof bi);
  const size_t colours = bi.biClrUsed ? 1024 : 0;
  HDC dc = GetDC(window);
  if (!dc) return;
  SetDIBitsToDevice(dc, left, top, static_cast<DWORD>(bi.biWidth), static_cast<DWORD>(bi.biHeight),
                    0, 0, 0, static_cast<UINT>(bi.biHeight), bitmap + sizeof bi + colours,
                    reinterpret_cast<const BITMAPINFO*>(bitmap), DIB_RGB_COLORS);
  ReleaseDC(window, dc);
}

}  // namespace

bool ShowPlaybackFrame(StreamRecord* e, bool draw) {
  PlaybackState& p = e->play;
  const KZFILEINFO& s = p.sequenceInfo;
  const bool eightBit = IsEightBitOutput(static_cast<int32_t>(s.format));
  const int64_t bytes = PackedBitmapSize(s.width, s.height, eightBit);
  if (bytes <= 0 || !e->ring) return false;
  if (!p.work) {
    p.work = static_cast<uint8_t*>(BlockAlloc(static_cast<size_t>(bytes)));
    if (!p.work) return false;
    p.bitmapBytes = static_cast<size_t>(bytes);
  }
  if (!p.shownRaw) {
    p.shownRaw = static_cast<uint8_t*>(BlockAlloc(e->frameBytes));
    if (!p.shownRaw) return false;
  }
  const uint8_t* frame =
      e->ring + static_cast<size_t>(e->readCount.load(std::memory_order_acquire)) * e->frameBytes;
  uint8_t* rows = WritePackedBitmapHeader(p.work, s.width, s.height, eightBit);
  const int64_t stride = BitmapStride(s.width, eightBit);
  SourceFrame src;
  src.code = static_cast<int32_t>(s.format);
  src.width = s.width;
  src.height = s.height;
  src.bytes = std::span<const uint8_t>(frame, e->frameBytes);
  src.palette = e->show.palette;
  if (!ConvertDirect(src, std::span<uint8_t>(rows, static_cast<size_t>(stride * s.height)),
                     stride)) {
    std::memset(rows, 0, static_cast<size_t>(stride * s.height));
  }

  KZPLAYBACK copy;
  {
    std::lock_guard lock(e->blockMutex);
    copy = e->playback;
  }
  bool drawIt = draw;
  if (copy.afterConvertCallback) {
    KZPLAYBACK c = copy;
    if (c.afterConvertCallback(&c, frame, p.work) == 0) drawIt = false;
  }
  if (drawIt) Draw(e, p.work);
  if (copy.afterDrawCallback) {
    KZPLAYBACK c = copy;
    c.afterDrawCallback(&c, frame, p.work);
  }
  {
    std::lock_guard lock(p.imageMutex);
    std::swap(p.work, p.shownBitmap);
    std::memcpy(p.shownRaw, frame, e->frameBytes);
  }
  return true;
}

void RedrawPlaybackFrame(StreamRecord* e) {
  PlaybackState& p = e->play;
  if (p.shownBitmap) Draw(e, p.shownBitmap);
}

HGLOBAL CopyShownImage(StreamRecord* e, bool asDrawn) {
  PlaybackState& p = e->play;
  std::lock_guard lock(p.imageMutex);
  const uint8_t* from = asDrawn ? p.shownBitmap : p.shownRaw;
  const size_t bytes = asDrawn ? p.bitmapBytes : e->frameBytes;
  if (!from || bytes == 0) return nullptr;
  auto* copy = static_cast<uint8_t*>(BlockAlloc(bytes));
  if (!copy) return nullptr;
  std::memcpy(copy, from, bytes);
  return BlockHandOver(copy);
}

void FreeShownImages(StreamRecord* e) {
  PlaybackState& p = e->play;
  std::lock_guard lock(p.imageMutex);
  BlockFree(p.work);
  BlockFree(p.shownBitmap);
  BlockFree(p.shownRaw);
  p.work = p.shownBitmap = p.shownRaw = nullptr;
}

}  // namespace kz

// KZSaveImage: one image as a one-frame raw recording, its display block as the chunk.
#include <kzvideo.h>
#include <windows.h>

#include "frame/blocks.h"
#include "frame/errors.h"
#include "frame/files.h"
#include "frame/session.h"
#include "image/pixfmt.h"
#include "record/frame_format.h"
#include "time/julian.h"

extern "C" {

int KZAPI KZSaveImage(KZHGLOBAL image, const KZDISPLAY* display, const char* fileName) {
  using namespace kz;
  SetError(0);
  if (!EverOpened()) return Fail(KZ_ERR_SESSION);
  if (!display || !fileName) return Fail(KZ_ERR_NULL);
  if (display->size != sizeof(KZDISPLAY)) return Fail(KZ_ERR_RECORD_SIZE);
  if (!image) return Fail(KZ_ERR_IMAGE_NULL);
  const SIZE_T have = GlobalSize(image);
  if (have == 0) return Fail(KZ_ERR_IMAGE_HANDLE);
  const KZDISPLAY block = *display;  // the caller's block is read once
  const PixelFormat* row = LookupFormat(block.format, block.bitCount);
  if (!row) return Fail(KZ_ERR_PIXEL_FORMAT);
  // The record header holds 16-bit sizes; a size beyond them cannot be described.
  if (block.width <= 0 || block.height <= 0 || block.width > 0xFFFF || block.height > 0xFFFF) {
    return Fail(KZ_ERR_IMAGE_SIZE);
  }
  const int64_t dataBytes = PaddedRowBytes(block.width, *row) * block.height + row->paletteBytes;
  if (dataBytes <= 0 || static_cast<uint64_t>(dataBytes) > have ||
      dataBytes > kMaxFileBytes - static_cast<int64_t>(kRecordOverheadBytes + kDisplayChunkBytes)) {
    return Fail(KZ_ERR_IMAGE_SIZE);
  }

  File file = FileOpen(fileName, "wb");
  if (!file) return Fail(KZ_ERR_CREATE);
  auto* pixels = static_cast<const uint8_t*>(BlockAdopt(image));
  if (!pixels) {
    FileClose(file);
    return Fail(KZ_ERR_IMAGE_HANDLE);
  }

  FrameHeader h;
  h.kind = kKindRawFourcc;
  h.chunkBytes = static_cast<uint32_t>(kDisplayChunkBytes);
  h.dataBytes = static_cast<uint32_t>(dataBytes);
  h.width = static_cast<uint16_t>(block.width);
  h.height = static_cast<uint16_t>(block.height);
  h.format = static_cast<uint16_t>(row->code);
  h.julian = CurrentJulian();
  uint8_t head[kFrameHeaderBytes + kDisplayChunkBytes];
  EncodeFrameHeader(h, head);
  PutU32(head + kFrameHeaderBytes, kDisplayChunkId);
  PutU32(head + kFrameHeaderBytes + 4, static_cast<uint32_t>(kDisplayBlockBytes));
  EncodeDisplayBlock(block, head + kFrameHeaderBytes + 8);
  uint8_t trailer[kTrailerBytes];
  EncodeTrailer(static_cast<uint32_t>(h.RecordBytes()), trailer);

  const size_t data = static_cast<size_t>(dataBytes);
  const bool whole = FileWrite(head, 1, sizeof head, file) == sizeof head &&
                     FileWrite(pixels, 1, data, file) == data &&
                     FileWrite(trailer, 1, sizeof trailer, file) == sizeof trailer;
  const bool closed = FileClose(file) == 0;
  BlockHandOver(const_cast<uint8_t*>(pixels));
  if (!whole || !closed) return Fail(KZ_ERR_WRITE);
  return 1;
}

}  // extern "C"

#include "export/avi_output.h"

#include <kzvideo.h>
#include <windows.h>
#include <vfw.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "export/avi_options.h"
#include "frame/blocks.h"
#include "image/pixfmt.h"
#include "time/julian.h"

namespace kz {
namespace {

// The stop request goes first: a caller's stop arriving now then finds it set and leaves
// the status alone, so a failure is never reported as a stop by the caller.
bool Stop(StreamRecord* entry, uint32_t status) {
  entry->stopRequest.fetch_or(kRecordBit);
  entry->rec.recordEndCode.store(status);
  return false;
}

DWORD RateTimes1000(double rate) {
  double r = rate * 1000.0;
  // NaN, negative and tiny rates all give 0, and 0 means 15 frames a second.
  if (!(r >= 1.0)) return 15000;
  return r >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<DWORD>(r);
}

// Makes the compressed stream; stored options naming a compressor the system lacks count
// as no options.
HRESULT MakeCompressed(PAVISTREAM video, HGLOBAL handle, PAVISTREAM* compressed) {
  AVICOMPRESSOPTIONS o{};
  ReadAviOptions(handle, &o);
  HRESULT hr = AVIMakeCompressedStream(compressed, video, &o, nullptr);
  if (hr == AVIERR_NOCOMPRESSOR && !handle && o.fccHandler != 0) {
    FreeAviOptionBlocks(&o);
    hr = AVIMakeCompressedStream(compressed, video, &o, nullptr);
  }
  FreeAviOptionBlocks(&o);
  return hr;
}

}  // namespace

bool OpenAviOutput(StreamRecord* entry) {
  AviOutputState& a = entry->avi;
  KZRECORD& r = entry->record;
  std::lock_guard lock(a.mutex);
  if (r.fileFlags & KZ_AVI_AS_SHOWN) {
    // The picture as shown exists only while something shows it.
    if (!(entry->running.load() & (kDisplayBit | kSaveBit))) r.fileFlags &= ~KZ_AVI_AS_SHOWN;
  }
  a.frames = 0;
  a.firstTime = a.lastTime = 0.0;
  PAVIFILE file = nullptr;
  PAVISTREAM video = nullptr;
  bool existing = false;
  int32_t width = 0, height = 0;
  HRESULT hr = AVIFileOpenA(&file, r.fileName, OF_SHARE_DENY_NONE | OF_READWRITE, nullptr);
  if (hr == AVIERR_OK) {
    existing = true;
    if (AVIFileGetStream(file, &video, streamtypeVIDEO, 0) != AVIERR_OK) {
      AVIFileRelease(file);
      return Stop(entry, KZ_ERR_APPEND);
    }
    AVISTREAMINFOA info{};
    if (AVIStreamInfoA(video, &info, sizeof info) == AVIERR_OK) {
      a.frames = static_cast<int32_t>(info.dwLength);
    }
    width = info.rcFrame.right - info.rcFrame.left;
    height = info.rcFrame.bottom - info.rcFrame.top;
  } else {
    // Only a missing file is created: one that exists but is not an AVI (or cannot be
    // opened) is left alone rather than replaced.
    if (hr != AVIERR_FILEOPEN || (r.fileFlags & KZ_OPEN_MASK) == KZ_OPEN_APPEND_ONLY) {
      return Stop(entry, KZ_ERR_APPEND);
    }
    if (AVIFileOpenA(&file, r.fileName, OF_CREATE | OF_SHARE_DENY_NONE, nullptr) != AVIERR_OK) {
      return Stop(entry, KZ_ERR_CREATE);
    }
    bool asShown = r.fileFlags & KZ_AVI_AS_SHOWN;
    width = asShown ? entry->show.shownWidth : r.width;
    height = asShown ? entry->show.shownHeight : r.height;
    AVISTREAMINFOA info{};
    info.fccType = streamtypeVIDEO;
    info.dwScale = 1000;
    info.dwRate = RateTimes1000(r.rate);
    info.dwQuality = 0xFFFFFFFFu;
    info.rcFrame = {0, 0, width, height};
    std::strcpy(info.szName, "KZV");
    if (AVIFileCreateStreamA(file, &video, &info) != AVIERR_OK) {
      AVIFileRelease(file);
      return Stop(entry, KZ_ERR_CREATE);
    }
  }
  PAVISTREAM compressed = nullptr;
  hr = MakeCompressed(video, r.aviOptions, &compressed);
  if (hr == AVIERR_OK && !existing) {
    // A compressor that does not take the frames fails now, not at every frame.
    alignas(4) uint8_t header[1064];
    auto* bih = reinterpret_cast<BITMAPINFO*>(header);
    BuildCaptureHeader(bih, width, height, *FormatByCode(1));
    hr = AVIStreamSetFormat(compressed, 0, bih, 40);
  }
  if (hr != AVIERR_OK) {
    if (compressed) AVIStreamRelease(compressed);
    AVIStreamRelease(video);
    AVIFileRelease(file);
    return Stop(entry, KZ_ERR_COMPRESSOR);
  }
  a.file = file;
  a.video = video;
  a.width = width;
  a.height = height;
  a.compressed.store(compressed, std::memory_order_release);
  return true;
}

namespace {

// WriteAviFrame with the output's lock held.
bool WriteLocked(StreamRecord* entry, const void* bits, uint32_t size, int32_t width,
                 int32_t height) {
  AviOutputState& a = entry->avi;
  PAVISTREAM compressed = a.compressed.load(std::memory_order_acquire);
  if (!a.file || !a.video || !compressed || !bits) return true;
  if (width != a.width || height != a.height ||
      uint64_t{size} < static_cast<uint64_t>(BitmapStride(width, false)) * height) {
    return true;
  }
  a.writeInProgress.store(1);
  HRESULT hr;
  try {
    hr = AVIStreamWrite(compressed, a.frames, 1, const_cast<void*>(bits), static_cast<LONG>(size),
                        AVIIF_KEYFRAME, nullptr, nullptr);
  } catch (...) {
    hr = AVIERR_ERROR;
  }
  if (hr != AVIERR_OK) {
    a.writeInProgress.store(0);
    return Stop(entry, KZ_ERR_AVI_WRITE);
  }
  double now = CurrentJulian();
  if (a.frames == 0) {
    a.firstTime = now;
  } else {
    a.lastTime = now;
  }
  ++a.frames;
  a.writeInProgress.store(0);
  return true;
}

}  // namespace

bool WriteAviFrame(StreamRecord* entry, const void* bits, uint32_t size, int32_t width,
                   int32_t height) {
  AviOutputState& a = entry->avi;
  if (!a.compressed.load(std::memory_order_acquire)) return true;
  std::lock_guard lock(a.mutex);
  return WriteLocked(entry, bits, size, width, height);
}

void WriteAviShown(void* stream, const uint8_t* bitmap) {
  auto* entry = static_cast<StreamRecord*>(stream);
  AviOutputState& a = entry->avi;
  if (!a.compressed.load(std::memory_order_acquire)) return;
  BITMAPINFOHEADER h;
  std::memcpy(&h, bitmap, sizeof h);
  const int32_t w = h.biWidth;
  const int32_t rowsHigh = h.biHeight;
  const uint8_t* rows = bitmap + sizeof h + size_t{h.biClrUsed} * 4;
  const int64_t stride24 = BitmapStride(w, false);
  std::lock_guard lock(a.mutex);
  if (h.biBitCount != 8) {
    WriteLocked(entry, rows, h.biSizeImage, w, rowsHigh);
    return;
  }
  // Frames of another size are skipped below; only the output's own size is expanded.
  if (w != a.width || rowsHigh != a.height) return;
  const int64_t bytes = stride24 * rowsHigh;
  if (!a.expanded) a.expanded = static_cast<uint8_t*>(BlockAlloc(static_cast<size_t>(bytes)));
  if (!a.expanded) {
    Stop(entry, KZ_ERR_MEMORY);
    return;
  }
  const uint8_t* palette = bitmap + sizeof h;
  const int64_t stride8 = BitmapStride(w, true);
  for (int32_t y = 0; y < rowsHigh; ++y) {
    const uint8_t* in = rows + y * stride8;
    uint8_t* out = a.expanded + y * stride24;
    for (int32_t x = 0; x < w; ++x) std::memcpy(out + 3 * x, palette + 4 * in[x], 3);
    std::memset(out + 3 * int64_t{w}, 0, static_cast<size_t>(stride24 - 3 * int64_t{w}));
  }
  WriteLocked(entry, a.expanded, static_cast<uint32_t>(bytes), w, rowsHigh);
}

void CloseAviOutput(StreamRecord* entry) {
  AviOutputState& a = entry->avi;
  DWORD start = timeGetTime();
  while (a.writeInProgress.load() && timeGetTime() - start < 5000) Sleep(1);
  // The lock waits for a write that outlived the wait: streams are never released under it.
  std::lock_guard lock(a.mutex);
  PAVISTREAM compressed = a.compressed.exchange(nullptr);
  try {
    if (compressed) AVIStreamRelease(compressed);
    if (a.video) AVIStreamRelease(a.video);
    if (a.file) AVIFileRelease(a.file);
  } catch (...) {
  }
  a.video = nullptr;
  a.file = nullptr;
  BlockFree(a.expanded);
  a.expanded = nullptr;
}

AviHeaderResult CorrectAviHeader(const char* path, int32_t frames, double firstTime,
                                 double lastTime) {
  if (!path || frames < 2 || firstTime == 0.0 || lastTime == 0.0) return kAviHeaderNotNeeded;
  double span = (lastTime - firstTime) * 86400.0;
  double fps = span != 0.0 ? (frames - 1) / span : 15.0;
  double scaled = std::trunc(fps * 1000.0);
  // A backwards or absurd span still gives a rate the header can hold.
  uint32_t rate = !(scaled >= 1.0)         ? 1u
                  : scaled >= 2147483647.0 ? 2147483647u
                                           : static_cast<uint32_t>(scaled);
  std::FILE* f = std::fopen(path, "r+b");
  if (!f) return kAviHeaderIoError;
  uint8_t h[168];
  if (std::fread(h, 1, sizeof h, f) != sizeof h) {
    std::fclose(f);
    return kAviHeaderLayoutDiffers;
  }
  struct Tag {
    size_t at;
    const char* text;
  } const tags[] = {{0, "RIFF"},      {8, "AVI LIST"}, {20, "hdrlavih"}, {88, "LIST"},
                    {96, "strlstrh"}, {108, "vids"},   {164, "strf"}};
  for (const Tag& t : tags) {
    if (std::memcmp(h + t.at, t.text, std::strlen(t.text)) != 0) {
      std::fclose(f);
      return kAviHeaderLayoutDiffers;
    }
  }
  auto put = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) h[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  uint32_t buffer =
      uint32_t{h[60]} | uint32_t{h[61]} << 8 | uint32_t{h[62]} << 16 | uint32_t{h[63]} << 24;
  double bytesPerSecond = std::trunc(rate * 0.001 * buffer);
  put(32, 1000000000u / rate);
  put(36, bytesPerSecond >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(bytesPerSecond));
  put(128, 1000);
  put(132, rate);
  bool ok = std::fseek(f, 32, SEEK_SET) == 0 && std::fwrite(h + 32, 1, 104, f) == 104;
  ok = std::fclose(f) == 0 && ok;
  return ok ? kAviHeaderPatched : kAviHeaderIoError;
}

}  // namespace kz

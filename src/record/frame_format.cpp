#include "record/frame_format.h"

#include <cstring>

namespace kz {
namespace {

template <typename T>
uint32_t Low32(T pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

void PutI32(uint8_t* p, int32_t v) {
  PutU32(p, static_cast<uint32_t>(v));
}
int32_t GetI32(const uint8_t* p) {
  return static_cast<int32_t>(GetU32(p));
}

// The adjustments block: the same 52 bytes wherever it appears.
void EncodeAdjustments(const KZADJUSTMENTS& a, uint8_t* p) {
  PutU32(p + 0, a.blackLevel);
  PutU32(p + 4, a.whiteLevel);
  PutU32(p + 8, a.whiteBalance);
  PutI32(p + 12, a.radialStrength);
  PutI32(p + 16, a.radialSkew);
  PutI32(p + 20, a.radialCentreX);
  PutI32(p + 24, a.radialCentreY);
  PutI32(p + 28, a.contrast);
  PutI32(p + 32, a.brightness);
  PutF64(p + 36, a.gamma);
  PutI32(p + 44, a.saturation);
  PutI32(p + 48, a.chromaBalance);
}

void DecodeAdjustments(const uint8_t* p, KZADJUSTMENTS* a) {
  a->blackLevel = GetU32(p + 0);
  a->whiteLevel = GetU32(p + 4);
  a->whiteBalance = GetU32(p + 8);
  a->radialStrength = GetI32(p + 12);
  a->radialSkew = GetI32(p + 16);
  a->radialCentreX = GetI32(p + 20);
  a->radialCentreY = GetI32(p + 24);
  a->contrast = GetI32(p + 28);
  a->brightness = GetI32(p + 32);
  a->gamma = GetF64(p + 36);
  a->saturation = GetI32(p + 44);
  a->chromaBalance = GetI32(p + 48);
}

}  // namespace

void PutF64(uint8_t* p, double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, 8);
  PutU32(p, static_cast<uint32_t>(bits));
  PutU32(p + 4, static_cast<uint32_t>(bits >> 32));
}

double GetF64(const uint8_t* p) {
  const uint64_t bits = GetU32(p) | (static_cast<uint64_t>(GetU32(p + 4)) << 32);
  double v;
  std::memcpy(&v, &bits, 8);
  return v;
}

void EncodeFrameHeader(const FrameHeader& h, uint8_t out[kFrameHeaderBytes]) {
  PutU32(out + 0, h.kind);
  PutU32(out + 4, h.chunkBytes);
  PutU32(out + 8, h.dataBytes);
  PutU16(out + 12, h.width);
  PutU16(out + 14, h.height);
  PutU16(out + 16, h.format);
  PutU16(out + 18, 0);
  PutU32(out + 20, h.msLow);
  PutU16(out + 24, h.msHigh);
  PutU16(out + 26, 0);
  PutF64(out + 28, h.julian);
  PutU32(out + 36, h.frameNumber);
}

FrameHeader DecodeFrameHeader(const uint8_t in[kFrameHeaderBytes]) {
  FrameHeader h;
  h.kind = GetU32(in + 0);
  h.chunkBytes = GetU32(in + 4);
  h.dataBytes = GetU32(in + 8);
  h.width = GetU16(in + 12);
  h.height = GetU16(in + 14);
  h.format = GetU16(in + 16);
  h.msLow = GetU32(in + 20);
  h.msHigh = GetU16(in + 24);
  h.julian = GetF64(in + 28);
  h.frameNumber = GetU32(in + 36);
  return h;
}

void EncodeRecordBlock(const KZRECORD& r, uint8_t out[kRecordBlockBytes]) {
  PutU32(out + 0, static_cast<uint32_t>(kRecordBlockBytes));
  PutU32(out + 4, r.session);
  PutU32(out + 8, r.source);
  PutI32(out + 12, r.width);
  PutI32(out + 16, r.height);
  PutU32(out + 20, r.format);
  PutU32(out + 24, r.bitCount);
  PutU32(out + 28, Low32(r.window));
  PutU32(out + 32, r.sourceSetting);
  std::memcpy(out + 36, r.fileName, 256);
  PutU32(out + 292, r.fileFlags);
  PutI32(out + 296, r.maxFileMB);
  PutF64(out + 300, r.startTime);
  PutF64(out + 308, r.stopTime);
  PutF64(out + 316, r.duration);
  PutF64(out + 324, r.rate);
  PutU32(out + 332, r.reserved);
  PutI32(out + 336, r.keyInterval);
  PutI32(out + 340, r.refInterval);
  PutI32(out + 344, r.quantStep);
  PutI32(out + 348, r.levels);
  PutU32(out + 352, Low32(r.aviOptions));
  PutU32(out + 356, Low32(r.frameFilter));
  PutU32(out + 360, Low32(r.endNotify));
  PutU32(out + 364, r.recordFlags);
}

void DecodeRecordBlock(const uint8_t in[kRecordBlockBytes], KZRECORD* r) {
  *r = KZRECORD{};
  r->size = sizeof(KZRECORD);
  r->session = GetU32(in + 4);
  r->source = GetU32(in + 8);
  r->width = GetI32(in + 12);
  r->height = GetI32(in + 16);
  r->format = GetU32(in + 20);
  r->bitCount = GetU32(in + 24);
  r->sourceSetting = GetU32(in + 32);
  std::memcpy(r->fileName, in + 36, 256);
  r->fileName[255] = '\0';  // a name from a file is always terminated
  r->fileFlags = GetU32(in + 292);
  r->maxFileMB = GetI32(in + 296);
  r->startTime = GetF64(in + 300);
  r->stopTime = GetF64(in + 308);
  r->duration = GetF64(in + 316);
  r->rate = GetF64(in + 324);
  r->reserved = GetU32(in + 332);
  r->keyInterval = GetI32(in + 336);
  r->refInterval = GetI32(in + 340);
  r->quantStep = GetI32(in + 344);
  r->levels = GetI32(in + 348);
  r->recordFlags = GetU32(in + 364);
}

void EncodeDisplayBlock(const KZDISPLAY& d, uint8_t out[kDisplayBlockBytes]) {
  PutU32(out + 0, static_cast<uint32_t>(kDisplayBlockBytes));
  PutU32(out + 4, d.session);
  PutU32(out + 8, d.source);
  PutI32(out + 12, d.width);
  PutI32(out + 16, d.height);
  PutU32(out + 20, d.format);
  PutU32(out + 24, d.bitCount);
  PutU32(out + 28, Low32(d.window));
  PutU32(out + 32, d.sourceSetting);
  PutI32(out + 36, d.left);
  PutI32(out + 40, d.top);
  PutF64(out + 44, d.rate);
  PutI32(out + 52, d.cropLeft);
  PutI32(out + 56, d.cropTop);
  PutI32(out + 60, d.cropWidth);
  PutI32(out + 64, d.cropHeight);
  PutU32(out + 68, d.orientation);
  PutF64(out + 72, d.zoom);
  PutF64(out + 80, d.aspect);
  PutU32(out + 88, d.resampling);
  EncodeAdjustments(d.adjust, out + 92);
  PutU32(out + 144, Low32(d.beforeDrawCallback));
  PutU32(out + 148, Low32(d.afterConvertCallback));
  PutU32(out + 152, Low32(d.afterDrawCallback));
  PutU32(out + 156, d.drawFlags);
}

void DecodeDisplayBlock(const uint8_t in[kDisplayBlockBytes], KZDISPLAY* d) {
  *d = KZDISPLAY{};
  d->size = sizeof(KZDISPLAY);
  d->session = GetU32(in + 4);
  d->source = GetU32(in + 8);
  d->width = GetI32(in + 12);
  d->height = GetI32(in + 16);
  d->format = GetU32(in + 20);
  d->bitCount = GetU32(in + 24);
  d->sourceSetting = GetU32(in + 32);
  d->left = GetI32(in + 36);
  d->top = GetI32(in + 40);
  d->rate = GetF64(in + 44);
  d->cropLeft = GetI32(in + 52);
  d->cropTop = GetI32(in + 56);
  d->cropWidth = GetI32(in + 60);
  d->cropHeight = GetI32(in + 64);
  d->orientation = GetU32(in + 68);
  d->zoom = GetF64(in + 72);
  d->aspect = GetF64(in + 80);
  d->resampling = GetU32(in + 88);
  DecodeAdjustments(in + 92, &d->adjust);
  d->drawFlags = GetU32(in + 156);
}

size_t EncodeChunkPart(const KZRECORD& record, const KZDISPLAY* display, uint8_t* out) {
  PutU32(out, kRecordChunkId);
  PutU32(out + 4, static_cast<uint32_t>(kRecordBlockBytes));
  EncodeRecordBlock(record, out + 8);
  if (!display) return kRecordChunkBytes;
  uint8_t* p = out + kRecordChunkBytes;
  PutU32(p, kDisplayChunkId);
  PutU32(p + 4, static_cast<uint32_t>(kDisplayBlockBytes));
  EncodeDisplayBlock(*display, p + 8);
  return kMaxChunkPartBytes;
}

ChunkContents DecodeChunkPart(std::span<const uint8_t> part) {
  ChunkContents c;
  size_t at = 0;
  while (part.size() - at >= 8) {
    const uint32_t id = GetU32(part.data() + at);
    const uint32_t length = GetU32(part.data() + at + 4);
    if (length < 8 || length > part.size() - at - 8) break;
    const uint8_t* data = part.data() + at + 8;
    if (id == kDisplayChunkId && length >= kDisplayBlockBytes &&
        GetU32(data) == kDisplayBlockBytes) {
      DecodeDisplayBlock(data, &c.display);
      c.hasDisplay = true;
    } else if (id == kRecordChunkId && length >= kRecordBlockBytes &&
               GetU32(data) == kRecordBlockBytes) {
      DecodeRecordBlock(data, &c.record);
      c.hasRecord = true;
    }
    at += 8 + static_cast<size_t>(length);
  }
  return c;
}

void EncodeTrailer(uint32_t recordBytes, uint8_t out[kTrailerBytes]) {
  PutU32(out, recordBytes);
  PutU32(out + 4, kTrailerTag);
}

RecordCheck CheckFrameHeader(const FrameHeader& h, uint32_t expectedKind, int64_t bytesFromHeader) {
  if (h.kind != kKindRawFourcc && h.kind != kKindLosslessFourcc && h.kind != kKindLossyFourcc) {
    return RecordCheck::kBadKind;
  }
  if (expectedKind != 0 && h.kind != expectedKind) return RecordCheck::kBadKind;
  if (h.width == 0 || h.height == 0 || !FormatByCode(h.format)) return RecordCheck::kBadFormat;
  const int64_t recordBytes = static_cast<int64_t>(h.RecordBytes());
  if (bytesFromHeader < 0 || recordBytes > bytesFromHeader || recordBytes > kMaxFileBytes) {
    return RecordCheck::kTruncated;
  }
  return RecordCheck::kOk;
}

RecordCheck CheckTrailer(const uint8_t in[kTrailerBytes], int64_t trailerEnd,
                         uint32_t* recordBytes) {
  if (GetU32(in + 4) != kTrailerTag) return RecordCheck::kBadTrailer;
  const uint32_t bytes = GetU32(in);
  if (bytes < kRecordOverheadBytes || static_cast<int64_t>(bytes) > trailerEnd) {
    return RecordCheck::kBadTrailer;
  }
  if (recordBytes) *recordBytes = bytes;
  return RecordCheck::kOk;
}

}  // namespace kz

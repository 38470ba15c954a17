#include "record/frame_format.h"

#include <cstddef>
#include <cstring>

namespace kz {

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

namespace {

// The chunk blocks in their 32-bit layout, one row a field: where it sits in the file, what
// it is and where it sits in this build's record (offsetof). Handles are written as their
// low 32 bits and read back as null: they mean nothing in another process.
enum class FieldKind : uint8_t { kInt32, kFloat64, kHandle, kName };
struct Field {
  uint16_t at;
  FieldKind kind;
  uint16_t member;
};
constexpr size_t kNameBytes = 256;

#define KZ_FIELD(block, at, kind, name) {at, FieldKind::kind, offsetof(block, name)}
constexpr Field kRecordFields[] = {
    KZ_FIELD(KZRECORD, 4, kInt32, session),        KZ_FIELD(KZRECORD, 8, kInt32, source),
    KZ_FIELD(KZRECORD, 12, kInt32, width),         KZ_FIELD(KZRECORD, 16, kInt32, height),
    KZ_FIELD(KZRECORD, 20, kInt32, format),        KZ_FIELD(KZRECORD, 24, kInt32, bitCount),
    KZ_FIELD(KZRECORD, 28, kHandle, window),       KZ_FIELD(KZRECORD, 32, kInt32, sourceSetting),
    KZ_FIELD(KZRECORD, 36, kName, fileName),       KZ_FIELD(KZRECORD, 292, kInt32, fileFlags),
    KZ_FIELD(KZRECORD, 296, kInt32, maxFileMB),    KZ_FIELD(KZRECORD, 300, kFloat64, startTime),
    KZ_FIELD(KZRECORD, 308, kFloat64, stopTime),   KZ_FIELD(KZRECORD, 316, kFloat64, duration),
    KZ_FIELD(KZRECORD, 324, kFloat64, rate),       KZ_FIELD(KZRECORD, 332, kInt32, reserved),
    KZ_FIELD(KZRECORD, 336, kInt32, keyInterval),  KZ_FIELD(KZRECORD, 340, kInt32, refInterval),
    KZ_FIELD(KZRECORD, 344, kInt32, quantStep),    KZ_FIELD(KZRECORD, 348, kInt32, levels),
    KZ_FIELD(KZRECORD, 352, kHandle, aviOptions),  KZ_FIELD(KZRECORD, 356, kHandle, frameFilter),
    KZ_FIELD(KZRECORD, 360, kHandle, endNotify),   KZ_FIELD(KZRECORD, 364, kInt32, recordFlags),
};
constexpr Field kDisplayFields[] = {
    KZ_FIELD(KZDISPLAY, 4, kInt32, session),
    KZ_FIELD(KZDISPLAY, 8, kInt32, source),
    KZ_FIELD(KZDISPLAY, 12, kInt32, width),
    KZ_FIELD(KZDISPLAY, 16, kInt32, height),
    KZ_FIELD(KZDISPLAY, 20, kInt32, format),
    KZ_FIELD(KZDISPLAY, 24, kInt32, bitCount),
    KZ_FIELD(KZDISPLAY, 28, kHandle, window),
    KZ_FIELD(KZDISPLAY, 32, kInt32, sourceSetting),
    KZ_FIELD(KZDISPLAY, 36, kInt32, left),
    KZ_FIELD(KZDISPLAY, 40, kInt32, top),
    KZ_FIELD(KZDISPLAY, 44, kFloat64, rate),
    KZ_FIELD(KZDISPLAY, 52, kInt32, cropLeft),
    KZ_FIELD(KZDISPLAY, 56, kInt32, cropTop),
    KZ_FIELD(KZDISPLAY, 60, kInt32, cropWidth),
    KZ_FIELD(KZDISPLAY, 64, kInt32, cropHeight),
    KZ_FIELD(KZDISPLAY, 68, kInt32, orientation),
    KZ_FIELD(KZDISPLAY, 72, kFloat64, zoom),
    KZ_FIELD(KZDISPLAY, 80, kFloat64, aspect),
    KZ_FIELD(KZDISPLAY, 88, kInt32, resampling),
    KZ_FIELD(KZDISPLAY, 92, kInt32, adjust.blackLevel),
    KZ_FIELD(KZDISPLAY, 96, kInt32, adjust.whiteLevel),
    KZ_FIELD(KZDISPLAY, 100, kInt32, adjust.whiteBalance),
    KZ_FIELD(KZDISPLAY, 104, kInt32, adjust.radialStrength),
    KZ_FIELD(KZDISPLAY, 108, kInt32, adjust.radialSkew),
    KZ_FIELD(KZDISPLAY, 112, kInt32, adjust.radialCentreX),
    KZ_FIELD(KZDISPLAY, 116, kInt32, adjust.radialCentreY),
    KZ_FIELD(KZDISPLAY, 120, kInt32, adjust.contrast),
    KZ_FIELD(KZDISPLAY, 124, kInt32, adjust.brightness),
    KZ_FIELD(KZDISPLAY, 128, kFloat64, adjust.gamma),
    KZ_FIELD(KZDISPLAY, 136, kInt32, adjust.saturation),
    KZ_FIELD(KZDISPLAY, 140, kInt32, adjust.chromaBalance),
    KZ_FIELD(KZDISPLAY, 144, kHandle, beforeDrawCallback),
    KZ_FIELD(KZDISPLAY, 148, kHandle, afterConvertCallback),
    KZ_FIELD(KZDISPLAY, 152, kHandle, afterDrawCallback),
    KZ_FIELD(KZDISPLAY, 156, kInt32, drawFlags),
};
#undef KZ_FIELD

template <class Block, size_t N>
void EncodeFields(const Block& block, const Field (&fields)[N], size_t bytes, uint8_t* out) {
  PutU32(out, static_cast<uint32_t>(bytes));
  const auto* from = reinterpret_cast<const uint8_t*>(&block);
  for (const Field& f : fields) {
    const uint8_t* member = from + f.member;
    uint8_t* to = out + f.at;
    switch (f.kind) {
      case FieldKind::kInt32: {
        uint32_t v;
        std::memcpy(&v, member, sizeof v);
        PutU32(to, v);
        break;
      }
      case FieldKind::kFloat64: {
        double v;
        std::memcpy(&v, member, sizeof v);
        PutF64(to, v);
        break;
      }
      case FieldKind::kHandle: {
        uintptr_t v;
        std::memcpy(&v, member, sizeof v);
        PutU32(to, static_cast<uint32_t>(v));
        break;
      }
      case FieldKind::kName:
        std::memcpy(to, member, kNameBytes);
        break;
    }
  }
}

template <class Block, size_t N>
void DecodeFields(const uint8_t* in, const Field (&fields)[N], Block* block) {
  *block = Block{};
  block->size = sizeof(Block);
  auto* to = reinterpret_cast<uint8_t*>(block);
  for (const Field& f : fields) {
    uint8_t* member = to + f.member;
    const uint8_t* from = in + f.at;
    switch (f.kind) {
      case FieldKind::kInt32: {
        const uint32_t v = GetU32(from);
        std::memcpy(member, &v, sizeof v);
        break;
      }
      case FieldKind::kFloat64: {
        const double v = GetF64(from);
        std::memcpy(member, &v, sizeof v);
        break;
      }
      case FieldKind::kHandle:
        break;
      case FieldKind::kName:
        std::memcpy(member, from, kNameBytes);
        member[kNameBytes - 1] = '\0';  // a name from a file is always terminated
        break;
    }
  }
}

}  // namespace

void EncodeRecordBlock(const KZRECORD& r, uint8_t out[kRecordBlockBytes]) {
  EncodeFields(r, kRecordFields, kRecordBlockBytes, out);
}

void DecodeRecordBlock(const uint8_t in[kRecordBlockBytes], KZRECORD* r) {
  DecodeFields(in, kRecordFields, r);
}

void EncodeDisplayBlock(const KZDISPLAY& d, uint8_t out[kDisplayBlockBytes]) {
  EncodeFields(d, kDisplayFields, kDisplayBlockBytes, out);
}

void DecodeDisplayBlock(const uint8_t in[kDisplayBlockBytes], KZDISPLAY* d) {
  DecodeFields(in, kDisplayFields, d);
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

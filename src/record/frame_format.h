// Byte layout of recording files: the 40-byte frame record header, the chunk part with
// the record and display descriptions, and the 8-byte trailer. Everything is encoded and
// decoded field by field, little-endian, in the 32-bit record layout, so files are the
// same on every host whatever the size of a pointer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "image/pixfmt.h"
#include "kzvideo.h"

namespace kz {

inline constexpr uint32_t kKindRawFourcc = Fourcc('K', 'Z', 'V', 'r');
inline constexpr uint32_t kKindLosslessFourcc = Fourcc('K', 'Z', 'V', 'c');
inline constexpr uint32_t kKindLossyFourcc = Fourcc('K', 'Z', 'V', 'l');
// The FOURCC a frame of own kind 1, 2 or 3 carries (the kinds' numbers are the same in
// a record block and in the frame coder).
constexpr uint32_t KindFourccOf(uint32_t kind) {
  return kind == 1 ? kKindRawFourcc : kind == 2 ? kKindLosslessFourcc : kKindLossyFourcc;
}
inline constexpr uint32_t kRecordChunkId = Fourcc('R', 'E', 'C', '\0');
inline constexpr uint32_t kDisplayChunkId = Fourcc('D', 'I', 'S', 'P');
inline constexpr uint32_t kTrailerTag = Fourcc('E', 'N', 'D', '\0');

inline constexpr size_t kFrameHeaderBytes = 40;
inline constexpr size_t kTrailerBytes = 8;
inline constexpr size_t kRecordOverheadBytes = kFrameHeaderBytes + kTrailerBytes;  // 48
inline constexpr size_t kRecordBlockBytes = 368;   // KZRECORD in the 32-bit layout
inline constexpr size_t kDisplayBlockBytes = 160;  // KZDISPLAY in the 32-bit layout
inline constexpr size_t kRecordChunkBytes = 8 + kRecordBlockBytes;                    // 376
inline constexpr size_t kDisplayChunkBytes = 8 + kDisplayBlockBytes;                  // 168
inline constexpr size_t kMaxChunkPartBytes = kRecordChunkBytes + kDisplayChunkBytes;  // 544
// File positions are signed 32-bit: no record or file may reach 2 GiB.
inline constexpr int64_t kMaxFileBytes = 0x7FFFFFFF;

struct FrameHeader {
  uint32_t kind = 0;  // FOURCC "KZVr", "KZVc" or "KZVl"
  uint32_t chunkBytes = 0;
  uint32_t dataBytes = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  uint16_t format = 0;  // pixel-format code
  uint32_t msLow = 0;
  uint16_t msHigh = 0;
  double julian = 0.0;
  uint32_t frameNumber = 0;

  uint64_t RecordBytes() const {
    return kRecordOverheadBytes + static_cast<uint64_t>(chunkBytes) + dataBytes;
  }
};

// Little-endian helpers for the fixed layouts.
inline void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t GetU16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void PutF64(uint8_t* p, double v);
double GetF64(const uint8_t* p);

void EncodeFrameHeader(const FrameHeader& h, uint8_t out[kFrameHeaderBytes]);
FrameHeader DecodeFrameHeader(const uint8_t in[kFrameHeaderBytes]);

// The 368/160 bytes of a record or display block in the file layout. Pointer and handle
// fields are written as their low 32 bits; on reading they come back null (a pointer is
// never taken from a file) and the size field becomes sizeof() of this build's record.
void EncodeRecordBlock(const KZRECORD& r, uint8_t out[kRecordBlockBytes]);
void DecodeRecordBlock(const uint8_t in[kRecordBlockBytes], KZRECORD* r);
void EncodeDisplayBlock(const KZDISPLAY& d, uint8_t out[kDisplayBlockBytes]);
void DecodeDisplayBlock(const uint8_t in[kDisplayBlockBytes], KZDISPLAY* d);

// Writes the chunk part: "REC\0" (always) and "DISP" (when display is given). `out` holds
// kMaxChunkPartBytes. Returns its length: 376 or 544.
size_t EncodeChunkPart(const KZRECORD& record, const KZDISPLAY* display, uint8_t* out);

// What a chunk part carried. Chunks are walked from the start; each advances the walk by
// its length + 8; the walk ends at the end of the part, at a chunk that does not fit, or at
// one whose length is below 8. Other identifiers are passed over.
struct ChunkContents {
  bool hasRecord = false;
  bool hasDisplay = false;
  KZRECORD record{};
  KZDISPLAY display{};
};
ChunkContents DecodeChunkPart(std::span<const uint8_t> part);

void EncodeTrailer(uint32_t recordBytes, uint8_t out[kTrailerBytes]);

enum class RecordCheck {
  kOk,
  kBadKind,     // not a recording FOURCC, or not the expected one
  kBadFormat,   // zero picture size or an unknown pixel-format code
  kTruncated,   // the record does not fit in the bytes that remain
  kBadTrailer,  // "END\0" missing or the record size impossible
};

// Checks a header read at some position: its kind (expectedKind 0 accepts any of the three
// recording kinds), its picture and format, and that header, chunks, data and trailer fit
// in `bytesFromHeader` (the file bytes from the header's start to the file's end).
RecordCheck CheckFrameHeader(const FrameHeader& h, uint32_t expectedKind, int64_t bytesFromHeader);

// Checks the trailer that ends at file offset `trailerEnd`: the tag, and a record size of at
// least 48 that does not reach before the start of the file. Gives the record size.
RecordCheck CheckTrailer(const uint8_t in[kTrailerBytes], int64_t trailerEnd,
                         uint32_t* recordBytes);

}  // namespace kz

// The frame codec: an LZW-family byte compressor with a one-byte remapping key,
// phased-in code widths and a cost-driven dictionary reset, plus a stored form.
//
// Block layout: byte 0 is the key k (1..255 = coded, 0 = stored); a coded block continues
// with the code bit stream, a stored block with the input bytes verbatim. Every input byte
// b is coded as t = ((b + 1) mod 256) XOR k. Codes are packed least significant bit first;
// 0..255 are remapped bytes, 256 resets the dictionary, 257..4095 are strings. There is no
// end code: the decoder stops when it has produced what its caller asked for.
//
// Where this codec departs from the plain rules, on purpose:
//  - Encoder: when the coded stream reaches the overflow mark (byte position 1 + bits / 8
//    at or beyond dstLimit - 4) the encoder stops and returns the stored form (srcLen + 1
//    bytes) rather than a truncated block that would decode to fewer bytes than were given.
//    The block length is 1 + ceil(bits written / 8), so a final code of 0 that ends on a
//    byte boundary still counts. The output area is not zero-filled beyond the block. Its
//    dictionary is a hash table in work memory the caller may keep (not a per-call block),
//    and a call that cannot get work memory returns the stored form rather than 0.
//  - Decoder: bits read past the end of the block read as 0; a block shorter than 2 bytes
//    is empty; a first code (at the start or after a reset) of 256 or more ends decoding;
//    codes are defined only up to 4095 (a hostile stream cannot grow the dictionary past
//    its tables); a string is copied from where it already stands in the output, so there
//    is no stack to overrun (bytes of dst past the string, below dstLen, may be written
//    before their turn). It returns how many bytes it produced, which is less than dstLen
//    when the block ends early or is refused, so a caller can reject a short frame. It
//    never reads or writes outside the two buffers it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kz {

// The key k (1..255) that maximises the sum of the remapped input bytes; among equal sums
// the smallest. Counts are halved (with the total) while the total is 2^23 or more.
uint8_t ChooseKey(const uint8_t* src, size_t srcLen);

// Work memory of the encoder (its dictionary, about 136 KB). A caller that codes frame after
// frame keeps one and passes it, so that a frame allocates nothing.
struct EncoderWork;
struct EncoderWorkFree {
  void operator()(EncoderWork* work) const;
};
using EncoderWorkPtr = std::unique_ptr<EncoderWork, EncoderWorkFree>;
EncoderWorkPtr NewEncoderWork();  // null when memory is short

// Compresses srcLen bytes into dst and returns the block length (byte 0 included), never
// more than srcLen + 1: when coding does not pay, or stops at dstLimit, the block is the
// stored form. dst must have room for max(dstLimit + 4, srcLen + 1) bytes; bytes of it past
// the block may be written. srcLen 0 gives the one-byte stored block. Without `work` the
// call allocates its own, and gives the stored form when memory is short.
size_t CompressFrame(uint8_t* dst, const uint8_t* src, size_t srcLen, size_t dstLimit,
                     EncoderWork* work = nullptr);

// Decodes the srcLen-byte block at src into at most dstLen bytes of dst and returns how
// many bytes it produced (dstLen for a whole frame).
size_t DecompressFrame(uint8_t* dst, const uint8_t* src, size_t dstLen, size_t srcLen);

// Codec constants shared with the tests and the frame coding.
inline constexpr uint32_t kCodecResetCode = 256;
inline constexpr uint32_t kCodecFirstString = 257;
inline constexpr uint32_t kCodecMaxCodes = 4096;
inline constexpr int32_t kCodecResetCost = 208;

}  // namespace kz

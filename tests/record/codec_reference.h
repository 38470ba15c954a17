// A plain, literal model of the frame codec (linked-list dictionary, bit-by-bit writer
// and reader, explicit output stack), kept only to pin the production codec to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kz::reference {

uint8_t ChooseKey(const uint8_t* src, size_t srcLen);
// Returns the whole block; dstLimit as in CompressFrame.
std::vector<uint8_t> Compress(const uint8_t* src, size_t srcLen, size_t dstLimit);
// Returns the bytes produced (at most dstLen).
std::vector<uint8_t> Decompress(const uint8_t* src, size_t srcLen, size_t dstLen);

// One code of a coded block as the model wrote it, for tests that look at the code stream.
struct Code {
  uint32_t value;
  uint32_t width;
};
// The codes of the last Compress call (empty when it returned the stored form early).
const std::vector<Code>& LastCodes();

}  // namespace kz::reference

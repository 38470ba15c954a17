// Arbitrary bytes as codec blocks: the decoder must stay inside its buffers and produce
// no more than asked. The same bytes as encoder input must round-trip.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "record/codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The first two bytes choose how much output to ask for; the rest is the block.
  const size_t dstLen = (static_cast<size_t>(data[0]) | (static_cast<size_t>(data[1]) << 8)) + 1;
  const std::vector<uint8_t> block(data + 2, data + size);  // exact size: ASan sees overreads
  std::vector<uint8_t> out(dstLen);
  const size_t n = kz::DecompressFrame(out.data(), block.data(), dstLen, block.size());
  if (n > dstLen) std::abort();

  if (!block.empty()) {
    std::vector<uint8_t> coded(block.size() + 5);
    const size_t len = kz::CompressFrame(coded.data(), block.data(), block.size(), block.size());
    if (len > block.size() + 1) std::abort();
    std::vector<uint8_t> back(block.size());
    coded.resize(len);
    if (kz::DecompressFrame(back.data(), coded.data(), back.size(), coded.size()) != back.size() ||
        back != block) {
      std::abort();
    }
  }
  return 0;
}

// Arbitrary bytes as a compressed recording file: walk its records as a reader would and
// decode every frame through the key cache, frame cache and chain roll-forward. Nothing
// may read or write outside the file or the decoder's areas, and no walk may run on.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "image/pixfmt.h"
#include "record/frame_coding.h"
#include "record/frame_format.h"

namespace {

class MemoryFile : public kz::RecordSource {
 public:
  MemoryFile(const uint8_t* data, size_t size) : bytes_(data, data + size) {}
  bool FetchRecord(int64_t offset, kz::FrameHeader* header, uint8_t* data,
                   uint32_t capacity) override {
    const auto size = static_cast<int64_t>(bytes_.size());
    if (offset < 0 || offset + static_cast<int64_t>(kz::kFrameHeaderBytes) > size) return false;
    *header = kz::DecodeFrameHeader(&bytes_[static_cast<size_t>(offset)]);
    if (kz::CheckFrameHeader(*header, 0, size - offset) != kz::RecordCheck::kOk) return false;
    if (header->dataBytes > capacity) return false;
    std::memcpy(data, &bytes_[static_cast<size_t>(offset) + 40 + header->chunkBytes],
                header->dataBytes);
    return true;
  }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryFile file(data, size);
  const auto& bytes = file.bytes();
  kz::FrameDecoderState decoder;
  bool ready = false;
  std::vector<uint8_t> frame;
  for (int64_t at = 0; at + 40 <= static_cast<int64_t>(bytes.size());) {
    const kz::FrameHeader h = kz::DecodeFrameHeader(&bytes[static_cast<size_t>(at)]);
    if (kz::CheckFrameHeader(h, 0, static_cast<int64_t>(bytes.size()) - at) !=
        kz::RecordCheck::kOk) {
      break;
    }
    const kz::PixelFormat* row = kz::FormatByCode(h.format);
    const int64_t frameBytes = kz::FrameSize(h.width, h.height, *row);
    if (frameBytes <= 0 || frameBytes > (1 << 20)) break;  // keep the fuzzer's memory small
    if (!ready) {
      if (!kz::InitFrameDecoder(decoder, static_cast<uint32_t>(frameBytes), row->sampleDistance)) {
        break;
      }
      frame.resize(static_cast<size_t>(frameBytes));
      ready = true;
    }
    if (static_cast<uint32_t>(frameBytes) != decoder.frameBytes) break;
    if (h.kind != kz::kKindRawFourcc && h.dataBytes <= kz::MaxFrameDataBytes(decoder.frameBytes)) {
      const std::vector<uint8_t> payload(bytes.begin() + at + 40 + h.chunkBytes,
                                         bytes.begin() + at + 40 + h.chunkBytes + h.dataBytes);
      kz::DecodeFrameData(decoder, file, h, at, payload.data(), frame.data());
    }
    at += static_cast<int64_t>(h.RecordBytes());
  }
  return 0;
}

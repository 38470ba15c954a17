// Frame data of the compressed recording kinds, apart from threads and files.
//
// "KZVc" (lossless): key frames hold the horizontal byte difference H of the frame; the
// frames after a key hold the difference D to the key. "KZVl" (lossy): key frames hold H of
// a quantised image, reference frames a dead-zone-quantised D to the key, and predicted
// frames level-coded residues E against the previous frame of their chain, which starts at
// the key or at a reference frame. Every form is a codec block that decodes to exactly
// frameBytes bytes, or the stored form (0xFFFFFFFF and the frame) when coding does not pay.
//
// The encoder never builds on a frame the reader cannot rebuild: after a stored "KZVc" key
// frame or any stored "KZVl" frame, the next frame is a key frame. The decoder takes every
// number from the file as hostile: data sizes are bounded, references must lead back to an
// earlier key or reference record of the same stream, and chains are rolled forward in a
// bounded loop without recursion.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "record/codec.h"
#include "record/frame_format.h"

namespace kz {

inline constexpr uint32_t kStoredForm = 0xFFFFFFFFu;
inline constexpr uint32_t kKeyForm = 0;
inline constexpr uint32_t kFrameCountMask = 0x3FFFFFFFu;
inline constexpr uint32_t kChainFromKey = 0xC0000000u;
inline constexpr uint32_t kChainFromReference = 0x80000000u;

inline constexpr uint32_t kMaxSampleDistance = 8;  // the pixel formats use 1 to 6

inline constexpr uint32_t kStreamRaw = 1;
inline constexpr uint32_t kStreamLossless = 2;
inline constexpr uint32_t kStreamLossy = 3;

struct CodingParams {
  int32_t keyInterval = 0;
  int32_t refInterval = 0;
  int32_t quantStep = 0;
  int32_t levels = 0;
};

// Replaces out-of-range coding parameters of a stream kind by their defaults, in the order
// the rules depend on each other (refInterval before keyInterval, quantStep before levels),
// in 64-bit arithmetic; levels end up so that (levels - 1) x quantStep <= 512.
CodingParams DefaultCodingParams(uint32_t kind, CodingParams p);

// The level table M of predicted frames, defined for indices -511..767.
class LevelTable {
 public:
  int32_t operator[](int32_t v) const {
    const int32_t index = v + 511;
    return values_[static_cast<size_t>(index)];
  }
  static LevelTable Build(int32_t quantStep, int32_t levels);

  // The residue for index `v` of a sample that comes out as `prev` without one and should
  // come out as `target`: M[v], unless that sample lands nearer `target` round the byte than
  // straight (plainly more than 128 off): it wrapped past 0 or 255 to the far end. The
  // negative mirror of the table overshoots by up to X, and an index below -255 reads the
  // table's periodic part, so a white-to-black edge stayed white. Then the level whose sample
  // lies nearest `target` is taken instead; readers add residues as ever.
  int32_t Level(int32_t v, int32_t prev, int32_t target) const {
    const int32_t e = (*this)[v];
    const int32_t off = ((prev + e) & 255) - target;
    return off >= -128 && off <= 128 ? e : Nearest(prev, target);
  }

 private:
  int32_t Nearest(int32_t prev, int32_t target) const;

  std::array<int16_t, 1279> values_{};
  std::array<uint8_t, 256> levelBytes_{};  // the distinct residues M can give, as bytes
  uint32_t levelCount_ = 0;
};

// The process-wide phase of the key quantiser: shifts the quantisation grid of each key
// frame so that its error does not stand still from key to key.
uint32_t KeyQuantPhase();
void SetKeyQuantPhase(uint32_t phase);

enum class FrameForm { kStored, kKey, kDifference, kReference, kPredicted };

struct EncodedFrame {
  const uint8_t* data = nullptr;  // frame data of the record (in the encoder's output area)
  uint32_t bytes = 0;
  FrameForm form = FrameForm::kStored;
};

// What the record thread keeps from frame to frame (areas allocated once by Init).
struct FrameEncoderState {
  uint32_t kind = 0;
  CodingParams params;
  uint32_t frameBytes = 0;
  uint32_t sampleDistance = 1;
  uint32_t width = 0;
  LevelTable levelTable;
  std::array<int16_t, 511> deadZone{};  // Q(x) for x = -255..255

  bool needKey = true;
  uint32_t keyFrame = 0;
  int64_t keyOffset = 0;
  bool refValid = false;
  uint32_t refFrame = 0;
  int64_t refOffset = 0;
  std::unique_ptr<uint8_t[]> key;      // key image (quantised for "KZVl")
  std::unique_ptr<uint8_t[]> ref;      // reconstruction of the previous "KZVl" frame
  std::unique_ptr<uint8_t[]> residue;  // H, D or E of the frame being coded
  std::unique_ptr<uint8_t[]> out;      // frame data: 8 header bytes + codec block room
  EncoderWorkPtr codecWork;            // the codec's dictionary
};

// Sets up the state for a stream kind (2 or 3) and frame geometry; params are defaulted.
// False when the kind is not coded or memory is short.
bool InitFrameEncoder(FrameEncoderState& s, uint32_t kind, const CodingParams& params,
                      uint32_t width, uint32_t sampleDistance, uint32_t frameBytes);

// Codes one frame of frameBytes bytes. `position` is the file offset its record will start
// at (negative when unknown: a key frame at offset 0). `forceKey` is set for the first record
// of a file. The data stays valid until the next call.
EncodedFrame EncodeFrame(FrameEncoderState& s, const uint8_t* frame, uint32_t frameNumber,
                         int64_t position, bool forceKey);

// Source of earlier records for the decoder: reads the header of the record at `offset`
// of the file being played and, when its dataBytes fit in `capacity`, its frame data.
class RecordSource {
 public:
  virtual bool FetchRecord(int64_t offset, FrameHeader* header, uint8_t* data,
                           uint32_t capacity) = 0;

 protected:
  ~RecordSource() = default;
};

enum class DecodeResult {
  kOk,
  kBadData,       // sizes out of bounds, or a block that does not give a whole frame
  kBadReference,  // a reference that does not lead to an earlier key or reference record
  kReadFailed,    // an earlier record could not be read
  kStoredAsBase,  // a stored frame asked for as the base of others
};

// What the playback reader keeps from frame to frame.
struct FrameDecoderState {
  uint32_t frameBytes = 0;
  uint32_t sampleDistance = 1;

  // Key cache: the decoded key frame, its record offset and the offset of the record after.
  bool keyValid = false;
  uint32_t keyFrame = 0;
  int64_t keyOffset = 0;
  int64_t keyNext = 0;
  // Frame cache: the last decoded difference, reference or predicted frame.
  bool frameValid = false;
  uint32_t frameNumber = 0;
  int64_t frameNext = 0;
  // Which cache holds the last decoded frame, the one a chain rolls forward from.
  bool cursorIsKey = false;

  std::unique_ptr<uint8_t[]> key;
  std::unique_ptr<uint8_t[]> frame;
  std::unique_ptr<uint8_t[]> diff;
  std::unique_ptr<uint8_t[]> chainInput;  // data of a chain record read by the decoder
  std::unique_ptr<uint8_t[]> keyInput;    // data of a key record read by the decoder
};

bool InitFrameDecoder(FrameDecoderState& s, uint32_t frameBytes, uint32_t sampleDistance);
// The last step of every decoded frame: out[i] = P[i] + base[i] (base null: + 0), where P is
// `delta` summed over bytes d apart (P[i] = delta[i] + P[i - d]; d 0: delta itself). `copy`,
// when not null, gets the same n bytes; out may be delta or base. d is at most
// kMaxSampleDistance.
void RebuildFrame(uint8_t* out, uint8_t* copy, const uint8_t* delta, const uint8_t* base,
                  uint32_t n, uint32_t d);
// Forgets both caches (another file of a sequence, or a new stream).
void ResetFrameDecoder(FrameDecoderState& s);
// The largest frame data a record of this frame size may carry.
inline uint64_t MaxFrameDataBytes(uint32_t frameBytes) {
  return static_cast<uint64_t>(frameBytes) + 12;
}

// Decodes the "KZVc"/"KZVl" record whose header is `header`, at file offset `offset`, with
// frame data `data` (header.dataBytes bytes) into dest (frameBytes bytes; null only brings
// the caches up to date). Earlier records come from `source`.
DecodeResult DecodeFrameData(FrameDecoderState& s, RecordSource& source, const FrameHeader& header,
                             int64_t offset, const uint8_t* data, uint8_t* dest);

}  // namespace kz

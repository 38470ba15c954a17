// The one checked walk over the records of a recording file. Every reader (summary, seek,
// forward and backward steps, the file-format probe and the chunk readers) goes through
// it, so that they all agree on what a whole record is: a header of the file's kind whose
// picture has a pixel-format row and a frame size that fits, whose data size suits its
// kind, and whose chunks, data and trailer ("END", back-offset = record length) fit in
// what is left of the file. A record that fails counts as the end of the file.
#pragma once

#include <cstdint>

#include "frame/files.h"
#include "record/frame_format.h"

namespace kz {

// Kind 1, 2 or 3 of a recording FOURCC; 0 for anything else.
uint32_t KindOfFourcc(uint32_t fourcc);

// Bytes of one frame of this picture (padded rows, plus the GV8 palette); 0 when the
// format has no row or the size does not fit a record.
uint32_t RecordFrameBytes(uint32_t width, uint32_t height, uint32_t format);

// The header checks alone: kind (expectedKind 0: any recording kind), picture, data size
// for the kind, and that the whole record fits in `bytesLeft`.
bool HeaderIsSound(const FrameHeader& h, uint32_t expectedKind, int64_t bytesLeft);

// Reads and checks the header at `pos`. The file is left right after the header.
bool ReadHeaderAt(File f, int64_t pos, int64_t fileLength, uint32_t expectedKind,
                  FrameHeader* h);

// Reads the header at `pos` and the trailer at its end and checks both. The file is left
// right after the header.
bool ReadRecordAt(File f, int64_t pos, int64_t fileLength, uint32_t expectedKind,
                  FrameHeader* h);

// The record that ends at `pos` (its trailer lies in the 8 bytes before `pos`): the
// back-offset is at least 48, reaches no further than the start of the file, and leads to
// a sound header of exactly that length. Gives its start and header.
bool RecordBefore(File f, int64_t pos, int64_t fileLength, uint32_t expectedKind,
                  int64_t* start, FrameHeader* h);

// Reads `n` bytes at `pos`; false on a short read.
bool ReadAt(File f, int64_t pos, void* buffer, size_t n);

// Millisecond value of a header as one 48-bit number.
inline uint64_t HeaderMs(const FrameHeader& h) {
  return (static_cast<uint64_t>(h.msHigh) << 32) | h.msLow;
}

}  // namespace kz

// AVI output of a stream (a recording or an export): a compressed AVI stream opened with
// the stored or given compression options, frames written to it, and its closing with the
// header correction.
#pragma once

#include <cstdint>

#include "frame/stream.h"

namespace kz {

// Prepares the stream's AVI output from its record block: continues an existing AVI file or
// creates one with a compressed video stream. On failure the record status (36, 37, 66)
// and the record stop request are set and false is returned.
bool OpenAviOutput(StreamRecord* entry);

// Appends one frame of 24-bit bottom-up rows (stride (3w + 3) & ~3). A frame of another
// size than the stream's is skipped (true). A failed write sets status 67 and the record
// stop request, and returns false. Without an open output nothing happens (true).
bool WriteAviFrame(StreamRecord* entry, const void* bits, uint32_t size, int32_t width,
                   int32_t height);

// The show step's writer of the picture as shown: `stream` is the StreamRecord, `bitmap`
// the packed bitmap (header, colour table, rows). 8-bit pictures are written as 24-bit
// through their colour table.
void WriteAviShown(void* stream, const uint8_t* bitmap);

// Waits (at most 5000 ms) for a write in progress, then releases the compressed stream, the
// stream and the file, which is then complete on disk.
void CloseAviOutput(StreamRecord* entry);

// Header correction of a finished AVI recording: restates the frame rate from the frames
// written and the times of the first and last one.
enum AviHeaderResult : int {
  kAviHeaderPatched = 1,
  kAviHeaderNotNeeded = 0,       // fewer than two frames, or a time is missing
  kAviHeaderLayoutDiffers = -1,  // the chunks are not where the patch expects them
  kAviHeaderIoError = -2,        // the file could not be opened, read or written
};
AviHeaderResult CorrectAviHeader(const char* path, int32_t frames, double firstTime,
                                 double lastTime);

}  // namespace kz

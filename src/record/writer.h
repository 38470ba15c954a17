// The recording writer: builds and writes the frame records of a live stream's recording,
// continues it into numbered files at the size limit and closes its output.
#pragma once

#include <cstdint>

namespace kz {

struct StreamRecord;

// Milliseconds and Julian time stamp of a frame to write.
struct FrameTime {
  uint64_t ms = 0;  // 48 bits used: append base included
  double julian = 0.0;
};

// Builds the record of `frame` (e.frameBytes bytes) stamped `t` for a file position
// `position`: header, chunk part (with `withChunks`) and, for the coded kinds, the frame
// data. Takes the next frame number. Returns the whole record's size (header, chunks,
// data, trailer), or 0 when the work memory cannot be had.
uint64_t BuildFrameRecord(StreamRecord& e, bool withChunks, const uint8_t* frame,
                          const FrameTime& t, int64_t position);

// Gives back the frame number the last build took, so a record built again (at a file
// split) keeps its number.
void UnbuildFrameRecord(StreamRecord& e);

// Writes the built record to the open file. On a short or failed write the file is cut
// back to the record's start, so it ends with its last whole record; false then.
bool WriteFrameRecord(StreamRecord& e, const uint8_t* frame);

// Writes one frame to the output of the library's own kinds named by the record block:
// opens it at the first frame, continues into the next numbered file at the size limit.
// The live recording passes its ring slot, an export the frame it read; neither the
// schedule nor the frame filter is involved. 0, or the code the writing ends with.
uint32_t WriteOwnKindFrame(StreamRecord& e, const uint8_t* frame, const FrameTime& t);

// AVI output (kind 256): opens the stream's AVI output at the first frame, then writes the
// frame at ring count `r` as 24-bit bottom-up rows (unless the show step writes the picture
// as shown). 0, or the code the recording ends with.
uint32_t WriteAviRecordFrame(StreamRecord& e, uint32_t r);

// Closes a recording's AVI output, if open, and restates its rate from the frames written.
void FinishAviRecording(StreamRecord& e);

// Closes the recording's output file, if one is open, and frees the writer's memory.
void FinishRecordingFile(StreamRecord& e);

// Size limit of one file: `maxFileMB` MiB (649 when 0 or less), kept below 2 GiB because
// file positions are signed 32-bit.
int64_t FileSizeLimit(int32_t maxFileMB);

// Milliseconds and Julian time stamp of a ring slot in the current recording.
FrameTime RecordFrameTime(StreamRecord& e, uint32_t r);

}  // namespace kz

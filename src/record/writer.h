// The recording writer: builds and writes the frame records of a live stream's recording,
// continues it into numbered files at the size limit and closes its output.
#pragma once

#include <cstdint>

namespace kz {

struct StreamRecord;

// Builds the record of the frame at ring count `r` for a file position `position`: header,
// chunk part (with `withChunks`) and, for the coded kinds, the frame data. Takes the next
// frame number. Returns the whole record's size (header, chunks, data, trailer), or 0 when
// the work memory cannot be had.
uint64_t BuildFrameRecord(StreamRecord& e, bool withChunks, uint32_t r, int64_t position);

// Gives back the frame number the last build took, so a record built again (at a file
// split) keeps its number.
void UnbuildFrameRecord(StreamRecord& e);

// Writes the built record to the open file. On a short or failed write the file is cut
// back to the record's start, so it ends with its last whole record; false then.
bool WriteFrameRecord(StreamRecord& e, uint32_t r);

// Closes the recording's output file, if one is open, and frees the writer's memory.
void FinishRecordingFile(StreamRecord& e);

// Size limit of one file: `maxFileMB` MiB (649 when 0 or less), kept below 2 GiB because
// file positions are signed 32-bit.
int64_t FileSizeLimit(int32_t maxFileMB);

// Milliseconds and Julian time stamp of a ring slot in the current recording.
struct FrameTime {
  uint64_t ms = 0;  // 48 bits used: append base included
  double julian = 0.0;
};
FrameTime RecordFrameTime(StreamRecord& e, uint32_t r);

}  // namespace kz

// Opening playback files, positioning and reading frames: the operations the playback
// thread, the video export and KZLoadFrame share. They run only on the thread that owns
// the stream record and never touch the process-wide last error.
#pragma once

#include <kzvideo.h>

#include <cstdint>

#include "frame/stream.h"
#include "record/frame_format.h"

namespace kz {

// Results of SeekPlayback.
enum : int { kSeekFailed = 0, kSeekDone = 1, kSeekNoMatch = -1 };

int SeekPlayback(StreamRecord* entry);
int ReadPlaybackFrame(StreamRecord* entry, bool single);
int ReadNextFrame(StreamRecord* entry);
void ClosePlaybackFile(StreamRecord* entry);
// Frees what a playback record holds besides the table's blocks (file, decoder caches).
void FreePlaybackMemory(StreamRecord* entry);

// Opens file `f` of the sequence as the playback file (summary into fileInfo). False when
// it cannot be summarised or opened; the old file is closed either way.
bool OpenSequenceFile(StreamRecord* entry, int32_t f);

// Reads the sound record of the open file at `pos` whose kind and picture are the
// sequence's. The file is left after the header.
bool ReadSequenceRecord(StreamRecord* entry, int64_t pos, FrameHeader* h);

// Playback flags, changed under the block lock so that callers never read a torn block.
uint32_t PlaybackFlags(StreamRecord* entry);
void SetPlaybackFlags(StreamRecord* entry, uint32_t set, uint32_t clear);

// The stop bit of playback is set on this record.
bool PlaybackStopAsked(const StreamRecord* entry);

// Millisecond value and time that an AVI frame of index i reports.
uint64_t AviFrameMs(const KZFILEINFO& info, int64_t i);
double AviFrameTime(const KZFILEINFO& info, int64_t i);

// Position record fields from a header.
void SetPosition(KZPLAYBACKFRAME* pos, int64_t index, const FrameHeader& h, int32_t file,
                 int64_t offset);
inline uint64_t PositionMs(const KZPLAYBACKFRAME& p) {
  return (static_cast<uint64_t>(p.msHigh) << 32) | p.msLow;
}
inline void SetPositionMs(KZPLAYBACKFRAME* p, uint64_t ms) {
  p->msLow = static_cast<uint32_t>(ms);
  p->msHigh = static_cast<uint32_t>(ms >> 32);
}

}  // namespace kz

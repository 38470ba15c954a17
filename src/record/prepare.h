// Preparing a recording's output file by its open mode before the recording starts.
#pragma once

#include <kzvideo.h>

#include <cstdint>

namespace kz {

// Where an appended recording continues: the millisecond base (the last record's count
// + 100) and the frame number after the last record's.
struct AppendValues {
  uint32_t baseLow = 0;
  uint32_t baseHigh = 0;
  uint32_t nextFrameNumber = 0;
};

// Checks and prepares `block.fileName` by the open mode of `block.fileFlags`: creates or
// truncates it, or reads where an append continues. 0, or the error code: 33 the file
// exists (new only), 34 it is missing (append only), 35 it holds another kind, 36 it
// cannot be created, 37 it cannot be opened or its tail is not a whole record, 48 its last
// record cannot be read.
uint32_t PrepareRecordFile(const KZRECORD& block, AppendValues* append);
// The two halves of PrepareRecordFile: the checks and append values, which change no file,
// and then the creating or truncating (36 or 37), done once nothing else can refuse the
// recording, so that a refused start never cuts an existing file.
uint32_t CheckRecordFile(const KZRECORD& block, AppendValues* append);
uint32_t CreateRecordFile(const KZRECORD& block);

// Reads the append values from an existing recording file of `kind` (1, 2 or 3).
uint32_t ReadAppendValues(const char* name, uint32_t kind, AppendValues* append);

}  // namespace kz

// The record thread of a live stream and its schedule.
#pragma once

#include <kzvideo.h>
#include <windows.h>

#include <cstdint>

namespace kz {

struct StreamRecord;

// Longest countdown in milliseconds; a longer span is renewed from the Julian end time
// when the countdown runs out.
inline constexpr int32_t kMaxRecordMs = 134217727;

DWORD WINAPI RecordThread(LPVOID entry);

// Works out when the recording begins and how long it may run from the record block's
// start time, stop time and duration and from `recordEnd`. `now` is the Julian time.
void Schedule(StreamRecord& e, double now);

// Writes the head frame of the ring (count `r`), or ends the recording. Record thread.
void WriteStep(StreamRecord& e, uint32_t r);

// Ends the recording with `code` from the record thread: the stop request goes first, so a
// stop arriving now cannot turn the code into 0.
void EndRecording(StreamRecord& e, uint32_t code);

// What a change takes over into the active block: the schedule, limits and callbacks (the
// kind, file name, open mode and coding parameters stay).
void TakeRecordChange(KZRECORD& active, const KZRECORD& change);

// The pacing interval of the recording from its block's rate.
void ApplyRecordRate(StreamRecord& e);

}  // namespace kz

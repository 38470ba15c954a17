// The rate family: KZGetDisplayRate, KZGetRecordRate and KZGetPlaybackRate fill a KZRATE
// the same way from their activity's start time, time history and counters.
#pragma once

#include <kzvideo.h>
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "live/live_state.h"

namespace kz {

struct StreamRecord;

// What one activity has to say about its rate, read at one moment.
struct RateSample {
  double start = 0.0;         // Julian time the activity started
  uint32_t history[11] = {};  // clock readings of the frames done, newest first
  uint32_t historyCount = 0;  // how many of them exist (at most 11)
  uint32_t done = 0;
  uint32_t dropped = 0;
};

// Copies the newest eleven readings of `times` into `sample`.
void TakeHistory(const TimeHistory& times, RateSample* sample);
// A sample from an activity's start time, history and counters.
RateSample SampleOf(const std::atomic<double>& start, const TimeHistory& times,
                    const std::atomic<uint32_t>& done, const std::atomic<uint32_t>& dropped);

// Fills `out` from `sample` at Julian time `nowJulian` and millisecond clock `nowMs`.
// Spans are clamped at 0; the rates are 0 where their span is 0 or unknown.
void FillRate(const RateSample& sample, double nowJulian, uint32_t nowMs, KZRATE* out);

// The exported functions of the family: finds the stream that runs `bit` (errors 5,
// `notFound`, 25, 26), refuses a null `out` (17), takes the sample under the table lock
// and fills `out`. 1 / 0.
int GetActivityRate(uint32_t session, uint32_t id, HWND window, KZRATE* out, uint32_t bit,
                    uint32_t notFound, RateSample (*sample)(StreamRecord& e));

}  // namespace kz

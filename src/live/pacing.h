// Grab pacing: which activities a grab request is made for at a given clock reading.
#pragma once

#include <cstdint>

#include "live/live_state.h"

namespace kz {

// Milliseconds that must pass between two requests at `rate` frames per second:
// trunc(1000 / rate) - 1. 0 means no pacing: a rate of 0, a negative rate, NaN, a rate so
// high that the interval is 0, and a rate so tiny that the interval would pass 2^31 ms.
uint32_t PaceInterval(double rate);

// True when a request made at `now` would come too early after the previous one. The clock
// difference is taken modulo 2^32, so a clock passing 2^31 or 2^32 changes nothing.
bool HoldBack(const PaceClock& pace, uint32_t interval, uint32_t now);

// One pass of the grab loop's planning at clock `now` with the stream's `running` bits:
// decides the activities (1 display, 2 record) the next grab is for, notes the request
// times and fills `live.nextHeader`. Returns 0 when no grab is to be made. Grab thread only.
uint32_t PlanGrab(LiveState& live, uint32_t running, uint32_t now);

// Milliseconds from the first request of the current recording to the request of the frame
// in `slot`, counted across passes of the clock over 2^32.
int64_t RecordMs(const LiveState& live, const SlotHeader& slot);

}  // namespace kz

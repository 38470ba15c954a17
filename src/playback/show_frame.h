// Drawing a playback frame: the shared show step with the playback block's callbacks
// (always the caller's own block, never one read from a file), publication under the
// image lock for KZGetPlaybackImage, and the redraw of the frame on screen.
#pragma once

#include <cstdint>

#include "frame/stream.h"

namespace kz {

// Rebuilds the show step's plan and tables for the stream's display block (playback
// thread, or the owner of a private record).
void PreparePlaybackShow(StreamRecord* entry);
// Shows the frame in ring slot `readCount` and publishes it; counts it in framesPlayed.
void ShowPlaybackFrame(StreamRecord* entry);
// Draws the shown bitmap again (the playback thread: the only one that replaces it).
void RedrawPlaybackFrame(StreamRecord* entry);

}  // namespace kz

// Drawing a playback frame: the direct conversion into a packed bitmap, the playback
// block's callbacks (always the caller's own block, never one read from a file), the
// draw into the window, and publication of the picture for KZGetPlaybackImage.
#pragma once

#include <cstdint>

#include "frame/stream.h"

namespace kz {

// Converts and draws the frame in ring slot `readCount`. False when no bitmap could be
// made (unknown format or memory).
bool ShowPlaybackFrame(StreamRecord* entry, bool draw);
// Draws the shown bitmap again.
void RedrawPlaybackFrame(StreamRecord* entry);
// Copies of the published picture, as blocks handed over to the caller; null when none.
HGLOBAL CopyShownImage(StreamRecord* entry, bool asDrawn);
void FreeShownImages(StreamRecord* entry);

}  // namespace kz

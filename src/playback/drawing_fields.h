// The drawing fields that KZPLAYBACK and KZDISPLAY share (crop rectangle, orientation,
// zoom, aspect, resampling and the adjustments block): the only fields a block read from
// a file ever gives, and the ones a playback hands on to its display block.
#pragma once

#include <kzvideo.h>

namespace kz {

template <class To, class From>
void CopyDrawingFields(To* to, const From& from) {
  to->cropLeft = from.cropLeft;
  to->cropTop = from.cropTop;
  to->cropWidth = from.cropWidth;
  to->cropHeight = from.cropHeight;
  to->orientation = from.orientation;
  to->zoom = from.zoom;
  to->aspect = from.aspect;
  to->resampling = from.resampling;
  to->adjust = from.adjust;
}

// What a playback block gives its display block: the drawing fields, the position in the
// window and the drawing flags.
inline void DisplayFromPlayback(KZDISPLAY* d, const KZPLAYBACK& b) {
  CopyDrawingFields(d, b);
  d->left = b.left;
  d->top = b.top;
  d->drawFlags = b.flags & KZ_PLAY_DRAW_MASK;
}

}  // namespace kz

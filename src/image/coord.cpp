// Mapping between frame pixels and window points under crop, turns, mirror, flip and zoom.
#include <cmath>
#include <cstdint>

#include "image/colour.h"
#include "image/plan.h"

namespace kz {
namespace {

struct View {
  double cx, cy, vw, vh;
  bool odd, half, mirror, flip;
  double zoom, aspect;  // 0 when they take no part
};

View ViewOf(const KZDISPLAY& b) {
  View v{};
  const bool crop = (b.drawFlags & KZ_DRAW_CROP) != 0;
  v.cx = crop ? b.cropLeft : 0;
  v.cy = crop ? b.cropTop : 0;
  v.vw = crop ? b.cropWidth : b.width;
  v.vh = crop ? b.cropHeight : b.height;
  v.odd = (b.orientation & 1) != 0;
  v.half = (b.orientation & 2) != 0;
  v.mirror = (b.orientation & KZ_ORIENT_MIRROR) != 0;
  v.flip = (b.orientation & KZ_ORIENT_FLIP) != 0;
  // Zoom and aspect apply whenever they are usable, whatever the zoom flag says; values
  // that are not finite take no part (a NaN would otherwise reach the integer results).
  v.zoom = std::isfinite(b.zoom) && b.zoom > 0 ? b.zoom : 0;
  v.aspect = std::isfinite(b.aspect) && b.aspect > 0 ? b.aspect : 0;
  return v;
}

int Area(const KZDISPLAY& b, const View& v, int64_t px, int64_t py) {
  if (px < 0 || py < 0 || px >= b.width || py >= b.height) return 3;
  if (px < v.cx || py < v.cy || px >= v.cx + v.vw || py >= v.cy + v.vh) return 2;
  return 1;
}

int32_t Floor32(double v) {
  return static_cast<int32_t>(SaturateToInt64(std::floor(v), INT32_MIN, INT32_MAX));
}

}  // namespace

int FrameToWindow(const KZDISPLAY& b, int32_t px, int32_t py, int32_t* wx, int32_t* wy) {
  const View v = ViewOf(b);
  double fx = px + 0.5 - v.cx, fy = py + 0.5 - v.cy;
  if ((v.mirror && v.odd) || (v.flip && !v.odd)) fy = v.vh - fy;
  if ((v.mirror && !v.odd) || (v.flip && v.odd)) fx = v.vw - fx;
  if (v.half) fx = v.vw - fx, fy = v.vh - fy;
  if (v.odd) {
    const double t = std::trunc(fx);
    fx = v.vh - fy;
    fy = t;
  }
  if (v.aspect > 0) fy = fy * v.aspect;
  if (v.zoom > 0) fx = fx * v.zoom, fy = fy * v.zoom;
  if (wx) *wx = Floor32(b.left + fx);
  if (wy) *wy = Floor32(b.top + fy);
  return Area(b, v, px, py);
}

int WindowToFrame(const KZDISPLAY& b, int32_t wx, int32_t wy, int32_t* px, int32_t* py) {
  const View v = ViewOf(b);
  double fx = static_cast<double>(wx) - b.left, fy = static_cast<double>(wy) - b.top;
  if (v.zoom > 0) fx = fx / v.zoom, fy = fy / v.zoom;
  if (v.aspect > 0) fy = fy / v.aspect;
  if (v.odd) {
    const double t = std::trunc(fx);
    fx = fy;
    fy = v.vh - t - 1;
  }
  if (v.half) fx = v.vw - fx - 1, fy = v.vh - fy - 1;
  if ((v.mirror && !v.odd) || (v.flip && v.odd)) fx = v.vw - fx - 1;
  if ((v.mirror && v.odd) || (v.flip && !v.odd)) fy = v.vh - fy - 1;
  const double rx = std::floor(fx + v.cx + 0.5), ry = std::floor(fy + v.cy + 0.5);
  const int32_t ix = static_cast<int32_t>(SaturateToInt64(rx, INT32_MIN, INT32_MAX));
  const int32_t iy = static_cast<int32_t>(SaturateToInt64(ry, INT32_MIN, INT32_MAX));
  if (px) *px = ix;
  if (py) *py = iy;
  return Area(b, v, SaturateToInt64(rx, INT64_MIN / 2, INT64_MAX / 2),
              SaturateToInt64(ry, INT64_MIN / 2, INT64_MAX / 2));
}

}  // namespace kz

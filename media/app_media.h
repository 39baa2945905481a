// What the media views' drawing files share (app_media_pick.cpp,
// app_media_xfer.cpp): the texts' tracking, near-white, and the rule that
// sends a widget at rest into its view's cached layer.
#pragma once

#include <algorithm>
#include <cmath>
#include <functional>

#include "app/app.h"
#include "gfx/layer.h"
#include "media/media_views.h"

namespace media_ui {

constexpr float kTrack = 0.16f;
constexpr D3DCOLORVALUE kWhite{0.94f, 0.98f, 1, 1};  // VERIFYING, the scope's total, the big percentage

// The index of a release's row ids ("mrow", "mdl", "xrow", "xcancel"): the
// standard string hash of its file name taken as an int, as the tools that
// press these widgets work it out.
inline int file_hash(const std::string& file) { return int(std::hash<std::string>{}(file)); }

// Hairlines on the pixel grid. A line thinner than a pixel that lies on a
// pixel edge covers no pixel centre, and a renderer that does not antialias
// (Direct2D under Wine) then draws nothing at all: thin straight lines and
// outlines go through the centre of the nearest pixel instead.
inline float snap(const App& a, float v) {
  float k = a.surface.dpi / 96;
  return (std::floor(v * k) + 0.5f) / k;
}
inline D2D_RECT_F snap(const App& a, const D2D_RECT_F& r) {
  return {snap(a, r.left), snap(a, r.top), snap(a, r.right), snap(a, r.bottom)};
}

// The background grid of the storage and transfers views: lines every 48
// DIPs from the content's corner.
inline void grid(App& a, const D2D_RECT_F& r) {
  D3DCOLORVALUE c = alpha(pal.dim, 0.12f);
  for (float x = r.left; x < r.right; x += 48) a.surface.line(snap(a, x), r.top, snap(a, x), r.bottom, c, 0.8f);
  for (float y = r.top; y < r.bottom; y += 48) a.surface.line(r.left, snap(a, y), r.right, snap(a, y), c, 0.8f);
}

// A widget looks the same every frame while it is not hovered, not held and
// its eased value sits at `target`: it can be painted into a cached layer and
// only its input handled per frame.
inline bool settled(App& a, u32 wid, const D2D_RECT_F& r, float target = 0) {
  auto it = a.anims.find(wid);
  float v = it == a.anims.end() ? 0 : it->second;
  return !a.hovering(r) && a.active != wid && v == target;
}

// Paints with input off (nothing drawn inside reacts to the pointer): what a
// cached layer holds is only a picture.
inline void paint_still(App& a, const std::function<void()>& paint) {
  int saved = a.layer;
  a.layer = -1;
  paint();
  a.layer = saved;
}

// A cached layer drawn from inside clipped drawing: a layer is painted
// between two passes of the frame, which no clip may span, so the clips are
// lifted around it and laid again inside its paint and afterwards. The layer
// covers only the visible part of r (a changed layer clears its rectangle).
inline void clipped_layer(App& a, u32 id, const D2D_RECT_F& r, u64 key, const std::function<void()>& paint) {
  std::vector<D2D_RECT_F> clips = a.clips;
  D2D_RECT_F seen{r.left - 2, r.top - 2, r.right + 2, r.bottom + 2};  // outlines stroked on the edge
  for (const D2D_RECT_F& c : clips) {
    seen = {std::max(seen.left, c.left), std::max(seen.top, c.top), std::min(seen.right, c.right),
            std::min(seen.bottom, c.bottom)};
    key = hash_val(c, key);
  }
  if (!(seen.right > seen.left && seen.bottom > seen.top)) return;
  for (size_t i = 0; i < clips.size(); ++i) a.pop_clip();
  a.layers.draw(a.surface, id, seen, key, [&] {
    for (const D2D_RECT_F& c : clips) a.push_clip(c);
    paint_still(a, paint);
    for (size_t i = 0; i < clips.size(); ++i) a.pop_clip();
  }, 0);
  for (const D2D_RECT_F& c : clips) a.push_clip(c);
}

}  // namespace media_ui

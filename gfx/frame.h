// The frame as a display list. On a surface without the phosphor glow every
// Canvas primitive is recorded as a command instead of being drawn: what it
// draws (parameters, transform, clip) hashed into a key, and the device
// pixels it may touch as a box. The surface keeps the frame's pixels from one
// frame to the next; the commands that appeared, disappeared, changed or moved
// since the last frame say which rectangles to draw again, and only the
// commands that touch a rectangle are replayed there, clipped to it. Under a
// software renderer every pixel a Direct2D call fills costs CPU, so a frame
// that changes a few small rectangles costs a few small fills instead of
// several passes over the whole window, and a frame that changes nothing
// costs nothing. The views stay plain immediate-mode code that draws
// everything every frame.
//
// The parts here are plain (no device): the tests check them directly.
#pragma once

#include <windows.h>

#include <d2d1_1.h>
#include <wrl/client.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/common.h"

enum class Op : u8 {
  Line, Poly, FillPoly, Ellipse, Disc, Rect, Fill, RRect, FillRRect, Geometry, Text, Bitmap, Picture, Clip, Unclip,
};

struct Cmd {
  Op op = Op::Line;
  bool closed = false;  // Poly
  D2D1_INTERPOLATION_MODE interp = D2D1_INTERPOLATION_MODE_NEAREST_NEIGHBOR;  // Bitmap
  D2D1_COLOR_F colour{};
  float width = 0;    // stroke width in local units; 0 for fills
  float radius = 0;   // RRect, FillRRect
  float opacity = 1;  // Bitmap, Picture
  D2D1_MATRIX_3X2_F xf{1, 0, 0, 1, 0, 0};
  // Line: x1, y1, x2, y2. Ellipse, Disc: cx, cy, rx, ry. Text: the origin in
  // left, top. Rectangles, Bitmap and Picture: the destination. Clip: the rectangle.
  D2D_RECT_F r{};
  D2D_RECT_F src{};  // Bitmap, Picture: the source; right <= left for the whole bitmap
  u32 at = 0, n = 0;  // Poly, FillPoly: the points, in the list's pool
  // Geometry: ID2D1Geometry; Text: IDWriteTextLayout; Bitmap, Picture:
  // ID2D1Bitmap (Picture: may be null, a filled rectangle). Poly and FillPoly
  // keep the geometry made for them here once drawn.
  mutable Microsoft::WRL::ComPtr<IUnknown> obj;
  u64 content = 0;  // Bitmap: what it holds (a cached layer's key); 0: the bitmap object stands for it
  u64 key = 0;      // equal keys draw the same pixels
  RECT box{};       // device pixels the command may touch, within its clip
  // Frames in a row this command has been drawn unchanged, and frames since
  // it last lay over something outside the still picture (changed_boxes
  // carries both over); whether it is drawn into the still picture
  // (split_still), and whether it is held out of it for good.
  mutable u32 age = 0, calm = 0;
  mutable bool still = false, held_out = false;
};

struct DisplayList {
  std::vector<Cmd> cmds;
  std::vector<D2D_POINT_2F> points;
  void clear() {
    cmds.clear();
    points.clear();
  }
};

// ---- plain parts ------------------------------------------------------------

// A box that holds no pixel.
inline bool box_empty(const RECT& b) { return b.right <= b.left || b.bottom <= b.top; }
inline bool overlaps(const RECT& a, const RECT& b) {
  return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}
RECT box_and(const RECT& a, const RECT& b);
inline i64 box_area(const RECT& r) { return box_empty(r) ? 0 : i64(r.right - r.left) * (r.bottom - r.top); }
// The pixels of rectangles that do not overlap.
inline u64 pixels_of(const std::vector<RECT>& rects) {
  u64 n = 0;
  for (const RECT& r : rects) n += u64(box_area(r));
  return n;
}
// The smallest box that holds both.
RECT box_or(const RECT& a, const RECT& b);
// Every pixel a clip can hold when there is none.
constexpr RECT kNoClip{-(1 << 28), -(1 << 28), 1 << 28, 1 << 28};

// Device pixels that a drawing with local bounds `local` (DIPs before the
// transform), spreading `margin` local units beyond them (strokes), may touch
// through transform xf at `scale` device pixels per DIP, with two pixels
// more for antialiasing, within clip. Bounds that are not finite, or
// inverted, stand for anything: the whole clip.
RECT device_box(const D2D_RECT_F& local, float margin, const D2D1_MATRIX_3X2_F& xf, float scale, const RECT& clip);
// How far beyond its path a stroke of width w may reach: half the width at a
// cap, up to 1.46 widths at the sharpest join the primitives keep (they cut
// lines that turn back by more than 140 degrees), rounded up.
inline float stroke_margin(float w) { return 2 * std::max(w, 0.0f); }

// The box of n points, grown by `into` (inverted, {1, 1, 0, 0}, when empty).
// Paths keep the bounds of their points: a renderer's own answer for a path
// of open figures can be an empty box.
D2D_RECT_F points_bounds(const D2D_POINT_2F* p, size_t n, D2D_RECT_F into = D2D_RECT_F{INFINITY, INFINITY, -INFINITY, -INFINITY});

// The key of a recorded command (its points from the list's pool).
u64 cmd_key(const Cmd& c, const D2D_POINT_2F* points);

// The boxes to draw again when the list `before` is followed by `now`: those
// of commands that appeared or disappeared (keys without a partner), and of
// commands that kept their key but changed their order relative to the
// others. Any pixel outside them is touched by the same commands, in the same
// order, in both lists. Commands of `now` that kept their key take over what
// their partners made for drawing (a poly's geometry), their age plus one
// and whether they were held out of the still picture.
std::vector<RECT> changed_boxes(const DisplayList& before, const DisplayList& now);

// The still picture: the background and, in order, the commands that have
// not changed for `settle` frames, drawn once into a bitmap of their own, so
// that a rectangle drawn again starts from a copy of it and replays only the
// other commands. That holds as long as no still command comes after another
// one over the same pixels (tiles of `tile` pixels here): a command joins it
// only `settle` frames after a command under it last changed, and one that
// covers more than a quarter of the frame (an overlay over everything)
// never, while its key lives, once it has lain over one outside it: each
// time it joined or left, the whole still picture would be drawn again.
// Marks each drawing command's `still`.
void split_still(const DisplayList& l, u32 settle, u32 width, u32 height, int tile);
// The list's still commands (with every clip), as drawn into the still picture.
DisplayList still_part(const DisplayList& l);
// The same pixels as rects, in rectangles that do not overlap: where two do,
// the smaller one is cut into the bands around the larger (joining them
// instead could draw a large box for two small ones). Every pixel is then
// drawn in one rectangle only, so nothing translucent is blended twice.
std::vector<RECT> disjoint_rects(std::vector<RECT> rects);

// The rectangles to draw again for a set of changed boxes in a frame of
// width x height pixels: the boxes rounded out to tiles of `tile` pixels,
// tiles merged into rectangles (runs along a row, runs of equal extent down
// the rows), at most `most` of them (the nearest ones merged beyond that).
// Within the frame; empty when nothing changed.
std::vector<RECT> dirty_rects(const std::vector<RECT>& boxes, u32 width, u32 height, int tile, size_t most);

// Drawing a rectangle again costs a call for every command of `l` that
// touches it (and one to clear it) and its pixels: call_pixels pixels cost
// about what one call does. Rectangles are merged, two at a time, while
// their union costs less than both.
std::vector<RECT> merge_rects(std::vector<RECT> rects, const DisplayList& l, double call_pixels);

// Drawing that costs fewer calls: bitmaps of static parts re-used while
// their content stays the same, strings drawn as one merged path each, and a
// CRT overlay baked once per size. Under some Direct2D implementations every
// call costs about the same whatever it draws, so the frame time follows the
// number of calls; these keep it low without changing the picture.
#pragma once

#include <cmath>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "gfx/gfx.h"

// Direct2D draw calls made through the canvas and the helpers here since the
// counter was last reset (benchmarks read it per frame).
extern u64 g_draw_calls;

struct Layer {
  ComPtr<ID2D1Bitmap1> bitmap;
  u64 key = 0;
  u32 width = 0, height = 0;
  float dpi = 0;
  int builds = 0;  // times it was painted
  D2D_RECT_F rect{};  // where it was last drawn
  std::vector<DrawnText> texts;  // painted into it, relative to its corner (only while a test probe is on)
};

struct LayerCache {
  std::unordered_map<u32, Layer> layers;

  // Draws layer `id` over r (DIPs, surface coordinates). The layer is painted
  // first, by `paint` drawing on the surface in surface coordinates, when it
  // is new or its key, size or DPI changed. Needs an open frame (begin or
  // list_begin).
  // pad: DIPs to spare on each side for what frames draw just outside their
  // rectangle (corner brackets).
  void draw(Surface& s, u32 id, const D2D_RECT_F& r, u64 key, const std::function<void()>& paint, float pad = 4);
  void clear() { layers.clear(); }
};

// 64-bit FNV-1a, for layer keys.
u64 hash64(const void* data, size_t n, u64 h = 1469598103934665603ull);
inline u64 hash64(std::string_view s, u64 h = 1469598103934665603ull) { return hash64(s.data(), s.size(), h); }
// A C string would otherwise take the (pointer, length) form, with the
// running hash as its length.
inline u64 hash64(const char* s, u64 h = 1469598103934665603ull) { return hash64(std::string_view(s), h); }
template <class T>
u64 hash_val(const T& v, u64 h) { return hash64(&v, sizeof v, h); }

// One line of ASCII stroke text drawn with a single call: its strokes are
// merged into one cached path. Text with characters beyond ASCII, and a canvas
// that draws lower case apart, go through Canvas::text. Returns the width.
float text_fast(Canvas& c, std::string_view text, float x, float y, float size, D3DCOLORVALUE colour,
                Align align = AlignLeft, float tracking = 0, float weight = 0);

// Strokes of one colour and width gathered into one path, drawn with one
// call (in the order their groups were first used). A path with the same
// figures as one drawn lately is that same path object: a listed frame then
// sees the command unchanged and does not draw its pixels again.
struct Strokes {
  struct Group {
    D3DCOLORVALUE colour;
    float width;
    std::vector<D2D_POINT_2F> points;
    std::vector<std::pair<u32, bool>> figures;  // point count, closed
    // Of its points: a listed frame redraws only where the path may touch
    // (a renderer may give open figures no bounds of their own).
    D2D_RECT_F bounds{INFINITY, INFINITY, -INFINITY, -INFINITY};
  };
  std::vector<Group> groups;

  Group& group(D3DCOLORVALUE c, float width);
  void poly(const D2D_POINT_2F* p, size_t n, D3DCOLORVALUE c, float width, bool closed);
  void line(float x1, float y1, float x2, float y2, D3DCOLORVALUE c, float width);
  // A circle as a closed polygon of 24 sides.
  void circle(float cx, float cy, float r, D3DCOLORVALUE c, float width);
  // An arc as Canvas::arc draws it (short segments).
  void arc(float cx, float cy, float r, float a0, float a1, D3DCOLORVALUE c, float width);
  // Draws every group and empties the batch.
  void draw(Canvas& canvas);
};

// Scanlines and vignette of the CRT layer, baked into one bitmap per size,
// DPI and scanline setting and drawn in one pass over the frame. The
// scanlines follow the surface's `scanlines`, as the surface's own layer does.
struct CrtOverlay {
  ComPtr<ID2D1Bitmap1> bitmap;
  u32 width = 0, height = 0;
  float dpi = 0;
  bool scanlines = false;
  void draw(Surface& s);
};

// Drawing that costs fewer calls: bitmaps of static parts re-used while
// their content stays the same, strings drawn as one merged path each, and a
// CRT overlay baked once per size. Under some Direct2D implementations every
// call costs about the same whatever it draws, so the frame time follows the
// number of calls; these keep it low without changing the picture.
#pragma once

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
  // is new or its key, size or DPI changed. Needs an open frame (begin).
  // pad: DIPs to spare on each side for what frames draw just outside their
  // rectangle (corner brackets).
  void draw(Surface& s, u32 id, const D2D_RECT_F& r, u64 key, const std::function<void()>& paint, float pad = 4);
  void clear() {
    layers.clear();
    under.Reset();
  }

  // The underlay: the background and every layer of the last frame, composed
  // into one opaque bitmap, so a frame whose layers did not change starts
  // with one pass instead of a clear and a pass per layer. begin_frame draws
  // it (true) when it was made for the same layout (view, size); a layer that
  // changed since is cleared to the background and drawn again over it.
  // end_frame composes it again when this frame's layers differ.
  bool begin_frame(Surface& s, u64 layout);
  void end_frame(Surface& s);
  // A frame drawn without the underlay (the surface's own composition).
  void no_underlay() {
    under_ok = false;
    frame_set.clear();
  }
  ComPtr<ID2D1Bitmap1> under;
  u32 under_w = 0, under_h = 0;
  float under_dpi = 0;
  u64 under_layout = 0, frame_layout = 0;
  bool under_ok = false;
  int under_builds = 0;
  std::vector<std::pair<u32, u64>> under_set, frame_set;
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

// Scanlines and vignette of the CRT layer, baked into one bitmap per size
// and DPI and drawn in one pass over the frame.
struct CrtOverlay {
  ComPtr<ID2D1Bitmap1> bitmap;
  u32 width = 0, height = 0;
  float dpi = 0;
  void draw(Surface& s);
};

// Where the phosphor glow is missing, the frame's drawing can go straight
// into the window's target over the background colour: the same picture as
// drawing into the phosphor bitmap and composing that over the background,
// without the two full-window passes of the composition. These replace
// Surface::begin and Surface::end for such a frame (queued pictures are drawn
// over the content); false from direct_begin when the surface has a glow or
// no target, and nothing was started.
bool direct_begin(Surface& s, bool clear = true);
void direct_end(Surface& s);

// Graphics layer: the process-wide device (Gfx / g_gfx), the immediate-mode
// Canvas with its primitives and stroke text, window and off-screen surfaces
// with the phosphor glow, and image files (PNG, binary PPM).
//
// Everything here runs on the user-interface thread. Failures are reported as
// false or a null reference; nothing is logged.
#pragma once

#include <windows.h>

#include <d2d1_1.h>
#include <d3d11.h>
#include <dwrite.h>
#include <dxgi1_2.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/common.h"
#include "gfx/blit.h"
#include "gfx/frame.h"

using Microsoft::WRL::ComPtr;

// ---- device -------------------------------------------------------------

struct Gfx {
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  ComPtr<IDXGIFactory2> dxgi_factory;
  ComPtr<ID2D1Factory1> d2d_factory;
  ComPtr<ID2D1Device> d2d_device;
  ComPtr<IDWriteFactory> dwrite;
  ComPtr<IWICImagingFactory> wic;  // may stay null: image functions then fail
  ComPtr<ID2D1StrokeStyle1> stroke;  // round caps and joins, used by every line
  std::vector<ComPtr<ID2D1PathGeometry>> glyphs;  // 95, index = code - 32
  std::vector<D2D_RECT_F> glyph_bounds;           // of each glyph's strokes, font units
  std::vector<std::pair<int32_t, int32_t>> widths;  // {left, right} in font units

  // Creates (or recreates) every device-level object; false when a mandatory
  // one is missing. COM must be initialised on the calling thread.
  bool init();
};
extern Gfx g_gfx;

// ---- canvas -------------------------------------------------------------

// Text alignment for Canvas::text: x is the left edge, the centre or the
// right edge. Any other value behaves as right.
using Align = int;
enum : int { AlignLeft = 0, AlignCentre = 1, AlignRight = 2 };

// The code point starting at pos, advancing pos past it. Never fails on
// malformed input (truncated sequences give partial values).
u32 utf8_next(std::string_view s, size_t& pos);

// Every primitive either draws at once on the device context (inside a pass
// opened by its owner: Surface::begin, Offscreen::begin, a layer's paint) or,
// while `list` is set, is recorded into that display list (gfx/frame.h) for
// the surface to draw later. The transform and the clip rectangles are the
// canvas's own state in both cases.
struct Canvas {
  struct DwRun {
    ComPtr<IDWriteTextLayout> layout;
    float width = 0;     // DIPs, including trailing white space
    float baseline = 0;  // DIPs from the layout's top to its first baseline
    D2D_RECT_F ink{};    // DIPs from the layout's origin that its glyphs may cover
  };
  struct ClipEntry {
    D2D_RECT_F r{};
    D2D1_MATRIX_3X2_F xf{};
    RECT box{};           // device pixels inside it and every clip below
    bool pushed = false;  // pushed on the device context
  };

  ComPtr<ID2D1DeviceContext> dc;
  float dpi = 96;
  bool mixed_case = false;  // false: a..z drawn with the capital glyphs
  ComPtr<ID2D1SolidColorBrush> brush;
  std::unordered_map<std::string, DwRun> runs;  // DirectWrite layouts by text|size
  D2D1_MATRIX_3X2_F xf{1, 0, 0, 1, 0, 0};      // transform of what is drawn next (DIPs)
  DisplayList* list = nullptr;                 // set: primitives are recorded there
  bool drawing = false;                        // a Direct2D pass is open on dc
  std::vector<ClipEntry> clip_stack;

  virtual ~Canvas() = default;

  bool init_dc();
  void set_transform(const D2D1_MATRIX_3X2_F& m) { xf = m; }
  // Axis-aligned clip (aliased) in the current transform, until pop_clip.
  void push_clip(const D2D_RECT_F& r);
  void pop_clip();
  // A bitmap over dest (DIPs): content names what it holds (0: the bitmap
  // object itself); src null for the whole bitmap.
  void bitmap(ID2D1Bitmap* b, const D2D_RECT_F& dest, u64 content, float opacity = 1,
              D2D1_INTERPOLATION_MODE mode = D2D1_INTERPOLATION_MODE_NEAREST_NEIGHBOR, const D2D_RECT_F* src = nullptr);
  // Runs paint drawing at once into target (cleared to transparent first)
  // with transform m, in a pass of its own; a pass open on the canvas, its
  // clips and a list being recorded are set aside meanwhile.
  void paint_into(ID2D1Bitmap1* target, const D2D1_MATRIX_3X2_F& m, const std::function<void()>& paint);
  // Draws one command on dc (points of Poly and FillPoly at pts).
  void exec(const Cmd& c, const D2D_POINT_2F* pts);
  // Records c (bounds in local units, margin beyond them) or draws it at once.
  void put(Cmd& c, const D2D_RECT_F& bounds, float margin, const D2D_POINT_2F* pts = nullptr);

  void line(float x1, float y1, float x2, float y2, D3DCOLORVALUE colour, float width);
  void poly(const D2D_POINT_2F* points, size_t n, D3DCOLORVALUE colour, float width, bool closed);
  void fill_poly(const std::vector<D2D_POINT_2F>& points, D3DCOLORVALUE colour);
  void circle(float cx, float cy, float r, D3DCOLORVALUE colour, float width);
  void disc(float cx, float cy, float r, D3DCOLORVALUE colour);
  void arc(float cx, float cy, float r, float a0, float a1, D3DCOLORVALUE colour, float width);
  void rect(const D2D_RECT_F& r, D3DCOLORVALUE colour, float width);
  void fill(const D2D_RECT_F& r, D3DCOLORVALUE colour);
  void rrect(const D2D_RECT_F& r, float radius, D3DCOLORVALUE colour, float width);
  void fill_rrect(const D2D_RECT_F& r, float radius, D3DCOLORVALUE colour);
  void brackets(const D2D_RECT_F& r, float length, D3DCOLORVALUE colour, float width);
  void dashed(float x1, float y1, float x2, float y2, D3DCOLORVALUE colour, float width, float dash,
              float gap, float phase);
  // bounds: the geometry's own bounds when the caller knows them (else asked of it).
  void geometry(ID2D1Geometry* g, D3DCOLORVALUE colour, float width, const D2D_RECT_F* bounds = nullptr);

  // Stroke text. size is the cap height in DIPs, tracking extra spacing per
  // character as a fraction of size, weight the stroke width in DIPs (0 or
  // less: derived from the size). y is the cap line.
  float glyph_run(std::string_view text, float x, float y, float size, D3DCOLORVALUE* colour, float tracking,
                  float weight);
  DwRun* dw_run(const std::string& text, float size);
  float text(std::string_view text, float x, float y, float size, D3DCOLORVALUE colour, Align align = AlignLeft,
             float tracking = 0, float weight = 0);
  float text_width(std::string_view text, float size, float tracking = 0);
  std::string fit(std::string_view text, float max_width, float size, float tracking = 0);
};

// Pure parts of the primitives, kept apart so they can be checked without a device.
// Stroke width of text drawn with weight 0 or less.
float text_weight(float size);
// Spans [a, e] along a segment of length len that Canvas::dashed draws.
std::vector<std::pair<float, float>> dash_spans(float len, float dash, float gap, float phase);
// The figures a stroked polyline is drawn as: repeated points and points that
// go straight on are left out, and the line is cut where it turns back by
// more than 140 degrees. Stroked with round caps this looks the same as the
// whole line; it spares renderers whose joins misbehave there (mitres without
// a limit, a straight join drawn as a long stub). Empty when nothing is left
// of the line but a point.
std::vector<std::vector<D2D_POINT_2F>> stroke_figures(const D2D_POINT_2F* p, size_t n);
// The figures Canvas::poly strokes. A closed polygon stays one closed figure
// (`closed` true) unless a vertex turns back sharply: it is then opened at
// that vertex. Degenerate input (all points equal) comes back as given.
struct PolyFigures {
  std::vector<std::vector<D2D_POINT_2F>> lines;
  bool closed = false;
};
PolyFigures poly_figures(const D2D_POINT_2F* p, size_t n, bool closed);
// The polyline Canvas::arc strokes (empty for a sweep below 0.0001; a full
// sweep is drawn as a circle instead and also gives an empty list).
std::vector<D2D_POINT_2F> arc_points(float cx, float cy, float r, float a0, float a1);

// Texts drawn this frame, for tests that look at what a view shows: while a
// list is installed here every stroke-text call appends to it (x is the left
// edge after alignment). Off (null) outside tests.
struct DrawnText {
  std::string text;
  float x = 0, y = 0, size = 0;
  D3DCOLORVALUE colour{};
};
extern std::vector<DrawnText>* g_text_probe;

// ---- phosphor glow --------------------------------------------------------

// The frame's drawing bitmap and the glow graph over it:
// B + a * blur(B, 2.2) + b * blur(B, 10). Where the blur or composite effects
// cannot be created (some Direct2D implementations lack them) the output is
// the bitmap itself: everything still draws, without glow.
struct Phosphor {
  ComPtr<ID2D1Bitmap1> bitmap;
  ComPtr<ID2D1Effect> blur_a, blur_b, comp_a, comp_b;
  bool tried = false;  // effect creation attempted (once per Phosphor)
  bool glow = false;   // the effect graph exists

  bool create(ID2D1DeviceContext* dc, u32 width, u32 height, float dpi);
  void strength(float a, float b);
  ID2D1Image* output();  // non-owning; null before create
  void detach();         // drops the bitmap from the graph (resize)
};

// ---- window and off-screen surfaces ---------------------------------------

struct Surface : Canvas {
  struct Picture {
    D2D_RECT_F dest{};
    ComPtr<ID2D1Bitmap> bitmap;  // null: a filled rectangle in colour
    D2D_RECT_F src{};            // bitmap DIPs; right <= left means the whole bitmap
    float opacity = 1;
    D2D1_COLOR_F colour{};
  };

  // What the last listed frame cost (list_end).
  struct FrameStats {
    u32 commands = 0;     // recorded
    u32 rects = 0;        // drawn again
    u64 pixels = 0;       // in those rectangles
    u64 still_pixels = 0; // drawn again in the still picture
    u64 calls = 0;        // draw calls made for them (Direct2D's and the blitter's)
    u32 blits = 0;        // of those, bitmaps laid by the blitter
    bool presented = false;
    // Seconds of this thread's time by phase: recording (list_begin to
    // list_end), the difference of the two lists, the rectangles worked out
    // and merged, their drawing, and the copy and present.
    double record = 0, diff = 0, merge = 0, replay = 0, present = 0;
  };

  HWND hwnd = nullptr;
  u32 width = 0, height = 0;  // physical pixels, at least 1 once created
  D2D1_COLOR_F bg{0.006f, 0.012f, 0.022f, 1.0f};
  bool crt = true;
  bool scanlines = true;
  std::vector<Picture> pictures;
  bool pictures_under = false;
  ComPtr<IDXGISwapChain1> swap;
  ComPtr<ID2D1Bitmap1> target;
  ComPtr<ID2D1Bitmap1> readback;
  Phosphor phosphor;
  ComPtr<ID2D1BitmapBrush1> scan_brush;
  ComPtr<ID2D1Effect> pre_blur, pre_scale;
  bool pre_tried = false;  // prefilter effect creation attempted (once per device context)

  // Listed frames (surfaces without the glow, gfx/frame.h). The frame's
  // pixels persist in `composed` (a window's own texture, copied to the swap
  // chain's buffer to be presented; an off-screen surface's target itself).
  ComPtr<ID3D11Texture2D> back;           // the swap chain's buffer
  ComPtr<ID3D11Texture2D> composed_tex;   // a window's frame texture
  ComPtr<ID2D1Bitmap1> composed;
  DisplayList shown, frame_list;  // the list on screen, the one being recorded
  // The still picture (gfx/frame.h, split_still): the background and the
  // commands that have not changed for a while, from which each rectangle
  // drawn again starts; still_shown is what it holds.
  ComPtr<ID2D1Bitmap1> still;
  DisplayList still_shown;
  bool still_full = true;  // it is drawn whole next
  // Frames a command must stay unchanged before it joins the still picture:
  // what changes a few times a second never does (each change would draw the
  // still picture again as well as the frame).
  u32 settle = 30;
  bool full = true;     // the next listed frame draws everything (new targets, other pixels)
  bool repaint = false; // the next listed frame is presented even when nothing changed
  FrameStats stats;
  // Bitmaps laid by the device where it can (false: everything through
  // Direct2D, as tests compare).
  bool blits = true;
  Blitter blitter;
  // Tests: the next so many draw_rects fail at once, drawing nothing, as a
  // pass the device gave up on (no device here can be made to fail one).
  u32 fail_draws = 0;
  std::vector<std::pair<ComPtr<ID2D1Bitmap>, ComPtr<ID3D11ShaderResourceView>>> sources;
  double listed_at = 0;  // now_s() at list_begin
  u64 presents = 0;     // frames presented (off-screen: drawn) since creation

  static bool force_offscreen;  // every surface renders off-screen (tool modes)
  static float force_dpi;       // above 0: replaces the window's DPI

  bool create(HWND hwnd);
  void resize();
  void begin();
  void end();
  bool read_bgra(std::vector<u8>& out);
  // A listed frame: list_begin starts recording (false, and nothing started,
  // for a surface with the glow or without a device context: begin and end
  // compose those); list_end draws what changed and presents.
  bool list_begin();
  void list_end();
  // The frame on show drawn whole from its list into a bitmap of its own and
  // read back as read_bgra reads (off-screen surfaces): what a listed frame
  // must equal.
  bool read_whole_bgra(std::vector<u8>& out);

  ComPtr<ID2D1Bitmap1> load_png(const std::wstring& path);
  ComPtr<ID2D1Bitmap1> load_ppm(const std::wstring& path);
  bool save_png(const std::wstring& path);

  bool make_targets();
  void draw_pictures();
  void draw_picture(const Picture& p);
  bool prefilter(const Picture& p, D2D_RECT_F source);
  bool make_composed();
  // Draws the commands [from, to) of l that touch rect, clipped to it, in
  // the pass open on dc: from the first, over the background; moving_only:
  // only those outside the still picture, over what the rectangle holds.
  void replay(const DisplayList& l, const RECT& rect, bool moving_only, size_t from, size_t to);
  // Draws the commands of l over each of rects, made disjoint first (in
  // place: each pixel is drawn once), onto target (no pass open): as replay
  // does from the background, or with `base`, over a copy of it and only the
  // commands outside the still picture. Bitmaps laid pixel for pixel outside
  // any clip go through the blitter (gfx/blit.h) between passes of
  // Direct2D: a bitmap over a large area (a cached layer, the CRT overlay)
  // then costs a copy's share, not a pass of Direct2D.
  HRESULT draw_rects(const DisplayList& l, std::vector<RECT>& rects, ID2D1Bitmap1* target, ID2D1Bitmap1* base);
  // Where a bitmap command lands when laid pixel for pixel: the target pixel
  // of the source's corner and the pixels it covers; false when it is
  // scaled, faded, transformed or off the pixel grid.
  bool blit_place(const Cmd& c, POINT& at, RECT& dest) const;
  // The view the blitter reads a bitmap through, made once while the
  // bitmap is drawn by a list on show.
  ComPtr<ID3D11ShaderResourceView> source_view(ID2D1Bitmap* b);
  void prune_sources();
  bool make_still();
  bool read_bitmap(ID2D1Bitmap1* from, std::vector<u8>& out);
};

// A window-less canvas at 96 DPI (one DIP is one pixel) with the phosphor
// glow and no CRT layer, for icons and exported pictures.
struct Offscreen : Canvas {
  u32 width = 0, height = 0;
  Phosphor phosphor;
  ComPtr<ID2D1Bitmap1> composed;
  ComPtr<ID2D1Bitmap1> readback;

  bool create(u32 width, u32 height);
  void begin();
  // Ends the drawing started by begin; premultiplied BGRA, rows top-down.
  std::vector<u8> pixels(bool opaque, D3DCOLORVALUE bg);
  bool save_png(const std::wstring& path, bool opaque, D3DCOLORVALUE bg);
};

// ---- image files ----------------------------------------------------------

// Writes premultiplied BGRA bytes (stride width*4) as a straight-alpha PNG.
bool save_png_bgra(const std::wstring& path, const u8* bgra, u32 width, u32 height);
// Premultiplied to straight alpha in place (alpha 0 and 255 left as they are).
void unpremultiply_bgra(u8* bgra, size_t pixels);

// Largest side a PPM may declare (the largest texture Direct2D is sure to take).
constexpr u32 kMaxImageSide = 16384;

// System symbology: architecture frames, operating-system glyphs, the
// application mark, and the export of all of them as SVG, PNG and ICO files.
//
// Everything is line art drawn through IconSink, so one drawing code serves
// the live views (CanvasSink) and the exported files (SvgSink). Shapes are
// defined in icon units: origin at the icon's centre, y downward, 1 unit = the
// scale handed to the drawing function.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "gfx/gfx.h"
#include "machines/arch.h"

// ---- sinks ----------------------------------------------------------------

class IconSink {
 public:
  virtual ~IconSink() = default;
  virtual void poly(const std::vector<D2D_POINT_2F>& points, bool closed, D3DCOLORVALUE colour, float width) = 0;
  virtual void circle(float cx, float cy, float r, D3DCOLORVALUE colour, float width) = 0;
  virtual void dot(float cx, float cy, float r, D3DCOLORVALUE colour) = 0;
  // One line of stroke text; capitals span from y (top) to y + size (baseline).
  virtual void text(std::string_view text, float x, float y, float size, D3DCOLORVALUE colour, Align align) = 0;
};

// Draws on a canvas that is inside a drawing pass and outlives the sink.
class CanvasSink : public IconSink {
 public:
  explicit CanvasSink(Canvas* canvas) : canvas(canvas) {}
  void poly(const std::vector<D2D_POINT_2F>& points, bool closed, D3DCOLORVALUE colour, float width) override;
  void circle(float cx, float cy, float r, D3DCOLORVALUE colour, float width) override;
  void dot(float cx, float cy, float r, D3DCOLORVALUE colour) override;
  void text(std::string_view text, float x, float y, float size, D3DCOLORVALUE colour, Align align) override;
  Canvas* canvas;
};

// Collects SVG elements, one per line, in call order; no document wrapper.
class SvgSink : public IconSink {
 public:
  void poly(const std::vector<D2D_POINT_2F>& points, bool closed, D3DCOLORVALUE colour, float width) override;
  void circle(float cx, float cy, float r, D3DCOLORVALUE colour, float width) override;
  void dot(float cx, float cy, float r, D3DCOLORVALUE colour) override;
  void text(std::string_view text, float x, float y, float size, D3DCOLORVALUE colour, Align align) override;
  std::string out;
};

// "#rrggbb" of a colour (alpha ignored), each channel clamped to 0..1.
std::string svg_color(D3DCOLORVALUE colour);
// Lays out one line of Hershey text and hands each stroke to emit as a
// polyline in target coordinates.
void text_strokes(std::string_view text, float x, float y, float size, float tracking, Align align,
                  const std::function<void(const std::vector<D2D_POINT_2F>&)>& emit);
// Writes a whole file, replacing any existing one. A file that could not be
// written completely is removed, so no truncated file is left behind.
[[nodiscard]] bool write_file(const std::wstring& path, const std::string& bytes);
// Lower-case file-name form of a label: "WINDOWS 9X/XP" -> "windows-9x-xp".
std::string slug(const char* s);

// ---- architectures and systems --------------------------------------------

D3DCOLORVALUE arch_color(ArchKind kind);
const char* arch_label(ArchKind kind);
const char* arch_shape_name(ArchKind kind);
const char* os_label(OsKind os);

// Icon units to target coordinates: unit origin lands on (x, y), s per unit.
struct Xf {
  float x, y, s;
  std::vector<D2D_POINT_2F> operator()(const std::vector<D2D_POINT_2F>& points) const;
};

// ---- shape helpers and the two halves of an icon ----------------------------
// Internal to the symbology; declared here so their geometry can be tested.

std::vector<D2D_POINT_2F> ngon(int n, float r, float rot);
// Appends a flattened cubic curve; leaves out its first point when out already
// ends there (out not empty), so chains of curves have no repeated joints.
void bez(std::vector<D2D_POINT_2F>& out, D2D_POINT_2F p0, D2D_POINT_2F p1, D2D_POINT_2F p2, D2D_POINT_2F p3, int n);
std::vector<D2D_POINT_2F> rrect_path(float x0, float y0, float x1, float y1, float r);
std::vector<D2D_POINT_2F> mirror_x(const std::vector<D2D_POINT_2F>& points);
// Returns the radius (target units) the glyph inside the frame may use.
float draw_frame(IconSink& sink, ArchKind kind, float cx, float cy, float s, D3DCOLORVALUE colour, float width,
                 bool compact);
void draw_glyph(IconSink& sink, OsKind os, float cx, float cy, float s, D3DCOLORVALUE colour, float width,
                bool compact);

// ---- composition ------------------------------------------------------------

struct IconStyle {
  float alpha = 1;     // multiplies the alpha of every colour
  bool label = false;  // architecture label below the icon
  bool frame = true;   // architecture frame around the glyph
};

// One system icon filling a box of `size` centred on (cx, cy).
void draw_icon(IconSink& sink, OsKind os, ArchKind arch, float cx, float cy, float size, const IconStyle& style);
// The program's radar mark in a circle of diameter `size`; sweep in radians.
void draw_app_mark(IconSink& sink, float cx, float cy, float size, float sweep);
// The mark on its dark tile: n x n premultiplied BGRA, rows top-down. Always
// n * n * 4 bytes (all zero when no off-screen target could be made).
std::vector<u8> render_app_icon(u32 n);

// ---- export ---------------------------------------------------------------

// Writes every icon, the icon sheets, vunk.ico, vunk-512.png and vunk.svg into
// folder. Keeps going past failures; false when any file could not be written.
bool export_icons(const std::wstring& folder);
// The bytes of a Windows icon file holding the given PNG images; sizes[i] is
// the side of pngs[i] (256 and above are written as 0).
std::string ico_file(const std::vector<u32>& sizes, const std::vector<std::string>& pngs);

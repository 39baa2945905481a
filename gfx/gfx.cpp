// Temporary: declarations compile and link while the implementation lands.
#include "gfx/gfx.h"

Gfx g_gfx;
bool Surface::force_offscreen = false;
float Surface::force_dpi = 0;

bool Gfx::init() { return false; }
u32 utf8_next(std::string_view s, size_t& pos) { return pos < s.size() ? u8(s[pos++]) : 0; }
bool Canvas::init_dc() { return false; }
void Canvas::line(float, float, float, float, D3DCOLORVALUE, float) {}
void Canvas::poly(const D2D_POINT_2F*, size_t, D3DCOLORVALUE, float, bool) {}
void Canvas::fill_poly(const std::vector<D2D_POINT_2F>&, D3DCOLORVALUE) {}
void Canvas::circle(float, float, float, D3DCOLORVALUE, float) {}
void Canvas::disc(float, float, float, D3DCOLORVALUE) {}
void Canvas::arc(float, float, float, float, float, D3DCOLORVALUE, float) {}
void Canvas::rect(const D2D_RECT_F&, D3DCOLORVALUE, float) {}
void Canvas::fill(const D2D_RECT_F&, D3DCOLORVALUE) {}
void Canvas::rrect(const D2D_RECT_F&, float, D3DCOLORVALUE, float) {}
void Canvas::fill_rrect(const D2D_RECT_F&, float, D3DCOLORVALUE) {}
void Canvas::brackets(const D2D_RECT_F&, float, D3DCOLORVALUE, float) {}
void Canvas::dashed(float, float, float, float, D3DCOLORVALUE, float, float, float, float) {}
void Canvas::geometry(ID2D1Geometry*, D3DCOLORVALUE, float) {}
float Canvas::glyph_run(std::string_view, float, float, float, D3DCOLORVALUE*, float, float) { return 0; }
Canvas::DwRun* Canvas::dw_run(const std::string&, float) { return nullptr; }
float Canvas::text(std::string_view, float, float, float, D3DCOLORVALUE, Align, float, float) { return 0; }
float Canvas::text_width(std::string_view, float, float) { return 0; }
std::string Canvas::fit(std::string_view t, float, float, float) { return std::string(t); }
float text_weight(float) { return 1; }
std::vector<std::pair<float, float>> dash_spans(float, float, float, float) { return {}; }
std::vector<D2D_POINT_2F> arc_points(float, float, float, float, float) { return {}; }
bool Phosphor::create(ID2D1DeviceContext*, u32, u32, float) { return false; }
void Phosphor::strength(float, float) {}
ID2D1Image* Phosphor::output() { return bitmap.Get(); }
void Phosphor::detach() {}
bool Surface::create(HWND) { return false; }
void Surface::resize() {}
void Surface::begin() {}
void Surface::end() {}
bool Surface::read_bgra(std::vector<u8>&) { return false; }
ComPtr<ID2D1Bitmap1> Surface::load_png(const std::wstring&) { return nullptr; }
ComPtr<ID2D1Bitmap1> Surface::load_ppm(const std::wstring&) { return nullptr; }
bool Surface::save_png(const std::wstring&) { return false; }
bool Surface::make_targets() { return false; }
void Surface::draw_pictures() {}
bool Surface::prefilter(const Picture&, D2D_RECT_F) { return false; }
bool Offscreen::create(u32, u32) { return false; }
void Offscreen::begin() {}
std::vector<u8> Offscreen::pixels(bool, D3DCOLORVALUE) { return std::vector<u8>(size_t(width) * height * 4); }
bool Offscreen::save_png(const std::wstring&, bool, D3DCOLORVALUE) { return false; }
bool save_png_bgra(const std::wstring&, const u8*, u32, u32) { return false; }
void unpremultiply_bgra(u8*, size_t) {}

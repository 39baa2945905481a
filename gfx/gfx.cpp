// The graphics device (g_gfx) and the Canvas primitives.
#include "gfx/gfx.h"
#include "gfx/layer.h"

#include <cmath>

#include "gfx/hershey.h"

Gfx g_gfx;

// ---- device -------------------------------------------------------------

// One path geometry per glyph: every stroke an open, hollow figure, in font
// units (scaled when drawn).
static ComPtr<ID2D1PathGeometry> make_glyph(ID2D1Factory1* factory, const HersheyGlyph& rec, D2D_RECT_F& bounds) {
  bounds = D2D_RECT_F{INFINITY, INFINITY, -INFINITY, -INFINITY};
  ComPtr<ID2D1PathGeometry> geo;
  ComPtr<ID2D1GeometrySink> sink;
  if (FAILED(factory->CreatePathGeometry(&geo)) || FAILED(geo->Open(&sink))) return nullptr;
  size_t at = rec.offset;
  // The table is ours, but a bad offset must not read past it.
  auto next = [&](int8_t& v) {
    if (at >= kHersheyDataSize) return false;
    v = kHersheyData[at++];
    return true;
  };
  int8_t strokes = 0;
  bool ok = next(strokes);
  std::vector<D2D_POINT_2F> line;
  for (int s = 0; ok && s < strokes; ++s) {
    int8_t points = 0;
    ok = next(points);
    line.clear();
    for (int p = 0; ok && p < points; ++p) {
      int8_t x = 0, y = 0;
      ok = next(x) && next(y);
      if (ok) line.push_back({float(x), float(y)});
    }
    // Glyphs are drawn scaled, so a join that misbehaves is scaled up too.
    for (const auto& l : stroke_figures(line.data(), line.size())) {
      bounds = points_bounds(l.data(), l.size(), bounds);
      sink->BeginFigure(l[0], D2D1_FIGURE_BEGIN_HOLLOW);
      sink->AddLines(l.data() + 1, UINT32(l.size() - 1));
      sink->EndFigure(D2D1_FIGURE_END_OPEN);
    }
  }
  sink->Close();  // an error here only leaves the glyph incomplete
  return ok ? geo : nullptr;
}

bool Gfx::init() {
  context.Reset();
  device.Reset();
  const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1,
                                      D3D_FEATURE_LEVEL_10_0};
  HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT,
                                 levels, 4, D3D11_SDK_VERSION, &device, nullptr, &context);
  if (FAILED(hr)) {
    context.Reset();
    device.Reset();
    hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, levels, 4,
                           D3D11_SDK_VERSION, &device, nullptr, &context);
    if (FAILED(hr)) {
      context.Reset();
      device.Reset();
      return false;
    }
  }

  ComPtr<IDXGIDevice1> dxgi_device;
  ComPtr<IDXGIAdapter> adapter;
  dxgi_factory.Reset();
  if (FAILED(device.As(&dxgi_device)) || FAILED(dxgi_device->GetAdapter(&adapter)) ||
      FAILED(adapter->GetParent(IID_PPV_ARGS(&dxgi_factory))))
    return false;

  D2D1_FACTORY_OPTIONS options{D2D1_DEBUG_LEVEL_NONE};
  d2d_device.Reset();
  d2d_factory.Reset();
  if (FAILED(D2D1CreateFactory(D2D1_FACTORY_TYPE_SINGLE_THREADED, __uuidof(ID2D1Factory1), &options,
                               reinterpret_cast<void**>(d2d_factory.ReleaseAndGetAddressOf()))) ||
      FAILED(d2d_factory->CreateDevice(dxgi_device.Get(), &d2d_device)))
    return false;

  dwrite.Reset();
  if (FAILED(DWriteCreateFactory(DWRITE_FACTORY_TYPE_SHARED, __uuidof(IDWriteFactory),
                                 reinterpret_cast<IUnknown**>(dwrite.ReleaseAndGetAddressOf()))))
    return false;

  // Without WIC the program still runs; the image functions then fail.
  wic.Reset();
  CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&wic));

  D2D1_STROKE_STYLE_PROPERTIES1 sp{D2D1_CAP_STYLE_ROUND,   D2D1_CAP_STYLE_ROUND, D2D1_CAP_STYLE_ROUND,
                                   D2D1_LINE_JOIN_ROUND,   10.0f,                D2D1_DASH_STYLE_SOLID,
                                   0.0f,                   D2D1_STROKE_TRANSFORM_TYPE_NORMAL};
  stroke.Reset();
  if (FAILED(d2d_factory->CreateStrokeStyle(&sp, nullptr, 0, &stroke))) return false;

  // Stroke text indexes these without checks, so a missing glyph is an
  // init failure rather than a crash later.
  glyphs.assign(95, nullptr);
  widths.assign(95, {0, 0});
  glyph_bounds.assign(95, D2D_RECT_F{});
  for (int g = 0; g < 95; ++g) {
    widths[g] = {kHersheyGlyphs[g].left, kHersheyGlyphs[g].right};
    glyphs[g] = make_glyph(d2d_factory.Get(), kHersheyGlyphs[g], glyph_bounds[g]);
    if (!glyphs[g]) return false;
  }
  return true;
}

// ---- canvas -------------------------------------------------------------

static D2D1_COLOR_F col(D3DCOLORVALUE c) { return D2D1_COLOR_F{c.r, c.g, c.b, c.a}; }
static const D2D1_MATRIX_3X2_F kIdentity{1, 0, 0, 1, 0, 0};

bool Canvas::init_dc() {
  brush.Reset();
  dc.Reset();
  drawing = false;
  clip_stack.clear();
  if (!g_gfx.d2d_device || FAILED(g_gfx.d2d_device->CreateDeviceContext(D2D1_DEVICE_CONTEXT_OPTIONS_NONE, &dc))) {
    dc.Reset();
    return false;
  }
  dc->SetDpi(dpi, dpi);
  dc->SetTextAntialiasMode(D2D1_TEXT_ANTIALIAS_MODE_GRAYSCALE);
  return SUCCEEDED(dc->CreateSolidColorBrush(D2D1_COLOR_F{0.22f, 0.78f, 1.0f, 1.0f}, &brush));
}

void Canvas::put(Cmd& c, const D2D_RECT_F& bounds, float margin, const D2D_POINT_2F* pts) {
  c.xf = xf;
  if (!list) {
    exec(c, pts);
    return;
  }
  c.box = device_box(bounds, margin, xf, dpi / 96, clip_stack.empty() ? kNoClip : clip_stack.back().box);
  if (box_empty(c.box)) return;  // clipped away: draws nothing
  if (pts && c.n) {
    c.at = u32(list->points.size());
    list->points.insert(list->points.end(), pts, pts + c.n);
  }
  c.key = cmd_key(c, pts);
  list->cmds.push_back(std::move(c));
}

void Canvas::push_clip(const D2D_RECT_F& r) {
  ClipEntry e{r, xf, {}, false};
  RECT outer = clip_stack.empty() ? kNoClip : clip_stack.back().box;
  // An aliased clip holds whole pixels: the box needs no antialiasing margin.
  RECT b = device_box(r, 0, xf, dpi / 96, kNoClip);
  e.box = box_and(RECT{b.left + 2, b.top + 2, b.right - 2, b.bottom - 2}, outer);
  if (list) {
    Cmd c;
    c.op = Op::Clip;
    c.r = r;
    c.xf = xf;
    list->cmds.push_back(std::move(c));
  } else if (dc && drawing) {
    dc->SetTransform(xf);
    dc->PushAxisAlignedClip(r, D2D1_ANTIALIAS_MODE_ALIASED);
    e.pushed = true;
  }
  clip_stack.push_back(e);
}

void Canvas::pop_clip() {
  if (clip_stack.empty()) return;
  ClipEntry e = clip_stack.back();
  clip_stack.pop_back();
  if (list) {
    // A clip that held nothing leaves no trace.
    if (!list->cmds.empty() && list->cmds.back().op == Op::Clip) {
      list->cmds.pop_back();
      return;
    }
    Cmd c;
    c.op = Op::Unclip;
    list->cmds.push_back(std::move(c));
  } else if (e.pushed && dc && drawing) {
    dc->PopAxisAlignedClip();
  }
}

void Canvas::paint_into(ID2D1Bitmap1* into, const D2D1_MATRIX_3X2_F& m, const std::function<void()>& paint) {
  if (!dc || !into) return;
  DisplayList* saved_list = list;
  D2D1_MATRIX_3X2_F saved_xf = xf;
  std::vector<ClipEntry> saved_clips;
  saved_clips.swap(clip_stack);
  bool was_drawing = drawing;
  ComPtr<ID2D1Image> frame_target;
  if (was_drawing) {
    // The open pass pauses: its clips come off first, as a pass must end without them.
    for (size_t i = saved_clips.size(); i-- > 0;)
      if (saved_clips[i].pushed) dc->PopAxisAlignedClip();
    dc->GetTarget(&frame_target);
    dc->EndDraw();
  }
  list = nullptr;
  dc->SetTarget(into);
  dc->BeginDraw();
  dc->SetTransform(kIdentity);
  dc->Clear(D2D1_COLOR_F{0, 0, 0, 0});
  drawing = true;
  xf = m;
  paint();
  while (!clip_stack.empty()) pop_clip();
  dc->EndDraw();
  dc->SetTarget(frame_target.Get());
  drawing = was_drawing;
  if (was_drawing) {
    dc->BeginDraw();
    for (const ClipEntry& e : saved_clips)
      if (e.pushed) {
        dc->SetTransform(e.xf);
        dc->PushAxisAlignedClip(e.r, D2D1_ANTIALIAS_MODE_ALIASED);
      }
  }
  clip_stack.swap(saved_clips);
  xf = saved_xf;
  list = saved_list;
}

void Canvas::bitmap(ID2D1Bitmap* b, const D2D_RECT_F& dest, u64 content, float opacity, D2D1_INTERPOLATION_MODE mode,
                    const D2D_RECT_F* src) {
  if (!dc || !b) return;
  Cmd c;
  c.op = Op::Bitmap;
  c.obj = b;
  c.r = dest;
  c.src = src ? *src : D2D_RECT_F{0, 0, 0, 0};
  c.opacity = opacity;
  c.interp = mode;
  c.content = content;
  put(c, dest, 0);
}

// A fresh path of one figure through the points.
static ComPtr<ID2D1PathGeometry> path_of(const D2D_POINT_2F* p, size_t n, bool filled, bool closed) {
  ComPtr<ID2D1PathGeometry> geo;
  ComPtr<ID2D1GeometrySink> sink;
  if (!g_gfx.d2d_factory || FAILED(g_gfx.d2d_factory->CreatePathGeometry(&geo)) || FAILED(geo->Open(&sink)))
    return nullptr;
  sink->BeginFigure(p[0], filled ? D2D1_FIGURE_BEGIN_FILLED : D2D1_FIGURE_BEGIN_HOLLOW);
  if (n > 1) sink->AddLines(p + 1, UINT32(n - 1));
  sink->EndFigure(closed ? D2D1_FIGURE_END_CLOSED : D2D1_FIGURE_END_OPEN);
  if (FAILED(sink->Close())) return nullptr;
  return geo;
}

// The path Canvas::poly strokes.
static ComPtr<ID2D1PathGeometry> poly_path(const D2D_POINT_2F* points, size_t n, bool closed) {
  PolyFigures figs = poly_figures(points, n, closed);
  ComPtr<ID2D1PathGeometry> geo;
  ComPtr<ID2D1GeometrySink> sink;
  if (!g_gfx.d2d_factory || FAILED(g_gfx.d2d_factory->CreatePathGeometry(&geo)) || FAILED(geo->Open(&sink)))
    return nullptr;
  for (const auto& l : figs.lines) {
    sink->BeginFigure(l[0], D2D1_FIGURE_BEGIN_HOLLOW);
    if (l.size() > 1) sink->AddLines(l.data() + 1, UINT32(l.size() - 1));
    sink->EndFigure(figs.closed ? D2D1_FIGURE_END_CLOSED : D2D1_FIGURE_END_OPEN);
  }
  if (FAILED(sink->Close())) return nullptr;
  return geo;
}

void Canvas::exec(const Cmd& c, const D2D_POINT_2F* pts) {
  if (!dc || !brush) return;
  if (c.op == Op::Clip) {
    dc->SetTransform(c.xf);
    dc->PushAxisAlignedClip(c.r, D2D1_ANTIALIAS_MODE_ALIASED);
    return;
  }
  if (c.op == Op::Unclip) {
    dc->PopAxisAlignedClip();
    return;
  }
  dc->SetTransform(c.xf);
  brush->SetColor(c.colour);
  ID2D1StrokeStyle* st = g_gfx.stroke.Get();
  const D2D_RECT_F& r = c.r;
  switch (c.op) {
    case Op::Line: dc->DrawLine(D2D1_POINT_2F{r.left, r.top}, D2D1_POINT_2F{r.right, r.bottom}, brush.Get(), c.width, st); break;
    case Op::Poly:
    case Op::FillPoly: {
      if (!c.obj && pts)
        c.obj = c.op == Op::Poly ? poly_path(pts, c.n, c.closed) : path_of(pts, c.n, true, true);
      auto* geo = static_cast<ID2D1Geometry*>(static_cast<ID2D1PathGeometry*>(c.obj.Get()));
      if (!geo) return;
      if (c.op == Op::Poly) dc->DrawGeometry(geo, brush.Get(), c.width, st);
      else dc->FillGeometry(geo, brush.Get(), nullptr);
      break;
    }
    case Op::Ellipse: dc->DrawEllipse(D2D1_ELLIPSE{{r.left, r.top}, r.right, r.bottom}, brush.Get(), c.width, st); break;
    case Op::Disc: dc->FillEllipse(D2D1_ELLIPSE{{r.left, r.top}, r.right, r.bottom}, brush.Get()); break;
    case Op::Rect: dc->DrawRectangle(r, brush.Get(), c.width, st); break;
    case Op::Fill: dc->FillRectangle(r, brush.Get()); break;
    case Op::RRect: dc->DrawRoundedRectangle(D2D1_ROUNDED_RECT{r, c.radius, c.radius}, brush.Get(), c.width, st); break;
    case Op::FillRRect: dc->FillRoundedRectangle(D2D1_ROUNDED_RECT{r, c.radius, c.radius}, brush.Get()); break;
    case Op::Geometry: dc->DrawGeometry(static_cast<ID2D1Geometry*>(c.obj.Get()), brush.Get(), c.width, st); break;
    case Op::Text:
      dc->DrawTextLayout(D2D1_POINT_2F{r.left, r.top}, static_cast<IDWriteTextLayout*>(c.obj.Get()), brush.Get(),
                         D2D1_DRAW_TEXT_OPTIONS_NONE);
      break;
    case Op::Bitmap:
      dc->DrawBitmap(static_cast<ID2D1Bitmap*>(c.obj.Get()), &r, c.opacity, c.interp,
                     c.src.right > c.src.left ? &c.src : nullptr, nullptr);
      break;
    default: return;  // pictures are the surface's
  }
  ++g_draw_calls;
}

static D2D_RECT_F ordered(const D2D_RECT_F& r) {
  return D2D_RECT_F{std::min(r.left, r.right), std::min(r.top, r.bottom), std::max(r.left, r.right),
                    std::max(r.top, r.bottom)};
}

// A command of one of the shapes: what it is, its colour, its stroke width
// (0 for fills) and its rectangle (see Cmd::r).
static Cmd shape(Op op, D3DCOLORVALUE colour, float width, const D2D_RECT_F& r) {
  Cmd c;
  c.op = op;
  c.colour = col(colour);
  c.width = width;
  c.r = r;
  return c;
}

static D2D_RECT_F around(float cx, float cy, float r) {
  return D2D_RECT_F{cx - std::fabs(r), cy - std::fabs(r), cx + std::fabs(r), cy + std::fabs(r)};
}

void Canvas::line(float x1, float y1, float x2, float y2, D3DCOLORVALUE colour, float width) {
  if (!dc || !brush) return;
  Cmd c = shape(Op::Line, colour, width, D2D_RECT_F{x1, y1, x2, y2});
  put(c, ordered(c.r), stroke_margin(width));
}

namespace {

enum Turn { Straight, Bend, Back };

// How a line through a, b, c turns at b (b differs from a and c).
Turn turn_at(D2D_POINT_2F a, D2D_POINT_2F b, D2D_POINT_2F c) {
  double ux = b.x - a.x, uy = b.y - a.y, vx = c.x - b.x, vy = c.y - b.y;
  double cross = ux * vy - uy * vx, dot = ux * vx + uy * vy;
  double lens = std::hypot(ux, uy) * std::hypot(vx, vy);
  if (std::fabs(cross) <= 1e-6 * lens && dot > 0) return Straight;
  return dot < -0.766 * lens ? Back : Bend;  // Back: more than 140 degrees
}

bool same(D2D_POINT_2F a, D2D_POINT_2F b) { return a.x == b.x && a.y == b.y; }

}  // namespace

std::vector<std::vector<D2D_POINT_2F>> stroke_figures(const D2D_POINT_2F* p, size_t n) {
  std::vector<std::vector<D2D_POINT_2F>> out;
  std::vector<D2D_POINT_2F> cur;
  for (size_t i = 0; i < n; ++i) {
    if (!cur.empty() && same(p[i], cur.back())) continue;
    if (cur.size() >= 2) {
      D2D_POINT_2F b = cur.back();
      Turn t = turn_at(cur[cur.size() - 2], b, p[i]);
      if (t == Straight) {
        cur.back() = p[i];  // b lies on the straight line on to p[i]
        continue;
      }
      if (t == Back) {
        out.push_back(cur);
        cur = {b};
      }
    }
    cur.push_back(p[i]);
  }
  if (cur.size() >= 2) out.push_back(cur);
  return out;
}

PolyFigures poly_figures(const D2D_POINT_2F* p, size_t n, bool closed) {
  PolyFigures f;
  std::vector<D2D_POINT_2F> q;  // distinct points, around the polygon when closed
  for (size_t i = 0; i < n; ++i)
    if (q.empty() || !same(p[i], q.back())) q.push_back(p[i]);
  while (closed && q.size() > 1 && same(q.back(), q.front())) q.pop_back();
  if (q.empty()) return f;
  if (q.size() < 2) {  // a single point: left as it was given
    f.lines.emplace_back(p, p + n);
    f.closed = closed;
    return f;
  }
  if (!closed || q.size() == 2) {  // out and back again is the segment itself
    f.lines = stroke_figures(q.data(), q.size());
    return f;
  }
  // Start the walk round at a sharp vertex when there is one (the polygon is
  // then opened there), else at any vertex that bends.
  const size_t m = q.size();
  size_t start = m, bend = m;
  for (size_t i = 0; i < m && start == m; ++i) {
    Turn t = turn_at(q[(i + m - 1) % m], q[i], q[(i + 1) % m]);
    if (t == Back) start = i;
    else if (t == Bend && bend == m) bend = i;
  }
  bool opened = start < m;
  if (!opened) start = bend < m ? bend : 0;
  std::vector<D2D_POINT_2F> line(q.begin() + long(start), q.end());
  line.insert(line.end(), q.begin(), q.begin() + long(start) + 1);
  f.lines = stroke_figures(line.data(), line.size());
  if (!opened && f.lines.size() == 1 && f.lines[0].size() >= 4) {
    f.lines[0].pop_back();  // back at the start: the closing segment is implied
    f.closed = true;
  }
  return f;
}

void Canvas::poly(const D2D_POINT_2F* points, size_t n, D3DCOLORVALUE colour, float width, bool closed) {
  if (!dc || !brush || !points || n < 2 || !g_gfx.d2d_factory) return;
  Cmd c = shape(Op::Poly, colour, width, D2D_RECT_F{});
  c.closed = closed;
  c.n = u32(n);
  put(c, points_bounds(points, n), stroke_margin(width), points);
}

void Canvas::fill_poly(const std::vector<D2D_POINT_2F>& points, D3DCOLORVALUE colour) {
  if (!dc || !brush || points.size() < 3) return;
  Cmd c = shape(Op::FillPoly, colour, 0, D2D_RECT_F{});
  c.n = u32(points.size());
  put(c, points_bounds(points.data(), points.size()), 0, points.data());
}

void Canvas::circle(float cx, float cy, float r, D3DCOLORVALUE colour, float width) {
  if (!dc || !brush) return;
  Cmd c = shape(Op::Ellipse, colour, width, D2D_RECT_F{cx, cy, r, r});
  put(c, around(cx, cy, r), stroke_margin(width));
}

void Canvas::disc(float cx, float cy, float r, D3DCOLORVALUE colour) {
  if (!dc || !brush) return;
  Cmd c = shape(Op::Disc, colour, 0, D2D_RECT_F{cx, cy, r, r});
  put(c, around(cx, cy, r), 0);
}

static constexpr float kTwoPi = 6.28318530718f;

std::vector<D2D_POINT_2F> arc_points(float cx, float cy, float r, float a0, float a1) {
  float sweep = a1 - a0;
  if (std::fabs(sweep) >= kTwoPi - 0.0001f || std::fabs(sweep) < 0.0001f) return {};
  // Segments of at most pi/64 stay within a fraction of a pixel of the true
  // arc up to radii of several hundred DIPs.
  int n = std::max(2, int(std::ceil(std::fabs(sweep) / (kTwoPi / 128))));
  std::vector<D2D_POINT_2F> pts(size_t(n) + 1);
  for (int i = 0; i <= n; ++i) {
    double a = (i == n) ? a1 : a0 + double(sweep) * i / n;
    pts[i] = D2D_POINT_2F{float(cx + r * std::cos(a)), float(cy + r * std::sin(a))};
  }
  return pts;
}

// Built from short line segments rather than an arc segment: some Direct2D
// implementations draw path arcs as nothing, and the polyline looks the same.
void Canvas::arc(float cx, float cy, float r, float a0, float a1, D3DCOLORVALUE colour, float width) {
  if (std::fabs(a1 - a0) >= kTwoPi - 0.0001f) {
    circle(cx, cy, r, colour, width);
    return;
  }
  auto pts = arc_points(cx, cy, r, a0, a1);
  if (!pts.empty()) poly(pts.data(), pts.size(), colour, width, false);
}

void Canvas::rect(const D2D_RECT_F& r, D3DCOLORVALUE colour, float width) {
  if (!dc || !brush) return;
  Cmd c = shape(Op::Rect, colour, width, r);
  put(c, ordered(r), stroke_margin(width));
}

void Canvas::fill(const D2D_RECT_F& r, D3DCOLORVALUE colour) {
  if (!dc || !brush) return;
  Cmd c = shape(Op::Fill, colour, 0, r);
  put(c, ordered(r), 0);
}

void Canvas::rrect(const D2D_RECT_F& r, float radius, D3DCOLORVALUE colour, float width) {
  if (!dc || !brush) return;
  Cmd c = shape(Op::RRect, colour, width, r);
  c.radius = radius;
  put(c, ordered(r), stroke_margin(width));
}

void Canvas::fill_rrect(const D2D_RECT_F& r, float radius, D3DCOLORVALUE colour) {
  if (!dc || !brush) return;
  Cmd c = shape(Op::FillRRect, colour, 0, r);
  c.radius = radius;
  put(c, ordered(r), 0);
}

void Canvas::brackets(const D2D_RECT_F& rc, float L, D3DCOLORVALUE colour, float width) {
  float l = rc.left, t = rc.top, r = rc.right, b = rc.bottom;
  const D2D_POINT_2F arms[4][3] = {
      {{l, t + L}, {l, t}, {l + L, t}},
      {{r - L, t}, {r, t}, {r, t + L}},
      {{r, b - L}, {r, b}, {r - L, b}},
      {{l + L, b}, {l, b}, {l, b - L}},
  };
  for (auto& arm : arms) poly(arm, 3, colour, width, false);
}

static constexpr size_t kMaxDashes = 100000;

std::vector<std::pair<float, float>> dash_spans(float len, float dash, float gap, float phase) {
  std::vector<std::pair<float, float>> out;
  if (!(len >= 0.01f)) return out;
  float period = dash + gap;
  float off = std::fmod(phase, period);
  if (std::isnan(off) || !(period > 0)) return out;
  float s = off >= 0 ? -off : -off - period;
  // A period too small to move s would never end the walk, and a tiny one
  // would take millions of draws: the count is bounded.
  while (s < len && s + period > s && out.size() < kMaxDashes) {
    float a = std::max(s, 0.0f), e = std::min(len, s + dash);
    if (e > a) out.push_back({a, e});
    s += period;
  }
  return out;
}

void Canvas::dashed(float x1, float y1, float x2, float y2, D3DCOLORVALUE colour, float width, float dash,
                    float gap, float phase) {
  float dx = x2 - x1, dy = y2 - y1;
  float len = std::sqrt(dx * dx + dy * dy);
  if (len < 0.01f) return;
  float ux = dx / len, uy = dy / len;
  for (auto [a, e] : dash_spans(len, dash, gap, phase))
    line(x1 + a * ux, y1 + a * uy, x1 + e * ux, y1 + e * uy, colour, width);
}

void Canvas::geometry(ID2D1Geometry* g, D3DCOLORVALUE colour, float width, const D2D_RECT_F* bounds) {
  if (!dc || !brush || !g) return;
  Cmd c = shape(Op::Geometry, colour, width, D2D_RECT_F{});
  c.obj = g;
  // Without bounds from the caller, the geometry's own; a renderer may give
  // none (or an empty box) for open figures, which then stands for anything.
  D2D_RECT_F b{1, 1, 0, 0};
  if (bounds) b = *bounds;
  else if (list && (FAILED(g->GetBounds(nullptr, &b)) || !(b.left <= b.right))) b = D2D_RECT_F{1, 1, 0, 0};
  put(c, b, stroke_margin(width));
}


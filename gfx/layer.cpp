// Cached layers, merged text paths and the baked CRT overlay.
#include "gfx/layer.h"

#include <algorithm>
#include <cmath>

#include "gfx/icons.h"

u64 g_draw_calls = 0;

static const D2D1_MATRIX_3X2_F kIdentity{1, 0, 0, 1, 0, 0};

u64 hash64(const void* data, size_t n, u64 h) {
  const u8* p = static_cast<const u8*>(data);
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

// ---- layers -------------------------------------------------------------------

void LayerCache::draw(Surface& s, u32 id, const D2D_RECT_F& area, u64 key, const std::function<void()>& paint,
                      float pad) {
  if (!s.dc || (!s.drawing && !s.list) || !(area.right > area.left) || !(area.bottom > area.top)) return;
  // The corner on a whole pixel: the bitmap is then copied pixel for pixel
  // (half a pixel off, nearest-neighbour sampling skips columns and rows).
  float k = s.dpi / 96;
  D2D_RECT_F r{std::floor((area.left - pad) * k) / k, std::floor((area.top - pad) * k) / k, area.right + pad,
               area.bottom + pad};
  u32 w = u32(std::ceil((r.right - r.left) * k)), h = u32(std::ceil((r.bottom - r.top) * k));
  if (w == 0 || h == 0 || w > 16384 || h > 16384) return;
  Layer& L = layers[id];
  key = hash_val(r, key);
  if (!L.bitmap || L.width != w || L.height != h || L.dpi != s.dpi) {
    L.bitmap.Reset();
    D2D1_BITMAP_PROPERTIES1 props{{DXGI_FORMAT_B8G8R8A8_UNORM, D2D1_ALPHA_MODE_PREMULTIPLIED}, s.dpi, s.dpi,
                                  D2D1_BITMAP_OPTIONS_TARGET, nullptr};
    if (FAILED(s.dc->CreateBitmap(D2D1_SIZE_U{w, h}, nullptr, 0, props, &L.bitmap))) {
      L.bitmap.Reset();
      paint();  // no layer: draw the content directly
      return;
    }
    L.width = w, L.height = h, L.dpi = s.dpi;
    L.key = ~key;
  }
  D2D1_RECT_F dest{r.left, r.top, r.left + w / k, r.top + h / k};
  L.rect = dest;
  // A layer drawn from its cache draws no text calls: the texts it was
  // painted with are reported again, shifted to where it is drawn now.
  if (L.key != key) {
    size_t probed = g_text_probe ? g_text_probe->size() : 0;
    s.paint_into(L.bitmap.Get(), D2D1::Matrix3x2F::Translation(-r.left, -r.top), paint);
    if (g_text_probe) {
      // Kept relative to the layer's corner, so a cached draw can report them.
      L.texts.assign(g_text_probe->begin() + probed, g_text_probe->end());
      for (DrawnText& t : L.texts) t.x -= r.left, t.y -= r.top;
    }
    L.key = key;
    ++L.builds;
  } else if (g_text_probe) {
    for (DrawnText t : L.texts) {
      t.x += r.left;
      t.y += r.top;
      g_text_probe->push_back(std::move(t));
    }
  }
  // Its key stands for what it holds: a frame list sees a layer painted anew as changed.
  s.bitmap(L.bitmap.Get(), dest, key);
}

// ---- merged text ----------------------------------------------------------------

namespace {
struct TextPath {
  ComPtr<ID2D1PathGeometry> geo;
  float width = 0;
  D2D_RECT_F bounds{1, 1, 0, 0};  // of its strokes
};
std::unordered_map<std::string, TextPath> g_text_paths;

TextPath* text_path(std::string_view text, float size, float tracking) {
  std::string key(text);
  key += strf("|%.3f|%.3f", size, tracking);
  auto it = g_text_paths.find(key);
  if (it != g_text_paths.end()) return &it->second;
  if (g_text_paths.size() > 4000) g_text_paths.clear();  // bounded: views make few distinct strings
  TextPath tp;
  ComPtr<ID2D1GeometrySink> sink;
  if (!g_gfx.d2d_factory || FAILED(g_gfx.d2d_factory->CreatePathGeometry(&tp.geo)) || FAILED(tp.geo->Open(&sink)))
    return nullptr;
  D2D_RECT_F bounds{INFINITY, INFINITY, -INFINITY, -INFINITY};
  text_strokes(text, 0, 0, size, tracking, AlignLeft, [&](const std::vector<D2D_POINT_2F>& pts) {
    for (const auto& fig : stroke_figures(pts.data(), pts.size())) {
      if (fig.size() < 2) continue;
      bounds = points_bounds(fig.data(), fig.size(), bounds);
      sink->BeginFigure(fig[0], D2D1_FIGURE_BEGIN_HOLLOW);
      sink->AddLines(fig.data() + 1, UINT32(fig.size() - 1));
      sink->EndFigure(D2D1_FIGURE_END_OPEN);
    }
  });
  if (FAILED(sink->Close())) return nullptr;
  tp.bounds = points_bounds(nullptr, 0, bounds);
  tp.width = 0;
  if (!text.empty()) {
    float k = size / 21;
    for (unsigned char b : text) {
      if (b >= 'a' && b <= 'z') b -= 32;
      int i = b >= 32 && b <= 126 ? int(b) - 32 : 0;
      auto [l, r] = g_gfx.widths.size() == 95 ? g_gfx.widths[i] : std::pair<int32_t, int32_t>{-8, 8};
      tp.width += (r - l) * k + size * tracking;
    }
    tp.width -= size * tracking;
  }
  return &g_text_paths.emplace(std::move(key), std::move(tp)).first->second;
}
}  // namespace

float text_fast(Canvas& c, std::string_view text, float x, float y, float size, D3DCOLORVALUE colour, Align align,
                float tracking, float weight) {
  bool ascii = !c.mixed_case;
  for (unsigned char b : text)
    if (b < 32 || b > 126) ascii = false;
  TextPath* tp = ascii && c.dc && c.brush ? text_path(text, size, tracking) : nullptr;
  if (!tp) {
    return c.text(text, x, y, size, colour, align, tracking, weight);
  }
  if (align == AlignCentre) x -= tp->width / 2;
  else if (align != AlignLeft) x -= tp->width;
  if (g_text_probe) g_text_probe->push_back(DrawnText{std::string(text), x, y, size, colour});
  if (weight <= 0) weight = text_weight(size);
  if (!(tp->bounds.left <= tp->bounds.right)) return tp->width;  // blanks only: nothing to draw
  D2D1_MATRIX_3X2_F saved = c.xf;
  c.xf = D2D1::Matrix3x2F::Translation(x, y) * *D2D1::Matrix3x2F::ReinterpretBaseType(&saved);
  c.geometry(tp->geo.Get(), colour, weight, &tp->bounds);
  c.xf = saved;
  return tp->width;
}

// ---- batched strokes ---------------------------------------------------------------

Strokes::Group& Strokes::group(D3DCOLORVALUE c, float width) {
  for (Group& g : groups)
    if (g.colour.r == c.r && g.colour.g == c.g && g.colour.b == c.b && g.colour.a == c.a && g.width == width) return g;
  groups.push_back(Group{c, width, {}, {}});
  return groups.back();
}

void Strokes::poly(const D2D_POINT_2F* p, size_t n, D3DCOLORVALUE c, float width, bool closed) {
  if (n < 2) return;
  Group& g = group(c, width);
  g.bounds = points_bounds(p, n, g.bounds);
  g.points.insert(g.points.end(), p, p + n);
  g.figures.push_back({u32(n), closed});
}

void Strokes::line(float x1, float y1, float x2, float y2, D3DCOLORVALUE c, float width) {
  D2D_POINT_2F p[2] = {{x1, y1}, {x2, y2}};
  poly(p, 2, c, width, false);
}

void Strokes::circle(float cx, float cy, float r, D3DCOLORVALUE c, float width) {
  const float pi = 3.14159265f;
  D2D_POINT_2F p[24];
  for (int i = 0; i < 24; ++i) p[i] = {cx + r * std::cos(i * pi / 12), cy + r * std::sin(i * pi / 12)};
  poly(p, 24, c, width, true);
}

void Strokes::arc(float cx, float cy, float r, float a0, float a1, D3DCOLORVALUE c, float width) {
  std::vector<D2D_POINT_2F> p = arc_points(cx, cy, r, a0, a1);
  poly(p.data(), p.size(), c, width, false);
}

void Strokes::draw(Canvas& canvas) {
  static std::unordered_map<u64, ComPtr<ID2D1PathGeometry>> made;
  for (Group& g : groups) {
    u64 key = hash64(g.points.data(), g.points.size() * sizeof(D2D_POINT_2F));
    key = hash64(g.figures.data(), g.figures.size() * sizeof(g.figures[0]), key);
    ComPtr<ID2D1PathGeometry>& geo = made[key];
    if (!geo) {
      ComPtr<ID2D1GeometrySink> sink;
      if (!g_gfx.d2d_factory || FAILED(g_gfx.d2d_factory->CreatePathGeometry(&geo)) || FAILED(geo->Open(&sink))) {
        made.erase(key);
        continue;
      }
      const D2D_POINT_2F* p = g.points.data();
      for (auto [n, closed] : g.figures) {
        sink->BeginFigure(p[0], D2D1_FIGURE_BEGIN_HOLLOW);
        sink->AddLines(p + 1, n - 1);
        sink->EndFigure(closed ? D2D1_FIGURE_END_CLOSED : D2D1_FIGURE_END_OPEN);
        p += n;
      }
      if (FAILED(sink->Close())) {
        made.erase(key);
        continue;
      }
    }
    canvas.geometry(geo.Get(), g.colour, g.width, &g.bounds);
  }
  groups.clear();
  if (made.size() > 256) made.clear();  // paths of frames long gone
}

// ---- CRT overlay ------------------------------------------------------------------

void CrtOverlay::draw(Surface& s) {
  if (!s.dc || (!s.drawing && !s.list)) return;
  if (!bitmap || width != s.width || height != s.height || dpi != s.dpi || scanlines != s.scanlines) {
    bitmap.Reset();
    width = s.width, height = s.height, dpi = s.dpi, scanlines = s.scanlines;
    // Same layer the surface draws per frame: every third physical row
    // darkened by alpha 0x2E (with scanlines), and a radial vignette to alpha
    // 0.42 (gamma 2.2).
    std::vector<u8> px(size_t(width) * height * 4, 0);
    float W = float(width), H = float(height);
    float rx = 0.72f * W, ry = 0.8f * H;
    for (u32 y = 0; y < height; ++y) {
      float scan = (scanlines && y % 3 == 2) ? 0x2E / 255.0f : 0;
      for (u32 x = 0; x < width; ++x) {
        float dx = (x + 0.5f - 0.5f * W) / rx, dy = (y + 0.5f - 0.5f * H) / ry;
        float d = std::sqrt(dx * dx + dy * dy);
        float v = 0;
        if (d > 0.62f) {
          float t = std::min(1.0f, (d - 0.62f) / 0.38f);
          v = 0.42f * t;
        }
        float a = 1 - (1 - scan) * (1 - v);
        px[(size_t(y) * width + x) * 4 + 3] = u8(std::lround(a * 255));
      }
    }
    D2D1_BITMAP_PROPERTIES1 props{{DXGI_FORMAT_B8G8R8A8_UNORM, D2D1_ALPHA_MODE_PREMULTIPLIED}, dpi, dpi,
                                  D2D1_BITMAP_OPTIONS_NONE, nullptr};
    if (FAILED(s.dc->CreateBitmap(D2D1_SIZE_U{width, height}, px.data(), width * 4, props, &bitmap))) {
      bitmap.Reset();
      return;
    }
  }
  D2D1_MATRIX_3X2_F saved = s.xf;
  s.xf = kIdentity;
  D2D1_RECT_F dest{0, 0, width * 96.0f / dpi, height * 96.0f / dpi};
  s.bitmap(bitmap.Get(), dest, hash_val(scanlines, hash_val(dpi, hash_val(height, hash_val(width, 0)))));
  s.xf = saved;
}

// System symbology and the icon export.
//
// Sections: sinks and small utilities | architecture table and frames |
// operating-system glyphs | composition (icon, mark, app icon) | export.
#include "gfx/icons.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "gfx/hershey.h"

namespace {

using Pts = std::vector<D2D_POINT_2F>;
constexpr float kPi = 3.14159265358979f;

constexpr D3DCOLORVALUE kCyan{0.22f, 0.78f, 1.0f, 1.0f};
constexpr D3DCOLORVALUE kIce{0.78f, 0.95f, 1.0f, 1.0f};
constexpr D3DCOLORVALUE kPink{1.0f, 0.66f, 0.96f, 1.0f};
constexpr D3DCOLORVALUE kOrange{1.0f, 0.56f, 0.18f, 1.0f};
constexpr D3DCOLORVALUE kGreen{0.36f, 1.0f, 0.48f, 1.0f};
constexpr D3DCOLORVALUE kDim{0.1f, 0.36f, 0.52f, 1.0f};
constexpr D3DCOLORVALUE kRed{1.0f, 0.32f, 0.22f, 1.0f};
constexpr D3DCOLORVALUE kAmber{1.0f, 0.8f, 0.3f, 1.0f};
constexpr D3DCOLORVALUE kImageBg{0.006f, 0.012f, 0.022f, 1.0f};

D3DCOLORVALUE fade(D3DCOLORVALUE c, float f) {
  c.a *= f;
  return c;
}

// A fixed accent colour that keeps only the alpha of the colour it replaces.
D3DCOLORVALUE accent(D3DCOLORVALUE fixed, D3DCOLORVALUE given) { return {fixed.r, fixed.g, fixed.b, given.a}; }

// SVG numbers are written by hand rather than with printf: a locale with a
// decimal comma would otherwise produce files no SVG reader accepts.
void put_num(std::string& s, double v, int decimals) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
  s.append(buf, r.ptr);
}

std::string num(double v, int decimals = 2) {
  std::string s;
  put_num(s, v, decimals);
  return s;
}

// A half outline followed by its mirror image (without the mirror's first
// point, which repeats the half's last one): one closed symmetric outline.
Pts mirrored(Pts half) {
  Pts m = mirror_x(half);
  half.insert(half.end(), m.begin() + 1, m.end());
  return half;
}

// One point of icon units through a transform.
D2D_POINT_2F at(const Xf& xf, float u, float v) { return {xf.x + u * xf.s, xf.y + v * xf.s}; }

void stroke(IconSink& sink, const Xf& xf, const Pts& pts, bool closed, D3DCOLORVALUE c, float w) {
  sink.poly(xf(pts), closed, c, w);
}

}  // namespace

// ===========================================================================
// Sinks and small utilities
// ===========================================================================

void CanvasSink::poly(const std::vector<D2D_POINT_2F>& points, bool closed, D3DCOLORVALUE colour, float width) {
  canvas->poly(points.data(), points.size(), colour, width, closed);
}

void CanvasSink::circle(float cx, float cy, float r, D3DCOLORVALUE colour, float width) {
  canvas->circle(cx, cy, r, colour, width);
}

void CanvasSink::dot(float cx, float cy, float r, D3DCOLORVALUE colour) { canvas->disc(cx, cy, r, colour); }

void CanvasSink::text(std::string_view text, float x, float y, float size, D3DCOLORVALUE colour, Align align) {
  canvas->text(text, x, y, size, colour, align, 0.16f, 0);
}

std::string svg_color(D3DCOLORVALUE c) {
  auto byte = [](float v) {
    if (!(v >= 0)) return 0;  // below 0, and NaN
    return int(std::min(v, 1.0f) * 255 + 0.5f);
  };
  return strf("#%02x%02x%02x", byte(c.r), byte(c.g), byte(c.b));
}

void SvgSink::dot(float cx, float cy, float r, D3DCOLORVALUE colour) {
  out += "<circle cx=\"" + num(cx) + "\" cy=\"" + num(cy) + "\" r=\"" + num(r) + "\" fill=\"" + svg_color(colour) +
         "\" fill-opacity=\"" + num(colour.a) + "\" stroke=\"none\"/>\n";
}

void SvgSink::circle(float cx, float cy, float r, D3DCOLORVALUE colour, float width) {
  out += "<circle cx=\"" + num(cx) + "\" cy=\"" + num(cy) + "\" r=\"" + num(r) + "\" stroke=\"" +
         svg_color(colour) + "\" stroke-opacity=\"" + num(colour.a) + "\" stroke-width=\"" + num(width) + "\"/>\n";
}

void SvgSink::poly(const std::vector<D2D_POINT_2F>& points, bool closed, D3DCOLORVALUE colour, float width) {
  if (points.size() < 2) return;
  std::string list;
  list.reserve(points.size() * 14);
  for (const D2D_POINT_2F& p : points) {
    put_num(list, p.x, 2);
    list += ',';
    put_num(list, p.y, 2);
    list += ' ';
  }
  out += std::string("<") + (closed ? "polygon" : "polyline") + " points=\"" + list + "\" stroke=\"" +
         svg_color(colour) + "\" stroke-opacity=\"" + num(colour.a) + "\" stroke-width=\"" + num(width) + "\"/>\n";
}

void SvgSink::text(std::string_view text, float x, float y, float size, D3DCOLORVALUE colour, Align align) {
  float width = std::clamp(size * 0.085f, 0.8f, 3.2f);
  text_strokes(text, x, y, size, 0.16f, align,
               [&](const std::vector<D2D_POINT_2F>& s) { poly(s, false, colour, width); });
}

void text_strokes(std::string_view text, float x, float y, float size, float tracking, Align align,
                  const std::function<void(const std::vector<D2D_POINT_2F>&)>& emit) {
  if (text.empty()) return;
  const float k = size / 21;
  const float space = 16 * k + size * tracking;
  // Index of the glyph of a byte, or -1 for a byte without one (controls,
  // 127 and every byte of a multi-byte UTF-8 sequence).
  auto index = [](unsigned char b) {
    if (b >= 'a' && b <= 'z') b = b - 32;
    return b >= 32 && b <= 126 ? int(b) - 32 : -1;
  };
  float width = -size * tracking;
  for (unsigned char b : text) {
    int i = index(b);
    width += i < 0 ? space : (kHersheyGlyphs[i].right - kHersheyGlyphs[i].left) * k + size * tracking;
  }
  float pen = x;
  if (align == AlignCentre) pen = x - width / 2;
  else if (align != AlignLeft) pen = x - width;

  std::vector<D2D_POINT_2F> stroke;
  for (unsigned char b : text) {
    int i = index(b);
    if (i < 0) {
      pen += space;
      continue;
    }
    const HersheyGlyph& g = kHersheyGlyphs[i];
    size_t at = g.offset;
    int strokes = kHersheyData[at++];
    for (int s = 0; s < strokes; ++s) {
      int n = kHersheyData[at++];
      stroke.clear();
      for (int j = 0; j < n; ++j, at += 2)
        stroke.push_back({pen + (kHersheyData[at] - g.left) * k, y + (kHersheyData[at + 1] + 12) * k});
      if (stroke.size() >= 2) emit(stroke);
    }
    pen += (g.right - g.left) * k + size * tracking;
  }
}

bool write_file(const std::wstring& path, const std::string& bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD wrote = 0;
  BOOL ok = bytes.size() <= 0xFFFFFFFFull && WriteFile(h, bytes.data(), DWORD(bytes.size()), &wrote, nullptr);
  ok = CloseHandle(h) && ok;
  // A full disk gives a short write; a truncated SVG or icon file is worse
  // than none, so it goes.
  if (!ok || wrote != bytes.size()) {
    DeleteFileW(path.c_str());
    return false;
  }
  return true;
}

std::string slug(const char* s) {
  std::string r;
  for (; *s; ++s) {
    char c = *s;
    if (c >= 'A' && c <= 'Z') r += char(c + 32);
    else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) r += c;
    else if (!r.empty() && r.back() != '-') r += '-';
  }
  while (!r.empty() && r.back() == '-') r.pop_back();
  return r;
}

// ===========================================================================
// Architecture table, shape helpers and frames
// ===========================================================================

namespace {

struct ArchRow {
  const char* label;
  const char* shape;
  D3DCOLORVALUE colour;
};

const ArchRow kArchRows[6] = {
    {"X86", "CHIP", {0.22f, 0.78f, 1.0f, 1.0f}},
    {"POWERPC", "RETICLE", {1.0f, 0.66f, 0.96f, 1.0f}},
    {"ARM", "HEXAGON", {0.36f, 1.0f, 0.48f, 1.0f}},
    {"RISC-V", "DIAMOND", {1.0f, 0.56f, 0.18f, 1.0f}},
    {"68K", "OCTAGON", {1.0f, 0.8f, 0.3f, 1.0f}},
    {"OTHER", "DASHED RING", {0.7f, 0.78f, 0.86f, 1.0f}},
};

int arch_index(ArchKind k) { return u32(k) <= 4 ? int(u32(k)) : 5; }

const char* const kOsLabels[11] = {"MAC OS X", "MAC OS 9", "WINDOWS", "WINDOWS 9X/XP", "LINUX", "BSD",
                                   "FREEBSD",  "OPENBSD",  "NETBSD",  "DOS",           "OTHER"};

int os_index(OsKind k) { return u32(k) <= 9 ? int(u32(k)) : 10; }

}  // namespace

D3DCOLORVALUE arch_color(ArchKind kind) { return kArchRows[arch_index(kind)].colour; }
const char* arch_label(ArchKind kind) { return kArchRows[arch_index(kind)].label; }
const char* arch_shape_name(ArchKind kind) { return kArchRows[arch_index(kind)].shape; }
const char* os_label(OsKind os) { return kOsLabels[os_index(os)]; }

std::vector<D2D_POINT_2F> Xf::operator()(const std::vector<D2D_POINT_2F>& points) const {
  std::vector<D2D_POINT_2F> r;
  r.reserve(points.size());
  for (const D2D_POINT_2F& p : points) r.push_back({x + p.x * s, y + p.y * s});
  return r;
}

std::vector<D2D_POINT_2F> ngon(int n, float r, float rot) {
  std::vector<D2D_POINT_2F> pts;
  pts.reserve(size_t(std::max(n, 0)));
  for (int i = 0; i < n; ++i) {
    double a = i * 2 * M_PI / n + rot;
    pts.push_back({float(r * std::cos(a)), float(r * std::sin(a))});
  }
  return pts;
}

void bez(std::vector<D2D_POINT_2F>& out, D2D_POINT_2F p0, D2D_POINT_2F p1, D2D_POINT_2F p2, D2D_POINT_2F p3, int n) {
  for (int i = out.empty() ? 0 : 1; i <= n; ++i) {
    float t = float(i) / float(n), u = 1 - t;
    float a = u * u * u, b = 3 * u * u * t, c = 3 * u * t * t, d = t * t * t;
    out.push_back({a * p0.x + b * p1.x + c * p2.x + d * p3.x, a * p0.y + b * p1.y + c * p2.y + d * p3.y});
  }
}

std::vector<D2D_POINT_2F> rrect_path(float x0, float y0, float x1, float y1, float r) {
  // Quarter arcs in steps of pi/8. The quarter turns are done by swapping
  // cosine and sine, so corner end points land exactly on the edges.
  static const float kc[5] = {1, 0.92387953f, 0.70710678f, 0.38268343f, 0};
  static const float ks[5] = {0, 0.38268343f, 0.70710678f, 0.92387953f, 1};
  std::vector<D2D_POINT_2F> pts;
  pts.reserve(20);
  for (int j = 0; j < 5; ++j) pts.push_back({x1 - r + r * ks[j], y0 + r - r * kc[j]});  // -pi/2 .. 0
  for (int j = 0; j < 5; ++j) pts.push_back({x1 - r + r * kc[j], y1 - r + r * ks[j]});  // 0 .. pi/2
  for (int j = 0; j < 5; ++j) pts.push_back({x0 + r - r * ks[j], y1 - r + r * kc[j]});  // pi/2 .. pi
  for (int j = 0; j < 5; ++j) pts.push_back({x0 + r - r * kc[j], y0 + r - r * ks[j]});  // pi .. 3pi/2
  return pts;
}

std::vector<D2D_POINT_2F> mirror_x(const std::vector<D2D_POINT_2F>& points) {
  std::vector<D2D_POINT_2F> r;
  r.reserve(points.size());
  for (auto it = points.rbegin(); it != points.rend(); ++it) r.push_back({-it->x, it->y});
  return r;
}

float draw_frame(IconSink& sink, ArchKind kind, float cx, float cy, float s, D3DCOLORVALUE colour, float width,
                 bool compact) {
  const Xf xf{cx, cy, s};
  switch (arch_index(kind)) {
    case 0: {  // chip
      stroke(sink, xf, rrect_path(-0.78f, -0.78f, 0.78f, 0.78f, 0.12f), true, colour, width);
      int m = compact ? 3 : 4;
      for (int i = 0; i < m; ++i) {
        float t = (float(i) / float(m - 1) - 0.5f) * 0.78f * 1.12f;
        stroke(sink, xf, {{t, -0.78f}, {t, -0.98f}}, false, colour, width);
        stroke(sink, xf, {{t, 0.78f}, {t, 0.98f}}, false, colour, width);
        stroke(sink, xf, {{-0.78f, t}, {-0.98f, t}}, false, colour, width);
        stroke(sink, xf, {{0.78f, t}, {0.98f, t}}, false, colour, width);
      }
      if (!compact) sink.dot(cx - 0.58f * s, cy - 0.58f * s, std::max(0.045f * s, 0.8f * width), colour);
      return 0.6f * s;
    }
    case 1: {  // reticle
      sink.circle(cx, cy, 0.84f * s, colour, width);
      static const float kDir[4][2] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};  // right, down, left, up
      for (const auto& d : kDir) {
        stroke(sink, xf, {{0.84f * d[0], 0.84f * d[1]}, {d[0], d[1]}}, false, colour, width);
        if (!compact) stroke(sink, xf, {{0.74f * d[0], 0.74f * d[1]}, {0.84f * d[0], 0.84f * d[1]}}, false, colour, width);
      }
      return 0.6f * s;
    }
    case 2: {  // hexagon, vertex up
      Pts hex = ngon(6, 0.94f, -kPi / 2);
      stroke(sink, xf, hex, true, colour, width);
      if (!compact)
        for (const D2D_POINT_2F& p : hex) {
          D2D_POINT_2F q = at(xf, p.x, p.y);
          sink.dot(q.x, q.y, std::max(0.04f * s, width), colour);
        }
      return 0.62f * s;
    }
    case 3:  // diamond
      stroke(sink, xf, ngon(4, 0.98f, -kPi / 2), true, colour, width);
      if (!compact) stroke(sink, xf, ngon(4, 0.86f, -kPi / 2), true, fade(colour, 0.45f), width * 0.8f);
      return 0.5f * s;
    case 4:  // octagon, flat sides
      stroke(sink, xf, ngon(8, 0.92f, kPi / 8), true, colour, width);
      return 0.64f * s;
    default: {  // ring of dashes
      int n = compact ? 10 : 16;
      float span = 0.55f * 2 * kPi / float(n);
      for (int k = 0; k < n; ++k) {
        float a = float(k) * 2 * kPi / float(n);
        Pts dash;
        for (int j = 0; j < 4; ++j) {
          float b = a + float(j) * span / 3;
          dash.push_back({0.86f * std::cos(b), 0.86f * std::sin(b)});
        }
        stroke(sink, xf, dash, false, colour, width);
      }
      return 0.62f * s;
    }
  }
}

// ===========================================================================
// Operating-system glyphs
// ===========================================================================

namespace {

using Glyph = void (*)(IconSink&, float cx, float cy, float s, D3DCOLORVALUE c, float w, bool compact);

void glyph_mac_os_x(IconSink& sink, float cx, float cy, float s, D3DCOLORVALUE c, float w, bool compact) {
  const Xf xf{cx, cy + 0.04f * s, 0.94f * s};
  Pts half;
  bez(half, {0, -0.5f}, {0.18f, -0.66f}, {0.62f, -0.72f}, {0.78f, -0.32f}, 10);
  bez(half, {0.78f, -0.32f}, {0.92f, 0}, {0.84f, 0.44f}, {0.56f, 0.74f}, 10);
  bez(half, {0.56f, 0.74f}, {0.42f, 0.9f}, {0.2f, 0.86f}, {0, 0.74f}, 10);
  stroke(sink, xf, mirrored(half), true, c, w);
  Pts leaf;
  bez(leaf, {0.02f, -0.62f}, {0, -0.88f}, {0.18f, -0.98f}, {0.38f, -0.98f}, 8);
  bez(leaf, {0.38f, -0.98f}, {0.4f, -0.76f}, {0.22f, -0.62f}, {0.02f, -0.62f}, 8);
  stroke(sink, xf, leaf, true, c, w);
  if (!compact) {
    Pts shine;
    bez(shine, {-0.52f, -0.3f}, {-0.62f, -0.06f}, {-0.6f, 0.18f}, {-0.48f, 0.4f}, 8);
    stroke(sink, xf, shine, false, fade(c, 0.55f), w * 0.9f);
  }
}

void glyph_mac_os_9(IconSink& sink, float cx, float cy, float s, D3DCOLORVALUE c, float w, bool compact) {
  const Xf xf{cx, cy, 0.92f * s};
  stroke(sink, xf, rrect_path(-0.62f, -0.88f, 0.62f, 0.8f, 0.12f), true, c, w);
  stroke(sink, xf, rrect_path(-0.44f, -0.66f, 0.44f, 0.08f, 0.07f), true, c, w);
  stroke(sink, xf, {{0.08f, 0.44f}, {0.42f, 0.44f}}, false, c, w);
  stroke(sink, xf, {{-0.5f, 0.8f}, {-0.5f, 0.94f}, {0.5f, 0.94f}, {0.5f, 0.8f}}, false, c, w);
  if (!compact) {
    Pts trace;
    for (int i = 0; i <= 16; ++i)
      trace.push_back({0.64f * float(i) / 16 - 0.32f, 0.14f * std::sin(float(i) * kPi / 4) - 0.29f});
    stroke(sink, xf, trace, false, fade(c, 0.8f), w * 0.85f);
  }
}

// Column and row bands of the four-pane glyphs; compact icons get a wider gap.
void pane_bands(bool compact, float bands[2][2]) {
  float g0 = compact ? 0.45f : 0.465f, g1 = compact ? 0.55f : 0.535f;
  bands[0][0] = 0, bands[0][1] = g0, bands[1][0] = g1, bands[1][1] = 1;
}

void glyph_windows(IconSink& sink, float cx, float cy, float s, D3DCOLORVALUE c, float w, bool compact) {
  const Xf xf{cx, cy, 0.95f * s};
  float bands[2][2];
  pane_bands(compact, bands);
  auto x = [](float u) { return 1.68f * u - 0.84f; };
  auto y = [](float u, float r) {
    float top = -0.58f - 0.34f * u, bottom = 0.58f + 0.34f * u;
    return top + r * (bottom - top);
  };
  for (const auto& col : bands)
    for (const auto& row : bands) {
      float u0 = col[0], u1 = col[1], r0 = row[0], r1 = row[1];
      stroke(sink, xf, {{x(u0), y(u0, r0)}, {x(u1), y(u1, r0)}, {x(u1), y(u1, r1)}, {x(u0), y(u0, r1)}}, true, c, w);
    }
}

void glyph_windows_9x(IconSink& sink, float cx, float cy, float s, D3DCOLORVALUE c, float w, bool compact) {
  const Xf xf{cx, cy, 0.95f * s};
  float bands[2][2];
  pane_bands(compact, bands);
  auto wave = [](float t) { return 0.15f * std::sin((1.5f * t - 0.25f) * kPi); };
  for (const auto& col : bands)
    for (const auto& row : bands) {
      Pts pane;
      for (int i = 0; i <= 6; ++i) {
        float t = col[0] + float(i) / 6 * (col[1] - col[0]);
        pane.push_back({1.4f * t - 0.5f, 1.3f * row[0] - 0.68f + wave(t)});
      }
      for (int i = 6; i >= 0; --i) {
        float t = col[0] + float(i) / 6 * (col[1] - col[0]);
        pane.push_back({1.4f * t - 0.5f, 1.3f * row[1] - 0.68f + wave(t)});
      }
      stroke(sink, xf, pane, true, c, w);
    }
  for (float r : {0.18f, 0.5f, 0.82f}) {
    float y = 1.3f * r - 0.68f - 0.10606602f;  // the wave's height at t = 0
    stroke(sink, xf, {{-0.98f, y}, {-0.9f, y}}, false, fade(c, 0.7f), w);
    stroke(sink, xf, {{-0.82f, y}, {-0.62f, y}}, false, fade(c, 0.7f), w);
  }
}

void glyph_linux(IconSink& sink, float cx, float cy, float s, D3DCOLORVALUE c, float w, bool compact) {
  const Xf xf{cx, cy, 0.98f * s};
  Pts body;
  bez(body, {0, -0.94f}, {0.3f, -0.94f}, {0.42f, -0.64f}, {0.38f, -0.38f}, 10);
  bez(body, {0.38f, -0.38f}, {0.4f, -0.18f}, {0.68f, 0.06f}, {0.64f, 0.42f}, 10);
  bez(body, {0.64f, 0.42f}, {0.62f, 0.72f}, {0.36f, 0.82f}, {0, 0.82f}, 10);
  stroke(sink, xf, mirrored(body), true, c, w);
  if (!compact) {
    Pts belly;
    bez(belly, {0, -0.3f}, {0.28f, -0.3f}, {0.44f, 0.18f}, {0.4f, 0.44f}, 10);
    bez(belly, {0.4f, 0.44f}, {0.36f, 0.68f}, {0.16f, 0.74f}, {0, 0.74f}, 10);
    stroke(sink, xf, mirrored(belly), true, fade(c, 0.6f), w * 0.85f);
  }
  float eye = std::max(0.075f * s, 0.9f * w);
  for (float ex : {-0.15f, 0.15f}) {
    D2D_POINT_2F p = at(xf, ex, -0.58f);
    sink.circle(p.x, p.y, eye, c, w * 0.8f);
  }
  D3DCOLORVALUE orange = accent(kOrange, c);
  stroke(sink, xf, {{-0.17f, -0.37f}, {0, -0.25f}, {0.17f, -0.37f}, {0, -0.45f}}, true, orange, w);
  stroke(sink, xf, {{0.06f, 0.84f}, {0.16f, 0.96f}, {0.5f, 0.96f}, {0.44f, 0.82f}}, false, orange, w);
  stroke(sink, xf, {{-0.06f, 0.84f}, {-0.16f, 0.96f}, {-0.5f, 0.96f}, {-0.44f, 0.82f}}, false, orange, w);
}

void glyph_bsd(IconSink& sink, float cx, float cy, float s, D3DCOLORVALUE c, float w, bool) {
  const Xf xf{cx, cy, 0.96f * s};
  Pts cross;
  bez(cross, {-0.56f, -0.8f}, {-0.56f, -0.28f}, {0.56f, -0.28f}, {0.56f, -0.8f}, 14);
  stroke(sink, xf, cross, false, c, w);
  stroke(sink, xf, {{0, -0.94f}, {0, 0.96f}}, false, c, w);
  for (D2D_POINT_2F p : {D2D_POINT_2F{-0.56f, -0.8f}, D2D_POINT_2F{0, -0.94f}, D2D_POINT_2F{0.56f, -0.8f}})
    stroke(sink, xf, {{p.x - 0.13f, p.y + 0.17f}, p, {p.x + 0.13f, p.y + 0.17f}}, false, c, w);
  stroke(sink, xf, {{-0.14f, 0.96f}, {0.14f, 0.96f}}, false, c, w);
}

void glyph_freebsd(IconSink& sink, float cx, float cy, float s, D3DCOLORVALUE c, float w, bool compact) {
  const Xf xf{cx, cy, 0.96f * s};
  Pts head;
  bez(head, {0, -0.44f}, {0.36f, -0.44f}, {0.62f, -0.2f}, {0.62f, 0.12f}, 10);
  bez(head, {0.62f, 0.12f}, {0.62f, 0.46f}, {0.34f, 0.64f}, {0.1f, 0.68f}, 10);
  head.push_back({0, 0.86f});  // pointed chin
  stroke(sink, xf, mirrored(head), true, c, w);
  Pts horn;
  bez(horn, {0.54f, -0.17f}, {0.76f, -0.3f}, {0.78f, -0.6f}, {0.6f, -0.82f}, 10);
  bez(horn, {0.6f, -0.82f}, {0.6f, -0.62f}, {0.5f, -0.46f}, {0.32f, -0.37f}, 10);
  D3DCOLORVALUE red = accent(kRed, c);
  stroke(sink, xf, horn, false, red, w);
  stroke(sink, xf, mirror_x(horn), false, red, w);
  if (!compact) {
    for (float e : {-0.15f, 0.15f}) {
      Pts eye;
      for (int k = 0; k < 16; ++k) {
        float t = float(k) * 2 * kPi / 16;
        eye.push_back({e + 0.14f * std::cos(t), -0.02f + 0.18f * std::sin(t)});
      }
      stroke(sink, xf, eye, true, c, w * 0.85f);
      D2D_POINT_2F p = at(xf, e + 0.05f, 0.02f);
      sink.dot(p.x, p.y, 0.065f * s, c);
    }
    if (s > 15) {
      stroke(sink, xf, {{-0.27f, -0.34f}, {-0.08f, -0.28f}}, false, c, w * 0.9f);
      stroke(sink, xf, {{0.27f, -0.34f}, {0.08f, -0.28f}}, false, c, w * 0.9f);
    }
  } else {
    for (float e : {-0.18f, 0.18f}) {
      D2D_POINT_2F p = at(xf, e, -0.04f);
      sink.dot(p.x, p.y, std::max(0.08f * s, 0.9f * w), c);
    }
  }
  Pts grin;
  bez(grin, {-0.34f, 0.26f}, {-0.16f, 0.5f}, {0.18f, 0.5f}, {0.36f, 0.24f}, 8);
  stroke(sink, xf, grin, false, c, w);
}

void glyph_openbsd(IconSink& sink, float cx, float cy, float s, D3DCOLORVALUE c, float w, bool compact) {
  const Xf xf{cx, cy, 0.96f * s};
  const float bx = 0.16f, br = 0.48f;  // body circle
  const float deg = kPi / 180;
  Pts body;
  for (int i = 0; i <= 30; ++i) {
    float a = float(10 * i - 150) * deg;
    body.push_back({bx + br * std::cos(a), br * std::sin(a)});
  }
  body.insert(body.end(), {{-0.44f, 0.09f}, {-0.86f, 0.42f}, {-0.72f, 0}, {-0.86f, -0.42f}, {-0.44f, -0.09f}});
  stroke(sink, xf, body, true, c, w);
  int m = compact ? 5 : 12;
  float len = compact ? 0.24f : 0.19f;
  D3DCOLORVALUE amber = accent(kAmber, c);
  for (int i = 0; i < m; ++i) {
    // The lean is computed in radians: with degrees in the sine the spikes
    // would point every which way instead of toward the tail.
    float a = (250.0f * float(i) / float(m - 1) - 125.0f) * deg;
    float d = a + 0.35f * std::sin(a);
    D2D_POINT_2F b{bx + br * std::cos(a), br * std::sin(a)};
    stroke(sink, xf, {b, {b.x + len * std::cos(d), b.y + len * std::sin(d)}}, false, amber, w);
  }
  if (!compact) {
    D2D_POINT_2F eye = at(xf, 0.32f, -0.12f), pupil = at(xf, 0.36f, -0.12f);
    sink.circle(eye.x, eye.y, 0.13f * s, c, w * 0.85f);
    sink.dot(pupil.x, pupil.y, 0.055f * s, c);
    if (s > 15) {
      D2D_POINT_2F mouth = at(xf, 0.52f, 0.16f);
      sink.circle(mouth.x, mouth.y, 0.05f * s, c, w * 0.8f);
      Pts fin;
      bez(fin, {0.06f, 0.08f}, {-0.06f, 0.1f}, {-0.18f, 0.2f}, {-0.16f, 0.32f}, 6);
      bez(fin, {-0.16f, 0.32f}, {-0.06f, 0.3f}, {0.04f, 0.24f}, {0.06f, 0.16f}, 6);
      stroke(sink, xf, fin, false, c, w * 0.85f);
    }
  } else {
    D2D_POINT_2F eye = at(xf, 0.36f, -0.16f);
    sink.dot(eye.x, eye.y, std::max(0.08f * s, 0.9f * w), c);
  }
}

void glyph_netbsd(IconSink& sink, float cx, float cy, float s, D3DCOLORVALUE c, float w, bool) {
  const Xf xf{cx, cy, 0.96f * s};
  stroke(sink, xf, {{-0.46f, -0.76f}, {-0.46f, 0.9f}}, false, c, w);
  D2D_POINT_2F knob = at(xf, -0.46f, -0.8f);
  sink.dot(knob.x, knob.y, std::max(0.08f * s, w), c);
  Pts flag;
  bez(flag, {-0.46f, -0.76f}, {-0.15f, -1.02f}, {0.36f, -0.3f}, {0.84f, -0.5f}, 14);
  flag.push_back({0.87f, -0.11f});
  flag.push_back({0.84f, 0.28f});
  bez(flag, {0.84f, 0.28f}, {0.36f, 0.48f}, {-0.15f, -0.24f}, {-0.46f, 0.02f}, 14);
  stroke(sink, xf, flag, false, c, w);
  Pts fold;
  bez(fold, {-0.46f, -0.37f}, {-0.15f, -0.63f}, {0.36f, 0.09f}, {0.86f, -0.11f}, 14);
  stroke(sink, xf, fold, false, accent(kOrange, c), w);
}

void glyph_dos(IconSink& sink, float cx, float cy, float s, D3DCOLORVALUE c, float w, bool) {
  const Xf xf{cx, cy, s};
  stroke(sink, xf, {{-0.64f, -0.38f}, {-0.18f, 0}, {-0.64f, 0.38f}}, false, c, w * 1.15f);
  stroke(sink, xf, {{-0.02f, 0.38f}, {0.62f, 0.38f}}, false, c, w * 1.15f);
}

void glyph_other(IconSink& sink, float cx, float cy, float s, D3DCOLORVALUE c, float w, bool compact) {
  const Xf xf{cx, cy, 0.98f * s};
  stroke(sink, xf, rrect_path(-0.84f, -0.68f, 0.84f, 0.46f, 0.08f), true, c, w);
  stroke(sink, xf, {{-0.16f, 0.46f}, {-0.24f, 0.78f}}, false, c, w);
  stroke(sink, xf, {{0.16f, 0.46f}, {0.24f, 0.78f}}, false, c, w);
  stroke(sink, xf, {{-0.46f, 0.8f}, {0.46f, 0.8f}}, false, c, w);
  Pts star;
  for (int k = 0; k < 10; ++k) {
    float t = float(k) * kPi / 5 - kPi / 2, r = k % 2 == 0 ? 0.32f : 0.13f;
    star.push_back({r * std::cos(t), r * std::sin(t) - 0.11f});
  }
  stroke(sink, xf, star, true, compact ? c : accent({0.94f, 0.98f, 1.0f, 1}, c), w);
}

const Glyph kGlyphs[11] = {glyph_mac_os_x, glyph_mac_os_9, glyph_windows, glyph_windows_9x,
                           glyph_linux,    glyph_bsd,      glyph_freebsd, glyph_openbsd,
                           glyph_netbsd,   glyph_dos,      glyph_other};

}  // namespace

void draw_glyph(IconSink& sink, OsKind os, float cx, float cy, float s, D3DCOLORVALUE colour, float width,
                bool compact) {
  kGlyphs[os_index(os)](sink, cx, cy, s, colour, width, compact);
}

// ===========================================================================
// Composition: system icon, application mark, application icon
// ===========================================================================

void draw_icon(IconSink& sink, OsKind os, ArchKind arch, float cx, float cy, float size, const IconStyle& style) {
  float half = size / 2;
  bool compact = size < 34;
  float w = std::max(1.0f, size * (compact ? 0.04f : 0.03f));
  D3DCOLORVALUE a = arch_color(arch);
  D3DCOLORVALUE frame = fade(a, style.alpha);
  D3DCOLORVALUE glyph{kIce.r + 0.22f * (a.r - kIce.r), kIce.g + 0.22f * (a.g - kIce.g), kIce.b + 0.22f * (a.b - kIce.b),
                      (kIce.a + 0.22f * (a.a - kIce.a)) * style.alpha};
  float gy = style.label ? cy - 0.12f * half : cy;
  float r = style.label ? 0.8f * half : half;
  float rg = style.frame ? draw_frame(sink, arch, cx, gy, r, frame, w, compact) : 0.9f * r;
  draw_glyph(sink, os, cx, gy, rg, glyph, w, compact);
  if (style.label) sink.text(arch_label(arch), cx, cy + 0.8f * half, size * 0.085f, frame, AlignCentre);
}

void draw_app_mark(IconSink& sink, float cx, float cy, float size, float sweep) {
  float R = size / 2;
  bool small = size < 40;
  float w = std::max(1.0f, size * (small ? 0.06f : 0.022f));
  auto pt = [&](float u, float v) { return D2D_POINT_2F{cx + u * R, cy + v * R}; };
  auto line = [&](float u0, float v0, float u1, float v1, D3DCOLORVALUE c, float width) {
    sink.poly({pt(u0, v0), pt(u1, v1)}, false, c, width);
  };
  sink.circle(cx, cy, 0.86f * R, kPink, w);
  static const float kDir[4][2] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};  // 0, pi/2, pi, 3pi/2
  for (const auto& d : kDir) line(0.86f * d[0], 0.86f * d[1], d[0], d[1], kPink, w);
  if (!small) {
    sink.circle(cx, cy, 0.58f * R, fade(kCyan, 0.55f), 0.8f * w);
    sink.circle(cx, cy, 0.30f * R, fade(kCyan, 0.45f), 0.8f * w);
    line(-0.86f, 0, 0.86f, 0, fade(kCyan, 0.30f), 0.7f * w);
    line(0, -0.86f, 0, 0.86f, fade(kCyan, 0.30f), 0.7f * w);
    for (int i = 1; i <= 10; ++i) {
      float a = sweep - 0.06f * float(i);
      line(0, 0, 0.84f * std::cos(a), 0.84f * std::sin(a), fade(kCyan, 0.5f * (1 - float(i) / 11)), 0.9f * w);
    }
  }
  line(0, 0, 0.84f * std::cos(sweep), 0.84f * std::sin(sweep), kIce, 1.1f * w);
  sink.dot(cx + 0.30f * R, cy - 0.48f * R, std::max(0.07f * R, 0.9f * w), kOrange);
  if (!small) {
    sink.dot(cx - 0.46f * R, cy + 0.22f * R, 0.05f * R, kOrange);
    sink.dot(cx + 0.20f * R, cy + 0.52f * R, 0.04f * R, kGreen);
  }
}

std::vector<u8> render_app_icon(u32 n) {
  const size_t bytes = size_t(n) * n * 4;
  Offscreen off;
  // Callers take the result as an n x n image whatever happens, so a failed
  // target gives a transparent picture of the right size.
  if (!off.create(n, n)) return std::vector<u8>(bytes, 0);
  if (n >= 64) off.phosphor.strength(0.15f, 0.4f);
  off.begin();
  float fn = float(n);
  off.fill_rrect({0, 0, fn, fn}, 0.18f * fn, {0.01f, 0.022f, 0.04f, 1});
  float e = 0.02f * fn, i = std::max(e, 0.5f);
  off.rrect({i, i, fn - i, fn - i}, 0.17f * fn, fade(kDim, 0.9f), std::max(e, 1.0f));
  CanvasSink sink(&off);
  draw_app_mark(sink, 0.5f * fn, 0.5f * fn, 0.84f * fn, -0.8f);
  std::vector<u8> px = off.pixels(false, kImageBg);
  if (px.size() != bytes) px.assign(bytes, 0);
  return px;
}

// ===========================================================================
// Export
// ===========================================================================

namespace {

std::string svg_document(int view_w, int view_h, int w, int h, float deviation, const std::string& background,
                         const std::string& body) {
  std::string d = strf("<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 %d %d\" width=\"%d\" height=\"%d\">\n",
                       view_w, view_h, w, h);
  d += "<defs><filter id=\"glow\" x=\"-20%\" y=\"-20%\" width=\"140%\" height=\"140%\"><feGaussianBlur stdDeviation=\"" +
       num(deviation, 1) +
       "\" result=\"b\"/><feMerge><feMergeNode in=\"b\"/><feMergeNode in=\"b\"/><feMergeNode "
       "in=\"SourceGraphic\"/></feMerge></filter></defs>\n";
  d += background;
  d += "<g fill=\"none\" stroke-linecap=\"round\" stroke-linejoin=\"round\" filter=\"url(#glow)\">\n";
  d += body;
  d += "</g>\n</svg>\n";
  return d;
}

// A PNG of the application icon at n x n, produced through a temporary file
// (the image encoder writes files); empty when any step fails.
std::string app_icon_png(u32 n) {
  std::vector<u8> px = render_app_icon(n);
  wchar_t dir[260], name[MAX_PATH];
  DWORD len = GetTempPathW(260, dir);
  if (len == 0 || len >= 260 || !GetTempFileNameW(dir, L"vun", 0, name)) return {};
  std::string png;
  if (save_png_bgra(name, px.data(), n, n)) {
    HANDLE h = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      LARGE_INTEGER size{};
      if (GetFileSizeEx(h, &size) && size.QuadPart > 0 && size.QuadPart < (1 << 30)) {
        png.resize(size_t(size.QuadPart));
        DWORD got = 0;
        if (!ReadFile(h, png.data(), DWORD(png.size()), &got, nullptr) || got != png.size()) png.clear();
      }
      CloseHandle(h);
    }
  }
  DeleteFileW(name);
  return png;
}

void put_u16(std::string& s, u32 v) {
  s += char(v & 0xFF);
  s += char((v >> 8) & 0xFF);
}

void put_u32(std::string& s, u32 v) {
  put_u16(s, v & 0xFFFF);
  put_u16(s, v >> 16);
}

const D3DCOLORVALUE kSheetBg = kImageBg;
constexpr int kSheetW = 1308, kSheetH = 2068;
float sheet_col(int arch) { return 344.0f + 168.0f * float(arch); }
float sheet_row(int os) { return 234.0f + 168.0f * float(os); }

}  // namespace

std::string ico_file(const std::vector<u32>& sizes, const std::vector<std::string>& pngs) {
  std::string f;
  size_t count = std::min(sizes.size(), pngs.size());
  put_u16(f, 0);
  put_u16(f, 1);
  put_u16(f, u32(count));
  u32 offset = u32(6 + 16 * count);
  for (size_t i = 0; i < count; ++i) {
    u8 side = sizes[i] > 255 ? 0 : u8(sizes[i]);
    f += char(side);
    f += char(side);
    f += char(0);
    f += char(0);
    put_u16(f, 1);
    put_u16(f, 32);
    put_u32(f, u32(pngs[i].size()));
    put_u32(f, offset);
    offset += u32(pngs[i].size());
  }
  for (size_t i = 0; i < count; ++i) f += pngs[i];
  return f;
}

bool export_icons(const std::wstring& folder) {
  bool ok = true;
  const std::wstring svg_dir = path_join(folder, L"svg"), png_dir = path_join(folder, L"png");
  CreateDirectoryW(folder.c_str(), nullptr);
  CreateDirectoryW(svg_dir.c_str(), nullptr);
  CreateDirectoryW(png_dir.c_str(), nullptr);
  // A PNG the encoder could not finish is removed like any other partial file.
  auto saved = [&](bool done, const std::wstring& path) {
    if (!done) {
      DeleteFileW(path.c_str());
      ok = false;
    }
  };
  const IconStyle labelled{1, true, true}, plain{1, false, true};

  for (u32 o = 0; o <= 10; ++o)
    for (u32 a = 0; a <= 5; ++a) {
      OsKind os = OsKind(o);
      ArchKind arch = ArchKind(a);
      std::wstring base = widen(slug(os_label(os)) + "-" + slug(arch_label(arch)));
      SvgSink svg;
      draw_icon(svg, os, arch, 64, 64, 120, labelled);
      ok &= write_file(path_join(svg_dir, base + L".svg"), svg_document(128, 128, 256, 256, 1.6f, "", svg.out));
      Offscreen off;
      std::wstring png = path_join(png_dir, base + L".png");
      bool drawn = off.create(256, 256);
      if (drawn) {
        off.begin();
        CanvasSink sink(&off);
        draw_icon(sink, os, arch, 128, 128, 232, labelled);
        drawn = off.save_png(png, false, kImageBg);
      }
      saved(drawn, png);
    }

  // Icon sheet as a picture: title, legend, column heads, rows, credit.
  {
    Offscreen sheet;
    std::wstring path = path_join(folder, L"icon-sheet.png");
    bool drawn = sheet.create(kSheetW, kSheetH);
    if (drawn) {
      sheet.begin();
      CanvasSink sink(&sheet);
      sheet.text("V.U.N.K. // SYSTEM SYMBOLOGY", 40, 36, 30, kPink, AlignLeft, 0.16f);
      sheet.text("FRAME = CPU ARCHITECTURE   GLYPH = OPERATING SYSTEM", 40, 84, 15, kCyan, AlignLeft, 0.16f);
      for (u32 a = 0; a <= 5; ++a) {
        ArchKind arch = ArchKind(a);
        D3DCOLORVALUE c = arch_color(arch);
        sheet.text(arch_label(arch), sheet_col(int(a)), 116, 15, c, AlignCentre, 0.16f);
        sheet.text(arch_shape_name(arch), sheet_col(int(a)), 138, 10, fade(c, 0.7f), AlignCentre, 0.16f);
      }
      for (u32 o = 0; o <= 10; ++o) {
        float y = sheet_row(int(o));
        sheet.line(40, y + 84, 1268, y + 84, fade(kDim, 0.5f), 1);
        sheet.text(os_label(OsKind(o)), 40, y - 8, 15, kIce, AlignLeft, 0.16f);
        for (u32 a = 0; a <= 5; ++a) draw_icon(sink, OsKind(o), ArchKind(a), sheet_col(int(a)), y, 112, plain);
      }
      sheet.text("LETTERING: THE HERSHEY FONTS, CREATED BY DR. A. V. HERSHEY AT THE U.S. NBS", 40, 2034, 9,
                 fade(kCyan, 0.6f), AlignLeft, 0.16f);
      drawn = sheet.save_png(path, true, kSheetBg);
    }
    saved(drawn, path);
  }

  // Icon sheet as SVG: column labels, row labels and icons only.
  {
    SvgSink svg;
    for (u32 a = 0; a <= 5; ++a)
      svg.text(arch_label(ArchKind(a)), sheet_col(int(a)), 116, 15, arch_color(ArchKind(a)), AlignCentre);
    for (u32 o = 0; o <= 10; ++o) {
      float y = sheet_row(int(o));
      svg.text(os_label(OsKind(o)), 40, y - 8, 15, kIce, AlignLeft);
      for (u32 a = 0; a <= 5; ++a) draw_icon(svg, OsKind(o), ArchKind(a), sheet_col(int(a)), y, 112, plain);
    }
    std::string bg = strf("<rect width=\"%d\" height=\"%d\" fill=\"#020408\"/>\n", kSheetW, kSheetH);
    ok &= write_file(path_join(folder, L"icon-sheet.svg"), svg_document(kSheetW, kSheetH, kSheetW, kSheetH, 2.0f, bg, svg.out));
  }

  // Windows icon: ten PNG-compressed images.
  {
    const std::vector<u32> sizes = {16, 20, 24, 32, 40, 48, 64, 96, 128, 256};
    std::vector<std::string> pngs;
    for (u32 n : sizes) {
      pngs.push_back(app_icon_png(n));
      // An empty entry still keeps its place in the directory, but the file
      // is then not what was asked for.
      if (pngs.back().empty()) ok = false;
    }
    ok &= write_file(path_join(folder, L"vunk.ico"), ico_file(sizes, pngs));
  }

  {
    std::wstring path = path_join(folder, L"vunk-512.png");
    std::vector<u8> px = render_app_icon(512);
    saved(save_png_bgra(path, px.data(), 512, 512), path);
  }

  {
    SvgSink svg;
    draw_app_mark(svg, 64, 64, 112, -0.8f);
    ok &= write_file(path_join(folder, L"vunk.svg"),
                     svg_document(128, 128, 256, 256, 1.6f,
                                  "<rect width=\"128\" height=\"128\" rx=\"23\" fill=\"#03060a\"/>\n", svg.out));
  }
  return ok;
}

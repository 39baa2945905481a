#include "gfx/worldmap.h"
#include "gfx/layer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

// ---- sites ----------------------------------------------------------------

const std::vector<Site> kSites = {
    {"norad", "NORAD", 38.744f, -104.846f, 12, 8},
    {"cupertino", "CUPERTINO", 37.323f, -122.032f, -92, 20},
    {"redmond", "REDMOND", 47.674f, -122.121f, -88, -22},
    {"seattle", "SEATTLE", 47.606f, -122.332f, -96, -2},
    {"berkeley", "BERKELEY", 37.872f, -122.273f, -96, -6},
    {"helsinki", "HELSINKI", 60.17f, 24.94f, 12, -20},
    {"cambridge", "CAMBRIDGE", 52.205f, 0.119f, -98, -18},
    {"austin", "AUSTIN", 30.267f, -97.743f, 14, 14},
    {"calgary", "CALGARY", 51.045f, -114.057f, 12, -20},
    {"geneva", "GENEVA", 46.2f, 6.14f, 12, 12},
    {"london", "LONDON", 51.507f, -0.128f, -80, 10},
    {"raleigh", "RALEIGH", 35.78f, -78.639f, 14, 10},
    {"umea", "UMEA", 63.826f, 20.263f, 12, -18},
    {"chicago", "CHICAGO", 41.878f, -87.63f, 12, -18},
};

const std::vector<Site>& sites() { return kSites; }

const Site* find_site(const char* id) {
  if (!id) return nullptr;
  for (const Site& s : kSites)
    if (std::strcmp(s.id, id) == 0) return &s;
  return nullptr;
}

// ---- projection -------------------------------------------------------------

namespace {

constexpr double kPi = 3.14159265358979323846;

D3DCOLORVALUE rgba(float r, float g, float b, float a) { return {r, g, b, a}; }
D3DCOLORVALUE with_alpha(D3DCOLORVALUE c, float a) { return {c.r, c.g, c.b, a}; }

const D3DCOLORVALUE kCyan{0.22f, 0.78f, 1.0f, 1.0f};
const D3DCOLORVALUE kWhite{0.94f, 0.98f, 1.0f, 1.0f};
const D3DCOLORVALUE kPink{1.0f, 0.66f, 0.96f, 1.0f};

}  // namespace

float WorldMap::wrap(float lon, float center_lon) {
  // A remainder instead of adding 360 in a loop: the same result for any
  // real longitude, and an infinite one cannot spin forever.
  double d = std::fmod(double(lon) - double(center_lon), 360.0);
  if (d > 180) d -= 360;
  if (d < -180) d += 360;
  return float(d);
}

D2D_POINT_2F WorldMap::raw(float lat, float lon, float center_lon) {
  double phi = lat * kPi / 180;
  double lambda = wrap(lon, center_lon) * kPi / 180;
  double p2 = phi * phi, p4 = p2 * p2, p6 = p4 * p2, p8 = p4 * p4, p10 = p8 * p2, p12 = p10 * p2;
  double x = lambda * (0.8707 - 0.131979 * p2 - 0.013791 * p4 + 0.003971 * p10 - 0.001529 * p12);
  double y = -phi * (1.007226 + 0.015085 * p2 - 0.044475 * p6 + 0.028874 * p8 - 0.005916 * p10);
  return {float(x), float(y)};
}

D2D_POINT_2F WorldMap::project(float lat, float lon) const {
  D2D_POINT_2F p = raw(lat, lon, center_lon);
  return {p.x * scale + cx, p.y * scale + cy};
}

std::vector<std::vector<D2D_POINT_2F>> WorldMap::pieces(const MapPoint* points, u32 count, float center_lon) {
  std::vector<std::vector<D2D_POINT_2F>> out;
  std::vector<D2D_POINT_2F> piece;
  float prev_d = 0;
  auto emit = [&] {
    if (piece.size() >= 2) out.push_back(piece);
    piece.clear();
  };
  for (u32 i = 0; i < count; i++) {
    float lat = points[i].lat / 100.0f, lon = points[i].lon / 100.0f;
    if (lat < -60) {  // Antarctica and the southern ocean are off the map
      emit();
      continue;
    }
    float d = wrap(lon, center_lon);
    if (!piece.empty() && std::fabs(d - prev_d) > 180) emit();  // crosses the map's edge
    piece.push_back(raw(lat, lon, center_lon));
    prev_d = d;
  }
  emit();
  return out;
}

// ---- geometries ---------------------------------------------------------------

std::vector<std::vector<D2D_POINT_2F>> WorldMap::figures(const std::vector<D2D_POINT_2F>& line) {
  return stroke_figures(line.data(), line.size());
}

namespace {

// One open hollow figure per polyline. Null when Direct2D refuses, which
// leaves that layer undrawn.
ComPtr<ID2D1PathGeometry> make_paths(const std::vector<std::vector<D2D_POINT_2F>>& lines) {
  ComPtr<ID2D1PathGeometry> path;
  if (!g_gfx.d2d_factory || FAILED(g_gfx.d2d_factory->CreatePathGeometry(&path))) return nullptr;
  ComPtr<ID2D1GeometrySink> sink;
  if (FAILED(path->Open(&sink))) return nullptr;
  for (const auto& line : lines)
    for (const auto& l : WorldMap::figures(line)) {
      sink->BeginFigure(l[0], D2D1_FIGURE_BEGIN_HOLLOW);
      sink->AddLines(l.data() + 1, UINT32(l.size() - 1));
      sink->EndFigure(D2D1_FIGURE_END_OPEN);
    }
  if (FAILED(sink->Close())) return nullptr;
  return path;
}

std::vector<std::vector<D2D_POINT_2F>> outline(const MapLine* lines, size_t n, const MapPoint* points,
                                               float center_lon) {
  std::vector<std::vector<D2D_POINT_2F>> all;
  for (size_t i = 0; i < n; i++) {
    auto p = WorldMap::pieces(points + lines[i].first, lines[i].count, center_lon);
    for (auto& piece : p) all.push_back(std::move(piece));
  }
  return all;
}

}  // namespace

void WorldMap::build() {
  coast = make_paths(outline(kCoastLines, kCoastLinesCount, kCoastPoints, center_lon));
  borders = make_paths(outline(kBorderLines, kBorderLinesCount, kBorderPoints, center_lon));

  std::vector<std::vector<D2D_POINT_2F>> grid;
  for (int m = 0; m <= 12; m++) {
    // The +180 meridian sits just inside so that it wraps to the right edge.
    float lon = center_lon + (m == 12 ? 179.99f : -180.0f + 30.0f * m);
    std::vector<D2D_POINT_2F> l;
    for (int lat = -58; lat <= 84; lat += 2) l.push_back(raw(float(lat), lon, center_lon));
    grid.push_back(std::move(l));
  }
  for (float lat : {-30.0f, 0.0f, 30.0f, 60.0f}) {
    std::vector<D2D_POINT_2F> l;
    for (int i = 0; i < 120; i++) l.push_back(raw(lat, center_lon - 179.99f + 3.0f * i, center_lon));
    grid.push_back(std::move(l));
  }
  graticule = make_paths(grid);
  built = true;
}

void WorldMap::layout(const D2D_RECT_F& r) {
  if (!built) build();
  rect = r;
  float w = r.right - r.left, h = r.bottom - r.top;
  scale = std::min(h / kHeight, w / kWidth);
  cx = r.left + w / 2;
  cy = r.top + (h - kHeight * scale) / 2 + kTop * scale;
}

// ---- drawing --------------------------------------------------------------------

void WorldMap::draw(Canvas& canvas, float k) {
  // An empty or inverted rectangle (a minimised window) has no map to show,
  // and its widths divided by the scale would not be finite.
  if (!canvas.dc || !(scale > 0) || !std::isfinite(scale)) return;
  D2D1_MATRIX_3X2_F old = canvas.xf;
  canvas.set_transform(D2D1::Matrix3x2F::Scale(scale, scale) * D2D1::Matrix3x2F::Translation(cx, cy) *
                       *D2D1::Matrix3x2F::ReinterpretBaseType(&old));
  // Every outline lies in the projection's box (a little to spare for the edges).
  const D2D_RECT_F box{-kWidth / 2 - 0.01f, -kTop - 0.01f, kWidth / 2 + 0.01f, kHeight - kTop + 0.01f};
  if (graticule) canvas.geometry(graticule.Get(), rgba(0.1f, 0.36f, 0.52f, 0.55f * k), 0.8f / scale, &box);
  if (borders) canvas.geometry(borders.Get(), rgba(0.36f, 1.0f, 0.48f, 0.42f * k), 0.9f / scale, &box);
  if (coast) canvas.geometry(coast.Get(), rgba(0.22f, 0.78f, 1.0f, 0.92f * k), 1.25f / scale, &box);
  canvas.set_transform(old);
}

void WorldMap::draw_site(Canvas& canvas, const Site& site, D3DCOLORVALUE colour, float k, bool with_label) {
  D2D_POINT_2F p = project(site.lat, site.lon);
  D3DCOLORVALUE c = with_alpha(colour, colour.a * k);
  canvas.circle(p.x, p.y, 3.2f, c, 1.2f);
  canvas.disc(p.x, p.y, 1.2f, c);
  if (!with_label) return;
  float lx = p.x + site.label_dx, ly = p.y + site.label_dy;
  float w = canvas.text_width(site.label, 8.5f, 0.16f);
  D3DCOLORVALUE leader = with_alpha(colour, colour.a * k * 0.55f);
  if (site.label_dx < 0)
    canvas.line(p.x - 3.5f, p.y, lx + w + 3, ly + 4, leader, 0.8f);
  else
    canvas.line(p.x + 3.5f, p.y, lx - 3, ly + 4, leader, 0.8f);
  canvas.text(site.label, lx, ly, 8.5f, c, AlignLeft, 0.16f, 0);
}

void WorldMap::draw_norad(Canvas& canvas, float t, float k) {
  const Site* norad = find_site("norad");
  if (!norad) return;
  D2D_POINT_2F p = project(norad->lat, norad->lon);
  for (float r : {22.0f, 44.0f, 66.0f}) canvas.circle(p.x, p.y, r, with_alpha(kCyan, 0.16f * k), 0.8f);
  for (int i = 0; i < 14; i++) {
    float a = 1.1f * t - 0.045f * i;
    canvas.line(p.x, p.y, p.x + 66 * std::cos(a), p.y + 66 * std::sin(a),
                with_alpha(kCyan, (1 - i / 14.0f) * 0.42f * k), 1.0f);
  }
  D2D_POINT_2F star[10];
  for (int i = 0; i < 10; i++) {
    float a = float(i * kPi / 5 - kPi / 2), r = i % 2 ? 2.8f : 7.0f;
    star[i] = {p.x + r * std::cos(a), p.y + r * std::sin(a)};
  }
  canvas.poly(star, 10, with_alpha(kWhite, k), 1.2f, true);
  text_fast(canvas, "NORAD", p.x + 11, p.y + 6, 10, with_alpha(kWhite, k), AlignLeft, 0.16f, 0);
}

bool WorldMap::track_curve(const Site& target, bool inbound, std::array<D2D_POINT_2F, kTrackPoints>& q) const {
  const Site* norad = find_site("norad");
  if (!norad) return false;
  D2D_POINT_2F a = project(norad->lat, norad->lon), b = project(target.lat, target.lon);
  D2D_POINT_2F p0 = inbound ? b : a, p2 = inbound ? a : b;
  float h = std::max(0.38f * std::hypot(p2.x - p0.x, p2.y - p0.y), 34.0f);  // the arc bows upwards
  D2D_POINT_2F c{(p0.x + p2.x) / 2, (p0.y + p2.y) / 2 - h};
  for (int i = 0; i < kTrackPoints; i++) {
    float u = i / float(kTrackPoints - 1), v = 1 - u;
    q[i] = {v * v * p0.x + 2 * v * u * c.x + u * u * p2.x, v * v * p0.y + 2 * v * u * c.y + u * u * p2.y};
  }
  return true;
}

D2D_POINT_2F WorldMap::draw_track(Canvas& canvas, const Site& target, float t, D3DCOLORVALUE colour, float k,
                                  const std::string& caption, bool inbound) {
  std::array<D2D_POINT_2F, kTrackPoints> q;
  if (!track_curve(target, inbound, q)) return project(target.lat, target.lon);
  canvas.poly(q.data(), q.size(), with_alpha(colour, colour.a * k * 0.3f), 1.0f, false);

  // Dashes of about 9 DIPs on and 9 off, chosen per segment by its midpoint,
  // running from the start towards the end at 36 DIPs per second.
  float phase = std::fmod(36 * t, 18.0f);
  float s = 0;
  D3DCOLORVALUE dash = with_alpha(colour, colour.a * k * 0.95f);
  // The dashes are the figures of one path: one call however many there are.
  ComPtr<ID2D1PathGeometry> geo;
  ComPtr<ID2D1GeometrySink> sink;
  if (!g_gfx.d2d_factory || FAILED(g_gfx.d2d_factory->CreatePathGeometry(&geo)) || FAILED(geo->Open(&sink)))
    sink.Reset();
  D2D_RECT_F bounds{INFINITY, INFINITY, -INFINITY, -INFINITY};
  bool open = false;
  for (int i = 1; i < kTrackPoints; i++) {
    float len = std::hypot(q[i].x - q[i - 1].x, q[i].y - q[i - 1].y);
    bool on = std::fmod(s + len / 2 - phase + 1800, 18.0f) < 9;
    s += len;
    if (!sink) {
      if (on) canvas.line(q[i - 1].x, q[i - 1].y, q[i].x, q[i].y, dash, 1.5f);
      continue;
    }
    if (on && !open) sink->BeginFigure(q[i - 1], D2D1_FIGURE_BEGIN_HOLLOW), open = true;
    if (!on && open) sink->EndFigure(D2D1_FIGURE_END_OPEN), open = false;
    if (!on) continue;
    sink->AddLine(q[i]);
    bounds = points_bounds(&q[i - 1], 2, bounds);
  }
  if (sink) {
    if (open) sink->EndFigure(D2D1_FIGURE_END_OPEN);
    if (SUCCEEDED(sink->Close()) && bounds.left <= bounds.right) canvas.geometry(geo.Get(), dash, 1.5f, &bounds);
  }

  float trip = t / 3 - std::floor(t / 3);  // one trip every 3 s
  int j = std::isfinite(trip) ? std::clamp(int(48 * trip), 0, kTrackPoints - 1) : 0;
  canvas.disc(q[j].x, q[j].y, 2.2f, with_alpha(kWhite, k));

  D2D_POINT_2F p2 = q[kTrackPoints - 1];
  float pulse = 0.5f * std::sin(3 * t) + 0.5f;
  canvas.circle(p2.x, p2.y, 15, with_alpha(kPink, k), 1.4f);
  canvas.circle(p2.x, p2.y, 15 + 6 * pulse, with_alpha(kPink, k * 0.35f * (1 - pulse)), 1.0f);
  // The four ticks turn every frame: one path, one call.
  Strokes ticks;
  for (int i = 0; i < 4; i++) {
    float a = float(i * kPi / 2) + 0.6f * t;
    ticks.line(p2.x + 15 * std::cos(a), p2.y + 15 * std::sin(a), p2.x + 21 * std::cos(a), p2.y + 21 * std::sin(a),
               with_alpha(kPink, k), 1.2f);
  }
  ticks.draw(canvas);
  if (!caption.empty()) {
    float y = target.label_dy < 0 ? p2.y + 14 : p2.y - 32;
    canvas.text(caption, p2.x + 22, y, 12, with_alpha(kPink, k), AlignLeft, 0.16f, 0);
  }
  return p2;
}

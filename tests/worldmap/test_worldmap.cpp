// The map's arithmetic against reference numbers worked out apart from this
// code, and the map drawn on the real device: coastlines where the projection
// puts them, open sea dark, nothing south of the cut or beyond the edge. A
// full scene is left in <build>/worldmap/scene.png for a look by eye.
#include <gtest/gtest.h>

#include <objbase.h>

#include <cmath>

#include "gfx/worldmap.h"
#include "tests/support/test_support.h"

namespace {

constexpr float kC = -15;  // the central meridian the program uses
constexpr u32 kW = 1640, kH = 1000;

MapPoint pt(double lon, double lat) { return {int16_t(std::lround(lon * 100)), int16_t(std::lround(lat * 100))}; }

}  // namespace

TEST(Projection, ReferenceNumbersWrapAndPieces) {
  const struct {
    float lat, lon, x, y;
  } ref[] = {{0, kC, 0, 0},
             {0, kC + 180, 2.7353847f, 0},
             {84, kC, 0, -1.3823434f},
             {-58, kC, 0, 1.0122711f},
             {45, kC + 90, 1.2319938f, -0.7930514f},
             {-33.5f, kC - 120, -1.7257532f, 0.5911009f}};
  for (auto& r : ref) {
    D2D_POINT_2F p = WorldMap::raw(r.lat, r.lon, kC);
    EXPECT_NEAR(p.x, r.x, 1e-5) << r.lat << "," << r.lon;
    EXPECT_NEAR(p.y, r.y, 1e-5) << r.lat << "," << r.lon;
  }
  EXPECT_NEAR(WorldMap::wrap(kC + 181 + 720, kC), -179, 1e-3);
  EXPECT_TRUE(std::isnan(WorldMap::wrap(INFINITY, kC)));  // no endless wrap

  // South of 60 S splits a line and a one-point piece is dropped; a step
  // across the map's edge splits it too.
  MapPoint a[] = {pt(0, 10), pt(0, 20), pt(0, -61), pt(10, 10), pt(10, 20), pt(0, -70)};
  auto p = WorldMap::pieces(a, 6, kC);
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0].size() + p[1].size(), 4u);
  MapPoint c[] = {pt(kC + 178, 5), pt(kC + 179, 5), pt(kC + 181, 5), pt(kC + 182, 5)};
  p = WorldMap::pieces(c, 4, kC);
  ASSERT_EQ(p.size(), 2u);
  EXPECT_GT(p[0][1].x, 2.7f);
  EXPECT_LT(p[1][0].x, -2.7f);
}

TEST(Projection, OutlineTablesHaveNoJumpsAndTracksTheirLift) {
  const struct {
    const MapLine* lines;
    size_t n_lines;
    const MapPoint* points;
    size_t n_points;
  } tables[] = {{kCoastLines, kCoastLinesCount, kCoastPoints, kCoastPointsCount},
                {kBorderLines, kBorderLinesCount, kBorderPoints, kBorderPointsCount}};
  for (auto& t : tables) {
    u32 next = 0;
    float longest = 0;
    for (size_t i = 0; i < t.n_lines; i++) {
      ASSERT_EQ(t.lines[i].first, next) << i;
      next += t.lines[i].count;
      for (auto& piece : WorldMap::pieces(t.points + t.lines[i].first, t.lines[i].count, kC))
        for (size_t j = 1; j < piece.size(); j++)
          longest = std::max(longest, std::hypot(piece[j].x - piece[j - 1].x, piece[j].y - piece[j - 1].y));
    }
    EXPECT_EQ(next, t.n_points);
    EXPECT_LT(longest, 0.5f);  // no stroke across the map
  }
  // The middle of the quadratic track lies half the lift above the chord's.
  WorldMap m;
  m.layout({0, 0, float(kW), float(kH)});
  const Site& n = *find_site("norad");
  const Site& g = *find_site("geneva");
  D2D_POINT_2F a = m.project(n.lat, n.lon), b = m.project(g.lat, g.lon);
  std::array<D2D_POINT_2F, WorldMap::kTrackPoints> out, in;
  ASSERT_TRUE(m.track_curve(g, false, out) && m.track_curve(g, true, in));
  EXPECT_NEAR((a.y + b.y) / 2 - out[24].y, 0.38f * std::hypot(b.x - a.x, b.y - a.y) / 2, 1e-2);
  EXPECT_NEAR(in[0].x, out[48].x, 1e-2);
}

TEST(MapRender, CoastWhereProjectedSeaDarkNothingBeyondTheOutline) {
  static const bool ready = [] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    return g_gfx.init();
  }();
  ASSERT_TRUE(ready);
  WorldMap map;
  Offscreen off;
  ASSERT_TRUE(off.create(kW, kH));
  map.layout({0, 0, float(kW), float(kH)});
  off.begin();
  map.draw(off, 1);
  for (const Site& s : sites())
    if (std::string(s.id) != "norad") map.draw_site(off, s, D3DCOLORVALUE{0.36f, 1, 0.48f, 1}, 1, true);
  map.draw_norad(off, 2.0f, 1);
  std::vector<u8> px = off.pixels(true, D3DCOLORVALUE{0, 0, 0, 1});
  std::wstring dir = build_path("worldmap");
  CreateDirectoryW(dir.c_str(), nullptr);
  EXPECT_TRUE(save_png_bgra(path_join(dir, L"scene.png"), px.data(), kW, kH));
  auto bright = [&](int x, int y) {
    if (x < 0 || y < 0 || x >= int(kW) || y >= int(kH)) return 0;
    const u8* p = &px[(size_t(y) * kW + x) * 4];
    return int(std::max({p[0], p[1], p[2]}));
  };
  auto lit_near = [&](D2D_POINT_2F p, int r, int level) {
    for (int y = int(p.y) - r; y <= int(p.y) + r; y++)
      for (int x = int(p.x) - r; x <= int(p.x) + r; x++)
        if (bright(x, y) > level) return true;
    return false;
  };
  // Gibraltar and Cape Horn at the outline's own vertices; mid-Atlantic dark.
  for (MapPoint v : {pt(-5.35, 36.14), pt(-67.27, -55.98)}) {
    float best = 1e9f;
    MapPoint vertex{};
    for (size_t i = 0; i < kCoastPointsCount; i++) {
      float d = std::hypot(float(kCoastPoints[i].lon - v.lon), float(kCoastPoints[i].lat - v.lat));
      if (d < best) best = d, vertex = kCoastPoints[i];
    }
    EXPECT_TRUE(lit_near(map.project(vertex.lat / 100.0f, vertex.lon / 100.0f), 2, 60)) << v.lat;
  }
  EXPECT_FALSE(lit_near(map.project(15, -35), 4, 20));
  for (const Site& s : sites()) EXPECT_TRUE(lit_near(map.project(s.lat, s.lon), 1, 60)) << s.id;
  int outside = 0;
  for (int lat = -58; lat <= 84; lat++) {
    int y = int(std::lround(map.project(float(lat), 0).y));
    float left = map.project(float(lat), kC - 179.999f).x, right = map.project(float(lat), kC + 179.999f).x;
    for (int x = 0; x < int(kW); x++) outside += (x < left - 3 || x > right + 3) && bright(x, y) > 20;
  }
  for (int y = int(map.project(-60, 0).y + 3); y < int(kH); y++)
    for (int x = 0; x < int(kW); x++) outside += bright(x, y) > 20;
  EXPECT_EQ(outside, 0);

  // A window shrunk to nothing: the map is skipped, not drawn at zero scale.
  ASSERT_TRUE(off.create(64, 64));
  map.layout({10, 10, 10, 10});
  off.begin();
  map.draw(off, 1);
  px = off.pixels(true, D3DCOLORVALUE{0, 0, 0, 1});
  int lit = 0;
  for (size_t i = 0; i < px.size(); i += 4) lit += std::max({px[i], px[i + 1], px[i + 2]}) > 20;
  EXPECT_EQ(lit, 0);
}

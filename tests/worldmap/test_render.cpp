// The map drawn off-screen on the real device: coastlines where the
// projection puts them, open sea dark, the radar and the tracks visible.
// A full scene is written to <build>/worldmap/scene.png for a look by eye.
#include <gtest/gtest.h>

#include <objbase.h>

#include <cmath>

#include "gfx/worldmap.h"
#include "tests/support/test_support.h"

namespace {

constexpr u32 kW = 1640, kH = 1000;
const D3DCOLORVALUE kBlack{0, 0, 0, 1};
const D3DCOLORVALUE kGreen{0.36f, 1.0f, 0.48f, 1.0f};

bool gfx_ready() {
  static bool ok = [] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    return g_gfx.init();
  }();
  return ok;
}

struct Image {
  std::vector<u8> px;
  int w = kW, h = kH;
  // {b, g, r}, zero outside the picture.
  std::array<int, 3> at(int x, int y) const {
    if (x < 0 || y < 0 || x >= w || y >= h) return {0, 0, 0};
    const u8* p = &px[(size_t(y) * w + x) * 4];
    return {p[0], p[1], p[2]};
  }
  int bright(int x, int y) const {
    auto c = at(x, y);
    return std::max({c[0], c[1], c[2]});
  }
  // Whether some pixel within r of (x, y) passes test.
  template <class F> bool any_near(D2D_POINT_2F p, int r, F test) const {
    int x0 = int(std::lround(p.x)), y0 = int(std::lround(p.y));
    for (int y = y0 - r; y <= y0 + r; y++)
      for (int x = x0 - r; x <= x0 + r; x++)
        if (test(at(x, y))) return true;
    return false;
  }
  bool lit_near(D2D_POINT_2F p, int r, int level = 60) const {
    return any_near(p, r, [&](std::array<int, 3> c) { return std::max({c[0], c[1], c[2]}) > level; });
  }
  int lit_count() const {
    int n = 0;
    for (int y = 0; y < h; y++)
      for (int x = 0; x < w; x++) n += bright(x, y) > 40;
    return n;
  }
};

bool is_white(std::array<int, 3> c) { return c[2] > 150 && c[1] > 150 && c[0] > 150; }
bool is_pink(std::array<int, 3> c) { return c[2] > 150 && c[0] > 140 && c[1] < c[2] - 40; }

// Draws with f on a fresh 1640 x 1000 off-screen canvas over black.
template <class F> Image render(WorldMap& map, F f) {
  Image img;
  Offscreen off;
  if (!off.create(kW, kH)) return img;
  map.layout({0, 0, float(kW), float(kH)});
  off.begin();
  f(off);
  img.px = off.pixels(true, kBlack);
  return img;
}

// The outline vertex nearest to a named place, so the check does not depend
// on how far the simplified coast strays from the true one.
MapPoint coast_vertex(float lat, float lon) {
  MapPoint best{};
  float bd = 1e9f;
  for (size_t i = 0; i < kCoastPointsCount; i++) {
    float d = std::hypot(kCoastPoints[i].lon / 100.0f - lon, kCoastPoints[i].lat / 100.0f - lat);
    if (d < bd) bd = d, best = kCoastPoints[i];
  }
  EXPECT_LT(bd, 1.0f) << lat << "," << lon;
  return best;
}

}  // namespace

TEST(MapRender, CoastlinesWhereProjectedSeaDark) {
  ASSERT_TRUE(gfx_ready());
  WorldMap map;
  Image img = render(map, [&](Canvas& c) { map.draw(c, 1); });
  ASSERT_EQ(img.px.size(), size_t(kW) * kH * 4);
  ASSERT_TRUE(map.built);
  ASSERT_TRUE(map.coast && map.borders && map.graticule);
  struct Place {
    const char* name;
    float lat, lon;
  } places[] = {{"Cape of Good Hope", -34.36f, 18.47f}, {"Gibraltar", 36.14f, -5.35f}, {"Cape Horn", -55.98f, -67.27f}};
  for (const Place& p : places) {
    MapPoint v = coast_vertex(p.lat, p.lon);
    D2D_POINT_2F s = map.project(v.lat / 100.0f, v.lon / 100.0f);
    EXPECT_TRUE(img.lit_near(s, 2)) << p.name << " at " << s.x << "," << s.y;
  }
  // Mid-Atlantic, away from land and from the graticule lines.
  for (auto [lat, lon] : {std::pair{15.0f, -35.0f}, std::pair{-15.0f, -25.0f}}) {
    D2D_POINT_2F s = map.project(lat, lon);
    EXPECT_FALSE(img.lit_near(s, 4, 20)) << lat << "," << lon;
  }
  // Nothing outside the map's outline: a long straight border (49 N, 22 N)
  // or a parallel must end at the edge.
  for (int lat = -58; lat <= 84; lat++) {
    int y = int(std::lround(map.project(float(lat), 0).y));
    float left = map.project(float(lat), -15 - 179.999f).x, right = map.project(float(lat), -15 + 179.999f).x;
    int outside = 0;
    for (int x = 0; x < int(kW); x++)
      if (x < left - 3 || x > right + 3) outside += img.bright(x, y) > 20;
    EXPECT_EQ(outside, 0) << "row of latitude " << lat;
  }
  // Antarctica is not drawn: nothing below the bottom graticule row.
  float south = map.project(-60, 0).y + 3;
  int below = 0;
  for (int y = int(south); y < int(kH); y++)
    for (int x = 0; x < int(kW); x++) below += img.bright(x, y) > 20;
  EXPECT_EQ(below, 0);
}

TEST(MapRender, FadeAndEmptyRectangle) {
  ASSERT_TRUE(gfx_ready());
  WorldMap map;
  Image zero = render(map, [&](Canvas& c) { map.draw(c, 0); });
  ASSERT_FALSE(zero.px.empty());
  EXPECT_EQ(zero.lit_count(), 0);
  Image half = render(map, [&](Canvas& c) { map.draw(c, 0.5f); });
  Image full = render(map, [&](Canvas& c) { map.draw(c, 1); });
  MapPoint v = coast_vertex(36.14f, -5.35f);
  D2D_POINT_2F g = map.project(v.lat / 100.0f, v.lon / 100.0f);
  int hb = 0, fb = 0;
  for (int dy = -2; dy <= 2; dy++)
    for (int dx = -2; dx <= 2; dx++) {
      hb = std::max(hb, half.bright(int(g.x) + dx, int(g.y) + dy));
      fb = std::max(fb, full.bright(int(g.x) + dx, int(g.y) + dy));
    }
  EXPECT_GT(hb, 20);
  EXPECT_LT(hb, fb);
  // A window shrunk to nothing: the map is skipped, not drawn with
  // widths divided by a zero scale.
  Image none;
  Offscreen off;
  ASSERT_TRUE(off.create(64, 64));
  map.layout({10, 10, 10, 10});
  off.begin();
  map.draw(off, 1);
  none.px = off.pixels(true, kBlack);
  none.w = none.h = 64;
  EXPECT_EQ(none.lit_count(), 0);
}

TEST(MapRender, RadarAndTracks) {
  ASSERT_TRUE(gfx_ready());
  WorldMap map;
  const Site& norad = *find_site("norad");
  const Site& geneva = *find_site("geneva");
  Image radar = render(map, [&](Canvas& c) { map.draw_norad(c, 0, 1); });
  D2D_POINT_2F n = map.project(norad.lat, norad.lon);
  EXPECT_TRUE(radar.any_near({n.x, n.y - 5}, 1, is_white)) << "star";
  EXPECT_TRUE(radar.lit_near({n.x + 55, n.y}, 1, 40)) << "sweep, leading line at angle 0 for t = 0";
  EXPECT_FALSE(radar.lit_near({n.x, n.y + 55}, 1, 10)) << "sweep, nothing a quarter turn ahead";
  EXPECT_TRUE(radar.lit_near({n.x - 66, n.y}, 1, 10)) << "outer range ring";
  EXPECT_TRUE(radar.any_near({n.x + 15, n.y + 11}, 2, is_white)) << "label";

  // Outbound track at t = 1.5: the packet is half way.
  std::array<D2D_POINT_2F, WorldMap::kTrackPoints> q;
  D2D_POINT_2F end{};
  Image track = render(map, [&](Canvas& c) { end = map.draw_track(c, geneva, 1.5f, kGreen, 1, "TEST", false); });
  ASSERT_TRUE(map.track_curve(geneva, false, q));
  D2D_POINT_2F g = map.project(geneva.lat, geneva.lon);
  EXPECT_NEAR(end.x, g.x, 1e-3);
  EXPECT_NEAR(end.y, g.y, 1e-3);
  EXPECT_TRUE(track.any_near(q[24], 1, is_white)) << "packet";
  EXPECT_FALSE(track.any_near(q[12], 3, is_white)) << "one packet only";
  for (int i : {6, 18, 36}) EXPECT_TRUE(track.lit_near(q[i], 1, 25)) << "track at " << i;
  int ring = 0;
  for (int i = 0; i < 16; i++) {
    float a = i * 3.14159265f / 8 + 0.2f;  // between the ticks
    ring += track.any_near({g.x + 15 * std::cos(a), g.y + 15 * std::sin(a)}, 1, is_pink);
  }
  EXPECT_GE(ring, 14) << "end ring around the target";
  EXPECT_TRUE(track.any_near({g.x + 28, g.y - 26}, 6, is_pink)) << "caption above the target";
  EXPECT_FALSE(track.any_near(n, 16, is_pink)) << "no end markers at NORAD when outbound";

  // Inbound: the end markers surround NORAD instead.
  Image in = render(map, [&](Canvas& c) { end = map.draw_track(c, geneva, 1.5f, kGreen, 1, "", true); });
  EXPECT_NEAR(end.x, n.x, 1e-3);
  int ring_in = 0;
  for (int i = 0; i < 16; i++) {
    float a = i * 3.14159265f / 8 + 0.2f;
    ring_in += in.any_near({n.x + 15 * std::cos(a), n.y + 15 * std::sin(a)}, 1, is_pink);
  }
  EXPECT_GE(ring_in, 14);
  EXPECT_FALSE(in.any_near(g, 16, is_pink));
}

TEST(MapRender, WholeScene) {
  ASSERT_TRUE(gfx_ready());
  WorldMap map;
  const char* tracked[] = {"geneva", "helsinki", "cupertino", "london"};
  Image img = render(map, [&](Canvas& c) {
    map.draw(c, 1);
    for (const Site& s : sites())
      if (std::string(s.id) != "norad") map.draw_site(c, s, kGreen, 1, true);
    map.draw_norad(c, 2.0f, 1);
    for (int i = 0; i < 4; i++)
      map.draw_track(c, *find_site(tracked[i]), 1.0f + i, kGreen, 1, upper(tracked[i]), i == 3);
  });
  ASSERT_FALSE(img.px.empty());
  std::wstring dir = build_path("worldmap");
  CreateDirectoryW(dir.c_str(), nullptr);
  EXPECT_TRUE(save_png_bgra(path_join(dir, L"scene.png"), img.px.data(), kW, kH));
  // Every site has its marker.
  for (const Site& s : sites()) EXPECT_TRUE(img.lit_near(map.project(s.lat, s.lon), 1)) << s.id;
  // Lines, not floods: a small share of the picture is lit.
  int lit = img.lit_count();
  EXPECT_GT(lit, int(kW * kH / 50));
  EXPECT_LT(lit, int(kW * kH / 4));
}

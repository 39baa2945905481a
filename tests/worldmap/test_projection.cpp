// The map's arithmetic without a device: projection, fit, outline splitting,
// the outline tables themselves, the site table and the track curve.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "gfx/worldmap.h"

namespace {

constexpr float kC = -15;  // the central meridian the program uses

MapPoint pt(double lon, double lat) { return {int16_t(std::lround(lon * 100)), int16_t(std::lround(lat * 100))}; }

}  // namespace

TEST(Projection, MatchesTheFormula) {
  D2D_POINT_2F o = WorldMap::raw(0, kC, kC);
  EXPECT_FLOAT_EQ(o.x, 0);
  EXPECT_FLOAT_EQ(o.y, 0);
  // Reference numbers worked out apart from this code, in double precision.
  D2D_POINT_2F e = WorldMap::raw(0, kC + 180, kC);
  EXPECT_NEAR(e.x, 2.7353847, 1e-5);  // 0.8707 * pi
  EXPECT_NEAR(e.y, 0, 1e-6);
  EXPECT_NEAR(WorldMap::raw(84, kC, kC).y, -1.3823434, 1e-6);
  EXPECT_NEAR(WorldMap::raw(-58, kC, kC).y, 1.0122711, 1e-6);
  D2D_POINT_2F a = WorldMap::raw(45, kC + 90, kC);
  EXPECT_NEAR(a.x, 1.2319938, 1e-5);
  EXPECT_NEAR(a.y, -0.7930514, 1e-5);
  D2D_POINT_2F b = WorldMap::raw(-33.5f, kC - 120, kC);
  EXPECT_NEAR(b.x, -1.7257532, 1e-5);
  EXPECT_NEAR(b.y, 0.5911009, 1e-5);
  // The fitted box constants are the extremes of the projection.
  EXPECT_NEAR(2 * WorldMap::raw(0, kC + 179.999f, kC).x, WorldMap::kWidth, 1e-4);
  EXPECT_NEAR(WorldMap::raw(-58, 0, 0).y - WorldMap::raw(84, 0, 0).y, WorldMap::kHeight, 1e-5);
  // North is up on screen.
  EXPECT_LT(WorldMap::raw(10, 0, 0).y, WorldMap::raw(-10, 0, 0).y);
}

TEST(Projection, WrapsAroundTheCentralMeridian) {
  EXPECT_NEAR(WorldMap::wrap(kC + 181, kC), -179, 1e-4);
  EXPECT_NEAR(WorldMap::wrap(kC - 181, kC), 179, 1e-4);
  EXPECT_NEAR(WorldMap::wrap(kC + 180, kC), 180, 1e-4);
  EXPECT_NEAR(WorldMap::wrap(kC - 180, kC), -180, 1e-4);
  EXPECT_NEAR(WorldMap::wrap(kC + 181 + 720, kC), -179, 1e-3);
  D2D_POINT_2F p = WorldMap::raw(20, kC + 181, kC), q = WorldMap::raw(20, kC - 179, kC);
  EXPECT_NEAR(p.x, q.x, 1e-5);
  EXPECT_NEAR(p.y, q.y, 1e-6);
  EXPECT_LT(p.x, 0);  // 181 degrees east lands on the western edge
  // A longitude that is no number at all must not hang the wrap.
  EXPECT_TRUE(std::isnan(WorldMap::wrap(INFINITY, kC)));
}

TEST(Layout, FitsAndCentresTheMap) {
  WorldMap m;
  // Three times as wide as high: the height limits, the map is centred across.
  m.layout({100, 50, 100 + 3000, 50 + 1000});
  EXPECT_NEAR(m.scale, 1000 / WorldMap::kHeight, 1e-2);
  EXPECT_NEAR(m.project(84, kC).y, 50, 0.05);
  EXPECT_NEAR(m.project(-58, kC).y, 1050, 0.05);
  float left = m.project(0, kC - 179.999f).x, right = m.project(0, kC + 179.999f).x;
  EXPECT_NEAR(left + right, 2 * (100 + 1500), 0.05);
  EXPECT_LT(right - left, 3000);
  // Twice as wide as high is still narrower than the map (about 2.28:1):
  // the width limits and the map is centred up and down.
  m.layout({0, 0, 2000, 1000});
  EXPECT_NEAR(m.scale, 2000 / WorldMap::kWidth, 1e-2);
  EXPECT_NEAR(m.project(0, kC - 179.999f).x, 0, 0.05);
  EXPECT_NEAR(m.project(0, kC + 179.999f).x, 2000, 0.05);
  float top = m.project(84, kC).y, bottom = m.project(-58, kC).y;
  EXPECT_NEAR(top, 1000 - bottom, 0.05);
  EXPECT_GT(top, 0);
  // project is raw scaled and moved.
  D2D_POINT_2F r = WorldMap::raw(51.5f, 0, kC), p = m.project(51.5f, 0);
  EXPECT_NEAR(p.x, r.x * m.scale + m.cx, 1e-3);
  EXPECT_NEAR(p.y, r.y * m.scale + m.cy, 1e-3);
}

TEST(Pieces, SplitAtTheSouthernCutAndTheMapEdge) {
  // A point south of 60 S splits the line; both halves keep two points.
  MapPoint a[] = {pt(0, 10), pt(0, 20), pt(0, -61), pt(10, 10), pt(10, 20)};
  auto p = WorldMap::pieces(a, 5, kC);
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0].size(), 2u);
  EXPECT_EQ(p[1].size(), 2u);
  EXPECT_NEAR(p[1][0].x, WorldMap::raw(10, 10, kC).x, 1e-6);
  // A piece left with a single point is dropped; -60 itself is kept.
  MapPoint b[] = {pt(0, 10), pt(0, -61), pt(10, -60), pt(10, 20), pt(0, -70)};
  p = WorldMap::pieces(b, 5, kC);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].size(), 2u);
  EXPECT_NEAR(p[0][0].y, WorldMap::raw(-60, 10, kC).y, 1e-6);
  // 179 and -179 from the central meridian: split, no stroke across the map.
  MapPoint c[] = {pt(kC + 178, 5), pt(kC + 179, 5), pt(kC + 181, 5), pt(kC + 182, 5)};
  p = WorldMap::pieces(c, 4, kC);
  ASSERT_EQ(p.size(), 2u);
  EXPECT_GT(p[0][1].x, 2.7f);
  EXPECT_LT(p[1][0].x, -2.7f);
  // The same step away from the edge is one piece.
  MapPoint d[] = {pt(0, 5), pt(1, 5), pt(3, 5)};
  EXPECT_EQ(WorldMap::pieces(d, 3, kC).size(), 1u);
  EXPECT_TRUE(WorldMap::pieces(d, 1, kC).empty());
  EXPECT_TRUE(WorldMap::pieces(d, 0, kC).empty());
}

TEST(Pieces, FiguresAvoidDegenerateJoins) {
  using P = D2D_POINT_2F;
  // Points along one straight line and repeated points leave only the ends.
  auto f = WorldMap::figures({{0, 1}, {0.5f, 1}, {0.5f, 1}, {1, 1}, {2, 1}, {3, 1}});
  ASSERT_EQ(f.size(), 1u);
  ASSERT_EQ(f[0].size(), 2u);
  EXPECT_FLOAT_EQ(f[0][0].x, 0);
  EXPECT_FLOAT_EQ(f[0][1].x, 3);
  // A real corner stays a join.
  f = WorldMap::figures({{0, 0}, {1, 0}, {1, 1}, {0, 1}});
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].size(), 4u);
  // Turning back cuts the line at the turning point.
  f = WorldMap::figures({{0, 0}, {1, 0}, {0.5f, 0}});
  ASSERT_EQ(f.size(), 2u);
  EXPECT_FLOAT_EQ(f[1][0].x, 1);
  EXPECT_FLOAT_EQ(f[1][1].x, 0.5f);
  f = WorldMap::figures({{0, 0}, {1, 0}, {0, 0.05f}, {0, 1}});
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[0].size(), 2u);
  EXPECT_EQ(f[1].size(), 3u);
  // Nothing drawable: a single point, all points equal, nothing.
  EXPECT_TRUE(WorldMap::figures({P{1, 1}}).empty());
  EXPECT_TRUE(WorldMap::figures({{1, 1}, {1, 1}, {1, 1}}).empty());
  EXPECT_TRUE(WorldMap::figures({}).empty());
}

namespace {

void check_table(const char* what, const MapLine* lines, size_t n_lines, const MapPoint* points, size_t n_points) {
  SCOPED_TRACE(what);
  u32 next = 0;
  for (size_t i = 0; i < n_lines; i++) {
    ASSERT_EQ(lines[i].first, next) << "line " << i;  // lines follow one another without gaps
    ASSERT_GE(lines[i].count, 2u) << "line " << i;
    next += lines[i].count;
  }
  EXPECT_EQ(next, n_points);
  for (size_t i = 0; i < n_points; i++) {
    ASSERT_LE(std::abs(points[i].lon), 18000) << i;
    ASSERT_LE(std::abs(points[i].lat), 9000) << i;
  }
  // No drawn piece jumps across the map: every step stays short.
  float longest = 0;
  size_t drawn = 0;
  for (size_t i = 0; i < n_lines; i++)
    for (auto& piece : WorldMap::pieces(points + lines[i].first, lines[i].count, kC)) {
      drawn += piece.size();
      for (size_t j = 1; j < piece.size(); j++)
        longest = std::max(longest, std::hypot(piece[j].x - piece[j - 1].x, piece[j].y - piece[j - 1].y));
      for (auto& q : piece) ASSERT_LE(q.y, WorldMap::raw(-60, 0, 0).y + 1e-6);
    }
  EXPECT_LT(longest, 0.5f);
  EXPECT_GT(drawn, n_points * 8 / 10);
}

}  // namespace

TEST(Outlines, TablesAreWellFormed) {
  // Natural Earth 1:110m: the land's arcs and the arcs two countries share.
  EXPECT_EQ(kCoastLinesCount, 128u);
  EXPECT_EQ(kCoastPointsCount, 5125u);
  EXPECT_EQ(kBorderLinesCount, 326u);
  EXPECT_EQ(kBorderPointsCount, 2974u);
  check_table("coast", kCoastLines, kCoastLinesCount, kCoastPoints, kCoastPointsCount);
  check_table("borders", kBorderLines, kBorderLinesCount, kBorderPoints, kBorderPointsCount);
}

TEST(Sites, TableAndLookup) {
  ASSERT_EQ(sites().size(), 14u);
  EXPECT_EQ(&sites(), &kSites);
  EXPECT_EQ(find_site("norad"), &kSites[0]);
  EXPECT_EQ(find_site("NORAD"), nullptr);
  EXPECT_EQ(find_site(""), nullptr);
  EXPECT_EQ(find_site(nullptr), nullptr);
  for (const char* id : {"geneva", "london", "raleigh", "umea", "chicago"}) {
    const Site* s = find_site(id);
    ASSERT_NE(s, nullptr) << id;
    EXPECT_EQ(std::string(s->label), upper(id));
  }
  const Site* c = find_site("cupertino");
  ASSERT_NE(c, nullptr);
  EXPECT_FLOAT_EQ(c->lat, 37.323f);
  EXPECT_FLOAT_EQ(c->lon, -122.032f);
  EXPECT_FLOAT_EQ(c->label_dx, -92);
  EXPECT_FLOAT_EQ(c->label_dy, 20);
  EXPECT_STREQ(kSites[13].id, "chicago");
}

TEST(Track, CurveLiftAndDirection) {
  WorldMap m;
  m.layout({0, 0, 1640, 1000});
  const Site& norad = *find_site("norad");
  const Site& geneva = *find_site("geneva");
  D2D_POINT_2F n = m.project(norad.lat, norad.lon), g = m.project(geneva.lat, geneva.lon);
  std::array<D2D_POINT_2F, WorldMap::kTrackPoints> out, in;
  ASSERT_TRUE(m.track_curve(geneva, false, out));
  ASSERT_TRUE(m.track_curve(geneva, true, in));
  EXPECT_NEAR(out[0].x, n.x, 1e-3);
  EXPECT_NEAR(out[48].x, g.x, 1e-3);
  EXPECT_NEAR(out[48].y, g.y, 1e-3);
  EXPECT_NEAR(in[0].x, g.x, 1e-3);
  EXPECT_NEAR(in[48].x, n.x, 1e-3);
  for (int i = 0; i < WorldMap::kTrackPoints; i++) {  // inbound is the same curve walked backwards
    EXPECT_NEAR(in[i].x, out[48 - i].x, 1e-2);
    EXPECT_NEAR(in[i].y, out[48 - i].y, 1e-2);
  }
  // The middle of a quadratic curve lies half the lift above the chord's middle.
  float dist = std::hypot(g.x - n.x, g.y - n.y);
  ASSERT_GT(0.38f * dist, 34);
  EXPECT_NEAR((n.y + g.y) / 2 - out[24].y, 0.38f * dist / 2, 1e-2);
  // Sites closer than 89.5 DIPs get the minimum lift of 34.
  const Site& austin = *find_site("austin");
  m.layout({0, 0, 400, 250});
  D2D_POINT_2F a = m.project(austin.lat, austin.lon);
  n = m.project(norad.lat, norad.lon);
  ASSERT_LT(std::hypot(a.x - n.x, a.y - n.y), 89.5f);
  ASSERT_TRUE(m.track_curve(austin, false, out));
  EXPECT_NEAR((n.y + a.y) / 2 - out[24].y, 17, 1e-2);
}

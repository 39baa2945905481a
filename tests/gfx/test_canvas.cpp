// Canvas primitives: dash and arc geometry, and what they light on a real target.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/gfx/gfx_test.h"

static const D3DCOLORVALUE kWhite{1, 1, 1, 1};
static const float kPi = 3.14159265f;

using Spans = std::vector<std::pair<float, float>>;

TEST(Canvas, DashIntervals) {
  EXPECT_EQ(dash_spans(10, 4, 4, 0), (Spans{{0, 4}, {8, 10}}));
  EXPECT_EQ(dash_spans(10, 4, 4, 2), (Spans{{0, 2}, {6, 10}}));
  EXPECT_EQ(dash_spans(10, 4, 4, -2), (Spans{{2, 6}}));
  EXPECT_EQ(dash_spans(10, 4, 4, 8), dash_spans(10, 4, 4, 0));  // a whole period changes nothing
  EXPECT_TRUE(dash_spans(0.005f, 4, 4, 0).empty());
  EXPECT_TRUE(dash_spans(10, 0, 0, 0).empty());  // zero period
  EXPECT_TRUE(dash_spans(10, 4, 4, NAN).empty());
  // a period too small to advance a float must not hang
  Spans tiny = dash_spans(1e7f, 1e-4f, 1e-4f, 0);
  EXPECT_LE(tiny.size(), 100000u);
}

TEST(Canvas, ArcPoints) {
  EXPECT_TRUE(arc_points(0, 0, 10, 0, 2 * kPi).empty());  // drawn as a circle instead
  EXPECT_TRUE(arc_points(0, 0, 10, 1, 1.00005f).empty());

  auto pts = arc_points(50, 40, 20, 0, -1.5f * kPi);  // three quarters counter-clockwise
  ASSERT_GE(pts.size(), 3u);
  for (auto& p : pts) EXPECT_NEAR(std::hypot(p.x - 50, p.y - 40), 20, 1e-3);
  EXPECT_NEAR(pts.front().x, 70, 1e-3);
  EXPECT_NEAR(pts.front().y, 40, 1e-3);
  EXPECT_NEAR(pts.back().x, 50, 1e-3);  // -1.5 pi points down (y grows downwards)
  EXPECT_NEAR(pts.back().y, 60, 1e-3);
  // passes through the top (angle -pi/2), not through the lower right
  bool top = false, lower_right = false;
  for (auto& p : pts) {
    top |= std::hypot(p.x - 50, p.y - 20) < 1.5f;
    lower_right |= p.x > 55 && p.y > 45;
  }
  EXPECT_TRUE(top);
  EXPECT_FALSE(lower_right);
  // segments stay short enough to look round
  for (size_t i = 1; i < pts.size(); ++i)
    EXPECT_LT(std::hypot(pts[i].x - pts[i - 1].x, pts[i].y - pts[i - 1].y), 20 * kPi / 32);
}

TEST(Canvas, PolyFigures) {
  using P = D2D_POINT_2F;
  // An open line: repeated and in-line points go, a sharp turn cuts the line.
  P spike[] = {{0, 0}, {5, 0}, {5, 0}, {10, 0}, {0, 1}, {0, 9}};
  PolyFigures f = poly_figures(spike, 6, false);
  EXPECT_FALSE(f.closed);
  ASSERT_EQ(f.lines.size(), 2u);
  EXPECT_EQ(f.lines[0].size(), 2u);
  EXPECT_FLOAT_EQ(f.lines[0][1].x, 10);
  EXPECT_FLOAT_EQ(f.lines[1][0].x, 10);  // the second piece starts at the tip
  EXPECT_EQ(f.lines[1].size(), 3u);
  // A square with a point on one edge stays one closed figure of four corners.
  P square[] = {{5, 0}, {10, 0}, {10, 10}, {0, 10}, {0, 0}, {5, 0}};
  f = poly_figures(square, 6, true);
  EXPECT_TRUE(f.closed);
  ASSERT_EQ(f.lines.size(), 1u);
  EXPECT_EQ(f.lines[0].size(), 4u);
  for (const P& p : f.lines[0]) EXPECT_TRUE((p.x == 0 || p.x == 10) && (p.y == 0 || p.y == 10));
  // A thin closed wedge opens at its sharp tip, starting and ending there.
  P wedge[] = {{0, 0}, {0, 2}, {20, 1}};
  f = poly_figures(wedge, 3, true);
  EXPECT_FALSE(f.closed);
  ASSERT_FALSE(f.lines.empty());
  EXPECT_FLOAT_EQ(f.lines.front().front().x, 20);
  EXPECT_FLOAT_EQ(f.lines.back().back().x, 20);
  size_t points = 0;
  for (auto& l : f.lines) points += l.size();
  EXPECT_EQ(points, 4u + f.lines.size() - 1);  // every edge drawn once
  // Points that all coincide are left as given (a dot with round caps).
  P dot[] = {{3, 3}, {3, 3}};
  f = poly_figures(dot, 2, false);
  ASSERT_EQ(f.lines.size(), 1u);
  EXPECT_EQ(f.lines[0].size(), 2u);
  EXPECT_TRUE(poly_figures(dot, 0, false).lines.empty());
}

static bool lit(const std::vector<u8>& px, u32 w, float x, float y) {
  // the brightest alpha within one pixel of the point
  int best = 0;
  for (int dy = -1; dy <= 1; ++dy)
    for (int dx = -1; dx <= 1; ++dx) best = std::max<int>(best, pixel(px, w, int(x) + dx, int(y) + dy)[3]);
  return best > 100;
}

TEST(Canvas, ShapesLightWhereExpected) {
  ASSERT_TRUE(gfx_ready());
  Offscreen off;
  ASSERT_TRUE(off.create(240, 120));
  off.begin();
  off.circle(60, 60, 40, kWhite, 2);
  off.arc(180, 60, 40, 0, kPi / 2, kWhite, 2);  // the lower-right quarter
  std::vector<u8> px = off.pixels(false, D3DCOLORVALUE{});
  for (float a = 0; a < 2 * kPi; a += kPi / 8) {
    EXPECT_TRUE(lit(px, 240, 60 + 40 * std::cos(a), 60 + 40 * std::sin(a))) << "circle angle " << a;
    EXPECT_FALSE(lit(px, 240, 60 + 30 * std::cos(a), 60 + 30 * std::sin(a)));
  }
  for (float a : {0.2f, kPi / 4, 1.3f}) EXPECT_TRUE(lit(px, 240, 180 + 40 * std::cos(a), 60 + 40 * std::sin(a)));
  for (float a : {kPi, -kPi / 2, 3 * kPi / 4}) EXPECT_FALSE(lit(px, 240, 180 + 40 * std::cos(a), 60 + 40 * std::sin(a)));

  off.begin();
  off.arc(60, 60, 30, 0, 2 * kPi, kWhite, 2);  // a full sweep is a whole circle
  px = off.pixels(false, D3DCOLORVALUE{});
  for (float a = 0; a < 2 * kPi; a += kPi / 4) EXPECT_TRUE(lit(px, 240, 60 + 30 * std::cos(a), 60 + 30 * std::sin(a)));

  // Degenerate shapes draw nothing.
  off.begin();
  D2D_POINT_2F one{5, 5};
  off.poly(&one, 1, kWhite, 2, false);
  off.fill_poly({{10, 10}, {20, 10}}, kWhite);
  off.arc(50, 50, 20, 1, 1, kWhite, 2);
  off.dashed(3, 3, 3, 3, kWhite, 2, 4, 4, 0);
  EXPECT_TRUE(lit_box(off.pixels(false, D3DCOLORVALUE{}), 240, 120, 0, true).empty());

  off.begin();
  off.fill_poly({{10, 10}, {30, 10}, {10, 30}}, kWhite);
  off.brackets(D2D_RECT_F{50, 50, 90, 90}, 8, kWhite, 2);
  off.dashed(10, 80, 40, 80, kWhite, 2, 4, 4, 0);
  px = off.pixels(false, D3DCOLORVALUE{});
  EXPECT_GT(pixel(px, 240, 14, 14)[3], 200);  // inside the triangle
  EXPECT_EQ(pixel(px, 240, 28, 28)[3], 0);    // outside its hypotenuse
  EXPECT_GT(pixel(px, 240, 50, 54)[3], 100);  // top-left bracket arm
  EXPECT_EQ(pixel(px, 240, 70, 50)[3], 0);    // the middle of an edge stays open
  EXPECT_GT(pixel(px, 240, 12, 80)[3], 100);  // first dash [0, 4]
  EXPECT_EQ(pixel(px, 240, 16, 80)[3], 0);    // gap [4, 8]
  EXPECT_GT(pixel(px, 240, 20, 80)[3], 100);  // dash [8, 12]

  // A hairpin polyline and a thin closed wedge end near their tips: no join
  // may reach far past the turning point.
  off.begin();
  const D2D_POINT_2F hairpin[] = {{20, 20}, {120, 24}, {20, 28}};
  off.poly(hairpin, 3, kWhite, 4, false);
  const D2D_POINT_2F wedge[] = {{20, 60}, {20, 68}, {120, 64}};
  off.poly(wedge, 3, kWhite, 4, true);
  px = off.pixels(false, D3DCOLORVALUE{});
  EXPECT_GT(pixel(px, 240, 119, 24)[3], 100);
  EXPECT_GT(pixel(px, 240, 119, 64)[3], 100);
  for (int y = 14; y < 75; ++y)
    for (int x = 126; x < 240; ++x) ASSERT_EQ(pixel(px, 240, x, y)[3], 0) << x << "," << y;
}

// Canvas primitives: dash and arc geometry, and what they light on a real target.
#include <gtest/gtest.h>

#include <cmath>

#include "gfx/pixels.h"
#include "tests/gfx/gfx_test.h"

static const D3DCOLORVALUE kWhite{1, 1, 1, 1};
static const float kPi = 3.14159265f;

using Spans = std::vector<std::pair<float, float>>;

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

// A slanted line painted on the CPU visits only the columns near it in each
// row: it lights exactly the pixels a visit of its whole box lights.
TEST(Pixels, SlantedLineAsItsWholeBox) {
  auto band = [](float d, float w) {
    d = std::fabs(d);
    return std::max(0.0f, std::min(0.5f, d + w / 2) - std::max(-0.5f, d - w / 2));
  };
  for (float w : {1.0f, 2.5f})
    for (float a = 0; a < 2 * kPi; a += 0.11f) {
      float x0 = 40.3f, y0 = 40.7f, x1 = x0 + 37 * std::cos(a), y1 = y0 + 37 * std::sin(a);
      Pixels got, want;
      got.clear(82, 82);
      want.clear(82, 82);
      got.line(x0, y0, x1, y1, w, kWhite);
      float dx = x1 - x0, dy = y1 - y0, len2 = dx * dx + dy * dy;
      for (u32 y = 0; y < 82; ++y)
        for (u32 x = 0; x < 82; ++x) {
          float px = x + 0.5f - x0, py = y + 0.5f - y0, t = std::clamp((px * dx + py * dy) / len2, 0.0f, 1.0f);
          want.blend(x, y, band(std::hypot(px - t * dx, py - t * dy), w), kWhite);
        }
      ASSERT_EQ(got.px, want.px) << "angle " << a << " width " << w;
    }
}

// Geometry helpers, architecture frames and operating-system glyphs, checked
// through a sink that records every call.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/icons/recording_sink.h"

namespace {

constexpr float kEps = 1e-4f;
constexpr float kPi = 3.14159265f;

void expect_pt(D2D_POINT_2F p, float x, float y, float eps = kEps) {
  EXPECT_NEAR(p.x, x, eps);
  EXPECT_NEAR(p.y, y, eps);
}

std::string frame_sig(u32 kind, bool compact, float* radius = nullptr) {
  RecordingSink sink;
  float r = draw_frame(sink, ArchKind(kind), 50, 60, 20, {1, 1, 1, 1}, 1.5f, compact);
  if (radius) *radius = r;
  return sink.signature();
}

RecordingSink glyph(u32 os, bool compact, float s = 20) {
  RecordingSink sink;
  draw_glyph(sink, OsKind(os), 100, 100, s, {0.5f, 0.6f, 0.7f, 0.8f}, 2, compact);
  return sink;
}

}  // namespace

TEST(Shapes, TransformAndHelpers) {
  Xf xf{10, 20, 2};
  auto m = xf({{1, -1}, {-3, 0.5f}});
  ASSERT_EQ(m.size(), 2u);
  expect_pt(m[0], 12, 18);
  expect_pt(m[1], 4, 21);

  auto sq = ngon(4, 2, -kPi / 2);
  ASSERT_EQ(sq.size(), 4u);
  expect_pt(sq[0], 0, -2);  // top, then clockwise on screen
  expect_pt(sq[1], 2, 0);
  expect_pt(sq[3], -2, 0);

  std::vector<D2D_POINT_2F> curve;
  bez(curve, {0, 0}, {1, 0}, {2, 1}, {3, 3}, 10);
  ASSERT_EQ(curve.size(), 11u);
  expect_pt(curve.front(), 0, 0);
  expect_pt(curve[5], 0.375f * 1 + 0.375f * 2 + 0.125f * 3, 0.375f * 1 + 0.125f * 3);
  bez(curve, {3, 3}, {4, 3}, {5, 2}, {6, 0}, 10);
  ASSERT_EQ(curve.size(), 21u);  // the joint is not repeated
  EXPECT_GT(curve[11].x, 3.0f);
  expect_pt(curve.back(), 6, 0);

  EXPECT_TRUE(mirror_x({}).empty());
  auto mir = mirror_x({{1, 2}, {3, 4}});
  ASSERT_EQ(mir.size(), 2u);
  expect_pt(mir[0], -3, 4);
  expect_pt(mir[1], -1, 2);
}

TEST(Shapes, RoundedRectangleOrder) {
  auto p = rrect_path(0, 0, 10, 6, 2);
  ASSERT_EQ(p.size(), 20u);
  // Four five-point arcs: top-right, bottom-right, bottom-left, top-left.
  const float corners[8][2] = {{8, 0}, {10, 2}, {10, 4}, {8, 6}, {2, 6}, {0, 4}, {0, 2}, {2, 0}};
  for (int i = 0; i < 8; ++i) expect_pt(p[i / 2 * 5 + i % 2 * 4], corners[i][0], corners[i][1]);
  expect_pt(p[2], 8 + 2 * 0.70710678f, 2 - 2 * 0.70710678f);
  // Clockwise on screen: the signed area (y down) is positive.
  double area = 0;
  for (size_t i = 0; i < p.size(); ++i) {
    auto a = p[i], b = p[(i + 1) % p.size()];
    area += double(a.x) * b.y - double(b.x) * a.y;
  }
  EXPECT_GT(area, 0);

  auto sharp = rrect_path(1, 2, 3, 4, 0);  // radius 0: each arc collapses on its corner
  ASSERT_EQ(sharp.size(), 20u);
  for (int i = 0; i < 20; ++i) expect_pt(sharp[i], i < 10 ? 3 : 1, i >= 5 && i < 15 ? 4 : 2);
}

TEST(Frames, CallsCompactAndRadius) {
  struct Case {
    u32 kind;
    std::string full, compact;
    float radius;  // in units of s
  };
  const Case cases[] = {
      {0, "P20c " + times(16, "P2o") + " D", "P20c " + times(12, "P2o"), 0.6f},
      {1, "C " + times(8, "P2o"), "C " + times(4, "P2o"), 0.6f},
      {2, "P6c " + times(6, "D"), "P6c", 0.62f},
      {3, "P4c P4c", "P4c", 0.5f},
      {4, "P8c", "P8c", 0.64f},
      {5, times(16, "P4o"), times(10, "P4o"), 0.62f},
      {99, times(16, "P4o"), times(10, "P4o"), 0.62f},  // unknown kinds draw the dashed ring
      {u32(-1), times(16, "P4o"), times(10, "P4o"), 0.62f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    float r_full = 0, r_compact = 0;
    EXPECT_EQ(frame_sig(c.kind, false, &r_full), c.full);
    EXPECT_EQ(frame_sig(c.kind, true, &r_compact), c.compact);
    EXPECT_FLOAT_EQ(r_full, c.radius * 20);
    EXPECT_FLOAT_EQ(r_compact, r_full);
  }
  for (u32 v : {99u, u32(-1)}) {
    EXPECT_STREQ(arch_label(ArchKind(v)), "OTHER");
    EXPECT_STREQ(arch_shape_name(ArchKind(v)), "DASHED RING");
    EXPECT_STREQ(os_label(OsKind(v)), "OTHER");
  }
}

TEST(Glyphs, CallsFullAndCompactInsideTheirBox) {
  struct Case {
    u32 os;
    std::string full, compact;
  };
  const Case cases[] = {
      {0, "P61c P17c P9o", "P61c P17c"},
      {1, "P20c P20c P2o P4o P17o", "P20c P20c P2o P4o"},
      {2, times(4, "P4c"), times(4, "P4c")},
      {3, times(4, "P14c") + " " + times(6, "P2o"), times(4, "P14c") + " " + times(6, "P2o")},
      {4, "P61c P41c C C P4c P4o P4o", "P61c C C P4c P4o P4o"},
      {5, "P15o P2o P3o P3o P3o P2o", "P15o P2o P3o P3o P3o P2o"},
      {6, "P43c P21o P21o P16c D P16c D P2o P2o P9o", "P43c P21o P21o D D P9o"},
      {7, "P36c " + times(12, "P2o") + " C D C P13o", "P36c " + times(5, "P2o") + " D"},
      {8, "P2o D P31o P15o", "P2o D P31o P15o"},
      {9, "P3o P2o", "P3o P2o"},
      {10, "P20c P2o P2o P2o P10c", "P20c P2o P2o P2o P10c"},
      {42, "P20c P2o P2o P2o P10c", "P20c P2o P2o P2o P10c"},  // unknown systems draw "other"
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.os);
    EXPECT_EQ(glyph(c.os, false).signature(), c.full);
    EXPECT_EQ(glyph(c.os, true).signature(), c.compact);
    // Every glyph keeps within its scale on both axes, so it fits the space
    // a frame leaves; a mistyped coordinate would stick out.
    for (bool compact : {false, true}) {
      RecordingSink big = glyph(c.os, compact, 100);
      for (const SinkCall& call : big.calls) {
        for (const D2D_POINT_2F& p : call.points) EXPECT_LE(std::max(std::fabs(p.x - 100), std::fabs(p.y - 100)), 100.0f);
        if (call.kind != 'P') {
          EXPECT_LE(std::fabs(call.x - 100) + call.r, 100.0f);
          EXPECT_LE(std::fabs(call.y - 100) + call.r, 100.0f);
        }
      }
    }
  }
  // Small details belong only to glyphs above 15 units.
  EXPECT_EQ(glyph(6, false, 15).signature(), "P43c P21o P21o P16c D P16c D P9o");
  EXPECT_EQ(glyph(6, false, 15.5f).signature(), "P43c P21o P21o P16c D P16c D P2o P2o P9o");
  EXPECT_EQ(glyph(7, false, 15).signature(), "P36c " + times(12, "P2o") + " C D");
  EXPECT_EQ(glyph(6, true, 40).signature(), "P43c P21o P21o D D P9o");
}

TEST(Glyphs, MirroredOutlinesAreSymmetric) {
  // {glyph, call}: outlines built as one half plus its mirror image.
  const std::pair<u32, size_t> outlines[] = {{0, 0}, {4, 0}, {4, 1}, {6, 0}};
  for (auto [os, call] : outlines) {
    SCOPED_TRACE(os);
    RecordingSink s = glyph(os, false, 10);
    const auto& p = s.calls[call].points;
    expect_pt(p.front(), 100, p.back().y);
    EXPECT_NEAR(p.back().x, 100, kEps);
    size_t on_axis = 0;
    for (size_t i = 1; i + 1 < p.size(); ++i) on_axis += std::fabs(p[i].x - 100) < kEps;
    EXPECT_EQ(on_axis, 1u);  // the bottom point once: the halves do not repeat it
    for (size_t i = 1; i < p.size() / 2; ++i) {
      EXPECT_NEAR(p[i].x - 100, 100 - p[p.size() - 1 - i].x, kEps);
      EXPECT_NEAR(p[i].y, p[p.size() - 1 - i].y, kEps);
    }
  }
}

TEST(Glyphs, PufferfishSpikesLeanTowardTheTail) {
  // Each spike leaves the body radially, then leans by 0.35 sin(angle) radians.
  for (bool compact : {false, true}) {
    RecordingSink fish = glyph(7, compact, 10);
    int m = compact ? 5 : 12;
    for (int i = 0; i < m; ++i) {
      const auto& sp = fish.calls[1 + i].points;
      // Base angle on the body circle (centre 0.16, 0; scale 0.96 * 10).
      float a = std::atan2(sp[0].y - 100, sp[0].x - (100 + 0.16f * 9.6f));
      EXPECT_NEAR(a, (250.0f * i / (m - 1) - 125.0f) * kPi / 180, 1e-4f);
      float d = std::atan2(sp[1].y - sp[0].y, sp[1].x - sp[0].x);
      EXPECT_NEAR(d - a, 0.35f * std::sin(a), 1e-4f) << "spike " << i;
    }
  }
}

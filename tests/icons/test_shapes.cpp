// Geometry helpers, architecture frames and operating-system glyphs, checked
// through a sink that records every call.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/icons/recording_sink.h"

namespace {

constexpr float kEps = 1e-4f;

void expect_pt(D2D_POINT_2F p, float x, float y, float eps = kEps) {
  EXPECT_NEAR(p.x, x, eps);
  EXPECT_NEAR(p.y, y, eps);
}

void expect_colour(D3DCOLORVALUE c, float r, float g, float b, float a) {
  EXPECT_FLOAT_EQ(c.r, r);
  EXPECT_FLOAT_EQ(c.g, g);
  EXPECT_FLOAT_EQ(c.b, b);
  EXPECT_FLOAT_EQ(c.a, a);
}

std::string frame_sig(u32 kind, bool compact, float* radius = nullptr) {
  RecordingSink sink;
  float r = draw_frame(sink, ArchKind(kind), 50, 60, 20, {1, 1, 1, 1}, 1.5f, compact);
  if (radius) *radius = r;
  return sink.signature();
}

RecordingSink glyph(u32 os, bool compact, float s = 20, D3DCOLORVALUE c = {0.5f, 0.6f, 0.7f, 0.8f}) {
  RecordingSink sink;
  draw_glyph(sink, OsKind(os), 100, 100, s, c, 2, compact);
  return sink;
}

}  // namespace

TEST(Shapes, TransformAndHelpers) {
  Xf xf{10, 20, 2};
  auto m = xf({{1, -1}, {0, 0}, {-3, 0.5f}});
  ASSERT_EQ(m.size(), 3u);
  expect_pt(m[0], 12, 18);
  expect_pt(m[1], 10, 20);
  expect_pt(m[2], 4, 21);
  EXPECT_TRUE(xf({}).empty());

  auto sq = ngon(4, 2, -3.14159265f / 2);
  ASSERT_EQ(sq.size(), 4u);
  expect_pt(sq[0], 0, -2);  // top, then clockwise on screen
  expect_pt(sq[1], 2, 0);
  expect_pt(sq[2], 0, 2);
  expect_pt(sq[3], -2, 0);

  std::vector<D2D_POINT_2F> curve;
  bez(curve, {0, 0}, {1, 0}, {2, 1}, {3, 3}, 10);
  ASSERT_EQ(curve.size(), 11u);
  expect_pt(curve.front(), 0, 0);
  expect_pt(curve.back(), 3, 3);
  expect_pt(curve[5], 0.125f * 0 + 0.375f * 1 + 0.375f * 2 + 0.125f * 3, 0.375f * 1 + 0.125f * 3);
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
  expect_pt(p[0], 8, 0);    // top-right arc starts on the top edge
  expect_pt(p[4], 10, 2);   // ... ends on the right edge
  expect_pt(p[5], 10, 4);   // bottom-right
  expect_pt(p[9], 8, 6);
  expect_pt(p[10], 2, 6);   // bottom-left
  expect_pt(p[14], 0, 4);
  expect_pt(p[15], 0, 2);   // top-left
  expect_pt(p[19], 2, 0);
  expect_pt(p[2], 8 + 2 * 0.70710678f, 2 - 2 * 0.70710678f);
  // Clockwise on screen: the signed area (y down) is positive.
  double area = 0;
  for (size_t i = 0; i < p.size(); ++i) {
    auto a = p[i], b = p[(i + 1) % p.size()];
    area += double(a.x) * b.y - double(b.x) * a.y;
  }
  EXPECT_GT(area, 0);

  auto sharp = rrect_path(1, 2, 3, 4, 0);
  ASSERT_EQ(sharp.size(), 20u);
  for (int i = 0; i < 5; ++i) {
    expect_pt(sharp[i], 3, 2);
    expect_pt(sharp[5 + i], 3, 4);
    expect_pt(sharp[10 + i], 1, 4);
    expect_pt(sharp[15 + i], 1, 2);
  }
}

TEST(Shapes, ArchitectureTable) {
  EXPECT_STREQ(arch_label(ArchKind::X86), "X86");
  EXPECT_STREQ(arch_label(ArchKind::PowerPC), "POWERPC");
  EXPECT_STREQ(arch_label(ArchKind::Arm), "ARM");
  EXPECT_STREQ(arch_label(ArchKind::RiscV), "RISC-V");
  EXPECT_STREQ(arch_label(ArchKind::M68k), "68K");
  EXPECT_STREQ(arch_shape_name(ArchKind::X86), "CHIP");
  EXPECT_STREQ(arch_shape_name(ArchKind::M68k), "OCTAGON");
  expect_colour(arch_color(ArchKind::RiscV), 1.0f, 0.56f, 0.18f, 1.0f);
  for (u32 v : {5u, u32(-1), 99u}) {
    EXPECT_STREQ(arch_label(ArchKind(v)), "OTHER");
    EXPECT_STREQ(arch_shape_name(ArchKind(v)), "DASHED RING");
    expect_colour(arch_color(ArchKind(v)), 0.7f, 0.78f, 0.86f, 1.0f);
    EXPECT_EQ(frame_sig(v, false), times(16, "P4o"));
  }
  EXPECT_STREQ(os_label(OsKind::Windows9x), "WINDOWS 9X/XP");
  EXPECT_STREQ(os_label(OsKind::Bsd), "BSD");
  for (u32 v : {10u, u32(-1), 42u}) {
    EXPECT_STREQ(os_label(OsKind(v)), "OTHER");
    EXPECT_EQ(glyph(v, false).signature(), "P20c P2o P2o P2o P10c");
  }
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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    float r_full = 0, r_compact = 0;
    EXPECT_EQ(frame_sig(c.kind, false, &r_full), c.full);
    EXPECT_EQ(frame_sig(c.kind, true, &r_compact), c.compact);
    EXPECT_FLOAT_EQ(r_full, c.radius * 20);
    EXPECT_FLOAT_EQ(r_compact, r_full);
  }
}

TEST(Frames, Geometry) {
  RecordingSink chip;
  draw_frame(chip, ArchKind::X86, 50, 60, 20, {1, 1, 1, 1}, 1.5f, false);
  // First pin at t = -0.4368: top, bottom, left, right.
  expect_pt(chip.calls[1].points[0], 50 - 0.4368f * 20, 60 - 0.78f * 20, 1e-3f);
  expect_pt(chip.calls[1].points[1], 50 - 0.4368f * 20, 60 - 0.98f * 20, 1e-3f);
  expect_pt(chip.calls[3].points[1], 50 - 0.98f * 20, 60 - 0.4368f * 20, 1e-3f);
  const SinkCall& mark = chip.calls.back();
  EXPECT_FLOAT_EQ(mark.x, 50 - 0.58f * 20);
  EXPECT_FLOAT_EQ(mark.r, std::max(0.045f * 20, 0.8f * 1.5f));
  RecordingSink three;
  draw_frame(three, ArchKind::X86, 0, 0, 1, {1, 1, 1, 1}, 1, true);
  EXPECT_NEAR(three.calls[5].points[0].x, 0, 1e-6f);  // the middle pin of three

  RecordingSink diamond;
  draw_frame(diamond, ArchKind::RiscV, 0, 0, 10, {1, 0.5f, 0, 0.8f}, 2, false);
  EXPECT_FLOAT_EQ(diamond.calls[1].colour.a, 0.8f * 0.45f);
  EXPECT_FLOAT_EQ(diamond.calls[1].width, 2 * 0.8f);

  RecordingSink ring;
  draw_frame(ring, ArchKind::Other, 0, 0, 1, {1, 1, 1, 1}, 1, true);
  auto& d = ring.calls[1].points;  // dash 1 of 10 spans 0.3455752 rad from 2pi/10
  float a0 = std::atan2(d.front().y, d.front().x), a1 = std::atan2(d.back().y, d.back().x);
  EXPECT_NEAR(a0, 2 * 3.14159265f / 10, 1e-5f);
  EXPECT_NEAR(a1 - a0, 0.3455752f, 1e-5f);
  EXPECT_NEAR(std::hypot(d[2].x, d[2].y), 0.86f, 1e-5f);
}

TEST(Glyphs, CallsFullAndCompact) {
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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.os);
    EXPECT_EQ(glyph(c.os, false).signature(), c.full);
    EXPECT_EQ(glyph(c.os, true).signature(), c.compact);
  }
  // Small details belong only to glyphs above 15 units.
  EXPECT_EQ(glyph(6, false, 15).signature(), "P43c P21o P21o P16c D P16c D P9o");
  EXPECT_EQ(glyph(6, false, 15.5f).signature(), "P43c P21o P21o P16c D P16c D P2o P2o P9o");
  EXPECT_EQ(glyph(7, false, 15).signature(), "P36c " + times(12, "P2o") + " C D");
  EXPECT_EQ(glyph(7, false, 15.5f).signature(), "P36c " + times(12, "P2o") + " C D C P13o");
  EXPECT_EQ(glyph(6, true, 40).signature(), "P43c P21o P21o D D P9o");
}

TEST(Glyphs, MirroredOutlinesCloseOnTheAxis) {
  struct Outline {
    u32 os;
    size_t call;
    float top_y, bottom_y, factor;
  };
  const Outline outlines[] = {{0, 0, -0.5f, 0.74f, 0.94f}, {4, 0, -0.94f, 0.82f, 0.98f},
                              {4, 1, -0.3f, 0.74f, 0.98f}, {6, 0, -0.44f, 0.86f, 0.96f}};
  for (const Outline& o : outlines) {
    SCOPED_TRACE(o.os);
    RecordingSink s = glyph(o.os, false, 10);
    const auto& p = s.calls[o.call].points;
    float cy = o.os == 0 ? 100 + 0.04f * 10 : 100;
    expect_pt(p.front(), 100, cy + o.top_y * o.factor * 10);
    expect_pt(p.back(), 100, cy + o.top_y * o.factor * 10);
    size_t on_axis = 0;
    for (size_t i = 1; i + 1 < p.size(); ++i)
      if (std::fabs(p[i].x - 100) < kEps) {
        ++on_axis;
        EXPECT_NEAR(p[i].y, cy + o.bottom_y * o.factor * 10, kEps);
      }
    EXPECT_EQ(on_axis, 1u);  // the bottom point once; the top one starts and ends the list
    for (size_t i = 1; i < p.size() / 2; ++i) EXPECT_NEAR(p[i].x - 100, 100 - p[p.size() - 1 - i].x, kEps);
  }
}

TEST(Glyphs, AccentsKeepOnlyTheAlpha) {
  const D3DCOLORVALUE c{0.5f, 0.6f, 0.7f, 0.4f};
  RecordingSink linux_ = glyph(4, false, 20, c);
  expect_colour(linux_.calls[4].colour, 1.0f, 0.56f, 0.18f, 0.4f);  // beak
  expect_colour(linux_.calls[6].colour, 1.0f, 0.56f, 0.18f, 0.4f);  // second foot
  EXPECT_FLOAT_EQ(linux_.calls[1].colour.a, 0.4f * 0.6f);           // belly
  EXPECT_FLOAT_EQ(linux_.calls[2].r, std::max(0.075f * 20, 0.9f * 2));
  expect_colour(glyph(6, false, 20, c).calls[1].colour, 1.0f, 0.32f, 0.22f, 0.4f);  // horn
  expect_colour(glyph(7, true, 20, c).calls[3].colour, 1.0f, 0.8f, 0.3f, 0.4f);    // spike
  expect_colour(glyph(8, false, 20, c).calls[3].colour, 1.0f, 0.56f, 0.18f, 0.4f);  // fold
  expect_colour(glyph(10, false, 20, c).calls[4].colour, 0.94f, 0.98f, 1.0f, 0.4f);  // star
  expect_colour(glyph(10, true, 20, c).calls[4].colour, c.r, c.g, c.b, c.a);
  expect_colour(glyph(0, false, 20, c).calls[0].colour, c.r, c.g, c.b, c.a);
  EXPECT_FLOAT_EQ(glyph(9, false, 20, c).calls[0].width, 2 * 1.15f);
  // The left horn is the right one mirrored.
  RecordingSink fb = glyph(6, false, 20, c);
  EXPECT_NEAR(fb.calls[2].points.front().x - 100, 100 - fb.calls[1].points.back().x, kEps);
}

TEST(Glyphs, PaneBandsWidenWhenCompact) {
  // Top-right corner of the first pane: column band end 0.465 (full) or 0.45.
  for (bool compact : {false, true}) {
    float u1 = compact ? 0.45f : 0.465f;
    RecordingSink w = glyph(2, compact, 10);
    expect_pt(w.calls[0].points[1], 100 + 0.95f * 10 * (1.68f * u1 - 0.84f), 100 + 0.95f * 10 * (-0.58f - 0.34f * u1));
    RecordingSink f = glyph(3, compact, 10);
    EXPECT_NEAR(f.calls[0].points[6].x, 100 + 0.95f * 10 * (1.4f * u1 - 0.5f), kEps);
  }
}

TEST(Glyphs, PufferfishSpikesLeanTowardTheTail) {
  for (bool compact : {false, true}) {
    RecordingSink fish = glyph(7, compact, 10);
    int m = compact ? 5 : 12;
    float len = compact ? 0.24f : 0.19f;
    for (int i = 0; i < m; ++i) {
      const auto& sp = fish.calls[1 + i].points;
      // Base angle on the body circle (centre 0.16, 0; scale 0.96 * 10).
      float a = std::atan2(sp[0].y - 100, sp[0].x - (100 + 0.16f * 9.6f));
      float expect_a = (250.0f * i / (m - 1) - 125.0f) * 3.14159265f / 180;
      EXPECT_NEAR(a, expect_a, 1e-4f);
      float d = std::atan2(sp[1].y - sp[0].y, sp[1].x - sp[0].x);
      EXPECT_NEAR(d - a, 0.35f * std::sin(a), 1e-4f) << "spike " << i;
      EXPECT_NEAR(std::hypot(sp[1].x - sp[0].x, sp[1].y - sp[0].y), len * 9.6f, 1e-4f);
    }
  }
}

TEST(Glyphs, SvgHoldsOnlyLineArt) {
  for (u32 os = 0; os <= 10; ++os)
    for (bool compact : {false, true}) {
      SvgSink svg;
      draw_glyph(svg, OsKind(os), 50, 50, 40, {1, 1, 1, 1}, 2, compact);
      size_t pos = 0;
      int lines = 0;
      while (pos < svg.out.size()) {
        size_t end = svg.out.find('\n', pos);
        std::string line = svg.out.substr(pos, end - pos);
        EXPECT_TRUE(line.rfind("<polygon ", 0) == 0 || line.rfind("<polyline ", 0) == 0 ||
                    line.rfind("<circle ", 0) == 0)
            << line;
        pos = end + 1;
        ++lines;
      }
      EXPECT_GT(lines, 1);
    }
}

TEST(Glyphs, StayInsideTheirBox) {
  // Every glyph keeps within its scale on both axes, so it fits the space
  // a frame leaves; a mistyped coordinate would stick out.
  for (u32 os = 0; os <= 10; ++os)
    for (bool compact : {false, true}) {
      SCOPED_TRACE(os);
      RecordingSink s = glyph(os, compact, 100);
      for (const SinkCall& c : s.calls) {
        for (const D2D_POINT_2F& p : c.points) {
          EXPECT_LE(std::fabs(p.x - 100), 100.0f);
          EXPECT_LE(std::fabs(p.y - 100), 100.0f);
        }
        if (c.kind != 'P') {
          EXPECT_LE(std::fabs(c.x - 100) + c.r, 100.0f);
          EXPECT_LE(std::fabs(c.y - 100) + c.r, 100.0f);
        }
      }
    }
}

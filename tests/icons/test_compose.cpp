// Icon composition, the application mark and the rendered application icon.
#include <gtest/gtest.h>
#include <windows.h>

#include <cmath>

#include "tests/icons/recording_sink.h"

namespace {

RecordingSink icon(u32 os, u32 arch, float size, IconStyle style) {
  RecordingSink s;
  draw_icon(s, OsKind(os), ArchKind(arch), 100, 200, size, style);
  return s;
}

bool gfx_up() {
  static bool up = [] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    return g_gfx.init();
  }();
  return up;
}

}  // namespace

TEST(DrawIcon, CompactWidthLabelAndAlpha) {
  // Chip frame: 13 calls compact, 18 full; stroke width from the size.
  RecordingSink s33 = icon(9, 0, 33, {1, false, true});
  EXPECT_EQ(s33.calls.size(), 13u + 2u);
  EXPECT_FLOAT_EQ(s33.calls[0].width, 1.32f);
  RecordingSink s34 = icon(9, 0, 34, {1, false, true});
  EXPECT_EQ(s34.calls.size(), 18u + 2u);
  EXPECT_FLOAT_EQ(s34.calls[0].width, 1.02f);
  EXPECT_FLOAT_EQ(icon(9, 0, 20, {1, false, true}).calls[0].width, 1.0f);

  RecordingSink labelled = icon(4, 3, 120, {1, true, true});
  const SinkCall& t = labelled.calls.back();
  EXPECT_EQ(t.kind, 'T');
  EXPECT_EQ(t.text, "RISC-V");
  EXPECT_FLOAT_EQ(t.x, 100);
  EXPECT_FLOAT_EQ(t.y, 200 + 0.8f * 60);
  EXPECT_EQ(t.align, AlignCentre);

  // Without a frame only the glyph, at 0.9 of the radius: DOS chevron tip.
  RecordingSink bare = icon(9, 0, 100, {1, false, false});
  ASSERT_EQ(bare.signature(), "P3o P2o");
  EXPECT_NEAR(bare.calls[0].points[0].x, 100 - 0.64f * 45, 1e-3f);
  // With the frame, the glyph scale is the radius the frame returned (0.5 for the diamond).
  RecordingSink framed = icon(9, 3, 100, {1, false, true});
  EXPECT_NEAR(framed.calls.back().points[1].x, 100 + 0.62f * 25, 1e-3f);

  // Half alpha halves every colour the icon uses, accents and label included.
  for (float size : {30.0f, 80.0f})
    for (u32 os = 0; os <= 10; ++os) {
      RecordingSink full = icon(os, 1, size, {1, true, true}), half = icon(os, 1, size, {0.5f, true, true});
      ASSERT_EQ(full.calls.size(), half.calls.size());
      for (size_t i = 0; i < full.calls.size(); ++i)
        EXPECT_FLOAT_EQ(half.calls[i].colour.a, 0.5f * full.calls[i].colour.a) << os << " " << size;
    }
}

TEST(AppMark, SmallAndFull) {
  RecordingSink small;
  draw_app_mark(small, 0, 0, 39, -0.8f);
  EXPECT_EQ(small.signature(), "C " + times(4, "P2o") + " P2o D");
  RecordingSink full;
  draw_app_mark(full, 0, 0, 40, -0.8f);
  EXPECT_EQ(full.signature(), "C " + times(4, "P2o") + " C C " + times(12, "P2o") + " P2o D D D");
  // Sweep line from the centre at the sweep angle, 0.84 R long, with a trail fading out behind it.
  const SinkCall& sweep = full.calls[19];
  EXPECT_NEAR(sweep.points[1].x, 0.84f * 20 * std::cos(-0.8f), 1e-4f);
  EXPECT_NEAR(sweep.points[1].y, 0.84f * 20 * std::sin(-0.8f), 1e-4f);
  for (size_t i = 10; i <= 18; ++i) EXPECT_LT(full.calls[i].colour.a, full.calls[i - 1].colour.a);
}

TEST(AppIcon, SizesAndTile) {
  ASSERT_TRUE(gfx_up());
  for (u32 n : {16u, 20u, 24u, 32u, 40u, 48u, 63u, 64u, 96u, 128u, 256u, 512u}) {
    std::vector<u8> px = render_app_icon(n);
    ASSERT_EQ(px.size(), size_t(n) * n * 4) << n;
    size_t mid = (size_t(n / 2) * n + n / 2) * 4;
    EXPECT_GT(px[mid + 3], 200) << n;  // the tile is opaque in the middle
    EXPECT_LT(px[3], 128) << n;        // its rounded corner leaves the image corner clear
  }
}

TEST(CanvasSink, DrawsWhereTheSinkSays) {
  ASSERT_TRUE(gfx_up());
  Offscreen off;
  ASSERT_TRUE(off.create(64, 64));
  off.begin();
  CanvasSink sink(&off);
  sink.poly({{8, 8}, {8, 56}}, false, {1, 1, 1, 1}, 3);
  sink.dot(40, 16, 5, {1, 1, 1, 1});
  sink.circle(40, 44, 10, {1, 1, 1, 1}, 2);
  std::vector<u8> px = off.pixels(false, {0, 0, 0, 1});
  ASSERT_EQ(px.size(), 64u * 64 * 4);
  auto alpha = [&](int x, int y) { return px[(size_t(y) * 64 + x) * 4 + 3]; };
  EXPECT_GT(alpha(8, 30), 128);   // the line
  EXPECT_GT(alpha(40, 16), 128);  // the dot's centre
  EXPECT_GT(alpha(50, 44), 128);  // on the circle
  EXPECT_LT(alpha(40, 44), 64);   // inside the circle: outline only
  EXPECT_LT(alpha(24, 30), 64);   // nothing drawn here
}

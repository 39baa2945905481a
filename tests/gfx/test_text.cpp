// The device, the stroke font tables and stroke text.
#include <gtest/gtest.h>

#include "gfx/hershey.h"
#include "tests/gfx/gfx_test.h"
#include "tests/support/test_support.h"

static const D3DCOLORVALUE kWhite{1, 1, 1, 1};

TEST(Gfx, InitBuildsDeviceAndEveryGlyph) {
  ASSERT_TRUE(gfx_ready());
  EXPECT_TRUE(g_gfx.device && g_gfx.context && g_gfx.dxgi_factory && g_gfx.d2d_factory && g_gfx.d2d_device &&
              g_gfx.dwrite && g_gfx.stroke);
  ASSERT_EQ(g_gfx.glyphs.size(), 95u);
  for (auto& g : g_gfx.glyphs) EXPECT_TRUE(g);  // the space too: a valid, empty geometry

  // Walking every glyph record of the font table ends exactly at the end of
  // the data, and each glyph starts where the previous one ended.
  size_t at = 0;
  for (int g = 0; g < 95; ++g) {
    ASSERT_EQ(kHersheyGlyphs[g].offset, at) << "glyph " << g;
    int strokes = kHersheyData[at++];
    for (int s = 0; s < strokes; ++s) at += 1 + 2 * size_t(kHersheyData[at]);
  }
  EXPECT_EQ(at, kHersheyDataSize);
}

TEST(Text, FitNeverCutsInsideACharacter) {
  ASSERT_TRUE(gfx_ready());
  Canvas c;
  EXPECT_EQ(c.fit("ABC", 1000, 12), "ABC");
  EXPECT_EQ(c.fit("ABCDEFGH", 1, 12), "");  // not even "..." fits
  std::string full = "ABCDEFGHIJ";
  std::string cut = c.fit(full, c.text_width("ABCD...", 12) + 0.5f, 12);
  EXPECT_EQ(cut, "ABCD...");

  std::string name = "\xC3\x89T\xC3\x89 \xD0\x96\xD0\x96\xD0\x96 \xE2\x82\xAC\xE2\x82\xAC";  // mixed multi-byte
  float full_w = c.text_width(name, 12);
  ASSERT_GT(full_w, 0);
  for (float w = 0; w < full_w; w += 1.5f) {
    std::string f = c.fit(name, w, 12);
    if (f.empty()) continue;
    ASSERT_GE(f.size(), 3u);
    EXPECT_EQ(f.substr(f.size() - 3), "...");
    std::string body = f.substr(0, f.size() - 3);
    EXPECT_EQ(name.compare(0, body.size(), body), 0);
    // the kept part ends on a character boundary of the original
    if (body.size() < name.size()) {
      EXPECT_NE(u8(name[body.size()]) & 0xC0, 0x80) << "width " << w;
    }
    EXPECT_LE(c.text_width(f, 12), w);
  }
}

TEST(Text, MixedRunsDrawStrokesAndDirectWrite) {
  ASSERT_TRUE(gfx_ready());
  Offscreen off;
  ASSERT_TRUE(off.create(300, 60));
  std::string s = "ABC\xC3\x84\xC3\x96";
  off.begin();
  off.text(s, 10, 20, 20, kWhite);
  std::vector<u8> px = off.pixels(false, D3DCOLORVALUE{});
  float split = 10 + off.text_width("ABC", 20);
  float end = 10 + off.text_width(s, 20);
  Box strokes = lit_box(px, 300, 60, 40, true, 0, int(split));
  Box dw = lit_box(px, 300, 60, 40, true, int(split) + 1, 300);
  ASSERT_FALSE(strokes.empty());
  ASSERT_FALSE(dw.empty());
  EXPECT_LE(dw.right, int(end) + 1);
  // the DirectWrite run sits on the strokes' baseline (y + size = 40)
  EXPECT_NEAR(dw.bottom + 1, 40, 3);
  EXPECT_NEAR(strokes.bottom + 1, 40, 2);
  if (!env_str("VUNK_BUILD").empty()) save_png_bgra(build_path("gfx-mixed.png"), px.data(), 300, 60);
}

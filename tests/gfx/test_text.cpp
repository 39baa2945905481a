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
  EXPECT_EQ(kHersheyDataSize, 2470u);
}

TEST(Text, Utf8Next) {
  std::string s = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // A, e acute, euro, emoji
  size_t pos = 0;
  for (u32 want : {0x41u, 0xE9u, 0x20ACu, 0x1F600u}) EXPECT_EQ(utf8_next(s, pos), want);
  EXPECT_EQ(pos, s.size());
  pos = 0;
  EXPECT_EQ(utf8_next("\x80", pos), 0u);  // stray continuation: low six bits
  pos = 0;
  EXPECT_EQ(utf8_next("\xE2\x82", pos), (0x2u << 6) | 0x2u);  // truncated three-byte sequence
  EXPECT_EQ(pos, 2u);
}

TEST(Text, WidthsAndWeights) {
  ASSERT_TRUE(gfx_ready());
  Canvas c;
  EXPECT_FLOAT_EQ(c.text_width("A", 21), 18);
  EXPECT_NEAR(c.text_width("AA", 21, 0.1f), 38.1f, 1e-4);
  EXPECT_EQ(c.text_width("", 21), 0);
  EXPECT_EQ(c.text_width("", 21, 0.5f), 0);
  // lower case is drawn as capitals unless mixed case is on
  EXPECT_FLOAT_EQ(c.text_width("abc", 30), c.text_width("ABC", 30));
  c.mixed_case = true;
  EXPECT_NE(c.text_width("abc", 30), c.text_width("ABC", 30));
  // controls advance like a space; a line feed never breaks the run
  EXPECT_FLOAT_EQ(c.text_width("\t", 21), 16);
  EXPECT_FLOAT_EQ(c.text_width("A\nA", 21), 18 + 16 + 18);
  EXPECT_FLOAT_EQ(text_weight(10), 1.0f);
  EXPECT_FLOAT_EQ(text_weight(50), 3.2f);
  EXPECT_FLOAT_EQ(text_weight(20), 1.7f);
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

TEST(Text, DirectWriteRunsAndCache) {
  ASSERT_TRUE(gfx_ready());
  Canvas c;
  // The preferred family may be missing; a run still measures sensibly.
  Canvas::DwRun* r = c.dw_run("\xC3\x84\xC3\x96", 20);
  ASSERT_NE(r, nullptr);
  EXPECT_GT(r->width, 5);
  EXPECT_LT(r->width, 200);
  EXPECT_GT(r->baseline, 5);
  EXPECT_LT(r->baseline, 100);
  EXPECT_EQ(c.dw_run("\xC3\x84\xC3\x96", 20), r);  // cached
  EXPECT_EQ(c.runs.count("\xC3\x84\xC3\x96|20.0"), 1u);
  float mixed = c.text_width("AB\xC3\x84", 20);
  EXPECT_NEAR(mixed, c.text_width("AB", 20) + c.dw_run("\xC3\x84", 20)->width, 1e-3);

  c.runs.clear();
  for (int i = 0; i < 257; ++i) ASSERT_NE(c.dw_run(strf("\xC3\x84%d", i), 12), nullptr);
  EXPECT_EQ(c.runs.size(), 257u);
  ASSERT_NE(c.dw_run("\xC3\x84new", 12), nullptr);  // the 258th empties the cache first
  EXPECT_EQ(c.runs.size(), 1u);
}

TEST(Text, RenderedExtentMatchesWidth) {
  ASSERT_TRUE(gfx_ready());
  Offscreen off;
  ASSERT_TRUE(off.create(400, 60));
  const float x = 20, size = 14;
  std::string label = "V.U.N.K. 0123";
  off.begin();
  float drawn = off.text(label, x, 20, size, kWhite);
  std::wstring dir = test_dir("gfx-text");
  std::wstring png = path_join(dir, L"text.png");
  ASSERT_TRUE(off.save_png(png, false, D3DCOLORVALUE{0, 0, 0, 0}));
  float width = off.text_width(label, size);
  EXPECT_FLOAT_EQ(drawn, width);

  u32 w = 0, h = 0;
  std::vector<u8> px;
  ASSERT_TRUE(decode_bgra(png, w, h, px));
  ASSERT_EQ(w, 400u);
  Box b = lit_box(px, w, h, 40, true);
  ASSERT_FALSE(b.empty());
  EXPECT_NEAR(b.left, x, 2);
  EXPECT_NEAR(b.right + 1 - b.left, width, 2);
  // cap line at y, baseline at y + size
  EXPECT_NEAR(b.top, 20, 2);
  EXPECT_NEAR(b.bottom + 1, 20 + size, 2);
  // a copy for a person to look at
  if (!env_str("VUNK_BUILD").empty()) CopyFileW(png.c_str(), build_path("gfx-text.png").c_str(), FALSE);
  remove_tree(dir);

  // Centred and right-aligned text: compare the centres of the lit boxes.
  for (Align a : {AlignCentre, AlignRight}) {
    off.begin();
    off.text(label, 200, 20, size, kWhite, a);
    std::vector<u8> shifted = off.pixels(false, D3DCOLORVALUE{});
    Box s = lit_box(shifted, 400, 60, 40, true);
    ASSERT_FALSE(s.empty());
    float want = a == AlignCentre ? 200 : 200 - width / 2;
    EXPECT_NEAR((s.left + s.right + 1) / 2.0f, want, 3) << "align " << a;
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

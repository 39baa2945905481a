// Icon drawing checked through a sink that keeps every call: glyphs stay in
// their box, the pufferfish's spikes and the waving flag at points worked out
// by hand; the SVG sink in a
// decimal-comma locale; file writes that fail leave nothing behind.
#include <gtest/gtest.h>
#include <windows.h>

#include <clocale>
#include <cmath>

#include "gfx/icons.h"
#include "tests/support/test_support.h"

namespace {

struct Call {
  char kind;
  std::vector<D2D_POINT_2F> points;
  float x = 0, y = 0, r = 0;
};

struct RecordingSink : IconSink {
  std::vector<Call> calls;
  void poly(const std::vector<D2D_POINT_2F>& p, bool, D3DCOLORVALUE, float) override { calls.push_back({'P', p}); }
  void circle(float x, float y, float r, D3DCOLORVALUE, float) override { calls.push_back({'C', {}, x, y, r}); }
  void dot(float x, float y, float r, D3DCOLORVALUE) override { calls.push_back({'D', {}, x, y, r}); }
  void text(std::string_view, float x, float y, float, D3DCOLORVALUE, Align) override {
    calls.push_back({'T', {}, x, y});
  }
};

RecordingSink glyph(u32 os, bool compact, float s) {
  RecordingSink sink;
  draw_glyph(sink, OsKind(os), 100, 100, s, {0.5f, 0.6f, 0.7f, 0.8f}, 2, compact);
  return sink;
}

}  // namespace

TEST(Glyphs, EveryGlyphKeepsInsideItsScale) {
  // A mistyped coordinate would stick out of the space a frame leaves.
  for (u32 os = 0; os <= 11; ++os)
    for (bool compact : {false, true}) {
      RecordingSink s = glyph(os, compact, 100);
      EXPECT_FALSE(s.calls.empty()) << os;
      for (const Call& c : s.calls) {
        for (const D2D_POINT_2F& p : c.points)
          EXPECT_LE(std::max(std::fabs(p.x - 100), std::fabs(p.y - 100)), 100.0f) << os;
        if (c.kind == 'C' || c.kind == 'D') {
          EXPECT_LE(std::max(std::fabs(c.x - 100), std::fabs(c.y - 100)) + c.r, 100.0f) << os;
        }
      }
    }
}

// Points worked out by hand, at scale 10 about (100, 100) (the glyph's factor
// 0.96 makes a unit 9.6 target units): spike i of m sits at the angle
// a = (250 i / (m - 1) - 125) degrees on the body circle of centre (0.16, 0)
// and radius 0.48, and points at a + 0.35 sin a radians, 0.19 long (compact:
// 0.24), so the spikes above and below lean back toward the tail.
TEST(Glyphs, PufferfishSpikesLeanTowardTheTail) {
  const struct {
    bool compact;
    int i;
    D2D_POINT_2F base, tip;
  } spikes[] = {
      {false, 0, {98.8930f, 96.2253f}, {97.4669f, 95.0881f}},    // -125 degrees: top, leaning back
      {false, 5, {106.0537f, 99.0921f}, {107.8129f, 98.6103f}},  // -11.36 degrees: the front
      {false, 11, {98.8930f, 103.7747f}, {97.4669f, 104.9119f}}, // 125 degrees: bottom, leaning back
      {true, 0, {98.8930f, 96.2253f}, {97.0917f, 94.7888f}},
      {true, 2, {106.1440f, 100.0f}, {108.4480f, 100.0f}},         // 0 degrees: straight ahead
  };
  for (const auto& sp : spikes) {
    RecordingSink fish = glyph(7, sp.compact, 10);
    ASSERT_EQ(fish.calls.size(), sp.compact ? 7u : 15u) << "body, spikes, eye";
    const auto& p = fish.calls[1 + sp.i].points;
    ASSERT_EQ(p.size(), 2u);
    EXPECT_NEAR(p[0].x, sp.base.x, 1e-3f) << sp.i;
    EXPECT_NEAR(p[0].y, sp.base.y, 1e-3f) << sp.i;
    EXPECT_NEAR(p[1].x, sp.tip.x, 1e-3f) << sp.i;
    EXPECT_NEAR(p[1].y, sp.tip.y, 1e-3f) << sp.i;
  }
}

// The waving flag at scale 100 about (100, 100) (factor 0.95): the first
// pane's top edge follows w(t) = 0.15 sin((1.5 t - 0.25) pi) at t = 0,
// 0.2325 and 0.465, and the trail's first dash sits at the wave's height at
// t = 0 (w(0) = -0.106066), worked out by hand.
TEST(Glyphs, Windows9xFlagWavesAndItsTrailStartsAtTheWave) {
  RecordingSink flag = glyph(3, false, 100);
  ASSERT_EQ(flag.calls.size(), 10u);  // four panes, six dashes
  const auto& pane = flag.calls[0].points;
  ASSERT_EQ(pane.size(), 14u);
  const D2D_POINT_2F top[] = {{52.5f, 25.3237f}, {83.4225f, 39.7502f}, {114.345f, 49.4566f}};
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(pane[size_t(3 * k)].x, top[k].x, 1e-3f) << k;
    EXPECT_NEAR(pane[size_t(3 * k)].y, top[k].y, 1e-3f) << k;
  }
  const auto& dash = flag.calls[4].points;
  ASSERT_EQ(dash.size(), 2u);
  EXPECT_NEAR(dash[0].x, 6.9f, 1e-3f);
  EXPECT_NEAR(dash[1].x, 14.5f, 1e-3f);
  EXPECT_NEAR(dash[0].y, 47.5537f, 1e-3f);  // 100 + 95 (1.3 x 0.18 - 0.68 - 0.106066)
  EXPECT_NEAR(dash[1].y, dash[0].y, 1e-4f);
}

TEST(SvgSink, NumbersKeepTheirPointInAnyLocale) {
  const bool comma = setlocale(LC_ALL, "German_Germany.1252") || setlocale(LC_ALL, "de-DE");
  SvgSink s;
  s.dot(10, 20, 3, {1, 0.5f, 0, 0.8f});
  s.poly({{1, 2}, {3.333f, 4}}, true, {0, 0, 0, 1}, 2);
  setlocale(LC_ALL, "C");
  EXPECT_EQ(s.out,
            "<circle cx=\"10.00\" cy=\"20.00\" r=\"3.00\" fill=\"#ff8000\" fill-opacity=\"0.80\" stroke=\"none\"/>\n"
            "<polygon points=\"1.00,2.00 3.33,4.00 \" stroke=\"#000000\" stroke-opacity=\"1.00\" "
            "stroke-width=\"2.00\"/>\n");
  if (!comma) GTEST_SKIP() << "no decimal-comma locale: checked in the C locale only";
}

TEST(WriteFile, FailuresLeaveTheOldFileOrNothing) {
  std::wstring dir = test_dir("icons-write");
  std::wstring p = path_join(dir, L"a.svg");
  EXPECT_FALSE(write_file(path_join(dir, L"no\\such\\x.svg"), "data"));
  ASSERT_TRUE(write_file(p, std::string(5000, 'x')));
  ASSERT_TRUE(write_file(p, "old"));
  EXPECT_EQ(read_bytes(p), "old");  // replaced, not overwritten in place
  HANDLE h = CreateFileW(p.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_FALSE(write_file(p, "new"));  // someone else holds it
  CloseHandle(h);
  EXPECT_EQ(read_bytes(p), "old");
  remove_tree(dir);

  // The fixture mounts a 64 KiB file system here when it may.
  std::wstring full = build_path("icons-full");
  if (!file_exists(path_join(full, L"MOUNTED"))) GTEST_SKIP() << "no small file system mounted";
  p = path_join(full, L"big.svg");
  EXPECT_FALSE(write_file(p, std::string(1 << 20, 'x')));
  EXPECT_FALSE(file_exists(p));
}

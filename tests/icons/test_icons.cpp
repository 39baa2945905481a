// Icon drawing checked through a sink that keeps every call: glyphs stay in
// their box, the pufferfish's spikes lean the right way; the SVG sink in a
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
        if (c.kind == 'C' || c.kind == 'D')
          EXPECT_LE(std::max(std::fabs(c.x - 100), std::fabs(c.y - 100)) + c.r, 100.0f) << os;
      }
    }
}

TEST(Glyphs, PufferfishSpikesLeanTowardTheTail) {
  // Each spike leaves the body radially, then leans by 0.35 sin(angle) radians.
  for (bool compact : {false, true}) {
    RecordingSink fish = glyph(7, compact, 10);
    const int m = compact ? 5 : 12;
    for (int i = 0; i < m; ++i) {
      const auto& sp = fish.calls[1 + i].points;
      float a = std::atan2(sp[0].y - 100, sp[0].x - (100 + 0.16f * 9.6f));
      EXPECT_NEAR(a, (250.0f * i / (m - 1) - 125.0f) * 3.14159265f / 180, 1e-4f);
      EXPECT_NEAR(std::atan2(sp[1].y - sp[0].y, sp[1].x - sp[0].x) - a, 0.35f * std::sin(a), 1e-4f) << i;
    }
  }
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

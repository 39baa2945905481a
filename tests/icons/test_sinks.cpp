// SVG sink, stroke-text layout and the export's small utilities.
#include <gtest/gtest.h>
#include <windows.h>

#include <clocale>

#include "gfx/hershey.h"
#include "tests/icons/recording_sink.h"
#include "tests/support/test_support.h"

namespace {

using Strokes = std::vector<std::vector<D2D_POINT_2F>>;

Strokes strokes(std::string_view text, float x, Align align = AlignLeft, float size = 21, float tracking = 0.16f) {
  Strokes out;
  text_strokes(text, x, 10, size, tracking, align, [&](const std::vector<D2D_POINT_2F>& s) { out.push_back(s); });
  return out;
}

// Every point of b equals the point of a shifted by dx.
void expect_shifted(const Strokes& a, const Strokes& b, float dx) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(a[i].size(), b[i].size());
    for (size_t j = 0; j < a[i].size(); ++j) {
      EXPECT_NEAR(b[i][j].x, a[i][j].x + dx, 1e-3f);
      EXPECT_NEAR(b[i][j].y, a[i][j].y, 1e-3f);
    }
  }
}

float advance(char c, float size, float tracking) {
  const HersheyGlyph& g = kHersheyGlyphs[c - 32];
  return (g.right - g.left) * size / 21 + size * tracking;
}

}  // namespace

TEST(SvgSink, ExactElementsInAnyLocale) {
  // A decimal-comma locale must not leak into the files.
  bool comma = setlocale(LC_ALL, "German_Germany.1252") || setlocale(LC_ALL, "de-DE");
  SvgSink s;
  s.dot(10, 20, 3, {1, 0.5f, 0, 0.8f});
  EXPECT_EQ(s.out, "<circle cx=\"10.00\" cy=\"20.00\" r=\"3.00\" fill=\"#ff8000\" fill-opacity=\"0.80\" stroke=\"none\"/>\n");
  s.out.clear();
  s.circle(1.005f, -2.5f, 7.25f, {0.22f, 0.78f, 1, 0.5f}, 1.5f);
  EXPECT_EQ(s.out,
            "<circle cx=\"1.00\" cy=\"-2.50\" r=\"7.25\" stroke=\"#38c7ff\" stroke-opacity=\"0.50\" "
            "stroke-width=\"1.50\"/>\n");
  s.out.clear();
  s.poly({}, true, {1, 1, 1, 1}, 1);
  s.poly({{1, 2}}, false, {1, 1, 1, 1}, 1);
  EXPECT_EQ(s.out, "");
  s.poly({{1, 2}, {3.333f, 4}}, true, {0, 0, 0, 1.5f}, 2);
  EXPECT_EQ(s.out,
            "<polygon points=\"1.00,2.00 3.33,4.00 \" stroke=\"#000000\" stroke-opacity=\"1.50\" "
            "stroke-width=\"2.00\"/>\n");
  s.out.clear();
  s.poly({{0, 0}, {1, 1}, {2, 0}}, false, {1, 1, 1, 1}, 1);
  EXPECT_EQ(s.out.rfind("<polyline points=\"0.00,0.00 1.00,1.00 2.00,0.00 \" ", 0), 0u) << s.out;

  EXPECT_EQ(svg_color({1.2f, -0.1f, 0.999f, 1}), "#ff00ff");
  EXPECT_EQ(svg_color({0.5f, 0.5f, 0.5f, 0}), "#808080");
  setlocale(LC_ALL, "C");
  if (!comma) GTEST_SKIP() << "no decimal-comma locale available: checked in the C locale only";
}

TEST(SvgSink, TextIsStrokedPolylines) {
  // Stroke width 0.085 of the size, kept between 0.8 and 3.2.
  for (auto [size, width] : {std::pair{20.0f, "1.70"}, {5.0f, "0.80"}, {100.0f, "3.20"}}) {
    SvgSink s;
    s.text("AB", 0, 0, size, {1, 1, 1, 1}, AlignLeft);
    size_t lines = 0, widths = 0;
    for (size_t at = 0; (at = s.out.find("<polyline ", at)) != std::string::npos; ++at) ++lines;
    for (size_t at = 0; (at = s.out.find(strf("stroke-width=\"%s\"", width), at)) != std::string::npos; ++at) ++widths;
    EXPECT_GT(lines, 2u);
    EXPECT_EQ(widths, lines) << size;
    EXPECT_EQ(s.out.find("<polygon"), std::string::npos);
  }
}

TEST(TextStrokes, Layout) {
  EXPECT_TRUE(strokes("", 0).empty());
  EXPECT_TRUE(strokes(" ", 0).empty());
  // Lower case is drawn as capitals.
  expect_shifted(strokes("ABC", 5), strokes("abc", 5), 0);
  // A space draws nothing but advances by 16 units plus tracking.
  Strokes aa = strokes("AA", 0), a_a = strokes("A A", 0);
  Strokes a = strokes("A", 0);
  ASSERT_EQ(a_a.size(), aa.size());
  expect_shifted(Strokes(aa.begin() + a.size(), aa.end()), Strokes(a_a.begin() + a.size(), a_a.end()), 16 + 21 * 0.16f);
  // A two-byte UTF-8 letter advances like two spaces and draws nothing.
  Strokes accented = strokes("A\xC3\xA9" "A", 0);
  expect_shifted(Strokes(aa.begin() + a.size(), aa.end()), Strokes(accented.begin() + a.size(), accented.end()),
                 2 * (16 + 21 * 0.16f));
  // Alignment: the right edge of the last glyph's extent lands on x.
  float w = advance('A', 30, 0.16f) + advance('W', 30, 0.16f) - 30 * 0.16f;
  expect_shifted(strokes("AW", 100, AlignLeft, 30), strokes("AW", 100, AlignRight, 30), -w);
  expect_shifted(strokes("AW", 100, AlignLeft, 30), strokes("AW", 100, AlignCentre, 30), -w / 2);
  // Cap line at y, baseline at y + size: "I" is one vertical stroke.
  Strokes i = strokes("I", 0, AlignLeft, 21, 0);
  ASSERT_EQ(i.size(), 1u);
  EXPECT_NEAR(std::min(i[0].front().y, i[0].back().y), 10, 1e-4f);
  EXPECT_NEAR(std::max(i[0].front().y, i[0].back().y), 31, 1e-4f);
}

TEST(Utilities, Slug) {
  EXPECT_EQ(slug("WINDOWS 9X/XP"), "windows-9x-xp");
  EXPECT_EQ(slug("RISC-V"), "risc-v");
  EXPECT_EQ(slug("MAC OS X"), "mac-os-x");
  EXPECT_EQ(slug("--A--"), "a");
  EXPECT_EQ(slug(""), "");
  EXPECT_EQ(slug("!?/"), "");
  EXPECT_EQ(slug("68K"), "68k");
  EXPECT_EQ(slug("a  b\xC3\xA9z"), "a-b-z");
}

TEST(Utilities, WriteFile) {
  std::wstring dir = test_dir("icons-write");
  std::wstring missing = path_join(dir, L"no\\such\\folder\\x.svg");
  EXPECT_FALSE(write_file(missing, "data"));
  EXPECT_FALSE(file_exists(missing));

  std::wstring p = path_join(dir, L"a.svg");
  ASSERT_TRUE(write_file(p, std::string(5000, 'x')));
  ASSERT_TRUE(write_file(p, "short"));
  EXPECT_EQ(read_bytes(p), "short");  // replaced, not overwritten in place
  ASSERT_TRUE(write_file(p, ""));
  EXPECT_TRUE(file_exists(p));
  EXPECT_EQ(file_size(p), 0u);

  // Someone else holding the file open: nothing written, the old file stays.
  ASSERT_TRUE(write_file(p, "old"));
  HANDLE h = CreateFileW(p.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(write_file(p, "new"));
  CloseHandle(h);
  EXPECT_EQ(read_bytes(p), "old");
  remove_tree(dir);
}

TEST(Utilities, WriteFileOnFullDiskLeavesNothing) {
  // The fixture mounts a 64 KiB file system here when it may.
  std::string mnt = env_str("VUNK_BUILD") + "/icons-full";
  std::wstring dir = unix_to_win(mnt);
  if (!file_exists(path_join(dir, L"MOUNTED"))) GTEST_SKIP() << "no small file system mounted";
  std::wstring p = path_join(dir, L"big.svg");
  EXPECT_FALSE(write_file(p, std::string(1 << 20, 'x')));
  EXPECT_FALSE(file_exists(p));
  EXPECT_TRUE(write_file(p, "fits"));
  EXPECT_EQ(read_bytes(p), "fits");
  DeleteFileW(p.c_str());
}

TEST(Utilities, IconFileLayout) {
  const std::vector<u32> sizes = {16, 20, 24, 32, 40, 48, 64, 96, 128, 256};
  std::vector<std::string> pngs;
  for (u32 n : sizes) pngs.push_back(std::string(n, char(n)));
  pngs[3].clear();  // a size whose image could not be made
  std::string ico = ico_file(sizes, pngs);
  auto u32_at = [&](size_t i) { return u32(u8(ico[i])) | u32(u8(ico[i + 1])) << 8 | u32(u8(ico[i + 2])) << 16 | u32(u8(ico[i + 3])) << 24; };
  EXPECT_EQ(ico.substr(0, 6), std::string("\0\0\1\0\x0A\0", 6));
  size_t total = 6 + 16 * 10;
  for (size_t i = 0; i < 10; ++i) {
    EXPECT_EQ(u8(ico[6 + 16 * i]), u8(sizes[i]));  // 256 is written as 0
    EXPECT_EQ(u32_at(14 + 16 * i), pngs[i].size());
    EXPECT_EQ(u32_at(18 + 16 * i), total);  // an empty entry shares the next offset
    EXPECT_EQ(ico.substr(total, pngs[i].size()), pngs[i]);
    total += pngs[i].size();
  }
  EXPECT_EQ(ico.size(), total);
}

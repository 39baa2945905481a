// The feature video's decisions: times.txt, the frame a footage shows, the
// acts, the camera; and the runs that must end before ffmpeg is started.
#include <gtest/gtest.h>

#include <cmath>

#include "machines/settings.h"
#include "tests/gfx/gfx_test.h"
#include "tests/support/test_support.h"
#include "tools/qe.h"

namespace {

using Frames = std::vector<std::pair<std::wstring, double>>;

Frames times_of(const std::string& text) {
  std::wstring dir = test_dir("times");
  std::wstring p = path_join(dir, L"times.txt");
  write_bytes(p, text);
  FILE* f = _wfopen(p.c_str(), L"r");
  Frames got = read_times(f);
  fclose(f);
  remove_tree(dir);
  return got;
}

Footage footage_at(std::vector<double> times) {
  Footage f;
  for (size_t i = 0; i < times.size(); ++i) f.frames.emplace_back(L"f" + std::to_wstring(i), times[i]);
  return f;
}

}  // namespace

TEST(Times, PairsUntilTheFirstThatDoesNotParse) {
  const std::string long_name(70, 'x');
  struct Case {
    std::string text;
    Frames want;
  } cases[] = {
      {"a.ppm 0\nb.ppm 0.5\n", {{L"a.ppm", 0}, {L"b.ppm", 0.5}}},
      {"a.ppm 0 b.ppm 1.5", {{L"a.ppm", 0}, {L"b.ppm", 1.5}}},  // pairs, not lines
      {"  a.ppm\t0.25\r\n\r\nb.ppm 2", {{L"a.ppm", 0.25}, {L"b.ppm", 2}}},
      {"a.ppm 0\nb.ppm soon\nc.ppm 2\n", {{L"a.ppm", 0}}},
      {"a.ppm 0\nb.ppm", {{L"a.ppm", 0}}},
      {"caf\xc3\xa9.ppm 1", {{L"caf\u00e9.ppm", 1}}},
      {long_name + " 1\n", {}},  // 63 bytes of name, then the rest is no number
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(times_of(c.text), c.want) << c.text;
}

TEST(Times, FootageWithoutPairsIsMissing) {
  std::wstring dir = test_dir("footage");
  Footage f;
  EXPECT_FALSE(f.load(dir));  // no times.txt
  write_bytes(path_join(dir, L"times.txt"), "first.ppm later\n");
  EXPECT_FALSE(f.load(dir));
  write_bytes(path_join(dir, L"times.txt"), "first.ppm 0\n");
  EXPECT_TRUE(f.load(dir));
  EXPECT_EQ(f.dir, dir);
  EXPECT_EQ(f.cur, -1);
  remove_tree(dir);
}

TEST(FrameChoice, LastFrameNotAfterTheLookAhead) {
  struct Case {
    std::vector<double> times;
    double s;
    int want;
  } cases[] = {
      {{}, 5, 0},
      {{3.0}, 0, 0},
      {{3.0}, 100, 0},
      {{0, 0.8, 1.6}, 0, 0},
      {{0, 0.8, 1.6}, 0.49, 0},
      {{0, 0.8, 1.6}, 0.51, 1},
      {{0, 0.8, 1.6}, 1.31, 2},
      {{0, 0.8, 1.6}, 99, 2},
      {{0.5, 0.8}, 0, 0},    // first frame when none is due yet
      {{0, 0.2, 5}, 0, 1},   // below the look-ahead: at once
      {{0, 2, 1}, 1.0, 0},   // out of order: the scan stops at 2
      {{0, 2, 1}, 1.9, 2},
  };
  for (const Case& c : cases) EXPECT_EQ(footage_at(c.times).pick(c.s), c.want) << c.s;
}

TEST(Acts, BoundariesFallOnWholeFrames) {
  struct Case {
    int n, act;
  } cases[] = {{0, 1},    {191, 1},  {192, 2},  {815, 2},  {816, 3},
               {1223, 3}, {1224, 4}, {1607, 4}, {1608, 5}, {kQeFrames - 1, 5}};
  for (const Case& c : cases) EXPECT_EQ(qe_act(c.n / double(kQeRate)), c.act) << c.n;
}

// Camera values worked out by hand from the film's timeline: the move's ends
// and midpoints (smoothstep(0.5) = 0.5), a push-in at its height and at a
// quarter (w (1 - 0.035 sin(pi p)) about the window's centre), and reference
// points on the 1920 x 1080 frame.
TEST(Camera, MovesInThenPulsesAboutItsCentre) {
  const struct {
    double t;
    float x, y, w;
  } cases[] = {
      {3.2, 0, 0, 1280},        {4.3, 20, 11, 1230},        {5.4, 40, 22, 1180},
      {6.5, 111, 69, 825},      {7.6, 182, 116, 470},       {7.825, 190.225f, 120.62656f, 453.55f},
      {8.8625, 187.81595f, 119.27147f, 458.36809f},          {9.2, 182, 116, 470},
      {10.125, 190.225f, 120.62656f, 453.55f},               {12.0, 182, 116, 470},
  };
  for (const auto& c : cases) {
    Cam cam = qe_camera(c.t);
    EXPECT_NEAR(cam.x, c.x, 1e-3f) << c.t;
    EXPECT_NEAR(cam.y, c.y, 1e-3f) << c.t;
    EXPECT_NEAR(cam.w, c.w, 1e-3f) << c.t;
  }
  D2D_POINT_2F c = cam_point(Cam{0, 0, 1280}, 640, 360);
  EXPECT_FLOAT_EQ(c.x, 960);
  EXPECT_FLOAT_EQ(c.y, 540);
  // The first highlight's corner once the move has ended.
  D2D_POINT_2F h = cam_point(Cam{182, 116, 470}, 212, 202);
  EXPECT_NEAR(h.x, 122.5532f, 1e-3f);
  EXPECT_NEAR(h.y, 351.3191f, 1e-3f);
}

TEST(Record, StopsBeforeFfmpegWithoutAssetsOrARoot) {
  ASSERT_TRUE(gfx_ready());
  TestSurface ts(64, 36, {0, 0, 0, 1}, true, 96);
  ASSERT_TRUE(ts.created);
  std::wstring dir = test_dir("record");
  std::wstring assets = path_join(dir, L"assets"), out = path_join(dir, L"film.mp4");
  CreateDirectoryW(assets.c_str(), nullptr);
  double clock = -1;
  g_set.tiger_root = dir;
  EXPECT_FALSE(qe_record(ts.s, clock, assets, out));  // nothing there

  // A picture and one footage are not enough.
  std::vector<u8> px(4 * 4 * 4, 200);
  ASSERT_TRUE(save_png_bgra(path_join(assets, L"sp.png"), px.data(), 4, 4));
  for (const wchar_t* f : {L"react", L"bloom"}) CreateDirectoryW(path_join(assets, f).c_str(), nullptr);
  write_bytes(path_join(assets, L"react\\times.txt"), "a.ppm 0\n");
  EXPECT_FALSE(qe_record(ts.s, clock, assets, out));
  EXPECT_FALSE(file_exists(out + L".ffmpeg.txt"));

  // Complete assets, but no root to find ffmpeg under: not the current folder's.
  write_bytes(path_join(assets, L"bloom\\times.txt"), "a.ppm 0\n");
  g_set.tiger_root.clear();
  EXPECT_FALSE(qe_record(ts.s, clock, assets, out));
  EXPECT_FALSE(file_exists(out + L".ffmpeg.txt"));
  EXPECT_EQ(clock, -1);  // no frame was drawn
  remove_tree(dir);
}

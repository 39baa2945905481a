// Window and off-screen surfaces: frames, resizes, the CRT layer, pictures.
#include <gtest/gtest.h>

#include "gfx/layer.h"
#include "tests/gfx/gfx_test.h"

namespace {

const D2D1_COLOR_F kGrey{0.6f, 0.6f, 0.6f, 1}, kBlack{0, 0, 0, 1};

// Brightness of the green channel at a pixel.
int green(const std::vector<u8>& px, u32 w, int x, int y) { return pixel(px, w, x, y)[1]; }

}  // namespace

TEST(Surface, WindowPresentsAndSurvivesResizes) {
  ASSERT_TRUE(gfx_ready());
  HWND hwnd = make_window(320, 200, true);
  ASSERT_TRUE(hwnd);
  Surface s;
  ASSERT_TRUE(s.create(hwnd));
  EXPECT_TRUE(s.swap);
  EXPECT_EQ(s.width, 320u);
  EXPECT_EQ(s.height, 200u);
  auto frames = [&](int n) {
    for (int i = 0; i < n; ++i) {
      pump();
      s.resize();
      s.begin();
      s.line(0, 0, 100, 100, D3DCOLORVALUE{0.2f, 1, 0.4f, 1}, 2);
      s.text("FRAME", 10, 10, 12, D3DCOLORVALUE{1, 1, 1, 1});
      s.end();
    }
  };
  frames(3);
  EXPECT_TRUE(s.target);
  // Down to 1 x 1 and back, each size with working frames.
  for (auto [w, h] : {std::pair{1, 1}, {500, 300}}) {
    SetWindowPos(hwnd, nullptr, 0, 0, w, h, SWP_NOMOVE | SWP_NOZORDER);
    frames(2);
    EXPECT_EQ(s.width, u32(w));
    EXPECT_EQ(s.height, u32(h));
    EXPECT_TRUE(s.target);
  }
  ShowWindow(hwnd, SW_MINIMIZE);  // an empty client area keeps a 1 x 1 surface
  frames(1);
  EXPECT_GE(s.width * s.height, 1u);
  ShowWindow(hwnd, SW_RESTORE);
  frames(2);
  EXPECT_EQ(s.width, 500u);

  // a window surface cannot be read back, and leaves the output alone
  std::vector<u8> out{1, 2, 3};
  EXPECT_FALSE(s.read_bgra(out));
  EXPECT_EQ(out, (std::vector<u8>{1, 2, 3}));

  // created again on the same window, it gets a swap chain again
  ASSERT_TRUE(s.create(hwnd));
  EXPECT_TRUE(s.swap);
  frames(2);
  EXPECT_TRUE(s.target);
  DestroyWindow(hwnd);
}

TEST(Surface, VignetteOnlyWithCrtAndReadBackOpaque) {
  ASSERT_TRUE(gfx_ready());
  TestSurface g(120, 80, kGrey, true);
  ASSERT_TRUE(g.created);
  EXPECT_FALSE(g.s.swap);
  g.s.scanlines = false;  // vignette alone
  ASSERT_TRUE(g.frame());
  int centre = green(g.px, 120, 60, 40);
  EXPECT_NEAR(centre, 153, 1);
  for (auto [x, y] : {std::pair{0, 0}, {119, 0}, {0, 79}, {119, 79}}) EXPECT_LT(green(g.px, 120, x, y), centre - 20);

  // without crt neither scanlines nor vignette; translucent drawing still reads back opaque
  g.s.crt = false;
  g.s.scanlines = true;
  g.s.begin();
  g.s.fill(D2D_RECT_F{0, 0, 30, 80}, D3DCOLORVALUE{1, 1, 1, 0.5f});
  g.s.end();
  ASSERT_TRUE(g.s.read_bgra(g.px));
  ASSERT_EQ(g.px.size(), 120u * 80 * 4);
  for (int y = 0; y < 80; ++y)
    for (int x = 0; x < 120; x += 7) {
      ASSERT_EQ(pixel(g.px, 120, x, y)[3], 255) << x << "," << y;
      if (x < 30) {
        ASSERT_GT(green(g.px, 120, x, y), 160) << x << "," << y;
      } else {
        ASSERT_EQ(green(g.px, 120, x, y), 153) << x << "," << y;
      }
    }
}

// The baked overlay (the console's CRT layer without the glow) darkens every
// third row only while the surface has scanlines; turned off, the same
// overlay leaves the vignette alone, and back on, the rows again.
TEST(Surface, BakedOverlayFollowsScanlines) {
  ASSERT_TRUE(gfx_ready());
  TestSurface g(120, 90, kGrey, false);
  ASSERT_TRUE(g.created);
  CrtOverlay crt;
  for (bool rows : {true, false, true}) {
    g.s.scanlines = rows;
    g.s.begin();
    crt.draw(g.s);
    g.s.end();
    ASSERT_TRUE(g.s.read_bgra(g.px));
    EXPECT_NEAR(green(g.px, 120, 60, 43), 153, 1);  // 43 % 3 == 1: never darkened
    EXPECT_NEAR(green(g.px, 120, 60, 44), rows ? 125 : 153, 2) << "scanlines " << rows;
    EXPECT_LT(green(g.px, 120, 0, 0), 133) << "the vignette stays";
  }
}

TEST(Surface, PicturesUnderOverAndScaled) {
  ASSERT_TRUE(gfx_ready());
  TestSurface g(40, 20, kBlack, false);
  ASSERT_TRUE(g.created);
  auto draw = [&](bool under) {
    g.s.pictures_under = under;
    g.s.begin();
    g.s.fill(D2D_RECT_F{0, 0, 20, 20}, D3DCOLORVALUE{1, 1, 1, 1});
    g.s.pictures.push_back(Surface::Picture{D2D_RECT_F{10, 0, 30, 20}, nullptr, D2D_RECT_F{}, 0.5f,
                                            D2D1_COLOR_F{1, 0, 0, 1}});
    g.s.end();
    return g.s.read_bgra(g.px);
  };
  ASSERT_TRUE(draw(false));
  EXPECT_NEAR(pixel(g.px, 40, 25, 10)[2], 128, 2);  // half-opaque red over black
  EXPECT_NEAR(pixel(g.px, 40, 15, 10)[1], 128, 2);  // over the white drawing: its green halved
  EXPECT_EQ(pixel(g.px, 40, 35, 10)[2], 0);
  ASSERT_TRUE(draw(true));
  EXPECT_EQ(pixel(g.px, 40, 15, 10)[1], 255);  // the drawing covers the picture
  EXPECT_NEAR(pixel(g.px, 40, 25, 10)[2], 128, 2);
  g.s.begin();  // begin empties the queue
  EXPECT_TRUE(g.s.pictures.empty());
  g.s.end();

  // a 4 x 2 checker: white, black, white, black
  u8 checker[32];
  for (int i = 0; i < 32; ++i) checker[i] = i % 4 == 3 || (i / 4) % 2 == 0 ? 255 : 0;
  ComPtr<ID2D1Bitmap1> bmp;
  D2D1_BITMAP_PROPERTIES1 bp{{DXGI_FORMAT_B8G8R8A8_UNORM, D2D1_ALPHA_MODE_PREMULTIPLIED}, 96, 96,
                             D2D1_BITMAP_OPTIONS_NONE, nullptr};
  ASSERT_TRUE(SUCCEEDED(g.s.dc->CreateBitmap(D2D1_SIZE_U{4, 2}, checker, 16, &bp, &bmp)));
  g.s.pictures_under = false;
  g.s.begin();
  g.s.pictures.push_back(Surface::Picture{D2D_RECT_F{0, 0, 8, 4}, bmp, D2D_RECT_F{}, 1, D2D1_COLOR_F{}});    // 2x
  g.s.pictures.push_back(Surface::Picture{D2D_RECT_F{20, 0, 22, 1}, bmp, D2D_RECT_F{}, 1, D2D1_COLOR_F{}});  // 0.5x
  g.s.end();
  ASSERT_TRUE(g.s.read_bgra(g.px));
  // at 2x each source pixel becomes a sharp 2 x 2 block
  for (int x = 0; x < 8; ++x) EXPECT_EQ(green(g.px, 40, x, 1), (x / 2) % 2 ? 0 : 255) << x;
  // at half size the picture still draws (prefiltered, or directly where effects are missing)
  EXPECT_GT(green(g.px, 40, 20, 0), 40);
  EXPECT_EQ(green(g.px, 40, 23, 0), 0);
  // Whether the effects exist is asked once; a new device context asks again.
  EXPECT_TRUE(g.s.pre_tried);
  Surface::force_offscreen = true;
  ASSERT_TRUE(g.s.create(g.hwnd));
  Surface::force_offscreen = false;
  EXPECT_FALSE(g.s.pre_tried || g.s.pre_blur || g.s.pre_scale);
  g.s.begin();
  g.s.pictures.push_back(Surface::Picture{D2D_RECT_F{20, 0, 22, 1}, bmp, D2D_RECT_F{}, 1, D2D1_COLOR_F{}});
  g.s.end();
  ASSERT_TRUE(g.s.read_bgra(g.px));
  EXPECT_GT(green(g.px, 40, 20, 0), 40);
}

TEST(Surface, UnusableSurfaceNeverCrashes) {
  ASSERT_TRUE(gfx_ready());
  Surface s;  // never created: no device context, no targets
  s.resize();
  s.begin();
  s.line(0, 0, 10, 10, D3DCOLORVALUE{1, 1, 1, 1}, 1);
  s.text("X", 0, 0, 10, D3DCOLORVALUE{1, 1, 1, 1});
  s.end();
  std::vector<u8> out{9};
  EXPECT_FALSE(s.read_bgra(out));
  EXPECT_EQ(out, std::vector<u8>{9});
  EXPECT_FALSE(s.save_png(L"C:\\never.png"));
  EXPECT_FALSE(s.load_png(L"C:\\never.png"));
  EXPECT_FALSE(s.load_ppm(L"C:\\never.ppm"));

  // a created surface whose targets are gone draws a frame without them
  TestSurface g(20, 10, kGrey, true);
  ASSERT_TRUE(g.created);
  g.s.target.Reset();
  g.s.phosphor.bitmap.Reset();
  g.s.begin();
  g.s.fill(D2D_RECT_F{0, 0, 5, 5}, D3DCOLORVALUE{1, 1, 1, 1});
  g.s.end();
  EXPECT_TRUE(g.frame());  // rebuilt on the next frame
}

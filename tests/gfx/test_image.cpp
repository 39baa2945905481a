// Off-screen canvases, the phosphor fall-back and image files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "tests/gfx/gfx_test.h"
#include "tests/support/test_support.h"

static const D2D1_COLOR_F kBlack{0, 0, 0, 1};

// The largest array asked for without exceptions: what an image file made
// the reader take. (The replaced form frees like the standard one.)
static size_t g_largest_nothrow = 0;
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
  g_largest_nothrow = std::max(g_largest_nothrow, n);
  return std::malloc(n);
}

TEST(Image, Unpremultiply) {
  u8 px[12] = {64, 32, 16, 128, 5, 6, 7, 0, 200, 100, 50, 255};
  unpremultiply_bgra(px, 3);
  EXPECT_EQ(std::vector<u8>(px, px + 4), (std::vector<u8>{127, 63, 31, 128}));
  EXPECT_EQ(std::vector<u8>(px + 4, px + 8), (std::vector<u8>{5, 6, 7, 0}));  // transparent keeps its bytes
  EXPECT_EQ(std::vector<u8>(px + 8, px + 12), (std::vector<u8>{200, 100, 50, 255}));
  u8 over[4] = {250, 10, 10, 100};  // inconsistent input saturates instead of wrapping
  unpremultiply_bgra(over, 1);
  EXPECT_EQ(over[0], 255);
}

TEST(Image, OffscreenPixelsAndFallback) {
  ASSERT_TRUE(gfx_ready());
  Offscreen bad;
  EXPECT_FALSE(bad.create(0, 10));
  EXPECT_FALSE(bad.create(20000, 10));
  EXPECT_EQ(bad.width + bad.height, 0u);  // a refused size is not kept
  EXPECT_TRUE(bad.pixels(false, D3DCOLORVALUE{}).empty());

  Offscreen off;
  ASSERT_TRUE(off.create(32, 16));
  EXPECT_EQ(off.dpi, 96);
  // With or without the glow effects the composition has something to draw.
  ASSERT_NE(off.phosphor.output(), nullptr);
  if (!off.phosphor.glow) {
    EXPECT_EQ(off.phosphor.output(), static_cast<ID2D1Image*>(off.phosphor.bitmap.Get()));
  }
  off.phosphor.strength(0.15f, 0.4f);  // safe either way

  off.begin();
  off.fill(D2D_RECT_F{0, 0, 8, 16}, D3DCOLORVALUE{1, 0, 0, 1});
  std::vector<u8> px = off.pixels(false, D3DCOLORVALUE{0, 0, 1, 1});
  ASSERT_EQ(px.size(), 32u * 16 * 4);
  EXPECT_EQ(pixel(px, 32, 2, 8)[2], 255);  // red drawn
  EXPECT_EQ(pixel(px, 32, 2, 8)[3], 255);
  if (!off.phosphor.glow) {
    EXPECT_EQ(pixel(px, 32, 30, 8)[3], 0);  // nothing drawn: transparent
  }

  off.begin();
  px = off.pixels(true, D3DCOLORVALUE{0, 0, 1, 1});
  EXPECT_EQ(std::vector<u8>(pixel(px, 32, 30, 8), pixel(px, 32, 30, 8) + 4), (std::vector<u8>{255, 0, 0, 255}));
}

TEST(Image, PngSaveLoadDrawReadBack) {
  ASSERT_TRUE(gfx_ready());
  std::wstring dir = test_dir("gfx-png");
  // Premultiplied pixels go out with straight alpha.
  std::wstring straight = path_join(dir, L"a.png");
  const u8 two[8] = {64, 32, 16, 128, 5, 6, 7, 0};
  ASSERT_TRUE(save_png_bgra(straight, two, 2, 1));
  u32 w = 0, h = 0;
  std::vector<u8> back;
  ASSERT_TRUE(decode_bgra(straight, w, h, back));
  ASSERT_EQ(w * h, 2u);
  EXPECT_EQ(std::vector<u8>(back.begin(), back.begin() + 4), (std::vector<u8>{127, 63, 31, 128}));
  EXPECT_EQ(back[7], 0);
  EXPECT_FALSE(save_png_bgra(path_join(dir, L"missing\\a.png"), two, 2, 1));
  EXPECT_FALSE(save_png_bgra(straight, nullptr, 2, 1));
  EXPECT_FALSE(save_png_bgra(straight, two, 0, 1));

  std::wstring path = path_join(dir, L"pic.png");
  Offscreen off;
  ASSERT_TRUE(off.create(8, 4));
  off.begin();
  off.fill(D2D_RECT_F{0, 0, 4, 4}, D3DCOLORVALUE{1, 0, 0, 1});
  off.fill(D2D_RECT_F{4, 0, 8, 4}, D3DCOLORVALUE{0, 1, 0, 0.5f});
  ASSERT_TRUE(off.save_png(path, false, D3DCOLORVALUE{}));

  TestSurface ps(16, 8, kBlack, false);
  ASSERT_TRUE(ps.created);
  ComPtr<ID2D1Bitmap1> bmp = ps.s.load_png(path);
  ASSERT_TRUE(bmp);
  EXPECT_EQ(bmp->GetPixelSize().width, 8u);
  EXPECT_EQ(bmp->GetPixelSize().height, 4u);
  EXPECT_FALSE(ps.s.load_png(path_join(dir, L"none.png")));

  ps.s.begin();
  ps.s.pictures.push_back(Surface::Picture{D2D_RECT_F{0, 0, 8, 4}, bmp, D2D_RECT_F{}, 1.0f, D2D1_COLOR_F{}});
  ps.s.end();
  std::vector<u8> px;
  ASSERT_TRUE(ps.s.read_bgra(px));
  ASSERT_EQ(px.size(), 16u * 8 * 4);
  EXPECT_EQ(std::vector<u8>(pixel(px, 16, 1, 1), pixel(px, 16, 1, 1) + 4), (std::vector<u8>{0, 0, 255, 255}));
  const u8* half = pixel(px, 16, 6, 1);  // half-transparent green over black
  EXPECT_NEAR(half[1], 128, 2);
  EXPECT_EQ(half[2], 0);
  EXPECT_EQ(std::vector<u8>(pixel(px, 16, 12, 6), pixel(px, 16, 12, 6) + 4), (std::vector<u8>{0, 0, 0, 255}));

  // and the surface's frame saves as a PNG of its pixel size
  std::wstring frame = path_join(dir, L"frame.png");
  ASSERT_TRUE(ps.s.save_png(frame));
  ASSERT_TRUE(decode_bgra(frame, w, h, back));
  EXPECT_EQ(w, 16u);
  EXPECT_EQ(h, 8u);
  EXPECT_EQ(back, px);
  remove_tree(dir);
}

TEST(Image, PpmHeadersAndSizes) {
  ASSERT_TRUE(gfx_ready());
  std::wstring dir = test_dir("gfx-ppm");
  TestSurface ps(8, 4, kBlack, false);
  ASSERT_TRUE(ps.created);
  auto load = [&](const std::string& bytes) {
    std::wstring p = path_join(dir, L"x.ppm");
    write_bytes(p, bytes);
    return ps.s.load_ppm(p);
  };
  std::string samples("\xFF\x00\x00\x00\x00\xFF", 6);  // red, blue
  ComPtr<ID2D1Bitmap1> ok = load("P6 2 1 255\n" + samples);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->GetPixelSize().width, 2u);
  EXPECT_EQ(ok->GetPixelSize().height, 1u);
  EXPECT_TRUE(load("P6\n2\n1\n255\n" + samples));  // any white space separates the fields

  // drawn at 4x, the samples come back in the right channels
  ps.s.begin();
  ps.s.pictures.push_back(Surface::Picture{D2D_RECT_F{0, 0, 8, 4}, ok, D2D_RECT_F{}, 1.0f, D2D1_COLOR_F{}});
  ps.s.end();
  std::vector<u8> px;
  ASSERT_TRUE(ps.s.read_bgra(px));
  EXPECT_EQ(std::vector<u8>(pixel(px, 8, 1, 1), pixel(px, 8, 1, 1) + 4), (std::vector<u8>{0, 0, 255, 255}));
  EXPECT_EQ(std::vector<u8>(pixel(px, 8, 6, 2), pixel(px, 8, 6, 2) + 4), (std::vector<u8>{255, 0, 0, 255}));

  const std::string bad[] = {"P5 2 1 255\n" + samples, "P6 2 1 65535\n" + samples + samples,
                             "P6 2 1 255\n" + samples.substr(0, 5),  // one byte short
                             "P6 0 1 255\n", "P6 -2 1 255\n" + samples, "P6 16385 1 255\n",
                             "P6 100000 100000 255\n",
                             "P6 4294967298 1 255\n" + samples,  // would wrap to 2 in 32 bits
                             "P6 2 1\n", ""};
  for (const std::string& b : bad) EXPECT_FALSE(load(b)) << b.substr(0, 22);
  // A header that declares 1 GiB with no samples behind it takes no memory.
  g_largest_nothrow = 0;
  EXPECT_FALSE(load("P6 16384 16384 255\n"));
  EXPECT_LT(g_largest_nothrow, 1u << 20);
  EXPECT_FALSE(ps.s.load_ppm(path_join(dir, L"missing.ppm")));
  remove_tree(dir);
}

TEST(Image, PngThatCannotBeWrittenLeavesNoFile) {
  ASSERT_TRUE(gfx_ready());
  const std::wstring full = build_path("icons-full");
  if (!file_exists(path_join(full, L"MOUNTED"))) GTEST_SKIP() << "no small file system";
  // Noise does not compress: far more than the 64 KiB the file system holds.
  std::vector<u8> noise(512 * 512 * 4);
  u32 x = 12345;
  for (u8& b : noise) b = u8((x = x * 1103515245 + 12345) >> 16);
  for (size_t i = 3; i < noise.size(); i += 4) noise[i] = 255;
  const std::wstring png = path_join(full, L"noise.png");
  EXPECT_FALSE(save_png_bgra(png, noise.data(), 512, 512));
  EXPECT_FALSE(file_exists(png));
}

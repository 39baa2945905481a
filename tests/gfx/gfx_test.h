// Shared set-up for the graphics tests: the device once per process, PNG
// decoding for checks, pixel probes and a plain test window.
#pragma once

#include <string>
#include <vector>

#include "gfx/gfx.h"

// Initialises COM and g_gfx once; true when the device is ready.
bool gfx_ready();

// Straight-alpha BGRA pixels of an image file, decoded by WIC.
bool decode_bgra(const std::wstring& path, u32& w, u32& h, std::vector<u8>& out);

struct Box {
  int left = -1, top = -1, right = -1, bottom = -1;  // inclusive; -1 when nothing is lit
  bool empty() const { return left < 0; }
};
// Bounding box of pixels whose alpha (or, for opaque images, brightest
// channel) exceeds threshold, within the columns [x0, x1).
Box lit_box(const std::vector<u8>& px, u32 w, u32 h, int threshold, bool by_alpha, int x0 = 0, int x1 = -1);
inline const u8* pixel(const std::vector<u8>& px, u32 w, int x, int y) { return px.data() + (size_t(y) * w + x) * 4; }
// The first differing byte of two images of w pixels a row, as text (empty
// when they are equal).
std::string first_difference(const std::vector<u8>& a, const std::vector<u8>& b, u32 w);

// A pop-up window whose client area is exactly w x h pixels. Off-screen
// surfaces only need its size; showing a window costs seconds under Wine.
HWND make_window(int w, int h, bool visible = false);
// Dispatches pending window messages.
void pump();

// An off-screen surface on a hidden test window of w x h pixels.
struct TestSurface {
  HWND hwnd = nullptr;
  Surface s;
  bool created = false;
  std::vector<u8> px;
  TestSurface(int w, int h, D2D1_COLOR_F bg, bool crt, float dpi = 0);
  ~TestSurface();
  // An empty frame, read back into px.
  bool frame();
};

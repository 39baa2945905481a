// Shapes painted on the CPU into a pixel buffer, for pictures that hold
// many small shapes and change a few times a second: painted here and copied
// into one bitmap, they cost one draw however many shapes they hold (under
// a software Direct2D every call costs about the same whatever it draws).
// Premultiplied BGRA, rows top down; coordinates in pixels; each pixel takes
// a colour by the share of it that the shape covers.
#pragma once

#include <windows.h>

#include <d2d1_1.h>

#include <vector>

#include "core/common.h"

struct Pixels {
  u32 w = 0, h = 0;
  std::vector<u8> px;
  void clear(u32 width, u32 height);
  const u8* at(u32 x, u32 y) const { return px.data() + (size_t(y) * w + x) * 4; }
  void rect(float x0, float y0, float x1, float y1, D3DCOLORVALUE c);
  void disc(float cx, float cy, float r, D3DCOLORVALUE c);
  // A circle's outline, `width` wide, centred on the radius.
  void ring(float cx, float cy, float r, float width, D3DCOLORVALUE c);
  void line(float x0, float y0, float x1, float y1, float width, D3DCOLORVALUE c);
  void blend(u32 x, u32 y, float a, D3DCOLORVALUE c);
};

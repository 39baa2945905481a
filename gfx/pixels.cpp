// Shapes painted on the CPU.
#include "gfx/pixels.h"

#include <algorithm>
#include <cmath>

void Pixels::clear(u32 width, u32 height) {
  w = width, h = height;
  px.assign(size_t(w) * h * 4, 0);
}

void Pixels::blend(u32 x, u32 y, float a, D3DCOLORVALUE c) {
  a *= c.a;
  if (a <= 0 || x >= w || y >= h) return;
  a = std::min(a, 1.0f);
  u8* p = px.data() + (size_t(y) * w + x) * 4;
  float keep = 1 - a;
  p[0] = u8(std::lround(c.b * a * 255 + p[0] * keep));
  p[1] = u8(std::lround(c.g * a * 255 + p[1] * keep));
  p[2] = u8(std::lround(c.r * a * 255 + p[2] * keep));
  p[3] = u8(std::lround(a * 255 + p[3] * keep));
}

namespace {
// The share of a pixel (its centre at distance d from a band's middle line)
// that a band `width` wide covers, across the band.
float band(float d, float width) {
  d = std::fabs(d);
  return std::max(0.0f, std::min(0.5f, d + width / 2) - std::max(-0.5f, d - width / 2));
}

// Pixel rows and columns a shape's bounding box touches, clipped to the pixels.
struct Span {
  int x0, y0, x1, y1;
};
Span span(const Pixels& p, float x0, float y0, float x1, float y1) {
  auto cl = [](float v, u32 n) { return int(std::clamp(v, 0.0f, float(n))); };
  return {cl(std::floor(x0), p.w), cl(std::floor(y0), p.h), cl(std::ceil(x1), p.w), cl(std::ceil(y1), p.h)};
}
}  // namespace

void Pixels::rect(float x0, float y0, float x1, float y1, D3DCOLORVALUE c) {
  Span s = span(*this, x0, y0, x1, y1);
  for (int y = s.y0; y < s.y1; ++y) {
    float cy = std::min(y1, float(y + 1)) - std::max(y0, float(y));
    for (int x = s.x0; x < s.x1; ++x)
      blend(u32(x), u32(y), cy * (std::min(x1, float(x + 1)) - std::max(x0, float(x))), c);
  }
}

void Pixels::disc(float cx, float cy, float r, D3DCOLORVALUE c) {
  Span s = span(*this, cx - r - 1, cy - r - 1, cx + r + 1, cy + r + 1);
  for (int y = s.y0; y < s.y1; ++y)
    for (int x = s.x0; x < s.x1; ++x) {
      float d = std::hypot(x + 0.5f - cx, y + 0.5f - cy);
      blend(u32(x), u32(y), std::clamp(r - d + 0.5f, 0.0f, 1.0f), c);
    }
}

void Pixels::ring(float cx, float cy, float r, float width, D3DCOLORVALUE c) {
  float o = r + width / 2 + 1;
  Span s = span(*this, cx - o, cy - o, cx + o, cy + o);
  for (int y = s.y0; y < s.y1; ++y)
    for (int x = s.x0; x < s.x1; ++x) blend(u32(x), u32(y), band(std::hypot(x + 0.5f - cx, y + 0.5f - cy) - r, width), c);
}

void Pixels::line(float x0, float y0, float x1, float y1, float width, D3DCOLORVALUE c) {
  float dx = x1 - x0, dy = y1 - y0, len2 = dx * dx + dy * dy, o = width / 2 + 1;
  Span s = span(*this, std::min(x0, x1) - o, std::min(y0, y1) - o, std::max(x0, x1) + o, std::max(y0, y1) + o);
  float len = std::sqrt(len2);
  for (int y = s.y0; y < s.y1; ++y) {
    // Only the columns within o + 1 of the line through both ends: beyond
    // that every pixel's share is 0 (a long slanted line's box is mostly such).
    int xa = s.x0, xb = s.x1;
    if (std::fabs(dy) * 64 > std::fabs(dx)) {
      float py = y + 0.5f - y0, mid = x0 - 0.5f + py * dx / dy, reach = (o + 1) * len / std::fabs(dy) + 1;
      xa = std::max(xa, int(std::floor(mid - reach)));
      xb = std::min(xb, int(std::ceil(mid + reach)) + 1);
    }
    for (int x = xa; x < xb; ++x) {
      float px = x + 0.5f - x0, py = y + 0.5f - y0;
      float t = len2 > 0 ? std::clamp((px * dx + py * dy) / len2, 0.0f, 1.0f) : 0;
      blend(u32(x), u32(y), band(std::hypot(px - t * dx, py - t * dy), width), c);
    }
  }
}

// Stroke font tables (Hershey Roman Simplex, ASCII 32..126); see hershey.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

struct HersheyGlyph {
  int8_t left;      // left extent in font units (negative)
  int8_t right;     // right extent; the advance is right - left
  uint16_t offset;  // into kHersheyData
};
static_assert(sizeof(HersheyGlyph) == 4, "records are 4 bytes");

constexpr size_t kHersheyDataSize = 2470;
extern const HersheyGlyph kHersheyGlyphs[95];
extern const int8_t kHersheyData[kHersheyDataSize];

// An IconSink that keeps every call, so tests can check what a drawing issued.
#pragma once

#include <string>
#include <vector>

#include "gfx/icons.h"

struct SinkCall {
  char kind = 0;  // 'P' poly, 'C' circle, 'D' dot, 'T' text
  std::vector<D2D_POINT_2F> points;
  bool closed = false;
  float x = 0, y = 0, r = 0, width = 0, size = 0;  // in this order for brace initialisation
  D3DCOLORVALUE colour{};
  std::string text;
  Align align = 0;
};

struct RecordingSink : IconSink {
  std::vector<SinkCall> calls;

  void poly(const std::vector<D2D_POINT_2F>& points, bool closed, D3DCOLORVALUE colour, float width) override {
    calls.push_back({'P', points, closed, 0, 0, 0, width, 0, colour});
  }
  void circle(float cx, float cy, float r, D3DCOLORVALUE colour, float width) override {
    calls.push_back({'C', {}, false, cx, cy, r, width, 0, colour});
  }
  void dot(float cx, float cy, float r, D3DCOLORVALUE colour) override {
    calls.push_back({'D', {}, false, cx, cy, r, 0, 0, colour});
  }
  void text(std::string_view text, float x, float y, float size, D3DCOLORVALUE colour, Align align) override {
    calls.push_back({'T', {}, false, x, y, 0, 0, size, colour, std::string(text), align});
  }

  // The calls in short form: "P61c" a closed 61-point poly, "P2o" an open
  // one, "C" circle, "D" dot, "T" text; separated by spaces.
  std::string signature() const {
    std::string s;
    for (const SinkCall& c : calls) {
      if (!s.empty()) s += ' ';
      s += c.kind;
      if (c.kind == 'P') s += std::to_string(c.points.size()) + (c.closed ? "c" : "o");
    }
    return s;
  }
};

// "X" repeated n times, space-separated (for long runs of equal calls).
inline std::string times(int n, const std::string& x) {
  std::string s;
  for (int i = 0; i < n; ++i) s += (i ? " " : "") + x;
  return s;
}

// The demo recording (--record-demo): a scripted tour of the console through
// its real views, with the real catalog and a real download, paced at 60
// frames a second and encoded by ffmpeg. The pacing and pointer decisions are
// plain functions here; the tour is in app_demo.cpp.
#pragma once

#include <d2d1.h>

#include <string>

#include "core/common.h"

// Frames a glide of that many seconds moves the pointer in: trunc(s x 60), at
// least 1 (a glide also draws one frame before it moves).
int glide_steps(double seconds);

// The pointer on frame i (1 to n) of a glide from a to b: eased in and out,
// on an arc that rises 18 DIPs above the straight line at its middle.
D2D_POINT_2F glide_point(D2D_POINT_2F a, D2D_POINT_2F b, int i, int n);

// Pacing of frame n of a run that began at start, seen at the clock now:
// frame n is due at start + n / 60. An early frame sleeps until it is due
// (whole milliseconds); one more than 0.05 s behind is late.
struct Pace {
  unsigned sleep_ms = 0;
  bool late = false;
};
Pace pace_frame(double start, i64 n, double now);

// Where the pointer drifts toward on frame n while the download runs: over
// the right part of a page of width x height DIPs.
D2D_POINT_2F drift_aim(i64 n, float width, float height);

// The recording's encoder command line.
std::wstring demo_command(const std::wstring& ffmpeg, u32 width, u32 height, const std::wstring& out);

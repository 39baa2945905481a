// The feature video (--record-qe): a fixed 1860-frame film drawn off-screen
// from an assets folder (a guest screenshot and two footage sequences) and
// encoded by ffmpeg. The timeline's decisions are plain functions here; the
// drawing and the encoder pipe live in app_qe.cpp.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "gfx/gfx.h"

constexpr int kQeFrames = 1860;
constexpr int kQeRate = 60;

// One footage folder: the frames its times.txt lists and the one frame image
// held at a time.
struct Footage {
  std::vector<std::pair<std::wstring, double>> frames;
  std::wstring dir;
  int cur = -1;
  ComPtr<ID2D1Bitmap> bitmap;

  // Reads dir\times.txt; false when it cannot be opened or lists nothing.
  bool load(const std::wstring& dir);
  // Index of the frame shown at local time s (0 for fewer than two frames).
  int pick(double s) const;
};

// Pairs "name time" read with "%63s %lf" until the end or the first pair that
// does not parse; the pairs read until then are kept.
std::vector<std::pair<std::wstring, double>> read_times(FILE* f);

// The act (1 to 5) that video time t falls in.
int qe_act(double t);

// The camera over a 1280 x 720 reference picture; its height follows w.
struct Cam {
  float x = 0, y = 0, w = 1280;
};
// Act 2's camera move with its three push-in pulses.
Cam qe_camera(double t);
// A reference point as drawn on the 1920 x 1080 frame.
D2D_POINT_2F cam_point(const Cam& c, float px, float py);

// The encoder's command line: the program quoted, raw BGRA frames of the
// given size at 60 per second on standard input, H.264 into out.
std::wstring qe_command(const std::wstring& ffmpeg, u32 width, u32 height, const std::wstring& out);

// Renders the film onto the surface (which must be 1920 x 1080 pixels at 96
// DPI) and pipes it to tiger_root\ffmpeg\bin\ffmpeg.exe. clock receives the
// video time before each frame. True when every frame went through and ffmpeg
// exited with 0.
bool qe_record(Surface& s, double& clock, const std::wstring& assets, const std::wstring& out);

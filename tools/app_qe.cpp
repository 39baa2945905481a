// The feature video: a title card, a guest screenshot under a moving camera
// with highlights and captions, two footage sequences and an end card, drawn
// frame by frame onto the off-screen surface and piped to ffmpeg unpaced.
// Every value drawn is a function of the frame number alone, so two runs with
// the same assets send identical frames.
#include "tools/qe.h"

#include <algorithm>
#include <cmath>

#include "app/app.h"
#include "gfx/icons.h"
#include "machines/proc.h"
#include "machines/settings.h"
#include "tools/ffpipe.h"

// ---- plain decisions --------------------------------------------------------

std::vector<std::pair<std::wstring, double>> read_times(FILE* f) {
  std::vector<std::pair<std::wstring, double>> frames;
  char name[64];
  double t = 0;
  while (fscanf(f, "%63s %lf", name, &t) == 2) frames.emplace_back(widen(name), t);
  return frames;
}

bool Footage::load(const std::wstring& folder) {
  dir = folder;
  FILE* f = _wfopen(path_join(folder, L"times.txt").c_str(), L"r");
  if (!f) return false;
  frames = read_times(f);
  fclose(f);
  return !frames.empty();
}

int Footage::pick(double s) const {
  // The frame shown leads the local time a little, so a change in the
  // footage lines up with the caption that follows it.
  const double q = s + 0.3;
  const int count = int(frames.size());
  if (count < 2) return 0;
  int i = 0;
  while (i < count - 1 && frames[i + 1].second <= q) ++i;
  return i;
}

int qe_act(double t) {
  if (t < 3.2) return 1;
  if (t < 13.6) return 2;
  if (t < 20.4) return 3;
  if (t < 26.8) return 4;
  return 5;
}

static double clamp01(double v) { return std::min(1.0, std::max(0.0, v)); }
static double smoothstep(double u) { return u * u * (3 - 2 * u); }

Cam qe_camera(double t) {
  Cam c;
  if (t < 5.4) {
    double s = smoothstep(std::max(0.0, (t - 3.2) / 2.2));
    c.w = float(1280 - 100 * s), c.x = float(40 * s), c.y = float(22 * s);
  } else {
    double s = smoothstep(std::min(1.0, (t - 5.4) / 2.2));
    c.w = float(1180 - 710 * s), c.x = float(40 + 142 * s), c.y = float(22 + 94 * s);
  }
  // A 3.5 % push-in about the window's centre at the start of each highlight.
  for (double d : {7.6, 8.75, 9.9}) {
    double p = std::min(1.0, (t - d) / 0.45);
    if (p > 0 && p < 1) {
      float w2 = float(c.w * (1 - 0.035 * std::sin(M_PI * p)));
      c.x += (c.w - w2) / 2;
      c.y += (c.w - w2) * (720.0f / 1280.0f) / 2;
      c.w = w2;
    }
  }
  return c;
}

D2D_POINT_2F cam_point(const Cam& c, float px, float py) {
  float h = c.w * 720 / 1280;
  return {(px - c.x) * 1920 / c.w, (py - c.y) * 1080 / h};
}

std::wstring qe_command(const std::wstring& ffmpeg, u32 width, u32 height, const std::wstring& out) {
  return ff_command(ffmpeg, width, height, L"-preset p7 -tune hq -rc vbr -cq 18 -b:v 0 -maxrate 40M -bufsize 80M",
                    out);
}

// ---- drawing ------------------------------------------------------------------

namespace {

constexpr float kW = 1920, kH = 1080;
constexpr D2D1_COLOR_F kFade{0.004f, 0.01f, 0.02f, 1.0f};
constexpr D2D1_COLOR_F kPanel{0.006f, 0.014f, 0.028f, 1.0f};
constexpr D3DCOLORVALUE kCyan{0.22f, 0.78f, 1.0f, 1}, kPink{1.0f, 0.66f, 0.96f, 1}, kIce{0.78f, 0.95f, 1.0f, 1},
    kAmber{1.0f, 0.8f, 0.3f, 1}, kDim{0.1f, 0.36f, 0.52f, 1};
// The end card's host: any fifteen capitals fit its line.
constexpr const char* kHostLine = "HOST KESTREL-07";

D3DCOLORVALUE alpha(D3DCOLORVALUE c, double a) { return {c.r, c.g, c.b, float(a)}; }

struct Film {
  Surface& s;

  void picture(D2D_RECT_F dest, ID2D1Bitmap* bitmap, D2D_RECT_F src, double opacity, D2D1_COLOR_F colour) {
    Surface::Picture p;
    p.dest = dest;
    p.bitmap = bitmap;
    p.src = src;
    p.opacity = float(opacity);
    p.colour = colour;
    s.pictures.push_back(std::move(p));
  }
  void panel(D2D_RECT_F box, double opacity, D2D1_COLOR_F colour) { picture(box, nullptr, {}, opacity, colour); }

  void shot(ID2D1Bitmap* bitmap, const Cam& c) {
    picture({0, 0, kW, kH}, bitmap, {c.x, c.y, c.x + c.w, c.y + c.w * 720 / 1280}, 1, {});
  }

  void fade(double a) {
    if (a > 0) panel({0, 0, kW, kH}, a, kFade);
  }

  void highlight(ID2D1Bitmap* shot_bitmap, const Cam& c, float top, float right, float bottom, double age,
                 D3DCOLORVALUE col) {
    if (age < 0) return;
    const float left = 212;
    D2D_POINT_2F a = cam_point(c, left, top), b = cam_point(c, right, bottom);
    picture({a.x, a.y, b.x, b.y}, shot_bitmap, {left, top, right, bottom}, 1, {});
    double f = 1 - std::min(1.0, age / 0.35);
    if (f > 0) panel({a.x, a.y, b.x, b.y}, 0.85 * f, {1, 1, 1, 1});
    double p = std::min(1.0, 2 * (age - 0.05));
    if (p > 0 && p < 1) {
      float X = float((a.x - 40) + p * (b.x - a.x + 80));
      s.line(X, a.y - 26, X, b.y + 26, col, 5.0f);
      s.line(X - 14, a.y - 10, X - 14, b.y + 10, alpha(col, 0.4 * col.a), 3.0f);
    }
    double pulse = 0.45 + 0.35 * (0.55 + 0.45 * std::sin(5 * age));
    s.rect({a.x - 18, a.y - 12, b.x + 18, b.y + 12}, alpha(col, col.a * pulse), 2.0f);
    s.brackets({a.x - 28, a.y - 22, b.x + 28, b.y + 22}, 26, col, 3.0f);
  }

  void callout(float x, float y, const std::string& label, const std::string& line, D3DCOLORVALUE col, double a,
               D2D_POINT_2F anchor) {
    if (a <= 0) return;
    float wl = s.text_width(line, 13, 0.24f), wb = s.text_width(label, 34, 0.18f);
    D2D_RECT_F box{x, y, x + std::max(wl, wb) + 56, y + 100};
    if (anchor.x >= 0) {
      const float ax = anchor.x, ay = anchor.y;
      float k = float(std::min(1.0, 1.4 * a));
      float xm = ax + (x - ax) * 0.45f;
      D3DCOLORVALUE lc = alpha(col, 0.85 * a * col.a);
      s.line(ax, ay, ax + (xm - ax) * k, ay, lc, 1.6f);
      if (k > 0.5f) s.line(xm, ay, xm, y + 50, lc, 1.6f);
      if (k > 0.8f) s.line(xm, y + 50, x, y + 50, lc, 1.6f);
      s.disc(ax, ay, 4, alpha(col, a * col.a));
    }
    panel(box, 0.86 * a, kPanel);
    s.brackets(box, 18, alpha(col, a * col.a), 2.2f);
    size_t n = std::min(label.size(), size_t(std::min(1.0, 1.6 * a) * double(label.size())));
    s.text(label.substr(0, n), x + 28, y + 22, 34, alpha(col, a * col.a), AlignLeft, 0.18f);
    s.text(line, x + 28, y + 68, 13, alpha(kCyan, a * a), AlignLeft, 0.24f);
  }

  // Typed text: the first n characters of a title.
  static std::string typed(const char* text, double n) { return std::string(text).substr(0, size_t(n)); }

  void title(double t) {
    double f = 1 - std::max(0.0, (t - 2.85) / 0.35);
    for (int k = 0; k < 30; ++k) s.line(64.0f * k, 0, 64.0f * k, kH, alpha(kDim, 0.18 * f), 1.0f);
    for (int k = 0; k < 17; ++k) s.line(0, 64.0f * k, kW, 64.0f * k, alpha(kDim, 0.18 * f), 1.0f);
    s.text(typed("QUARTZ EXTREME", 14 * clamp01((t - 0.2) / 0.9)), 960, 380, 92, alpha(kPink, f), AlignCentre,
           0.2f);
    s.text(typed("+ CORE IMAGE", std::min(12.0, 12 * clamp01((t - 0.9) / 0.7))), 960, 520, 60, alpha(kIce, f),
           AlignCentre, 0.2f);
    s.text("MAC OS X 10.4 TIGER // ON THE HOST GPU // DOCKED IN V.U.N.K.", 960, 650, 20,
           alpha(kCyan, clamp01((t - 1.6) * 2) * f), AlignCentre, 0.26f);
    float L = float(520 * clamp01((t - 1.5) / 0.7));
    s.line(960 - L, 620, 960 + L, 620, alpha(kCyan, 0.6 * f), 1.4f);
  }

  void screenshot(double t, ID2D1Bitmap* sp) {
    Cam c = qe_camera(t);
    shot(sp, c);
    fade(1 - std::min(1.0, (t - 3.2) / 0.4));
    double d = 0.72 * smoothstep(clamp01((t - 7.2) / 0.6));
    if (d > 0) panel({0, 0, kW, kH}, d, {0, 0, 0, 1});
    highlight(sp, c, 202, 436, 216, t - 7.6, kCyan);
    highlight(sp, c, 228, 434, 242, t - 8.75, kPink);
    highlight(sp, c, 280, 374, 294, t - 9.9, kPink);
    if (t < 7.6) {
      double u = (t - 3.6) / 0.5;
      double L = std::min(1.0, u) * (1 - std::max(0.0, (t - 7.1) * 2));
      if (u >= 0 && L > 0) {
        const char* text = "SYSTEM PROFILER // GRAPHICS/DISPLAYS";
        float tw = s.text_width(text, 22, 0.24f);
        D2D_RECT_F box{40, 958, tw + 104, 1032};
        panel(box, 0.86 * L, kPanel);
        s.brackets(box, 16, alpha(kCyan, L), 2.0f);
        s.text(text, 72, 984, 22, alpha(kCyan, L), AlignLeft, 0.24f);
      }
      return;
    }
    auto anchor = [&](float px, float py) {
      D2D_POINT_2F a = cam_point(c, px, py);
      return D2D_POINT_2F{a.x + 30, a.y};
    };
    D2D_POINT_2F a1 = anchor(436, 209), a2 = anchor(434, 235), a3 = anchor(374, 287);
    callout(1150, a1.y - 150, "240 HZ", "THE GUEST'S DISPLAY RUNS AT THE HOST'S PACE", kCyan,
            clamp01((t - 7.9) / 0.5), a1);
    callout(1150, a2.y - 20, "ON THE GPU", "CORE IMAGE FILTERS RUN ON THE HOST'S CARD", kPink,
            clamp01((t - 9.05) * 2), a2);
    callout(1150, a3.y + 90, "QUARTZ EXTREME", "THE WINDOW COMPOSITOR IS HARDWARE TOO", kPink,
            clamp01((t - 10.2) * 2), a3);
    fade(std::max(0.0, (t - 13.2) / 0.4));
  }

  // One footage act: start is when its local clock starts, in and out the
  // fades' start times and lengths.
  void footage(double t, Footage& fg, double start, double in_at, double in_len, double out_at, double out_len,
               D3DCOLORVALUE col, const char* label, const char* line) {
    double sl = std::max(0.0, t - start);
    int i = fg.pick(sl);
    if (i != fg.cur && !fg.frames.empty()) {
      // A frame that does not load shows nothing until another is chosen.
      ComPtr<ID2D1Bitmap1> b = s.load_ppm(path_join(fg.dir, fg.frames[size_t(i)].first));
      fg.bitmap = b;
      fg.cur = i;
    }
    shot(fg.bitmap.Get(), Cam{0, 0, 1280});
    fade(1 - std::min(1.0, (t - in_at) / in_len));
    double o = (t - out_at) / out_len;
    if (o >= 0) fade(o);
    callout(64, 64, label, line, col, std::min(1.0, (t - start - 0.5) / 0.6), {-1, -1});
  }

  void end_card(double t) {
    double a = std::min(1.0, (t - 26.8) / 0.6);
    CanvasSink sink(&s);
    draw_app_mark(sink, 960, 380, float(1 + 170 * a), float(1.4 * t));
    s.text("V.U.N.K.", 960, 520, 80, alpha(kPink, a), AlignCentre, 0.24f);
    s.text(kHostLine, 960, 650, 30, alpha(kCyan, clamp01((t - 27.4) * 2)), AlignCentre, 0.3f);
    s.text("QUARTZ EXTREME // CORE IMAGE // 240 HZ // QEMU ON WINDOWS", 960, 720, 15,
           alpha(kIce, 0.8 * clamp01((t - 27.8) * 2)), AlignCentre, 0.26f);
    fade(std::max(0.0, (t - 30.5) * 2));
  }
};

}  // namespace

bool qe_record(Surface& s, double& clock, const std::wstring& assets, const std::wstring& out) {
  ComPtr<ID2D1Bitmap1> sp = s.load_png(path_join(assets, L"sp.png"));
  Footage react, bloom;
  if (!sp || !react.load(path_join(assets, L"react")) || !bloom.load(path_join(assets, L"bloom"))) {
    wlog("record-qe: assets missing in %s", narrow(assets).c_str());
    return false;
  }
  // Without a Mac OS X Intel root the path would be relative to whatever the
  // current folder is; that is no ffmpeg of the user's.
  FfPipe ff;
  const std::wstring ffmpeg = path_join(g_set.tiger_root, L"ffmpeg\\bin\\ffmpeg.exe");
  if (g_set.tiger_root.empty() || !ff.start(qe_command(ffmpeg, s.width, s.height, out), out + L".ffmpeg.txt")) {
    const unsigned long error = GetLastError();
    wlog("record-qe: ffmpeg did not start (%s, error %lu)",
         g_set.tiger_root.empty() ? "no Mac OS X Intel root" : narrow(ffmpeg).c_str(), error);
    return false;
  }

  // Pictures beneath the glow: fades and the dim overlay darken the pictures
  // only; strokes and text fade through their own alphas.
  s.scanlines = false;
  s.pictures_under = true;
  Film film{s};
  std::vector<u8> frame;
  for (int n = 0; n < kQeFrames && ff.ok; ++n) {
    const double t = n / double(kQeRate);
    clock = t;
    s.begin();
    switch (qe_act(t)) {
      case 1: film.title(t); break;
      case 2: film.screenshot(t, sp.Get()); break;
      case 3:
        film.footage(t, react, 14.0, 13.6, 0.7, 20.05, 0.35, kPink, "OPENGL ON THE HOST GPU",
                     "MORAVLUX // REACTION-DIFFUSION // GEFORCE RTX VIA ZINK");
        break;
      case 4:
        film.footage(t, bloom, 20.4, 20.4, 0.4, 26.4, 0.4, kAmber, "CORE IMAGE ON THE GPU",
                     "CIBLOOM ON EVERY FRAME // 400,000 POINTS IN OPENGL");
        break;
      default: film.end_card(t); break;
    }
    s.end();
    // A frame that cannot be read back is left out; the stream goes on.
    if (s.read_bgra(frame)) ff.write(frame);
  }
  unsigned long code = ff.finish(120000);
  s.pictures_under = false;
  wlog("record-qe: %d frames, ffmpeg exit %lu, pipe %s", kQeFrames, code, ff.ok ? "ok" : "broken");
  return ff.ok && code == 0;
}

bool App::record_qe(const std::wstring& assets, const std::wstring& video) {
  surface.resize();  // the window was just made 1920 x 1080
  return qe_record(surface, now, assets, video);
}

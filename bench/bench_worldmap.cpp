// Milliseconds per full-window frame of the start view's map: outlines, the
// 14 sites with labels, the NORAD radar and 4 tracks, at 1640 x 1000
// pixels. Measured on a surface bound to a real window (composition and a
// present synchronised to the display) and on an off-screen surface as the
// tool modes use it; median of 100 frames after a short warm-up.
#include <windows.h>

#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include "gfx/worldmap.h"

namespace {

constexpr int kW = 1640, kH = 1000;
constexpr int kFrames = 100, kWarmup = 5;

LRESULT CALLBACK wndproc(HWND h, UINT m, WPARAM w, LPARAM l) { return DefWindowProcW(h, m, w, l); }

HWND make_window(bool show) {
  static bool registered = false;
  HINSTANCE inst = GetModuleHandleW(nullptr);
  if (!registered) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = wndproc;
    wc.hInstance = inst;
    wc.lpszClassName = L"VunkBenchMap";
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    RegisterClassW(&wc);
    registered = true;
  }
  RECT r{0, 0, kW, kH};
  AdjustWindowRect(&r, WS_OVERLAPPEDWINDOW, FALSE);
  HWND h = CreateWindowExW(0, L"VunkBenchMap", L"map bench", WS_OVERLAPPEDWINDOW, 0, 0, r.right - r.left,
                           r.bottom - r.top, nullptr, nullptr, inst, nullptr);
  if (h && show) {
    ShowWindow(h, SW_SHOW);
    UpdateWindow(h);
  }
  return h;
}

void pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

void draw_scene(WorldMap& map, Canvas& c, float w, float h, float t) {
  static const char* tracked[] = {"geneva", "helsinki", "cupertino", "london"};
  const D3DCOLORVALUE green{0.36f, 1.0f, 0.48f, 1.0f};
  map.layout({0, 0, w, h});
  map.draw(c, 1);
  for (const Site& s : sites()) map.draw_site(c, s, green, 1, true);
  map.draw_norad(c, t, 1);
  for (int i = 0; i < 4; i++) map.draw_track(c, *find_site(tracked[i]), t, green, 1, "SYSTEM", i == 3);
}

struct Stats {
  double median, lo, hi;
  int frames;
};

Stats measure(const std::function<void(float)>& frame, int frames = kFrames) {
  for (int i = 0; i < kWarmup; i++) frame(i / 60.0f);
  std::vector<double> ms;
  for (int i = 0; i < frames; i++) {
    double t0 = now_s();
    frame((kWarmup + i) / 60.0f);
    ms.push_back((now_s() - t0) * 1000);
  }
  std::sort(ms.begin(), ms.end());
  return {(ms[(frames - 1) / 2] + ms[frames / 2]) / 2, ms.front(), ms.back(), frames};
}

void report(const char* what, const Stats& s) {
  std::printf("%-34s median %7.2f ms  (min %.2f, max %.2f, %d frames)\n", what, s.median, s.lo, s.hi, s.frames);
  std::fflush(stdout);
}

// One Surface frame of the scene; false when the surface is not usable.
bool surface_case(const char* what, bool offscreen, bool read_back) {
  Surface::force_offscreen = offscreen;
  HWND hwnd = make_window(!offscreen);
  if (!hwnd) {
    std::printf("%-34s no window\n", what);
    return false;
  }
  pump();
  Surface s;
  WorldMap map;
  bool ok = s.create(hwnd);
  if (ok && (s.width != u32(kW) || s.height != u32(kH)))
    std::printf("  (surface is %ux%u pixels, not %dx%d)\n", s.width, s.height, kW, kH);
  if (ok && !offscreen && !s.swap) ok = false;  // a window case must really present
  if (!ok) {
    std::printf("%-34s surface could not be created\n", what);
    DestroyWindow(hwnd);
    Surface::force_offscreen = false;
    return false;
  }
  std::vector<u8> pixels;
  float w = s.width * 96.0f / s.dpi, h = s.height * 96.0f / s.dpi;
  Stats st = measure([&](float t) {
    pump();
    s.begin();
    draw_scene(map, s, w, h, t);
    s.end();
    if (read_back) s.read_bgra(pixels);
  });
  report(what, st);
  DestroyWindow(hwnd);
  pump();
  Surface::force_offscreen = false;
  return true;
}

}  // namespace

int main() {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (!g_gfx.init()) {
    std::printf("graphics device not available\n");
    return 1;
  }
  std::printf("world map, 14 sites, radar, 4 tracks, %dx%d pixels\n", kW, kH);
  bool ok = true;
  ok &= surface_case("window surface (present)", false, false);
  ok &= surface_case("off-screen surface", true, false);
  ok &= surface_case("off-screen surface + read_bgra", true, true);

  // The map layers alone on the phosphor canvas, no composition.
  Offscreen off;
  if (off.create(kW, kH)) {
    WorldMap map;
    std::vector<u8> px;
    Stats st = measure([&](float t) {
      off.begin();
      draw_scene(map, off, kW, kH, t);
      px = off.pixels(true, {0, 0, 0, 1});
    });
    report("offscreen canvas + pixels", st);
    // Where the time goes: each part alone on the same canvas (fewer frames).
    const D3DCOLORVALUE green{0.36f, 1.0f, 0.48f, 1.0f};
    map.layout({0, 0, float(kW), float(kH)});
    std::pair<const char*, std::function<void(float)>> parts[] = {
        {"  nothing drawn", [&](float) {}},
        {"  outlines and graticule", [&](float) { map.draw(off, 1); }},
        {"  14 sites with labels", [&](float) { for (const Site& s : sites()) map.draw_site(off, s, green, 1, true); }},
        {"  radar", [&](float t) { map.draw_norad(off, t, 1); }},
        {"  4 tracks", [&](float t) {
           for (const char* id : {"geneva", "helsinki", "cupertino", "london"})
             map.draw_track(off, *find_site(id), t, green, 1, "SYSTEM", false);
         }},
    };
    for (auto& [name, draw] : parts)
      report(name, measure([&](float t) {
               off.begin();
               draw(t);
               px = off.pixels(true, {0, 0, 0, 1});
             }, 20));
  } else {
    std::printf("offscreen canvas could not be created\n");
    ok = false;
  }
  return ok ? 0 : 1;
}

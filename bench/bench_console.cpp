// What a frame of the console draws under this system's Direct2D, per view,
// at 1640 x 1000 through the window surface: Direct2D draw calls, rectangles
// and pixels drawn again, and the main thread's time (median and 95th
// percentile of 300 frames, the clock moved on as the main loop would), with
// the same frames drawn whole beside them for the ratio. Views: home, the
// new-system wizard, a running machine (its record in the fleet, no process)
// and settings. The CPU of the whole process, the renderer's threads
// included, is bench/console_cpu.sh's: from inside Wine they cannot be seen.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include "app/app.h"
#include "gfx/layer.h"
#include "machines/machine.h"
#include "machines/profile.h"

static void pump() {
  MSG m;
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
}

struct Stats {
  double median = 0, p95 = 0, calls = 0, rects = 0, pixels = 0, presented = 0;
};

// n frames, 1/fps apart on the view's clock; whole: every frame drawn whole.
static Stats frames(int n, double fps, bool whole) {
  std::vector<double> t;
  Stats s;
  Surface& surface = g_app.surface;
  for (int i = 0; i < n + 10; ++i) {
    pump();
    g_app.still_drawn = 0;  // a drawn frame each time (an idle settings view would skip it)
    g_app.clock_offset += 1 / fps;
    if (whole) surface.full = true;
    u64 c0 = g_draw_calls, p0 = surface.presents;
    double a = now_s();
    g_app.frame();
    g_gfx.context->Flush();
    double b = now_s();
    if (i < 10) continue;
    t.push_back((b - a) * 1000);
    s.calls += double(g_draw_calls - c0) / n;
    s.rects += double(surface.stats.rects) / n;
    s.pixels += double(surface.stats.pixels) / n;
    s.presented += double(surface.presents - p0) / n;
  }
  std::sort(t.begin(), t.end());
  s.median = t[t.size() / 2];
  s.p95 = t[t.size() * 95 / 100];
  return s;
}

int main() {
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (!g_gfx.init()) {
    std::printf("bench_console: no graphics device\n");
    return 1;
  }
  register_main_class(GetModuleHandleW(nullptr));
  HWND w = CreateWindowExW(0, L"VunkMain", L"V.U.N.K.", WS_POPUP, 0, 0, 1640, 1000, nullptr, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
  ShowWindow(w, SW_SHOW);
  g_app.init(w);
  pump();
  std::printf("window surface %ux%u, %s glow (%s)\n", g_app.surface.width, g_app.surface.height,
              g_app.surface.phosphor.glow ? "with" : "without",
              g_app.surface.phosphor.glow ? "frames composed whole" : "listed frames");
  {
    // The floor: a frame that changes every pixel but draws nothing but the
    // background and the CRT overlay, through the same path.
    CrtOverlay overlay;
    std::vector<double> t;
    for (int i = 0; i < 40; ++i) {
      double a = now_s();
      g_app.surface.full = true;
      if (g_app.surface.list_begin()) {
        overlay.draw(g_app.surface);
        g_app.surface.list_end();
      }
      g_gfx.context->Flush();
      t.push_back((now_s() - a) * 1000);
    }
    std::sort(t.begin(), t.end());
    std::printf("empty frame drawn whole (background, CRT overlay, present): median %.1f ms\n", t[t.size() / 2]);
  }
  // A running machine as the fleet holds one: its view shows the trace, the
  // uptime and the state of a docked guest.
  auto vm = std::make_unique<Vm>();
  vm->uid = 1;
  vm->phase = 1;
  vm->name = "Bench Guest";
  vm->status = "running";
  vm->profile = find_profile("linux-x64");
  vm->docked = true;
  vm->guest_w = 720, vm->guest_h = 400;
  vm->cpu_known = true;
  vm->start_unix = 1.7e9;
  for (int k = 0; k < 240; ++k) vm->cpu_history.push_back(0.1f + 0.05f * float(k % 7));
  Vm* guest = vm.get();
  g_fleet.vms.push_back(std::move(vm));

  struct {
    const char* name;
    double fps;
    std::function<void()> go;
  } views[] = {
      {"home", 60, [] { g_app.go(App::Home); }},
      {"wizard", 30, [] { g_app.go(App::Wizard); }},
      {"running", 15, [guest] { g_app.select(guest->uid); }},
      {"settings", 15, [] { g_app.go(App::SettingsView); }},
  };
  std::printf("%-9s %22s %14s %8s %16s %9s\n", "view", "main thread ms/frame", "D2D calls", "rects", "pixels drawn",
              "presents");
  for (auto& v : views) {
    v.go();
    frames(20, v.fps, false);  // the view's entry animation
    Stats s = frames(300, v.fps, false);
    Stats whole = frames(40, v.fps, true);
    std::printf("%-9s median %5.1f p95 %5.1f %8.1f/frame %8.1f %10.0f/frame %8.2f/frame\n", v.name, s.median, s.p95,
                s.calls, s.rects, s.pixels, s.presented);
    std::printf("%-9s drawn whole: median %5.1f ms, %5.1f calls, %.0f pixels a frame; ratio %.1fx time, %.0fx pixels\n",
                "", whole.median, whole.calls, whole.pixels, whole.median / s.median,
                whole.pixels / std::max(s.pixels, 1.0));
    if (guest->cpu_history.size() > 200) guest->cpu_history.erase(guest->cpu_history.begin());
    guest->cpu_history.push_back(0.2f);
  }
  g_fleet.vms.clear();
  DestroyWindow(w);
  return 0;
}

// The floor of a presented frame, for bench/console_cpu.sh: a window of the
// console's size with the console's swap chain, whose frames are a Direct3D 11
// clear and a present, paced like the console's main loop. Whatever a view
// costs beyond this is drawing.
//   bench_present.exe FPS SECONDS [WIDTH HEIGHT]
// Prints the frames presented. The CPU is read from Linux (/proc) by the
// script, all threads included.
#include <cstdio>
#include <cwchar>

#include "bench/floor.h"

int wmain(int argc, wchar_t** argv) {
  double fps = argc > 1 ? _wtof(argv[1]) : 60, seconds = argc > 2 ? _wtof(argv[2]) : 10;
  int width = argc > 4 ? _wtoi(argv[3]) : 1640, height = argc > 4 ? _wtoi(argv[4]) : 1000;
  if (!(fps > 0) || !(seconds > 0) || width < 1 || height < 1) {
    std::printf("usage: bench_present FPS SECONDS [WIDTH HEIGHT]\n");
    return 2;
  }
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (!g_gfx.init()) {
    std::printf("bench_present: no graphics device\n");
    return 1;
  }
  FloorWindow f;
  if (!f.open(width, height)) {
    std::printf("bench_present: no swap chain\n");
    return 1;
  }
  double start = now_s(), next = start;
  long frames = 0;
  for (;;) {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    double t = now_s();
    if (t - start >= seconds) break;
    if (t >= next) {
      f.present();
      ++frames;
      next = t + 1 / fps;
      continue;
    }
    DWORD ms = DWORD((next - t) * 1000);
    if (ms > 0) MsgWaitForMultipleObjectsEx(0, nullptr, ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
  std::printf("%ld frames in %.1f s\n", frames, now_s() - start);
  DestroyWindow(f.w);
  return 0;
}

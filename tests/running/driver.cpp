#include "tests/running/driver.h"

#include <gtest/gtest.h>

#include "machines/settings.h"
#include "tests/gfx/gfx_test.h"
#include "tests/support/test_support.h"

HWND g_win = nullptr;

void open_console(bool shown, const char* tag) {
  ASSERT_TRUE(gfx_ready());
  Surface::force_offscreen = !shown;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = main_wndproc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"VunkMain";
  RegisterClassExW(&wc);
  g_win = CreateWindowExW(0, L"VunkMain", L"V.U.N.K.", WS_POPUP | WS_CLIPCHILDREN, 0, 0, 1400, 860, nullptr,
                          nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_TRUE(g_win);
  g_app.init(g_win);
  g_fleet.init(g_win);
  g_fleet.vms.clear();
  g_fleet.last_discover = now_s() + 1e9;  // other suites' QEMUs on this machine are not ours to adopt
  if (shown) {
    ShowWindow(g_win, SW_SHOW);
    SetForegroundWindow(g_win);
  }
  g_set.qemu_dir = build_path("qemu");
  g_set.machines_dir = test_dir(std::string(tag) + "-machines");
  g_set.tiger_root = test_dir(std::string(tag) + "-tiger");
  g_lib.clear();
}

bool run_for(double seconds, const std::function<bool()>& done) {
  double end = now_s() + seconds, next_tick = 0;
  for (;;) {
    pump();
    if (now_s() >= next_tick) {
      g_fleet.tick();
      g_app.tick();
      next_tick = now_s() + 0.5;
    }
    g_app.frame();
    if (done && done()) return true;
    if (now_s() >= end) return !done;
    Sleep(30);
  }
}

void click(u32 id) {
  ASSERT_TRUE(g_app.rects.count(id));
  D2D_RECT_F r = g_app.rects[id];
  LPARAM at = MAKELPARAM(int((r.left + r.right) / 2), int((r.top + r.bottom) / 2));
  for (UINT msg : {UINT(WM_MOUSEMOVE), UINT(WM_LBUTTONDOWN), UINT(WM_LBUTTONUP)}) {
    PostMessageW(g_win, msg, msg == WM_LBUTTONDOWN ? MK_LBUTTON : 0, at);
    run_for(0);
  }
  PostMessageW(g_win, WM_MOUSEMOVE, 0, MAKELPARAM(5, 700));
  run_for(0);
}

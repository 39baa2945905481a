// Entry point of the console program: start-up, tool modes, the paced main
// loop and the main window's procedure.
#include <winsock2.h>
#include <windows.h>
#include <dwmapi.h>
#include <shellapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/app.h"
#include "core/common.h"
#include "gfx/gfx.h"
#include "gfx/icons.h"
#include "machines/machine.h"

#include "media/catalog.h"
#include "media/media.h"

static bool g_shots = false;  // a tool mode runs: the window may exceed the screen

// ---- window procedure -------------------------------------------------------------

static float dpi_scale(HWND w) {
  UINT d = GetDpiForWindow(w);
  return (d ? d : 96) / 96.0f;
}

static D2D_POINT_2F client_dips(HWND w, LPARAM lp) {
  float s = dpi_scale(w);
  return D2D_POINT_2F{short(LOWORD(lp)) / s, short(HIWORD(lp)) / s};
}

static LRESULT CALLBACK wndproc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  App& a = g_app;
  switch (msg) {
    case WM_NCCALCSIZE: {
      if (!wp) break;
      if (IsZoomed(w) && !(GetWindowLongW(w, GWL_STYLE) & WS_POPUP)) {
        UINT dpi = GetDpiForWindow(w);
        int pad = GetSystemMetricsForDpi(SM_CXPADDEDBORDER, dpi);
        int fx = GetSystemMetricsForDpi(SM_CXFRAME, dpi) + pad, fy = GetSystemMetricsForDpi(SM_CYFRAME, dpi) + pad;
        auto* p = reinterpret_cast<NCCALCSIZE_PARAMS*>(lp);
        p->rgrc[0].left += fx;
        p->rgrc[0].right -= fx;
        p->rgrc[0].top += fy;
        p->rgrc[0].bottom -= fy;
      }
      return 0;
    }
    case WM_NCHITTEST: {
      POINT pt{short(LOWORD(lp)), short(HIWORD(lp))};
      ScreenToClient(w, &pt);
      RECT rc;
      GetClientRect(w, &rc);
      float s = dpi_scale(w);
      return hit_test(pt.x / s, pt.y / s, rc.right / s, rc.bottom / s, GetWindowLongW(w, GWL_STYLE) & WS_POPUP,
                      IsZoomed(w), a.max_rect, a.title_buttons);
    }
    case WM_NCMOUSEMOVE: {
      POINT pt{short(LOWORD(lp)), short(HIWORD(lp))};
      ScreenToClient(w, &pt);
      float s = dpi_scale(w);
      a.mouse = D2D_POINT_2F{pt.x / s, pt.y / s};
      TRACKMOUSEEVENT tme{sizeof tme, TME_LEAVE | TME_NONCLIENT, w, 0};
      TrackMouseEvent(&tme);
      a.dirty = true;
      if (wp == HTMAXBUTTON) return 0;
      break;
    }
    case WM_NCLBUTTONDOWN:
      if (wp == HTMAXBUTTON) return 0;
      break;
    case WM_NCLBUTTONUP:
      if (wp == HTMAXBUTTON) {
        ShowWindow(w, IsZoomed(w) ? SW_RESTORE : SW_MAXIMIZE);
        return 0;
      }
      break;
    case WM_MOUSEMOVE: {
      a.mouse = client_dips(w, lp);
      TRACKMOUSEEVENT tme{sizeof tme, TME_LEAVE, w, 0};
      TrackMouseEvent(&tme);
      a.dirty = true;
      return 0;
    }
    case WM_LBUTTONDOWN:
      SetFocus(w);
      SetCapture(w);
      a.mouse = client_dips(w, lp);
      a.mouse_down = a.pressed = true;
      a.dirty = true;
      return 0;
    case WM_LBUTTONUP:
      ReleaseCapture();
      a.mouse = client_dips(w, lp);
      a.mouse_down = false;
      a.released = true;
      a.dirty = true;
      return 0;
    case WM_MOUSEWHEEL:
      a.wheel += short(HIWORD(wp)) / 120.0f;
      a.dirty = true;
      return 0;
    case WM_MOUSELEAVE:
    case WM_NCMOUSELEAVE:
      a.mouse = D2D_POINT_2F{-10000, -10000};
      a.dirty = true;
      return 0;
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN: {
      bool repeat = (lp >> 30) & 1;
      if (msg == WM_SYSKEYDOWN && wp == VK_F4) break;
      if (wp == VK_F11 && repeat) return 0;
      if (msg == WM_SYSKEYDOWN && wp == VK_RETURN) {
        if (!repeat) a.fullscreen_key();
        return 0;
      }
      bool ctrl = GetKeyState(VK_CONTROL) < 0, shift = GetKeyState(VK_SHIFT) < 0;
      if (!a.on_key(unsigned(wp), ctrl, shift)) a.keys.push_back({u32(wp), ctrl});
      a.dirty = true;
      if (msg == WM_SYSKEYDOWN) break;
      return 0;
    }
    case WM_CHAR: {
      // AltGr arrives as Ctrl+Alt: its characters (\, @, ...) are typed text,
      // while Ctrl alone makes a command, never a character.
      bool ctrl = GetKeyState(VK_CONTROL) < 0, alt = GetKeyState(VK_MENU) < 0;
      if (wp >= 0x20 && (!ctrl || alt)) a.typed.push_back(wchar_t(wp));
      a.dirty = true;
      return 0;
    }
    case WM_SYSCHAR:
      if (wp == 13) return 0;
      break;
    case WM_ENTERSIZEMOVE:
      SetTimer(w, 1, 16, nullptr);
      return 0;
    case WM_EXITSIZEMOVE:
      KillTimer(w, 1);
      return 0;
    case WM_TIMER:
      if (wp == 1) a.frame();
      return 0;
    case WM_SIZE:
      a.dirty = true;
      if (wp == SIZE_MINIMIZED) a.layout_children();
      else if (a.hwnd) a.frame();
      return 0;
    case WM_ACTIVATE:
      a.dirty = true;
      if (LOWORD(wp) == WA_INACTIVE) break;
      SetFocus(w);
      a.focus_selected();
      return 0;
    case WM_PAINT:
      ValidateRect(w, nullptr);
      a.dirty = true;
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_SETCURSOR:
      if (LOWORD(lp) == HTCLIENT && HWND(wp) == w) {
        SetCursor(LoadCursorW(nullptr, a.cursor_shown));
        return 1;
      }
      break;
    case WM_GETMINMAXINFO: {
      auto* mm = reinterpret_cast<MINMAXINFO*>(lp);
      float s = dpi_scale(w);
      mm->ptMinTrackSize = POINT{LONG(1040 * s), LONG(680 * s)};
      if (g_shots) mm->ptMaxTrackSize = POINT{8192, 8192};
      return 0;
    }
    case WM_DPICHANGED: {
      auto* r = reinterpret_cast<RECT*>(lp);
      SetWindowPos(w, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      a.dirty = true;
      return 0;
    }
    case WM_CLOSE:
      a.on_close();
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case kMsgQmp:
      g_fleet.on_qmp(wp, lp);
      return 0;
    case kMsgInfo: {
      auto* p = reinterpret_cast<std::string*>(lp);
      if (posted_take(p)) a.on_info(p);
      return 0;
    }
    case kMsgCatalog: {
      auto* p = reinterpret_cast<CatalogResult*>(lp);
      // The catalog thread does not register its result yet: one result is
      // taken while a refresh runs (the refresh then has ended).
      bool ours = posted_take(p) || (p && g_cat.loading);
      if (ours) a.on_catalog(p);
      return 0;
    }
    default:
      break;
  }
  return DefWindowProcW(w, msg, wp, lp);
}

// ---- start-up ---------------------------------------------------------------------

static void prepare_env() {
  if (!file_exists(path_join(g_set.qemu_dir, L"libglib-2.0-0.dll")) &&
      GetFileAttributesW(g_set.msys_bin.c_str()) != INVALID_FILE_ATTRIBUTES) {
    std::wstring old(32768, L'\0');
    DWORD n = GetEnvironmentVariableW(L"PATH", old.data(), DWORD(old.size()));
    old.resize(n < old.size() ? n : 0);
    SetEnvironmentVariableW(L"PATH", (g_set.msys_bin + L";" + old).c_str());
  }
  SetEnvironmentVariableW(L"SDL_WINDOWS_DPI_AWARENESS", L"permonitorv2");
}

static void main_loop() {
  LoopClock c;
  c.next_tick = now_s() + 1.0;
  MSG msg;
  for (;;) {
    if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) return;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
      continue;
    }
    double now = now_s();
    if (now >= c.next_tick) {
      g_fleet.tick();
      g_app.tick();
      c.next_tick = now + 1.0;
    }
    double wake = c.next_tick;
    if (g_app.animating() && frame_due(c, now, g_app.dirty, wake)) {
      g_app.frame();
      c.last_frame = now;
      c.next_frame = now + 1.0 / g_app.fps();
      wake = std::min(c.next_frame, c.next_tick);
      if (g_app.dirty) wake = std::min(wake, now + 1.0 / 240);
    }
    double ms = (wake - now_s()) * 1000;
    if (ms > 0) MsgWaitForMultipleObjectsEx(0, nullptr, DWORD(ms), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

static void resize_tool(HWND w, int width, int height) {
  SetWindowPos(w, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);

  int argc = 0;
  wchar_t** argw = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::wstring> argv;
  for (int i = 0; argw && i < argc; ++i) argv.push_back(argw[i]);
  if (argw) LocalFree(argw);
  Args args = parse_args(argv);
  const std::wstring& a1 = args.a1;
  const std::wstring& a2 = args.a2;

  if (!g_gfx.init()) {
    MessageBoxW(nullptr, L"Direct2D / Direct3D 11 is not available.", L"V.U.N.K.", MB_ICONERROR);
    return 1;
  }
  if (a1 == L"--export-icons" && !a2.empty()) return export_icons(a2) ? 0 : 1;

  if (args.force_dpi > 0) Surface::force_dpi = args.force_dpi;
  g_shots = args.tool;

  HANDLE mutex = nullptr;
  if (!args.tool) {
    mutex = CreateMutexW(nullptr, TRUE, L"Local\\VUNK-QEMU-Launcher");
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
      if (HWND other = FindWindowW(L"VunkMain", nullptr)) {
        if (IsIconic(other)) ShowWindow(other, SW_RESTORE);
        SetForegroundWindow(other);
      }
      if (mutex) CloseHandle(mutex);
      return 0;
    }
  }

  g_set.load();
  g_app.ini_qemu_dir = g_set.qemu_dir;
  if (!args.qemu.empty()) {
    g_set.qemu_dir = full_path(args.qemu);
    g_app.qemu_override = true;
  }
  prepare_env();
  g_lib.load();

  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = wndproc;
  wc.hInstance = instance;
  wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  wc.hIconSm = wc.hIcon;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.lpszClassName = L"VunkMain";
  RegisterClassExW(&wc);

  MONITORINFO mi{};
  mi.cbSize = sizeof mi;
  GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &mi);
  RECT wr = main_window_rect(mi.rcWork, GetDpiForSystem(), args.tool);
  HWND w = CreateWindowExW(WS_EX_APPWINDOW, L"VunkMain", L"V.U.N.K.", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, wr.left,
                           wr.top, wr.right - wr.left, wr.bottom - wr.top, nullptr, nullptr, instance, nullptr);
  if (!w) return 1;

  // The DWM attribute names are missing from some headers: dark mode 20, border colour 34.
  BOOL dark = TRUE;
  DwmSetWindowAttribute(w, 20, &dark, sizeof dark);
  COLORREF border = 0x007C5C12;
  DwmSetWindowAttribute(w, 34, &border, sizeof border);
  MARGINS margins{1, 1, 1, 1};
  DwmExtendFrameIntoClientArea(w, &margins);
  SetWindowPos(w, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED);

  Surface::force_offscreen = args.tool;
  g_app.init(w);
  g_fleet.init(w);

  if (args.tool) {
    int code;
    if (a1 == L"--record-demo") {
      resize_tool(w, 1920, 1080);
      code = g_app.record_demo(a2) ? 0 : 1;
    } else if (a1 == L"--record-qe" && argv.size() >= 4) {
      resize_tool(w, 1920, 1080);
      code = g_app.record_qe(a2, argv[3]) ? 0 : 1;
    } else if (a1 == L"--record-qe") {
      // Without the video file there is nothing to record into.
      wlog("--record-qe: no video file given");
      code = 1;
    } else if (a1 == L"--selftest-media") {
      resize_tool(w, 1640, 1000);
      code = g_app.media_selftest(a2) ? 0 : 1;
    } else if (a1 == L"--selftest") {
      code = run_selftest(a2);
    } else {
      int sw = argv.size() > 3 ? _wtoi(argv[3].c_str()) : 1640;
      int sh = argv.size() > 4 ? _wtoi(argv[4].c_str()) : 1000;
      resize_tool(w, sw, sh);
      code = g_app.shots(a2) ? 0 : 2;
    }
    DestroyWindow(w);
    return code;
  }

  DWORD session = 0;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  wlog("V.U.N.K. started (pid %lu, session %lu), QEMU %s%s", GetCurrentProcessId(), session,
       narrow(g_set.qemu_dir).c_str(), exe_supports_embed(qemu_exe("x86_64")) ? " (embedding)" : " (mirror only)");
  ShowWindow(w, SW_SHOW);
  UpdateWindow(w);
  main_loop();

  g_media.shutdown();
  wlog("V.U.N.K. exits");
  if (mutex) CloseHandle(mutex);
  WSACleanup();
  return 0;
}

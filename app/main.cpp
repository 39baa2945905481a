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


// ---- start-up ---------------------------------------------------------------------

static void prepare_env() {
  if (!file_exists(path_join(g_set.qemu_dir, L"libglib-2.0-0.dll")) &&
      GetFileAttributesW(g_set.msys_bin.c_str()) != INVALID_FILE_ATTRIBUTES) {
    SetEnvironmentVariableW(L"PATH", (g_set.msys_bin + L";" + env_value(L"PATH")).c_str());
  }
  SetEnvironmentVariableW(L"SDL_WINDOWS_DPI_AWARENESS", L"permonitorv2");
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

  register_main_class(instance);

  MONITORINFO mi{};
  mi.cbSize = sizeof mi;
  GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &mi);
  RECT wr = main_window_rect(mi.rcWork, GetDpiForSystem(), args.tool);
  HWND w = CreateWindowExW(WS_EX_APPWINDOW, L"VunkMain", L"V.U.N.K.", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, wr.left,
                           wr.top, wr.right - wr.left, wr.bottom - wr.top, nullptr, nullptr, instance, nullptr);
  if (!w) {
    wlog("the main window could not be made (error %lu)", GetLastError());
    return 1;
  }

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
      int sw = 0, sh = 0;
      if (!shots_size(argv, sw, sh)) {
        // A side of 0 gives nothing to draw, and one beyond the largest
        // drawing target cannot be drawn: the series fails, nothing is written.
        wlog("--shots: no screenshots of %s x %s pixels", argv.size() > 3 ? narrow(argv[3]).c_str() : "1640",
             argv.size() > 4 ? narrow(argv[4]).c_str() : "1000");
        code = 2;
      } else {
        resize_tool(w, sw, sh);
        code = g_app.shots(a2) ? 0 : 2;
      }
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

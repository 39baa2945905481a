// Entry point of the console program.
#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "core/common.h"
#include "gfx/gfx.h"
#include "gfx/icons.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);

  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::wstring a1 = argv && argc >= 2 ? argv[1] : L"";
  std::wstring a2 = argv && argc >= 3 ? argv[2] : L"";

  if (!g_gfx.init()) {
    MessageBoxW(nullptr, L"Direct2D / Direct3D 11 is not available.", L"V.U.N.K.", MB_ICONERROR);
    return 1;
  }
  if (a1 == L"--export-icons" && !a2.empty()) return export_icons(a2) ? 0 : 1;

  wlog("V.U.N.K. started (pid %lu)", GetCurrentProcessId());
  wlog("V.U.N.K. exits");
  WSACleanup();
  return 0;
}

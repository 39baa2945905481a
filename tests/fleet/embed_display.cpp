// A plain Windows program for the fleet tests: "--sleep N" waits N seconds;
// "--windows" shows top-level windows of known sizes for the window search.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argc > 2 && !wcscmp(argv[1], L"--sleep")) {
    Sleep(DWORD(_wtoi(argv[2])) * 1000);
    return 0;
  }
  if (argc < 2 || wcscmp(argv[1], L"--windows")) return 2;
  WNDCLASSW wc = {};
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"VunkWindowsStandIn";
  RegisterClassW(&wc);
  auto top = [](int w, int h, DWORD style, HWND owner) {
    return CreateWindowExW(0, L"VunkWindowsStandIn", L"stand-in", style, 10, 10, w, h, owner, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
  };
  HWND small = top(300, 200, WS_OVERLAPPEDWINDOW | WS_VISIBLE, nullptr);
  top(500, 400, WS_OVERLAPPEDWINDOW | WS_VISIBLE, nullptr);
  top(900, 700, WS_OVERLAPPEDWINDOW | WS_VISIBLE, small);  // owned: a dialog, not the display
  top(1000, 800, WS_OVERLAPPEDWINDOW, nullptr);            // hidden
  SetTimer(nullptr, 0, 30000, nullptr);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0 && !(msg.message == WM_TIMER && !msg.hwnd)) DispatchMessageW(&msg);
  return 0;
}

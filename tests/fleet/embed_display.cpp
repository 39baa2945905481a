// A plain Windows program that plays a QEMU process. It ignores the options
// it does not know and obeys four of its own:
//   --say TEXT   writes TEXT and a line end to standard error
//   --sleep MS   waits that long before exiting
//   --exit N     the exit code (0 when not given)
//   --windows    shows top-level windows of known sizes for 30 s, for the
//                window search
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

static void show_windows() {
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
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0, code = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  for (int i = 1; i < argc; i++) {
    const bool has_value = i + 1 < argc;
    if (!wcscmp(argv[i], L"--windows")) {
      show_windows();
    } else if (!wcscmp(argv[i], L"--say") && has_value) {
      const int n = WideCharToMultiByte(CP_UTF8, 0, argv[++i], -1, nullptr, 0, nullptr, nullptr);
      std::string text(n > 0 ? n - 1 : 0, '\0');
      WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, text.data(), n, nullptr, nullptr);
      text += "\r\n";
      DWORD put = 0;
      WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), DWORD(text.size()), &put, nullptr);
    } else if (!wcscmp(argv[i], L"--sleep") && has_value) {
      Sleep(DWORD(_wtoi(argv[++i])));
    } else if (!wcscmp(argv[i], L"--exit") && has_value) {
      code = _wtoi(argv[++i]);
    }
  }
  return code;
}

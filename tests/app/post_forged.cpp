// Talks to the console's main window as any other program on the desktop
// could. No argument: posts the two worker messages with made-up pointers.
// "close": posts WM_CLOSE. "zoomed": exit 0 when the window is maximised.
// "restore": restores it. Exit 2 when there is no console window.
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
  HWND w = FindWindowW(L"VunkMain", nullptr);
  if (!w) return 2;
  std::wstring cmd = argc > 1 ? argv[1] : L"";
  if (cmd == L"close") return PostMessageW(w, WM_CLOSE, 0, 0) ? 0 : 1;
  if (cmd == L"zoomed") return IsZoomed(w) ? 0 : 1;
  if (cmd == L"restore") return ShowWindow(w, SW_RESTORE) >= 0 ? 0 : 1;
  bool ok = PostMessageW(w, WM_APP + 22, 0, LPARAM(0x41414141)) && PostMessageW(w, WM_APP + 23, 0, LPARAM(0x42424242));
  return ok ? 0 : 1;
}

// Posts the two worker messages with made-up pointers to the console's main
// window, as any other program on the desktop could. Exit 0 when posted.
#include <windows.h>

int wmain() {
  HWND w = FindWindowW(L"VunkMain", nullptr);
  if (!w) return 2;
  bool ok = PostMessageW(w, WM_APP + 22, 0, LPARAM(0x41414141)) && PostMessageW(w, WM_APP + 23, 0, LPARAM(0x42424242));
  return ok ? 0 : 1;
}

// Stand-in for an embeddable QEMU display, written from the embed protocol:
// started with "-display <kind>,parent=0x<host>", it creates its window as a
// child of the host, reports itself (NOTIFY 1), its size (2), keyboard focus
// (6) and mouse grab (4), and obeys CMD 1 (detach into a top-level window,
// NOTIFY 5), 2 (dock into the given host, NOTIFY 1) and 4 (focus, NOTIFY 6).
//
// Other modes for the tests: "--sleep N" just waits N seconds; "--windows"
// shows top-level windows of known sizes for the window search.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

namespace {

UINT g_cmd = 0;
UINT g_notify = 0;
HWND g_host = nullptr;  // the host we live in; null while detached
HWND g_window = nullptr;
constexpr int kW = 640, kH = 480;

void notify(WPARAM code, LPARAM lp) {
  if (g_host) PostMessageW(g_host, g_notify, code, lp);
}

void become_child(HWND host) {
  SetWindowLongPtrW(g_window, GWL_STYLE, WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS);
  SetParent(g_window, host);
  SetWindowPos(g_window, nullptr, 0, 0, kW, kH, SWP_NOZORDER | SWP_FRAMECHANGED | SWP_SHOWWINDOW);
  g_host = host;
  notify(1, LPARAM(g_window));
}

LRESULT CALLBACK display_proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  if (m == g_cmd && g_cmd != 0) {
    if (wp == 1 && g_host) {
      HWND was = g_host;
      PostMessageW(was, g_notify, 4, 0);  // a detached display lets the mouse go
      SetParent(w, nullptr);
      SetWindowLongPtrW(w, GWL_STYLE, WS_OVERLAPPEDWINDOW | WS_VISIBLE);
      SetWindowPos(w, nullptr, 50, 50, kW + 16, kH + 39, SWP_NOZORDER | SWP_FRAMECHANGED | SWP_SHOWWINDOW);
      g_host = nullptr;
      PostMessageW(was, g_notify, 5, LPARAM(w));
    } else if (wp == 2 && lp && HWND(lp) != g_host) {
      become_child(HWND(lp));
    } else if (wp == 4) {
      SetFocus(w);
      notify(6, 1);
    }
    return 0;
  }
  if (m == WM_TIMER) {
    // Leave with the program that hosted us.
    if (g_host && !IsWindow(g_host)) PostQuitMessage(0);
    return 0;
  }
  if (m == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(w, m, wp, lp);
}

ATOM register_class() {
  WNDCLASSW wc = {};
  wc.lpfnWndProc = display_proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = HBRUSH(GetStockObject(GRAY_BRUSH));
  wc.lpszClassName = L"VunkEmbedDisplayStandIn";
  return RegisterClassW(&wc);
}

int loop(UINT limit_ms) {
  SetTimer(nullptr, 0, limit_ms, nullptr);  // thread timer: the overall limit
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (msg.message == WM_TIMER && msg.hwnd == nullptr) break;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  HWND parent = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (!wcscmp(argv[i], L"--sleep") && i + 1 < argc) {
      Sleep(DWORD(_wtoi(argv[i + 1])) * 1000);
      return 0;
    }
    if (!wcscmp(argv[i], L"--windows")) {
      register_class();
      auto top = [](int w, int h, DWORD style, HWND owner) {
        return CreateWindowExW(0, L"VunkEmbedDisplayStandIn", L"stand-in", style, 10, 10, w, h, owner,
                               nullptr, GetModuleHandleW(nullptr), nullptr);
      };
      HWND small = top(300, 200, WS_OVERLAPPEDWINDOW | WS_VISIBLE, nullptr);
      top(500, 400, WS_OVERLAPPEDWINDOW | WS_VISIBLE, nullptr);
      top(900, 700, WS_OVERLAPPEDWINDOW | WS_VISIBLE, small);  // owned: a dialog, not the display
      top(1000, 800, WS_OVERLAPPEDWINDOW, nullptr);            // hidden
      return loop(30000);
    }
    const wchar_t* p = wcsstr(argv[i], L"parent=");
    if (p) parent = HWND(UINT_PTR(wcstoull(p + 7, nullptr, 16)));
  }
  if (!parent) return 2;
  g_cmd = RegisterWindowMessageW(L"QEMU_D3D11_EMBED_CMD");
  g_notify = RegisterWindowMessageW(L"QEMU_D3D11_EMBED_NOTIFY");
  register_class();
  g_window = CreateWindowExW(0, L"VunkEmbedDisplayStandIn", L"guest", WS_CHILD | WS_VISIBLE, 0, 0, kW, kH,
                             parent, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (!g_window) return 3;
  g_host = parent;
  notify(1, LPARAM(g_window));
  notify(2, MAKELPARAM(kW, kH));
  notify(6, 1);
  notify(4, 1);
  SetTimer(g_window, 1, 250, nullptr);
  return loop(60000);
}

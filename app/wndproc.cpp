// The main loop and the main window's procedure. The procedure records input
// into g_app and routes worker and socket messages; drawing happens in frames,
// never here (but for the frames a move, a resize or the size-move timer
// asks for).
#include <winsock2.h>
#include <windows.h>

#include <algorithm>

#include "app/app.h"
#include "media/catalog.h"

bool g_shots = false;

// ---- window procedure -------------------------------------------------------------

static float dpi_scale(HWND w) {
  UINT d = GetDpiForWindow(w);
  return (d ? d : 96) / 96.0f;
}

static D2D_POINT_2F client_dips(HWND w, LPARAM lp) {
  float s = dpi_scale(w);
  return D2D_POINT_2F{short(LOWORD(lp)) / s, short(HIWORD(lp)) / s};
}

LRESULT CALLBACK main_wndproc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
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
      // The window lost what it showed: the next frame is presented even
      // when its picture did not change.
      a.surface.repaint = true;
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
      // A tool mode draws off-screen at exactly the size it asks for.
      if (g_shots) {
        mm->ptMinTrackSize = POINT{1, 1};
        mm->ptMaxTrackSize = POINT{LONG(kMaxImageSide), LONG(kMaxImageSide)};
      }
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
      if (posted_take(p)) a.on_catalog(p);
      return 0;
    }
    default:
      break;
  }
  return DefWindowProcW(w, msg, wp, lp);
}


void register_main_class(HINSTANCE instance) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = main_wndproc;
  wc.hInstance = instance;
  wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  wc.hIconSm = wc.hIcon;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.lpszClassName = L"VunkMain";
  RegisterClassExW(&wc);
}

// ---- main loop ----------------------------------------------------------------------

void main_loop(double seconds) {
  double end = seconds > 0 ? now_s() + seconds : 0;
  LoopClock c;
  c.next_tick = now_s() + 1.0;
  MSG msg;
  for (;;) {
    if (end > 0 && now_s() >= end) return;
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


/* See display.h. Two threads: the window thread owns the Win32 window, the
 * X view and every embed message; the VNC thread reads QEMU's screen updates
 * into the framebuffer and tells the window thread with posted messages.
 * Input goes back to QEMU on the same socket (sends are serialised). */
#define _GNU_SOURCE
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "display.h"
#include "xview.h"

/* The marker texts that tell the console this emulator embeds (the embed
 * command message name in UTF-16) and has the D3D11 display; both are used
 * below, so they stay in the executable. */
static const WCHAR kCmdName[] = u"QEMU_D3D11_EMBED_CMD";
static const WCHAR kNotifyName[] = u"QEMU_D3D11_EMBED_NOTIFY";
const char kD3d11Marker[] = "d3d11-window";

enum {
  NOTE_EMBEDDED = 1, NOTE_SIZE = 2, NOTE_FULLSCREEN = 3, NOTE_GRAB = 4,
  NOTE_DETACHED = 5, NOTE_FOCUS = 6, NOTE_HOTKEY = 7,
  CMD_DETACH = 1, CMD_DOCK = 2, CMD_FOCUS = 4,
  WM_APP_FRAME = WM_APP + 1, /* the framebuffer has news */
  WM_APP_SIZE = WM_APP + 2,  /* the guest resolution changed: lParam = w | h << 16 */
  WM_APP_REBUILD = WM_APP + 3, /* the window went down with its host */
  kTick = 15,                /* ms between placement checks of the X view */
  kRepaintTicks = 20,        /* ticks between whole redraws */
};

static struct {
  UINT cmd, notify;
  HWND hwnd, host;        /* host: where notifications go (0: none) */
  int docked;
  int gw, gh;             /* guest size as last reported */
  int grabbed, fullscreen, fs_asked;
  RECT saved;             /* a detached window's rectangle before full screen */
  XView* view;
  unsigned char down[256]; /* guest keys held, by key number */
  unsigned char eaten[256]; /* virtual keys whose release the guest must not see */
  int buttons;
  DWORD joined;           /* the thread whose input state the display shares */
  pid_t qemu;
  volatile LONG* gone;
  char path[108];
  int quitting;
  /* Shared with the VNC thread. */
  CRITICAL_SECTION lock, send_lock;
  uint32_t* fb;
  int fw, fh;
  int dx0, dy0, dx1, dy1; /* changed area since the last draw */
  volatile LONG frame_posted;
  int sock;
} g = {0};

static void note(WPARAM code, LPARAM lp) {
  if (g.host && IsWindow(g.host)) PostMessageW(g.host, g.notify, code, lp);
}

/* ---- VNC: a client of QEMU's server, raw pixels only ---------------------- */

static int read_full(int fd, void* p, size_t n) {
  char* c = p;
  while (n > 0) {
    ssize_t k = recv(fd, c, n, 0);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return 0;
    c += k;
    n -= (size_t)k;
  }
  return 1;
}

static int send_bytes(const void* p, size_t n) {
  EnterCriticalSection(&g.send_lock);
  const char* c = p;
  int ok = g.sock >= 0;
  while (ok && n > 0) {
    ssize_t k = send(g.sock, c, n, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) ok = 0;
    else c += k, n -= (size_t)k;
  }
  LeaveCriticalSection(&g.send_lock);
  return ok;
}

static void put16(unsigned char* p, unsigned v) { p[0] = (unsigned char)(v >> 8), p[1] = (unsigned char)v; }
static void put32(unsigned char* p, uint32_t v) {
  p[0] = (unsigned char)(v >> 24), p[1] = (unsigned char)(v >> 16), p[2] = (unsigned char)(v >> 8),
  p[3] = (unsigned char)v;
}
static unsigned get16(const unsigned char* p) { return (unsigned)p[0] << 8 | p[1]; }
static uint32_t get32(const unsigned char* p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

static void ask_update(int incremental) {
  unsigned char m[10] = {3, (unsigned char)incremental};
  EnterCriticalSection(&g.lock);
  int w = g.fw, h = g.fh;
  LeaveCriticalSection(&g.lock);
  put16(m + 2, 0), put16(m + 4, 0), put16(m + 6, (unsigned)w), put16(m + 8, (unsigned)h);
  send_bytes(m, sizeof m);
}

static void resize_fb(int w, int h) {
  EnterCriticalSection(&g.lock);
  free(g.fb);
  g.fb = calloc((size_t)w * (size_t)h, 4);
  g.fw = w, g.fh = h;
  g.dx0 = 0, g.dy0 = 0, g.dx1 = w, g.dy1 = h;
  LeaveCriticalSection(&g.lock);
  if (g.hwnd) PostMessageW(g.hwnd, WM_APP_SIZE, 0, (LPARAM)((unsigned)w | (unsigned)h << 16));
}

static int connect_vnc(void) {
  struct sockaddr_un a = {0};
  a.sun_family = AF_UNIX;
  snprintf(a.sun_path, sizeof a.sun_path, "%s", g.path);
  /* QEMU creates the socket while it starts; give it a minute. */
  for (int tries = 0; tries < 1200 && !*g.gone; ++tries) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, (struct sockaddr*)&a, sizeof a) == 0) {
      /* The one client is in: nothing needs the socket's name any more, and
       * a bridge that is terminated leaves nothing behind in /tmp. */
      unlink(g.path);
      char* slash = strrchr(g.path, '/');
      if (slash) {
        *slash = 0;
        rmdir(g.path);
        *slash = '/';
      }
      return fd;
    }
    if (fd >= 0) close(fd);
    Sleep(50);
  }
  return -1;
}

static int handshake(int fd) {
  char ver[12];
  if (!read_full(fd, ver, 12) || memcmp(ver, "RFB 003.", 8) != 0) return 0;
  if (send(fd, "RFB 003.008\n", 12, MSG_NOSIGNAL) != 12) return 0;
  unsigned char n;
  if (!read_full(fd, &n, 1) || n == 0) return 0;
  unsigned char types[256];
  if (!read_full(fd, types, n) || !memchr(types, 1, n)) return 0; /* "None" only: a local socket */
  unsigned char none = 1, result[4], shared = 1;
  if (send(fd, &none, 1, MSG_NOSIGNAL) != 1 || !read_full(fd, result, 4) || get32(result) != 0) return 0;
  if (send(fd, &shared, 1, MSG_NOSIGNAL) != 1) return 0;
  unsigned char init[24];
  if (!read_full(fd, init, 24)) return 0;
  uint32_t name_len = get32(init + 20);
  for (uint32_t i = 0; i < name_len; ++i)
    if (!read_full(fd, &n, 1)) return 0;
  g.sock = fd;
  resize_fb((int)get16(init), (int)get16(init + 2));
  /* 32-bit little-endian 0x00RRGGBB: the layout of an X image on a 24-bit screen. */
  unsigned char pf[20] = {0, 0, 0, 0, 32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0};
  /* Raw pixels, resolution changes (-223), key numbers instead of key symbols (-258). */
  unsigned char enc[4 + 12] = {2, 0, 0, 3};
  put32(enc + 4, 0), put32(enc + 8, (uint32_t)-223), put32(enc + 12, (uint32_t)-258);
  return send_bytes(pf, sizeof pf) && send_bytes(enc, sizeof enc);
}

static int skip_bytes(int fd, size_t n) {
  char buf[4096];
  while (n > 0) {
    size_t k = n < sizeof buf ? n : sizeof buf;
    if (!read_full(fd, buf, k)) return 0;
    n -= k;
  }
  return 1;
}

static int read_update(int fd) {
  unsigned char h[3];
  if (!read_full(fd, h, 3)) return 0;
  unsigned rects = get16(h + 1);
  for (unsigned i = 0; i < rects; ++i) {
    unsigned char r[12];
    if (!read_full(fd, r, 12)) return 0;
    int x = (int)get16(r), y = (int)get16(r + 2), w = (int)get16(r + 4), hh = (int)get16(r + 6);
    int32_t enc = (int32_t)get32(r + 8);
    if (enc == -223) {
      resize_fb(w, hh);
      continue;
    }
    if (enc != 0) continue; /* acknowledgements of pseudo-encodings carry no data */
    size_t row = (size_t)w * 4;
    uint32_t* line = malloc(row ? row : 4);
    for (int yy = 0; yy < hh; ++yy) {
      if (!read_full(fd, line, row)) {
        free(line);
        return 0;
      }
      EnterCriticalSection(&g.lock);
      /* A rectangle outside the framebuffer would be a server fault: clip it. */
      if (y + yy < g.fh && x < g.fw) {
        int n = x + w <= g.fw ? w : g.fw - x;
        memcpy(g.fb + (size_t)(y + yy) * (size_t)g.fw + x, line, (size_t)n * 4);
      }
      LeaveCriticalSection(&g.lock);
    }
    free(line);
    EnterCriticalSection(&g.lock);
    if (g.dx1 <= g.dx0) g.dx0 = x, g.dy0 = y, g.dx1 = x + w, g.dy1 = y + hh;
    else {
      if (x < g.dx0) g.dx0 = x;
      if (y < g.dy0) g.dy0 = y;
      if (x + w > g.dx1) g.dx1 = x + w;
      if (y + hh > g.dy1) g.dy1 = y + hh;
    }
    LeaveCriticalSection(&g.lock);
  }
  if (g.hwnd && !InterlockedExchange(&g.frame_posted, 1)) PostMessageW(g.hwnd, WM_APP_FRAME, 0, 0);
  return 1;
}

static DWORD WINAPI vnc_main(void* arg) {
  (void)arg;
  int fd = connect_vnc();
  if (fd < 0 || !handshake(fd)) {
    if (!*g.gone) fprintf(stderr, "qemu bridge: no picture from QEMU's VNC socket %s\n", g.path);
    return 0;
  }
  ask_update(0);
  for (;;) {
    unsigned char type;
    if (!read_full(fd, &type, 1)) break;
    int ok = 1;
    if (type == 0) {
      ok = read_update(fd);
      if (ok) ask_update(1);
    } else if (type == 1) { /* colour map: not asked for; skip it */
      unsigned char h[5];
      ok = read_full(fd, h, 5) && skip_bytes(fd, (size_t)get16(h + 3) * 6);
    } else if (type == 3) { /* clipboard text */
      unsigned char h[7];
      ok = read_full(fd, h, 7) && skip_bytes(fd, get32(h + 3));
    } else if (type != 2) { /* 2 is the bell; anything else cannot be framed */
      ok = 0;
    }
    if (!ok) break;
  }
  return 0;
}

/* ---- input to the guest ------------------------------------------------------ */

static void send_key(unsigned number, int down) {
  if (number == 0 || number > 255) return;
  g.down[number] = (unsigned char)down;
  unsigned char m[12] = {255, 0};
  put16(m + 2, (unsigned)down), put32(m + 4, 0), put32(m + 8, number);
  send_bytes(m, sizeof m);
}

static void release_keys(void) {
  for (unsigned k = 1; k < 256; ++k)
    if (g.down[k]) send_key(k, 0);
}

static void send_pointer(HWND w, int mx, int my) {
  RECT c;
  GetClientRect(w, &c);
  EnterCriticalSection(&g.lock);
  int gw = g.fw, gh = g.fh;
  LeaveCriticalSection(&g.lock);
  ViewRect f = view_fit(c.right, c.bottom, gw, gh);
  if (f.w <= 0 || f.h <= 0) return;
  int gx = (int)((long long)(mx - f.x) * gw / f.w), gy = (int)((long long)(my - f.y) * gh / f.h);
  gx = gx < 0 ? 0 : gx >= gw ? gw - 1 : gx;
  gy = gy < 0 ? 0 : gy >= gh ? gh - 1 : gy;
  unsigned char m[6] = {5, (unsigned char)g.buttons};
  put16(m + 2, (unsigned)gx), put16(m + 4, (unsigned)gy);
  send_bytes(m, sizeof m);
}

/* ---- the window ----------------------------------------------------------------- */

static void set_grab(HWND w, int on) {
  if (on == g.grabbed) return;
  g.grabbed = on;
  if (on) {
    RECT r;
    GetClientRect(w, &r);
    MapWindowPoints(w, NULL, (POINT*)&r, 2);
    SetCapture(w);
    ClipCursor(&r);
    ShowCursor(FALSE);
  } else {
    ClipCursor(NULL);
    ReleaseCapture();
    ShowCursor(TRUE);
  }
  note(NOTE_GRAB, on);
}

/* Windows delivers child-window input through the input state of the
 * top-level window's thread; a display in another process joins it. */
static void join_input(HWND host, BOOL on) {
  if (g.joined) AttachThreadInput(GetCurrentThreadId(), g.joined, FALSE);
  g.joined = 0;
  DWORD t = on && host ? GetWindowThreadProcessId(host, NULL) : 0;
  if (t && t != GetCurrentThreadId() && AttachThreadInput(GetCurrentThreadId(), t, TRUE)) g.joined = t;
}

static void client_size_for_guest(int* w, int* h) {
  RECT r = {0, 0, g.gw > 0 ? g.gw : 640, g.gh > 0 ? g.gh : 480};
  AdjustWindowRectEx(&r, WS_OVERLAPPEDWINDOW, FALSE, 0);
  *w = r.right - r.left, *h = r.bottom - r.top;
}

static void dock(HWND host) {
  HWND w = g.hwnd;
  xview_park(g.view);
  if (g.fullscreen) g.fullscreen = 0;
  SetWindowLongPtrW(w, GWL_STYLE, WS_CHILD | WS_CLIPSIBLINGS | WS_VISIBLE);
  SetParent(w, host);
  RECT c;
  GetClientRect(host, &c);
  SetWindowPos(w, NULL, 0, 0, c.right, c.bottom, SWP_NOZORDER | SWP_FRAMECHANGED | SWP_SHOWWINDOW | SWP_NOACTIVATE);
  g.host = host;
  g.docked = 1;
  join_input(host, TRUE);
  note(NOTE_EMBEDDED, (LPARAM)w);
  if (g.gw > 0) note(NOTE_SIZE, (LPARAM)((unsigned)g.gw | (unsigned)g.gh << 16));
}

static void detach(void) {
  HWND w = g.hwnd;
  set_grab(w, 0);
  join_input(g.host, FALSE);
  int ww, wh;
  client_size_for_guest(&ww, &wh);
  xview_park(g.view);
  SetParent(w, NULL);
  SetWindowLongPtrW(w, GWL_STYLE, WS_OVERLAPPEDWINDOW | WS_VISIBLE);
  SetWindowPos(w, HWND_TOP, 60, 60, ww, wh, SWP_FRAMECHANGED | SWP_SHOWWINDOW);
  g.docked = 0;
  SetForegroundWindow(w);
  note(NOTE_DETACHED, (LPARAM)w);
}

static void toggle_fullscreen(HWND w) {
  if (g.docked) {
    /* Docked, the console owns the screen: it decides. */
    g.fs_asked = !g.fs_asked;
    note(NOTE_FULLSCREEN, g.fs_asked);
    return;
  }
  if (!g.fullscreen) {
    GetWindowRect(w, &g.saved);
    MONITORINFO mi = {sizeof mi};
    GetMonitorInfoW(MonitorFromWindow(w, MONITOR_DEFAULTTONEAREST), &mi);
    SetWindowLongPtrW(w, GWL_STYLE, WS_POPUP | WS_VISIBLE);
    SetWindowPos(w, HWND_TOP, mi.rcMonitor.left, mi.rcMonitor.top, mi.rcMonitor.right - mi.rcMonitor.left,
                 mi.rcMonitor.bottom - mi.rcMonitor.top, SWP_FRAMECHANGED | SWP_SHOWWINDOW);
  } else {
    SetWindowLongPtrW(w, GWL_STYLE, WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    SetWindowPos(w, HWND_TOP, g.saved.left, g.saved.top, g.saved.right - g.saved.left,
                 g.saved.bottom - g.saved.top, SWP_FRAMECHANGED | SWP_SHOWWINDOW);
  }
  g.fullscreen = !g.fullscreen;
}

/* Ctrl+Alt with one of these keys belongs to the display or the console. */
static int hot_key(HWND w, WPARAM vk) {
  if (GetKeyState(VK_CONTROL) >= 0 || GetKeyState(VK_MENU) >= 0) return 0;
  switch (vk) {
    case 'G': set_grab(w, !g.grabbed); return 1;
    case 'F': toggle_fullscreen(w); return 1;
    case 'B': case VK_HOME: case VK_UP: case VK_DOWN: note(NOTE_HOTKEY, (LPARAM)vk); return 1;
    default: return 0;
  }
}

/* The X view follows the Win32 client area: its top-level window's X window,
 * position and visibility. */
static void place_view(HWND w) {
  if (!g.view) return;
  HWND top = GetAncestor(w, GA_ROOT);
  unsigned long xwin = top ? (unsigned long)(ULONG_PTR)GetPropA(top, "__wine_x11_whole_window") : 0;
  RECT c;
  GetClientRect(w, &c);
  POINT o = {0, 0};
  ClientToScreen(w, &o);
  int ox = 0, oy = 0;
  int shown = xwin && IsWindowVisible(w) && !IsIconic(top) && xview_origin(g.view, xwin, &ox, &oy);
  xview_place(g.view, xwin, o.x - ox, o.y - oy, c.right, c.bottom, shown);
}

static void draw(int all) {
  EnterCriticalSection(&g.lock);
  int x0 = g.dx0, y0 = g.dy0, x1 = g.dx1, y1 = g.dy1;
  if (all) x0 = 0, y0 = 0, x1 = g.fw, y1 = g.fh;
  g.dx0 = g.dy0 = g.dx1 = g.dy1 = 0;
  xview_draw(g.view, g.fb, g.fw, g.fh, x0, y0, x1, y1);
  LeaveCriticalSection(&g.lock);
}

static LRESULT CALLBACK display_proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  if (m == g.cmd && g.cmd) {
    if (wp == CMD_DETACH && g.docked) detach();
    else if (wp == CMD_DOCK && lp && IsWindow((HWND)lp) && !(g.docked && (HWND)lp == g.host)) dock((HWND)lp);
    else if (wp == CMD_FOCUS) SetFocus(w);
    return 0;
  }
  switch (m) {
    case WM_APP_FRAME:
      InterlockedExchange(&g.frame_posted, 0);
      place_view(w);
      draw(xview_pump(g.view));
      return 0;
    case WM_APP_SIZE: {
      int gw = (int)(lp & 0xFFFF), gh = (int)((lp >> 16) & 0xFFFF);
      if (gw == g.gw && gh == g.gh) return 0;
      g.gw = gw, g.gh = gh;
      note(NOTE_SIZE, lp);
      if (!g.docked && !g.fullscreen && !IsZoomed(w)) {
        int ww, wh;
        client_size_for_guest(&ww, &wh);
        SetWindowPos(w, NULL, 0, 0, ww, wh, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
      }
      return 0;
    }
    case WM_TIMER: {
      /* Wine copies a window's pixels to its X window over the X windows
       * inside it (its frame painting, for one, covers the whole window), so
       * the picture is drawn whole again now and then as well. */
      static unsigned ticks;
      place_view(w);
      if (xview_pump(g.view) || ++ticks % kRepaintTicks == 0) draw(1);
      if (*g.gone) DestroyWindow(w);
      return 0;
    }
    case WM_SETFOCUS:
      note(NOTE_FOCUS, 1);
      return 0;
    case WM_KILLFOCUS:
      release_keys();
      set_grab(w, 0);
      note(NOTE_FOCUS, 0);
      return 0;
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
      if (hot_key(w, wp)) {
        g.eaten[wp & 255] = 1;
        return 0;
      }
      send_key(((lp >> 16) & 0x7F) | ((lp >> 24) & 1 ? 0x80 : 0), 1);
      return 0;
    case WM_KEYUP:
    case WM_SYSKEYUP:
      if (g.eaten[wp & 255]) {
        g.eaten[wp & 255] = 0;
        return 0;
      }
      send_key(((lp >> 16) & 0x7F) | ((lp >> 24) & 1 ? 0x80 : 0), 0);
      return 0;
    case WM_LBUTTONDOWN: case WM_LBUTTONUP: case WM_RBUTTONDOWN: case WM_RBUTTONUP:
    case WM_MBUTTONDOWN: case WM_MBUTTONUP: case WM_MOUSEMOVE:
      if (m == WM_LBUTTONDOWN && GetFocus() != w) SetFocus(w);
      g.buttons = (wp & MK_LBUTTON ? 1 : 0) | (wp & MK_MBUTTON ? 2 : 0) | (wp & MK_RBUTTON ? 4 : 0);
      send_pointer(w, (short)LOWORD(lp), (short)HIWORD(lp));
      return 0;
    case WM_MOUSEWHEEL: {
      POINT p = {(short)LOWORD(lp), (short)HIWORD(lp)};
      ScreenToClient(w, &p);
      int wheel = (short)HIWORD(wp) > 0 ? 8 : 16;
      g.buttons |= wheel;
      send_pointer(w, p.x, p.y);
      g.buttons &= ~wheel;
      send_pointer(w, p.x, p.y);
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      BeginPaint(w, &ps);
      EndPaint(w, &ps);
      return 0;
    }
    case WM_CLOSE:
      /* Closing QEMU's own window ends the machine, as it does in QEMU. */
      if (g.qemu > 0) kill(g.qemu, SIGTERM);
      return 0;
    case WM_DESTROY:
      /* A host that goes away takes the docked window with it; the machine
       * keeps running, so it gets a window of its own again, where a console
       * started later finds it. */
      g.hwnd = NULL;
      if (g.docked && !*g.gone) PostThreadMessageW(GetCurrentThreadId(), WM_APP_REBUILD, 0, 0);
      else PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(w, m, wp, lp);
}

static HWND make_window(HWND host) {
  WNDCLASSW wc = {0};
  wc.lpfnWndProc = display_proc;
  wc.hInstance = GetModuleHandleW(NULL);
  wc.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
  wc.lpszClassName = u"QemuBridgeDisplay";
  RegisterClassW(&wc);
  static const WCHAR title[] = u"QEMU";
  if (host && IsWindow(host)) {
    RECT c;
    GetClientRect(host, &c);
    return CreateWindowExW(0, wc.lpszClassName, title, WS_CHILD | WS_CLIPSIBLINGS | WS_VISIBLE, 0, 0, c.right,
                           c.bottom, host, NULL, wc.hInstance, NULL);
  }
  int ww, wh;
  client_size_for_guest(&ww, &wh);
  return CreateWindowExW(0, wc.lpszClassName, title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 60, 60, ww, wh, NULL, NULL,
                         wc.hInstance, NULL);
}

static DWORD WINAPI window_main(void* arg) {
  HWND host = (HWND)arg;
  g.cmd = RegisterWindowMessageW(kCmdName);
  g.notify = RegisterWindowMessageW(kNotifyName);
  g.host = host && IsWindow(host) ? host : NULL;
  g.hwnd = make_window(g.host);
  if (!g.hwnd) {
    fprintf(stderr, "qemu bridge: cannot create the display window\n");
    return 0;
  }
  /* After the first window: Wine's X driver is loaded and has set up its own
   * X error handling, which the view's handler passes on to. */
  g.view = xview_open();
  if (!g.view) fprintf(stderr, "qemu bridge: no X display; the guest screen stays dark\n");
  if (g.host) {
    g.docked = 1;
    join_input(g.host, TRUE);
    note(NOTE_EMBEDDED, (LPARAM)g.hwnd);
  }
  CreateThread(NULL, 0, vnc_main, NULL, 0, NULL);
  SetTimer(g.hwnd, 1, kTick, NULL);
  MSG msg;
  while (GetMessageW(&msg, NULL, 0, 0) > 0) {
    if (msg.message == WM_APP_REBUILD && !msg.hwnd) {
      release_keys();
      if (g.grabbed) {
        ClipCursor(NULL);
        ShowCursor(TRUE);
        g.grabbed = 0;
      }
      join_input(NULL, FALSE);
      g.docked = 0;
      g.hwnd = make_window(NULL);
      if (!g.hwnd) break;
      SetTimer(g.hwnd, 1, kTick, NULL);
      continue;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}

void display_start(unsigned long long parent, const char* vnc_path, pid_t qemu, volatile LONG* gone) {
  InitializeCriticalSection(&g.lock);
  InitializeCriticalSection(&g.send_lock);
  g.sock = -1;
  g.qemu = qemu;
  g.gone = gone;
  snprintf(g.path, sizeof g.path, "%s", vnc_path);
  CreateThread(NULL, 0, window_main, (void*)(ULONG_PTR)parent, 0, NULL);
}

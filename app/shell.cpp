// Decisions of the entry point and the main loop that need no window: the
// command line, the window's size and place, when to draw, and hit testing.
#include <algorithm>

#include "app/app.h"

// ---- plain decisions -------------------------------------------------------------

Args parse_args(const std::vector<std::wstring>& argv) {
  Args a;
  size_t argc = argv.size();
  if (argc >= 2) a.a1 = argv[1];
  if (argc >= 3) a.a2 = argv[2];
  for (const wchar_t* t : {L"--shots", L"--selftest", L"--selftest-media", L"--record-demo", L"--record-qe"})
    if (a.a1 == t && !a.a2.empty()) a.tool = true;
  // A forced DPI only makes sense for an off-screen recording: in the normal
  // console input arrives at the window's own DPI, and clicks would miss.
  if (a.tool && a.a1 == L"--record-demo") a.force_dpi = 120;
  if (a.tool && a.a1 == L"--record-qe") a.force_dpi = 96;
  for (size_t i = 1; i + 1 < argc; ++i)
    if (argv[i] == L"--qemu") a.qemu = argv[i + 1];
  return a;
}

RECT main_window_rect(const RECT& work, UINT dpi, bool tool) {
  int ww = work.right - work.left, wh = work.bottom - work.top;
  int w = 1640, h = 1000;
  if (!tool) {
    double s = dpi / 96.0;
    w = std::min(ww - 60, int(1640 * s));
    h = std::min(wh - 60, int(1000 * s));
  }
  int x = work.left + (ww - w) / 2, y = work.top + (wh - h) / 2;
  return RECT{x, y, x + w, y + h};
}

bool frame_due(const LoopClock& c, double now, bool dirty, double& wake) {
  const double fast = 1.0 / 240;
  if (dirty) {
    if (now - c.last_frame >= fast || now >= c.next_frame) return true;
    wake = std::min({c.next_frame, c.next_tick, c.last_frame + fast});
    return false;
  }
  if (now >= c.next_frame) return true;
  wake = std::min(c.next_frame, c.next_tick);
  return false;
}

int hit_test(float x, float y, float W, float H, bool popup_style, bool maximised, const D2D_RECT_F& max_rect,
             const std::vector<D2D_RECT_F>& title_buttons) {
  if (popup_style) return HTCLIENT;
  if (!maximised) {
    const float b = 6;
    bool l = x < b, r = x >= W - b, t = y < b, bo = y >= H - b;
    if (l && t) return HTTOPLEFT;
    if (r && t) return HTTOPRIGHT;
    if (l && bo) return HTBOTTOMLEFT;
    if (r && bo) return HTBOTTOMRIGHT;
    if (l) return HTLEFT;
    if (r) return HTRIGHT;
    if (t) return HTTOP;
    if (bo) return HTBOTTOM;
  }
  if (y >= 44) return HTCLIENT;
  auto in = [&](const D2D_RECT_F& q) { return q.left <= x && x < q.right && q.top <= y && y < q.bottom; };
  if (in(max_rect)) return HTMAXBUTTON;
  for (const D2D_RECT_F& q : title_buttons)
    if (in(q)) return HTCLIENT;
  return HTCAPTION;
}


// The tooltip: a small owned window of its own, so it may reach beyond the
// main window and lie above docked guest windows.
#include "app/app.h"

#include "gfx/layer.h"

static LRESULT CALLBACK popup_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCHITTEST) return HTTRANSPARENT;
  return DefWindowProcW(w, msg, wp, lp);
}

void Popup::create(HWND owner) {
  HINSTANCE inst = GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = popup_proc;
  wc.hInstance = inst;
  wc.lpszClassName = L"VunkTip";
  RegisterClassExW(&wc);
  hwnd = CreateWindowExW(WS_EX_NOACTIVATE | WS_EX_TRANSPARENT | WS_EX_TOOLWINDOW, L"VunkTip", L"", WS_POPUP, 0, 0, 64,
                         24, owner, nullptr, inst, nullptr);
  surface.create(hwnd);
  surface.crt = false;
}

void Popup::show(const std::string& t, D3DCOLORVALUE c, POINT at, float dpi) {
  if (!hwnd) return;
  float s = dpi / 96;
  float tw = surface.text_width(t, 10, 0.16f);
  int w = int((tw + 30) * s), h = int(30 * s);
  bool redraw = t != text || !visible;
  if (t != text) text = t;
  colour = c;
  SetWindowPos(hwnd, HWND_TOP, at.x, at.y - h / 2, w, h, SWP_NOACTIVATE | SWP_SHOWWINDOW);
  visible = true;
  surface.resize();
  if (redraw) render();
}

void Popup::hide() {
  if (!visible) return;
  ShowWindow(hwnd, SW_HIDE);
  visible = false;
}

void Popup::render() {
  ++renders;
  surface.begin();
  float W = surface.width * 96.0f / surface.dpi, H = surface.height * 96.0f / surface.dpi;
  surface.fill(D2D_RECT_F{0, 0, W, H}, D3DCOLORVALUE{0.008f, 0.02f, 0.036f, 1.0f});
  surface.rect(D2D_RECT_F{0.5f, 0.5f, W - 0.5f, H - 0.5f}, alpha(colour, colour.a * 0.6f), 1.0f);
  surface.line(1, 3, 1, H - 3, colour, 2.5f);
  text_fast(surface, text, 15, (H - 10) / 2, 10, colour, AlignLeft, 0.16f, 0);
  surface.end();
}

#include "tests/gfx/gfx_test.h"

#include <algorithm>

bool gfx_ready() {
  static const bool ok = [] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    return g_gfx.init();
  }();
  return ok;
}

bool decode_bgra(const std::wstring& path, u32& w, u32& h, std::vector<u8>& out) {
  if (!gfx_ready() || !g_gfx.wic) return false;
  ComPtr<IWICBitmapDecoder> dec;
  ComPtr<IWICBitmapFrameDecode> frame;
  ComPtr<IWICFormatConverter> conv;
  if (FAILED(g_gfx.wic->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ, WICDecodeMetadataCacheOnLoad,
                                                  &dec)) ||
      FAILED(dec->GetFrame(0, &frame)) || FAILED(frame->GetSize(&w, &h)) ||
      FAILED(g_gfx.wic->CreateFormatConverter(&conv)) ||
      FAILED(conv->Initialize(frame.Get(), GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone, nullptr, 0.0,
                              WICBitmapPaletteTypeCustom)))
    return false;
  out.assign(size_t(w) * h * 4, 0);
  return SUCCEEDED(conv->CopyPixels(nullptr, w * 4, UINT(out.size()), out.data()));
}

Box lit_box(const std::vector<u8>& px, u32 w, u32 h, int threshold, bool by_alpha, int x0, int x1) {
  Box b;
  if (x1 < 0) x1 = int(w);
  for (int y = 0; y < int(h); ++y)
    for (int x = std::max(0, x0); x < std::min(x1, int(w)); ++x) {
      const u8* p = pixel(px, w, x, y);
      int v = by_alpha ? p[3] : std::max({p[0], p[1], p[2]});
      if (v <= threshold) continue;
      if (b.empty()) b = Box{x, y, x, y};
      b.left = std::min(b.left, x);
      b.right = std::max(b.right, x);
      b.top = std::min(b.top, y);
      b.bottom = std::max(b.bottom, y);
    }
  return b;
}

HWND make_window(int w, int h, bool visible) {
  static const wchar_t* cls = [] {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"VunkGfxTest";
    RegisterClassW(&wc);
    return L"VunkGfxTest";
  }();
  HWND hwnd = CreateWindowExW(0, cls, L"gfx test", WS_POPUP | (visible ? WS_VISIBLE : 0), 0, 0, w, h, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
  pump();
  return hwnd;
}

void pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

TestSurface::TestSurface(int w, int h, D2D1_COLOR_F bg, bool crt, float dpi) {
  Surface::force_offscreen = true;
  Surface::force_dpi = dpi;
  hwnd = make_window(w, h);
  created = hwnd && s.create(hwnd);
  Surface::force_offscreen = false;
  Surface::force_dpi = 0;
  s.bg = bg;
  s.crt = crt;
}

TestSurface::~TestSurface() {
  if (hwnd) DestroyWindow(hwnd);
}

bool TestSurface::frame() {
  s.begin();
  s.end();
  return s.read_bgra(px);
}

std::string first_difference(const std::vector<u8>& a, const std::vector<u8>& b, u32 w) {
  if (a.size() != b.size()) return strf("sizes %zu and %zu", a.size(), b.size());
  for (size_t k = 0; k < a.size(); ++k)
    if (a[k] != b[k]) return strf("pixel (%zu, %zu) channel %zu: %d, whole %d", k / 4 % w, k / 4 / w, k % 4, a[k], b[k]);
  return "";
}

// The floor of a presented frame: a window of the console's size with the
// console's swap chain, whose frames are only a Direct3D 11 clear and a
// present. Whatever a view costs beyond this is drawing.
#pragma once

#include "gfx/gfx.h"

struct FloorWindow {
  HWND w = nullptr;
  Surface s;
  ComPtr<ID3D11RenderTargetView> view;

  // Shows the window; false when it or its swap chain cannot be had.
  bool open(int width, int height) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"VunkFloor";
    RegisterClassW(&wc);
    w = CreateWindowExW(0, L"VunkFloor", L"floor", WS_POPUP | WS_VISIBLE, 0, 0, width, height, nullptr, nullptr,
                        wc.hInstance, nullptr);
    ComPtr<ID3D11Texture2D> buffer;
    if (!w || !s.create(w) || !s.swap || FAILED(s.swap->GetBuffer(0, IID_PPV_ARGS(&buffer))) ||
        FAILED(g_gfx.device->CreateRenderTargetView(buffer.Get(), nullptr, &view)))
      view.Reset();
    return view != nullptr;
  }

  // One frame: the background and a present.
  void present() {
    if (!view) return;
    const float bg[4] = {s.bg.r, s.bg.g, s.bg.b, 1};
    g_gfx.context->ClearRenderTargetView(view.Get(), bg);
    s.swap->Present(1, 0);
  }
};

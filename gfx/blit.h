// Bitmaps laid pixel for pixel over rectangles of a target by Direct3D
// itself: one textured pass with premultiplied-alpha blending, clipped by a
// scissor rectangle, the same blend Direct2D applies for such a bitmap.
// Under a software renderer Direct2D runs its general pixel shader for every
// pixel it fills (some 80 ns of CPU a pixel measured here under Wine); this
// pass costs a small part of that. Where no shader compiler can be loaded
// the blitter is not ready and callers draw through Direct2D.
#pragma once

#include <d2d1_1.h>
#include <d3d11.h>
#include <wrl/client.h>

#include "core/common.h"

struct Blitter {
  Microsoft::WRL::ComPtr<ID3D11VertexShader> vs;
  Microsoft::WRL::ComPtr<ID3D11PixelShader> ps;
  Microsoft::WRL::ComPtr<ID3D11BlendState> blend;
  Microsoft::WRL::ComPtr<ID3D11RasterizerState> raster;
  Microsoft::WRL::ComPtr<ID3D11Buffer> corners;  // one triangle over the whole target
  Microsoft::WRL::ComPtr<ID3D11InputLayout> layout;
  Microsoft::WRL::ComPtr<ID3D11Buffer> offset;   // where the source's pixel (0, 0) lies on the target
  bool tried = false;  // made once per device
  bool ok = false;

  // Makes the pipeline on g_gfx.device; false when it cannot be had.
  bool ready();
  // Lays src over target: the source's pixel (0, 0) on the target's pixel
  // `at`, drawn only inside `clip` (target pixels; within the target).
  void draw(ID3D11RenderTargetView* target, u32 width, u32 height, ID3D11ShaderResourceView* src, POINT at,
            const RECT& clip);
  // Lets go of the target and source bound by draw (before the target is
  // drawn by Direct2D again or released).
  void done();
};

// The texture behind a Direct2D bitmap (null when it has none that can be
// reached), for the views the blitter takes.
Microsoft::WRL::ComPtr<ID3D11Texture2D> texture_of(ID2D1Bitmap* b);

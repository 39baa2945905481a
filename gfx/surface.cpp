// Window surfaces: the phosphor glow, the CRT layer (scanlines, vignette),
// queued pictures and read-back of off-screen frames.
#include "gfx/gfx.h"
#include "gfx/blit.h"
#include "gfx/layer.h"

#include <cfloat>
#include <cmath>
#include <initguid.h>  // defines the effect CLSIDs here
#include <d2d1effects.h>

bool Surface::force_offscreen = false;
float Surface::force_dpi = 0;

// Values the MinGW headers lack, as documented for Direct2D's effects.
enum : UINT32 {
  kBlurOptimizationSpeed = 0,
  kBlurOptimizationBalanced = 1,
  kScalePropScale = 0,
  kScalePropInterpolationMode = 2,
  kScalePropBorderMode = 3,
  kScaleInterpolationHighQualityCubic = 5,
};

static D2D1_BITMAP_PROPERTIES1 bitmap_props(D2D1_BITMAP_OPTIONS options, float dpi,
                                            D2D1_ALPHA_MODE alpha = D2D1_ALPHA_MODE_PREMULTIPLIED) {
  return D2D1_BITMAP_PROPERTIES1{{DXGI_FORMAT_B8G8R8A8_UNORM, alpha}, dpi, dpi, options, nullptr};
}

static const D2D1_MATRIX_3X2_F kIdentity{1, 0, 0, 1, 0, 0};

// ---- phosphor -------------------------------------------------------------

bool Phosphor::create(ID2D1DeviceContext* dc, u32 w, u32 h, float dpi) {
  detach();
  bitmap.Reset();
  if (!dc || FAILED(dc->CreateBitmap(D2D1_SIZE_U{w, h}, nullptr, 0, bitmap_props(D2D1_BITMAP_OPTIONS_TARGET, dpi),
                                     &bitmap)))
    return false;
  if (!tried) {
    tried = true;
    // Some Direct2D implementations have no built-in effects; the frame is
    // then shown as the plain bitmap (no glow) rather than not at all.
    glow = SUCCEEDED(dc->CreateEffect(CLSID_D2D1GaussianBlur, &blur_a)) &&
           SUCCEEDED(dc->CreateEffect(CLSID_D2D1GaussianBlur, &blur_b)) &&
           SUCCEEDED(dc->CreateEffect(CLSID_D2D1ArithmeticComposite, &comp_a)) &&
           SUCCEEDED(dc->CreateEffect(CLSID_D2D1ArithmeticComposite, &comp_b));
    if (!glow) {
      comp_b.Reset();
      comp_a.Reset();
      blur_b.Reset();
      blur_a.Reset();
    } else {
      blur_a->SetValue(D2D1_GAUSSIANBLUR_PROP_STANDARD_DEVIATION, 2.2f);
      blur_a->SetValue(D2D1_GAUSSIANBLUR_PROP_OPTIMIZATION, UINT32(kBlurOptimizationBalanced));
      blur_b->SetValue(D2D1_GAUSSIANBLUR_PROP_STANDARD_DEVIATION, 10.0f);
      blur_b->SetValue(D2D1_GAUSSIANBLUR_PROP_OPTIMIZATION, UINT32(kBlurOptimizationSpeed));
      comp_a->SetInputEffect(0, blur_a.Get());
      comp_b->SetInputEffect(0, blur_b.Get());
      comp_b->SetInputEffect(1, comp_a.Get());
      strength(0.9f, 1.0f);
    }
  }
  if (glow) {
    blur_a->SetInput(0, bitmap.Get());
    blur_b->SetInput(0, bitmap.Get());
    comp_a->SetInput(1, bitmap.Get());
  }
  return true;
}

void Phosphor::strength(float a, float b) {
  if (!glow) return;
  comp_a->SetValue(D2D1_ARITHMETICCOMPOSITE_PROP_COEFFICIENTS, D2D1_VECTOR_4F{0, a, 1, 0});
  comp_b->SetValue(D2D1_ARITHMETICCOMPOSITE_PROP_COEFFICIENTS, D2D1_VECTOR_4F{0, b, 1, 0});
}

ID2D1Image* Phosphor::output() {
  if (!bitmap) return nullptr;
  if (!glow) return bitmap.Get();
  ID2D1Image* out = nullptr;
  comp_b->GetOutput(&out);
  if (out) out->Release();  // the effect keeps its own reference
  return out;
}

void Phosphor::detach() {
  if (!glow) return;
  blur_a->SetInput(0, nullptr);
  blur_b->SetInput(0, nullptr);
  comp_a->SetInput(1, nullptr);
}

// ---- surface ------------------------------------------------------------

static float window_dpi(HWND hwnd) {
  if (Surface::force_dpi > 0) return Surface::force_dpi;
  UINT d = hwnd ? GetDpiForWindow(hwnd) : 0;
  return d ? float(d) : 96.0f;
}

bool Surface::create(HWND window) {
  hwnd = window;
  dpi = window_dpi(hwnd);
  RECT rc{};
  if (hwnd) GetClientRect(hwnd, &rc);
  width = u32(std::max<LONG>(1, rc.right));
  height = u32(std::max<LONG>(1, rc.bottom));
  // A window takes one flip-model swap chain: drop every reference to an
  // earlier one (its buffer is held by the target) before making another.
  if (dc) dc->SetTarget(nullptr);
  target.Reset();
  readback.Reset();
  composed.Reset();
  still.Reset();
  composed_tex.Reset();
  back.Reset();
  swap.Reset();
  if (!force_offscreen && hwnd && g_gfx.dxgi_factory && g_gfx.device) {
    DXGI_SWAP_CHAIN_DESC1 desc{};
    desc.Width = width;
    desc.Height = height;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.Stereo = FALSE;
    desc.SampleDesc = {1, 0};
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = 2;
    desc.Scaling = DXGI_SCALING_NONE;
    desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
    desc.AlphaMode = DXGI_ALPHA_MODE_IGNORE;
    if (SUCCEEDED(g_gfx.dxgi_factory->CreateSwapChainForHwnd(g_gfx.device.Get(), hwnd, &desc, nullptr, nullptr,
                                                             &swap)))
      g_gfx.dxgi_factory->MakeWindowAssociation(hwnd, DXGI_MWA_NO_ALT_ENTER);
    else
      swap.Reset();  // drawing and read-back still work off-screen
  }
  // Effects belong to the previous device context.
  phosphor = Phosphor();
  pre_scale.Reset();
  pre_blur.Reset();
  pre_tried = false;
  if (!init_dc()) return false;
  make_targets();
  return true;
}

bool Surface::make_targets() {
  if (!dc) return false;
  target.Reset();
  readback.Reset();
  composed.Reset();
  still.Reset();
  composed_tex.Reset();
  back.Reset();
  full = true;
  if (swap) {
    ComPtr<IDXGISurface> buffer;
    if (SUCCEEDED(swap->GetBuffer(0, IID_PPV_ARGS(&buffer))))
      dc->CreateBitmapFromDxgiSurface(
          buffer.Get(), bitmap_props(D2D1_BITMAP_OPTIONS_TARGET | D2D1_BITMAP_OPTIONS_CANNOT_DRAW, dpi,
                                     D2D1_ALPHA_MODE_IGNORE),
          &target);
  } else {
    dc->CreateBitmap(D2D1_SIZE_U{width, height}, nullptr, 0, bitmap_props(D2D1_BITMAP_OPTIONS_TARGET, dpi), &target);
    dc->CreateBitmap(D2D1_SIZE_U{width, height}, nullptr, 0,
                     bitmap_props(D2D1_BITMAP_OPTIONS_CPU_READ | D2D1_BITMAP_OPTIONS_CANNOT_DRAW, dpi), &readback);
  }
  bool ok = phosphor.create(dc.Get(), width, height, dpi);
  if (!scan_brush) {
    // 1 x 3 pattern: every third physical row darkened by alpha 0x2E.
    const u8 rows[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x2E};
    ComPtr<ID2D1Bitmap1> bmp;
    if (SUCCEEDED(dc->CreateBitmap(D2D1_SIZE_U{1, 3}, rows, 4, bitmap_props(D2D1_BITMAP_OPTIONS_NONE, 96), &bmp))) {
      D2D1_BITMAP_BRUSH_PROPERTIES1 bp{D2D1_EXTEND_MODE_WRAP, D2D1_EXTEND_MODE_WRAP,
                                       D2D1_INTERPOLATION_MODE_NEAREST_NEIGHBOR};
      D2D1_BRUSH_PROPERTIES brp{1.0f, kIdentity};
      dc->CreateBitmapBrush(bmp.Get(), &bp, &brp, &scan_brush);
    }
  }
  return ok && target;
}

void Surface::resize() {
  if (!dc) return;
  RECT rc{};
  if (!hwnd || !GetClientRect(hwnd, &rc)) rc = RECT{0, 0, LONG(width), LONG(height)};
  u32 w = u32(std::max<LONG>(1, rc.right)), h = u32(std::max<LONG>(1, rc.bottom));
  float d = window_dpi(hwnd);
  if (w == width && h == height && d == dpi && target) return;
  width = w;
  height = h;
  dpi = d;
  dc->SetTarget(nullptr);
  dc->SetDpi(dpi, dpi);
  target.Reset();
  readback.Reset();
  composed.Reset();
  still.Reset();
  composed_tex.Reset();
  back.Reset();  // the swap chain's buffers must all be let go before they are resized
  phosphor.detach();
  phosphor.bitmap.Reset();
  if (swap) swap->ResizeBuffers(0, width, height, DXGI_FORMAT_UNKNOWN, 0);  // a failure shows as no target
  make_targets();
}

void Surface::begin() {
  drawing = false;
  list = nullptr;
  xf = kIdentity;
  clip_stack.clear();
  pictures.clear();
  full = true;  // what begin and end compose is not a listed frame's picture
  if (!dc) return;
  // A frame after a lost target: try once more to rebuild, else draw nothing.
  if (!phosphor.bitmap && !make_targets() && !phosphor.bitmap) return;
  dc->SetTarget(phosphor.bitmap.Get());
  dc->BeginDraw();
  dc->SetTransform(kIdentity);
  dc->Clear(D2D1_COLOR_F{0, 0, 0, 0});
  drawing = true;
}

void Surface::end() {
  if (!dc) return;
  while (!clip_stack.empty()) pop_clip();
  if (drawing) dc->EndDraw();
  drawing = false;
  dc->SetTarget(nullptr);
  if (!target) return;  // lost and not rebuilt: nothing to show this frame
  dc->SetTarget(target.Get());
  dc->BeginDraw();
  dc->SetTransform(kIdentity);
  dc->Clear(bg);
  if (pictures_under) draw_pictures();
  if (ID2D1Image* glow = phosphor.output())
    dc->DrawImage(glow, D2D1_POINT_2F{0, 0}, D2D1_INTERPOLATION_MODE_LINEAR, D2D1_COMPOSITE_MODE_SOURCE_OVER);
  if (crt) {
    float W = width * 96.0f / dpi, H = height * 96.0f / dpi;
    if (scanlines && scan_brush) {
      // Scaled so the pattern lands on physical pixel rows at any DPI.
      float k = 96.0f / dpi;
      dc->SetTransform(D2D1_MATRIX_3X2_F{k, 0, 0, k, 0, 0});
      dc->FillRectangle(D2D1_RECT_F{0, 0, float(width), float(height)}, scan_brush.Get());
      dc->SetTransform(kIdentity);
    }
    const D2D1_GRADIENT_STOP stops[3] = {
        {0.0f, {0, 0, 0, 0}}, {0.62f, {0, 0, 0, 0}}, {1.0f, {0, 0, 0, 0.42f}}};
    ComPtr<ID2D1GradientStopCollection> coll;
    ComPtr<ID2D1RadialGradientBrush> vignette;
    if (SUCCEEDED(dc->CreateGradientStopCollection(stops, 3, D2D1_GAMMA_2_2, D2D1_EXTEND_MODE_CLAMP, &coll)) &&
        SUCCEEDED(dc->CreateRadialGradientBrush(
            D2D1_RADIAL_GRADIENT_BRUSH_PROPERTIES{{0.5f * W, 0.5f * H}, {0, 0}, 0.72f * W, 0.8f * H},
            D2D1_BRUSH_PROPERTIES{1.0f, kIdentity}, coll.Get(), &vignette)))
      dc->FillRectangle(D2D1_RECT_F{0, 0, W, H}, vignette.Get());
  }
  if (!pictures_under) draw_pictures();
  HRESULT hr = dc->EndDraw();
  dc->SetTarget(nullptr);
  if (hr == HRESULT(D2DERR_RECREATE_TARGET)) {
    target.Reset();
    make_targets();
    return;
  }
  if (swap) swap->Present(1, 0);
}

void Surface::draw_pictures() {
  for (const Picture& p : pictures) draw_picture(p);
}

void Surface::draw_picture(const Picture& p) {
  dc->SetTransform(kIdentity);
  if (!p.bitmap) {
    if (!brush) return;
    D2D1_COLOR_F c = p.colour;
    c.a *= p.opacity;
    brush->SetColor(c);
    dc->FillRectangle(p.dest, brush.Get());
    ++g_draw_calls;
    return;
  }
  D2D1_SIZE_F size = p.bitmap->GetSize();
  D2D_RECT_F source = p.src.right > p.src.left ? p.src : D2D_RECT_F{0, 0, size.width, size.height};
  float sw = source.right - source.left;
  if (!(sw > 0)) return;
  float s = ((p.dest.right - p.dest.left) * dpi / 96) / sw;
  ++g_draw_calls;
  if (s < 0.99f && prefilter(p, source)) return;
  D2D1_INTERPOLATION_MODE mode = std::fabs(s - std::round(s)) < 0.01f ? D2D1_INTERPOLATION_MODE_NEAREST_NEIGHBOR
                                                                      : D2D1_INTERPOLATION_MODE_HIGH_QUALITY_CUBIC;
  dc->DrawBitmap(p.bitmap.Get(), &p.dest, p.opacity, mode, &source, nullptr);
}

bool Surface::prefilter(const Picture& p, D2D_RECT_F source) {
  if (!pre_tried) {
    pre_tried = true;
    if (FAILED(dc->CreateEffect(CLSID_D2D1GaussianBlur, &pre_blur)) ||
        FAILED(dc->CreateEffect(CLSID_D2D1Scale, &pre_scale))) {
      pre_scale.Reset();
      pre_blur.Reset();
      return false;
    }
    pre_blur->SetValue(D2D1_GAUSSIANBLUR_PROP_BORDER_MODE, UINT32(D2D1_BORDER_MODE_HARD));
    pre_scale->SetInputEffect(0, pre_blur.Get());
    pre_scale->SetValue(kScalePropInterpolationMode, UINT32(kScaleInterpolationHighQualityCubic));
    pre_scale->SetValue(kScalePropBorderMode, UINT32(D2D1_BORDER_MODE_HARD));
  }
  if (!pre_blur) return false;
  float k = 96.0f / dpi;
  float dx = 96, dy = 96;
  p.bitmap->GetDpi(&dx, &dy);
  pre_blur->SetInput(0, p.bitmap.Get());
  pre_blur->SetValue(D2D1_GAUSSIANBLUR_PROP_STANDARD_DEVIATION, 0.55f * k);
  float fx = (p.dest.right - p.dest.left) / (source.right - source.left);
  float fy = (p.dest.bottom - p.dest.top) / (source.bottom - source.top);
  pre_scale->SetValue(kScalePropScale, D2D1_VECTOR_2F{fx * dpi / dx, fy * dpi / dy});
  D2D1_RECT_F image{source.left * fx, source.top * fy, source.right * fx, source.bottom * fy};
  bool layer = p.opacity < 1;
  if (layer) {
    D2D1_LAYER_PARAMETERS1 lp{{-FLT_MAX, -FLT_MAX, FLT_MAX, FLT_MAX},
                              nullptr,
                              D2D1_ANTIALIAS_MODE_PER_PRIMITIVE,
                              kIdentity,
                              p.opacity,
                              nullptr,
                              D2D1_LAYER_OPTIONS1_NONE};
    dc->PushLayer(&lp, nullptr);
  }
  ComPtr<ID2D1Image> out;
  pre_scale->GetOutput(&out);
  D2D1_POINT_2F at{p.dest.left, p.dest.top};
  dc->DrawImage(out.Get(), &at, &image, D2D1_INTERPOLATION_MODE_LINEAR, D2D1_COMPOSITE_MODE_SOURCE_OVER);
  if (layer) dc->PopLayer();
  return true;
}

bool Surface::read_bgra(std::vector<u8>& out) { return read_bitmap(target.Get(), out); }

bool Surface::read_bitmap(ID2D1Bitmap1* from, std::vector<u8>& out) {
  if (!readback || !from || !dc) return false;
  D2D1_POINT_2U origin{0, 0};
  D2D1_RECT_U all{0, 0, width, height};
  if (FAILED(readback->CopyFromBitmap(&origin, from, &all))) return false;
  D2D1_MAPPED_RECT m{};
  if (FAILED(readback->Map(D2D1_MAP_OPTIONS_READ, &m))) return false;
  size_t row = size_t(width) * 4;
  out.resize(row * height);
  for (u32 y = 0; y < height; ++y) memcpy(out.data() + y * row, m.bits + size_t(y) * m.pitch, row);
  readback->Unmap();
  for (size_t i = 3; i < out.size(); i += 4) out[i] = 255;
  return true;
}

// ---- listed frames ----------------------------------------------------------

// Tiles of the changed area and how many rectangles they make at most, and
// how many pixels cost about what a Direct2D call does (measured under Wine:
// a call about 0.1 ms, a pixel drawn again some 50 ns over its few passes):
// each rectangle replays every command that touches it, so neighbours are
// merged while the pixels added cost less than the calls saved.
static constexpr int kTile = 32;
static constexpr size_t kMostRects = 24;
static constexpr double kCallPixels = 2000;
// Tiles by which a command is found to lie over another (split_still):
// finer than the rectangles', so what lies beside something moving, not
// under it, can still join the still picture.
static constexpr int kStillTile = 8;

bool Surface::make_composed() {
  if (composed) return true;
  if (!target && !make_targets()) return false;
  if (!swap) {
    composed = target;  // an off-screen target keeps its pixels anyway
    return bool(composed);
  }
  // A window's frame lives in a texture of its own: the swap chain's
  // buffers do not keep theirs from one present to the next.
  if (FAILED(swap->GetBuffer(0, IID_PPV_ARGS(&back)))) return false;
  D3D11_TEXTURE2D_DESC desc{};
  back->GetDesc(&desc);
  desc.BindFlags = D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE;
  desc.MiscFlags = 0;
  desc.Usage = D3D11_USAGE_DEFAULT;
  desc.CPUAccessFlags = 0;
  ComPtr<IDXGISurface> surf;
  if (FAILED(g_gfx.device->CreateTexture2D(&desc, nullptr, &composed_tex)) || FAILED(composed_tex.As(&surf)) ||
      FAILED(dc->CreateBitmapFromDxgiSurface(surf.Get(), bitmap_props(D2D1_BITMAP_OPTIONS_TARGET, dpi), &composed))) {
    composed.Reset();
    composed_tex.Reset();
    back.Reset();
    return false;
  }
  full = true;
  return true;
}

bool Surface::list_begin() {
  list = nullptr;
  if (!dc || phosphor.glow || !phosphor.tried) return false;
  if (!make_composed()) return false;
  frame_list.clear();
  list = &frame_list;
  listed_at = now_s();
  xf = kIdentity;
  clip_stack.clear();
  pictures.clear();
  drawing = false;
  return true;
}

void Surface::replay(const DisplayList& l, const RECT& rect, bool moving_only, size_t from, size_t to) {
  float k = 96.0f / dpi;
  D2D_RECT_F clip{rect.left * k, rect.top * k, rect.right * k, rect.bottom * k};
  dc->SetTransform(kIdentity);
  dc->PushAxisAlignedClip(clip, D2D1_ANTIALIAS_MODE_ALIASED);
  if (!moving_only && from == 0) {
    dc->Clear(bg);
    ++g_draw_calls;
  }
  int depth = 0;
  for (size_t i = from; i < std::min(to, l.cmds.size()); ++i) {
    const Cmd& c = l.cmds[i];
    if (c.op == Op::Clip) {
      exec(c, nullptr);
      ++depth;
      continue;
    }
    if (c.op == Op::Unclip) {
      if (depth > 0) exec(c, nullptr), --depth;
      continue;
    }
    if (!overlaps(c.box, rect) || (moving_only && c.still)) continue;
    if (c.op == Op::Picture) {
      Picture p;
      p.dest = c.r;
      p.bitmap = static_cast<ID2D1Bitmap*>(c.obj.Get());
      p.src = c.src;
      p.opacity = c.opacity;
      p.colour = c.colour;
      draw_picture(p);
    } else {
      exec(c, l.points.data() + c.at);
    }
  }
  for (; depth > 0; --depth) dc->PopAxisAlignedClip();
  dc->SetTransform(kIdentity);
  dc->PopAxisAlignedClip();
}

// ---- bitmaps laid by the device ----------------------------------------------

bool Surface::blit_place(const Cmd& c, POINT& at, RECT& dest) const {
  if (c.op != Op::Bitmap || !c.obj || c.opacity != 1 || c.interp != D2D1_INTERPOLATION_MODE_NEAREST_NEIGHBOR ||
      c.xf._11 != 1 || c.xf._12 != 0 || c.xf._21 != 0 || c.xf._22 != 1)
    return false;
  auto* b = static_cast<ID2D1Bitmap*>(c.obj.Get());
  float bx = 96, by = 96;
  b->GetDpi(&bx, &by);
  D2D1_SIZE_U size = b->GetPixelSize();
  // Source and destination in pixels; pixel for pixel only when both have
  // the same size and the destination starts on a whole pixel.
  float sk = bx / 96, k = dpi / 96;
  D2D_RECT_F src = c.src.right > c.src.left ? c.src : D2D_RECT_F{0, 0, size.width / sk, size.height / sk};
  float sl = src.left * sk, st = src.top * sk, sr = src.right * sk, sb = src.bottom * sk;
  float dl = (c.r.left + c.xf._31) * k, dt = (c.r.top + c.xf._32) * k;
  float dr = (c.r.right + c.xf._31) * k, db = (c.r.bottom + c.xf._32) * k;
  auto whole = [](float v) { return std::fabs(v - std::round(v)) < 1e-3f; };
  if (bx != by || !whole(sl) || !whole(st) || !whole(sr) || !whole(sb) || !whole(dl) || !whole(dt) ||
      std::fabs((dr - dl) - (sr - sl)) > 1e-3f || std::fabs((db - dt) - (sb - st)) > 1e-3f || sl < 0 || st < 0 ||
      std::lround(sr) > LONG(size.width) || std::lround(sb) > LONG(size.height))
    return false;
  at = POINT{std::lround(dl - sl), std::lround(dt - st)};
  dest = RECT{std::lround(dl), std::lround(dt), std::lround(dr), std::lround(db)};
  return true;
}

ComPtr<ID3D11ShaderResourceView> Surface::source_view(ID2D1Bitmap* b) {
  for (auto& [bitmap, view] : sources)
    if (bitmap.Get() == b) return view;
  ComPtr<ID3D11Texture2D> tex = texture_of(b);
  ComPtr<ID3D11ShaderResourceView> view;
  if (!tex || FAILED(g_gfx.device->CreateShaderResourceView(tex.Get(), nullptr, &view))) return nullptr;
  // Held with its bitmap, so no other bitmap can take its address meanwhile
  // (prune_sources lets go of those no list on show draws).
  sources.push_back({b, view});
  return view;
}

void Surface::prune_sources() {
  std::erase_if(sources, [&](const auto& s) {
    for (const DisplayList* l : {&shown, &still_shown})
      for (const Cmd& c : l->cmds)
        if (c.op == Op::Bitmap && c.obj.Get() == s.first.Get()) return false;
    return true;
  });
}

HRESULT Surface::draw_rects(const DisplayList& l, std::vector<RECT>& rects, ID2D1Bitmap1* target, ID2D1Bitmap1* base) {
  HRESULT hr = S_OK;
  // Only the first pass clears, and each blit and later pass runs once per
  // rectangle: where two overlapped, what is translucent would be blended twice.
  rects = disjoint_rects(std::move(rects));
  if (rects.empty() || !target) return hr;
  if (fail_draws > 0) {
    --fail_draws;
    return E_FAIL;
  }
  // Over a copy of the base (a copy costs next to nothing beside a pass of
  // drawing), only what is not in it is drawn.
  const bool moving_only = base != nullptr;
  if (base)
    for (const RECT& r : rects) {
      D2D1_POINT_2U at{u32(r.left), u32(r.top)};
      D2D1_RECT_U from{u32(r.left), u32(r.top), u32(r.right), u32(r.bottom)};
      target->CopyFromBitmap(&at, base, &from);
    }
  ComPtr<ID3D11RenderTargetView> rtv;
  if (blits && blitter.ready()) {
    ComPtr<ID3D11Texture2D> tex = texture_of(target);
    if (tex) g_gfx.device->CreateRenderTargetView(tex.Get(), nullptr, &rtv);
  }
  // A bitmap the device can lay, outside every clip: it ends a pass of
  // Direct2D, is laid over each rectangle, and the next pass begins after it.
  auto laid = [&](size_t i, int depth, POINT& at, RECT& dest) {
    const Cmd& c = l.cmds[i];
    return rtv && depth == 0 && (!moving_only || !c.still) && blit_place(c, at, dest) &&
           source_view(static_cast<ID2D1Bitmap*>(c.obj.Get()));
  };
  size_t from = 0, n = l.cmds.size();
  while (from < n || (from == 0 && !moving_only)) {
    size_t to = from;
    int depth = 0;
    POINT at{};
    RECT dest{};
    for (; to < n; ++to) {
      Op op = l.cmds[to].op;
      if (op != Op::Clip && op != Op::Unclip && laid(to, depth, at, dest)) break;
      depth += op == Op::Clip ? 1 : op == Op::Unclip && depth > 0 ? -1 : 0;
    }
    // A pass of Direct2D over the rectangles that commands in [from, to)
    // touch (the first pass also clears them when drawing from the background).
    std::vector<const RECT*> touched;
    for (const RECT& r : rects) {
      bool any = !moving_only && from == 0;
      for (size_t i = from; i < to && !any; ++i) {
        const Cmd& c = l.cmds[i];
        any = c.op != Op::Clip && c.op != Op::Unclip && overlaps(c.box, r) && !(moving_only && c.still);
      }
      if (any) touched.push_back(&r);
    }
    if (!touched.empty()) {
      dc->SetTarget(target);
      dc->BeginDraw();
      for (const RECT* r : touched) replay(l, *r, moving_only, from, to);
      HRESULT e = dc->EndDraw();
      dc->SetTarget(nullptr);
      if (SUCCEEDED(hr)) hr = e;
    }
    if (to >= n) break;
    const Cmd& c = l.cmds[to];
    ComPtr<ID3D11ShaderResourceView> src = source_view(static_cast<ID2D1Bitmap*>(c.obj.Get()));
    for (const RECT& r : rects) {
      RECT clip = box_and(box_and(r, c.box), dest);
      if (box_empty(clip)) continue;
      blitter.draw(rtv.Get(), width, height, src.Get(), at, clip);
      ++g_draw_calls;
      ++stats.blits;
    }
    blitter.done();
    from = to + 1;
  }
  return hr;
}

void Surface::list_end() {
  if (!list) return;
  while (!clip_stack.empty()) pop_clip();
  list = nullptr;
  // Queued pictures: over everything, or under it when asked.
  std::vector<Cmd> queued;
  for (const Picture& p : pictures) {
    Cmd c;
    c.op = Op::Picture;
    c.obj = p.bitmap;
    c.r = p.dest;
    c.src = p.src;
    c.opacity = p.opacity;
    c.colour = p.colour;
    c.box = device_box(p.dest, 0, kIdentity, dpi / 96, kNoClip);
    if (box_empty(c.box)) continue;
    c.key = cmd_key(c, nullptr);
    queued.push_back(std::move(c));
  }
  pictures.clear();
  auto& cmds = frame_list.cmds;
  if (pictures_under)
    cmds.insert(cmds.begin(), std::make_move_iterator(queued.begin()), std::make_move_iterator(queued.end()));
  else
    cmds.insert(cmds.end(), std::make_move_iterator(queued.begin()), std::make_move_iterator(queued.end()));

  stats = FrameStats{};
  stats.commands = u32(cmds.size());
  double t0 = now_s();
  stats.record = t0 - listed_at;
  const RECT whole{0, 0, LONG(width), LONG(height)};
  std::vector<RECT> boxes = changed_boxes(shown, frame_list);  // also carries each command's age over
  double t1 = now_s();
  stats.diff = t1 - t0;
  std::vector<RECT> rects;
  if (full || !composed) rects.push_back(whole);
  else rects = merge_rects(dirty_rects(boxes, width, height, kTile, kMostRects), frame_list, kCallPixels);
  // The still picture: drawn again where its commands changed.
  split_still(frame_list, settle, width, height, kStillTile);
  DisplayList still_now = still_part(frame_list);
  std::vector<RECT> still_rects;
  bool have_still = make_still();
  if (have_still) {
    if (still_full) still_rects.push_back(whole);
    else
      still_rects = merge_rects(dirty_rects(changed_boxes(still_shown, still_now), width, height, kTile, kMostRects),
                                still_now, kCallPixels);
  }
  stats.merge = now_s() - t1;
  auto keep = [&] {
    shown.clear();
    shown.cmds.swap(frame_list.cmds);
    shown.points.swap(frame_list.points);
    if (have_still) still_shown = std::move(still_now);
    prune_sources();
  };
  if (rects.empty() && still_rects.empty() && !repaint) {
    keep();
    return;  // nothing changed: nothing drawn, nothing presented
  }
  if (!composed) return;
  double t2 = now_s();
  u64 calls0 = g_draw_calls;
  // The still picture first (what settled joins it; the frame looks the same).
  // A pass that failed may have left it half drawn: it is drawn whole next.
  HRESULT still_hr = S_OK;
  if (!still_rects.empty()) {
    still_hr = draw_rects(still_now, still_rects, still.Get(), nullptr);
    stats.still_pixels = pixels_of(still_rects);
    still_full = FAILED(still_hr);
  }
  if (rects.empty() && !repaint) {
    stats.replay = now_s() - t2;
    stats.calls = g_draw_calls - calls0;
    keep();
    if (still_hr == HRESULT(D2DERR_RECREATE_TARGET)) make_targets();
    return;  // the frame itself did not change: nothing presented
  }
  // Each rectangle starts from the still picture when it holds what it
  // should, otherwise from the background.
  HRESULT hr = draw_rects(frame_list, rects, composed.Get(), have_still && SUCCEEDED(still_hr) ? still.Get() : nullptr);
  stats.pixels = pixels_of(rects);
  double t3 = now_s();
  stats.replay = t3 - t2;
  stats.rects = u32(rects.size());
  stats.calls = g_draw_calls - calls0;
  keep();
  if (hr == HRESULT(D2DERR_RECREATE_TARGET) || still_hr == HRESULT(D2DERR_RECREATE_TARGET)) {
    make_targets();  // the next frame draws everything
    return;
  }
  // A frame whose pass failed is drawn whole next, as its still picture is.
  full = FAILED(hr);
  repaint = false;
  if (swap) {
    g_gfx.context->CopyResource(back.Get(), composed_tex.Get());
    swap->Present(1, 0);
  }
  stats.present = now_s() - t3;
  stats.presented = true;
  ++presents;
}

bool Surface::make_still() {
  if (still) return true;
  if (!dc || FAILED(dc->CreateBitmap(D2D1_SIZE_U{width, height}, nullptr, 0, bitmap_props(D2D1_BITMAP_OPTIONS_TARGET, dpi),
                                     &still))) {
    still.Reset();
    return false;
  }
  still_full = true;
  return true;
}

bool Surface::read_whole_bgra(std::vector<u8>& out) {
  if (!dc || !readback) return false;
  ComPtr<ID2D1Bitmap1> whole;
  if (FAILED(dc->CreateBitmap(D2D1_SIZE_U{width, height}, nullptr, 0, bitmap_props(D2D1_BITMAP_OPTIONS_TARGET, dpi),
                              &whole)))
    return false;
  FrameStats frame = stats;  // the frame on show keeps its own figures
  std::vector<RECT> all{RECT{0, 0, LONG(width), LONG(height)}};
  draw_rects(shown, all, whole.Get(), nullptr);
  stats = frame;
  return read_bitmap(whole.Get(), out);
}

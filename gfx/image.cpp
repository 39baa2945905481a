// Off-screen canvases and image files (PNG through WIC, binary PPM).
#include <cstdio>
#include <cwchar>
#include <memory>
#include <new>

#include "gfx/gfx.h"

static D2D1_BITMAP_PROPERTIES1 props96(D2D1_BITMAP_OPTIONS options) {
  return D2D1_BITMAP_PROPERTIES1{{DXGI_FORMAT_B8G8R8A8_UNORM, D2D1_ALPHA_MODE_PREMULTIPLIED}, 96, 96, options,
                                 nullptr};
}

// ---- off-screen canvas ----------------------------------------------------

bool Offscreen::create(u32 w, u32 h) {
  // Until this succeeds the canvas has no size: pixels() of a refused one
  // must not allocate what was asked for.
  width = height = 0;
  dpi = 96;
  composed.Reset();
  readback.Reset();
  phosphor = Phosphor();  // its effects belong to the previous device context
  if (w == 0 || h == 0 || w > kMaxImageSide || h > kMaxImageSide) return false;
  if (!init_dc() || !phosphor.create(dc.Get(), w, h, 96)) return false;
  if (FAILED(dc->CreateBitmap(D2D1_SIZE_U{w, h}, nullptr, 0, props96(D2D1_BITMAP_OPTIONS_TARGET), &composed)))
    return false;
  dc->CreateBitmap(D2D1_SIZE_U{w, h}, nullptr, 0,
                   props96(D2D1_BITMAP_OPTIONS_CPU_READ | D2D1_BITMAP_OPTIONS_CANNOT_DRAW), &readback);
  if (!readback) return false;
  width = w;
  height = h;
  return true;
}

void Offscreen::begin() {
  if (!dc || !phosphor.bitmap) return;
  dc->SetTarget(phosphor.bitmap.Get());
  dc->BeginDraw();
  dc->SetTransform(D2D1_MATRIX_3X2_F{1, 0, 0, 1, 0, 0});
  dc->Clear(D2D1_COLOR_F{0, 0, 0, 0});
  xf = D2D1_MATRIX_3X2_F{1, 0, 0, 1, 0, 0};
  drawing = true;
}

std::vector<u8> Offscreen::pixels(bool opaque, D3DCOLORVALUE bg) {
  std::vector<u8> out(size_t(width) * height * 4);
  if (!dc || !composed || !readback) return out;
  while (!clip_stack.empty()) pop_clip();
  dc->EndDraw();
  drawing = false;
  dc->SetTarget(composed.Get());
  dc->BeginDraw();
  dc->SetTransform(D2D1_MATRIX_3X2_F{1, 0, 0, 1, 0, 0});
  dc->Clear(opaque ? D2D1_COLOR_F{bg.r, bg.g, bg.b, bg.a} : D2D1_COLOR_F{0, 0, 0, 0});
  if (ID2D1Image* img = phosphor.output())
    dc->DrawImage(img, D2D1_POINT_2F{0, 0}, D2D1_INTERPOLATION_MODE_LINEAR, D2D1_COMPOSITE_MODE_SOURCE_OVER);
  dc->EndDraw();
  dc->SetTarget(nullptr);
  D2D1_POINT_2U origin{0, 0};
  D2D1_RECT_U all{0, 0, width, height};
  D2D1_MAPPED_RECT m{};
  if (FAILED(readback->CopyFromBitmap(&origin, composed.Get(), &all)) ||
      FAILED(readback->Map(D2D1_MAP_OPTIONS_READ, &m)))
    return out;
  size_t row = size_t(width) * 4;
  for (u32 y = 0; y < height; ++y) memcpy(out.data() + y * row, m.bits + size_t(y) * m.pitch, row);
  readback->Unmap();
  return out;
}

bool Offscreen::save_png(const std::wstring& path, bool opaque, D3DCOLORVALUE bg) {
  std::vector<u8> px = pixels(opaque, bg);
  return save_png_bgra(path, px.data(), width, height);
}

// ---- PNG ------------------------------------------------------------------

void unpremultiply_bgra(u8* p, size_t pixels) {
  for (size_t i = 0; i < pixels; ++i, p += 4) {
    unsigned a = p[3];
    if (a == 0 || a == 255) continue;
    for (int c = 0; c < 3; ++c) p[c] = u8(std::min(255u, p[c] * 255u / a));
  }
}

bool save_png_bgra(const std::wstring& path, const u8* bgra, u32 w, u32 h) {
  u64 bytes = u64(w) * h * 4;
  if (!bgra || w == 0 || h == 0 || bytes > 0xFFFFFFFFull) return false;
  std::unique_ptr<u8[]> straight(new (std::nothrow) u8[bytes]);
  if (!straight) return false;
  memcpy(straight.get(), bgra, bytes);
  unpremultiply_bgra(straight.get(), size_t(w) * h);
  if (!g_gfx.wic) return false;
  ComPtr<IWICStream> stream;
  ComPtr<IWICBitmapEncoder> encoder;
  ComPtr<IWICBitmapFrameEncode> frame;
  if (FAILED(g_gfx.wic->CreateStream(&stream)) || FAILED(stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE)))
    return false;
  WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGRA;
  const bool ok = SUCCEEDED(g_gfx.wic->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder)) &&
                  SUCCEEDED(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache)) &&
                  SUCCEEDED(encoder->CreateNewFrame(&frame, nullptr)) && SUCCEEDED(frame->Initialize(nullptr)) &&
                  SUCCEEDED(frame->SetSize(w, h)) && SUCCEEDED(frame->SetPixelFormat(&format)) &&
                  IsEqualGUID(format, GUID_WICPixelFormat32bppBGRA) &&
                  SUCCEEDED(frame->WritePixels(h, w * 4, UINT(bytes), straight.get())) &&
                  SUCCEEDED(frame->Commit()) && SUCCEEDED(encoder->Commit());
  if (ok) return true;
  // The file was created when the stream opened: no half-written PNG stays.
  frame.Reset();
  encoder.Reset();
  stream.Reset();
  DeleteFileW(path.c_str());
  return false;
}

ComPtr<ID2D1Bitmap1> Surface::load_png(const std::wstring& path) {
  if (!g_gfx.wic || !dc) return nullptr;
  ComPtr<IWICBitmapDecoder> decoder;
  ComPtr<IWICBitmapFrameDecode> frame;
  ComPtr<IWICFormatConverter> converter;
  ComPtr<ID2D1Bitmap1> bitmap;
  D2D1_BITMAP_PROPERTIES1 props = props96(D2D1_BITMAP_OPTIONS_NONE);
  if (FAILED(g_gfx.wic->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ, WICDecodeMetadataCacheOnLoad,
                                                  &decoder)) ||
      FAILED(decoder->GetFrame(0, &frame)) || FAILED(g_gfx.wic->CreateFormatConverter(&converter)) ||
      FAILED(converter->Initialize(frame.Get(), GUID_WICPixelFormat32bppPBGRA, WICBitmapDitherTypeNone, nullptr, 0.0,
                                   WICBitmapPaletteTypeCustom)) ||
      FAILED(dc->CreateBitmapFromWicBitmap(converter.Get(), &props, &bitmap)))
    return nullptr;
  return bitmap;
}

// ---- PPM ------------------------------------------------------------------

static bool ppm_space(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// An unsigned decimal field after optional white space; values past the
// limit are refused here instead of overflowing.
static bool ppm_number(FILE* f, u32 limit, u32& value) {
  int c;
  do c = fgetc(f);
  while (ppm_space(c));
  if (c < '0' || c > '9') return false;
  u64 v = 0;
  for (; c >= '0' && c <= '9'; c = fgetc(f)) {
    v = v * 10 + u32(c - '0');
    if (v > limit) return false;
  }
  if (c != EOF) ungetc(c, f);
  value = u32(v);
  return true;
}

// The header "P6 width height 255" followed by one white-space byte.
static bool ppm_header(FILE* f, u32& w, u32& h) {
  int c;
  do c = fgetc(f);
  while (ppm_space(c));
  if (c != 'P' || fgetc(f) != '6') return false;
  int next = fgetc(f);
  if (!ppm_space(next)) return false;
  u32 maxval = 0;
  if (!ppm_number(f, kMaxImageSide, w) || !ppm_number(f, kMaxImageSide, h) || !ppm_number(f, 65535, maxval))
    return false;
  if (w == 0 || h == 0 || maxval != 255) return false;
  fgetc(f);  // the single white-space byte that ends the header
  return true;
}

ComPtr<ID2D1Bitmap1> Surface::load_ppm(const std::wstring& path) {
  if (!dc) return nullptr;
  FILE* f = _wfopen(path.c_str(), L"rb");
  if (!f) return nullptr;
  u32 w = 0, h = 0;
  bool ok = ppm_header(f, w, h);
  // One buffer of the final BGRA size; the RGB samples are read into its
  // tail and spread forwards, so no second image-sized buffer is needed.
  u64 n = u64(w) * h, rgb = n * 3, bgra = n * 4;
  // A short header may declare a gigabyte: the samples must be in the file
  // before that much memory is taken.
  if (ok) {
    const long long here = _ftelli64(f);
    ok = here >= 0 && _fseeki64(f, 0, SEEK_END) == 0 && u64(_ftelli64(f) - here) >= rgb &&
         _fseeki64(f, here, SEEK_SET) == 0;
  }
  std::unique_ptr<u8[]> buf;
  if (ok) buf.reset(new (std::nothrow) u8[bgra]);
  ok = ok && buf && fread(buf.get() + (bgra - rgb), 1, rgb, f) == rgb;
  fclose(f);
  if (!ok) return nullptr;
  const u8* src = buf.get() + (bgra - rgb);
  u8* dst = buf.get();
  for (u64 i = 0; i < n; ++i, src += 3, dst += 4) {
    u8 r = src[0], g = src[1], b = src[2];
    dst[0] = b;
    dst[1] = g;
    dst[2] = r;
    dst[3] = 255;
  }
  ComPtr<ID2D1Bitmap1> bitmap;
  if (FAILED(dc->CreateBitmap(D2D1_SIZE_U{w, h}, buf.get(), w * 4, props96(D2D1_BITMAP_OPTIONS_NONE), &bitmap)))
    return nullptr;
  return bitmap;
}

bool Surface::save_png(const std::wstring& path) {
  std::vector<u8> px;
  return read_bgra(px) && save_png_bgra(path, px.data(), width, height);
}

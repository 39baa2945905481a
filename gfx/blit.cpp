// The blitter: a textured pass of Direct3D with Direct2D's blend.
#include "gfx/blit.h"

#include <d3dcompiler.h>

#include <cstring>

#include "gfx/gfx.h"

namespace {

// A triangle that covers the whole target; the pixel shader reads the
// source texel under each target pixel, shifted by the source's corner.
const char kShaders[] = R"(
cbuffer At : register(b0) { int4 at; };
Texture2D<float4> source : register(t0);
float4 corner(float2 p : POSITION) : SV_Position { return float4(p, 0, 1); }
float4 texel(float4 pos : SV_Position) : SV_Target {
  int2 p = int2(pos.xy) - at.xy;
  return source.Load(int3(p, 0));
}
)";

ComPtr<ID3DBlob> compile(pD3DCompile compiler, const char* entry, const char* target) {
  ComPtr<ID3DBlob> code, errors;
  if (FAILED(compiler(kShaders, sizeof kShaders - 1, "blit", nullptr, nullptr, entry, target, 0, 0, &code, &errors)))
    return nullptr;
  return code;
}

}  // namespace

bool Blitter::ready() {
  if (tried) return ok;
  tried = true;
  ID3D11Device* d = g_gfx.device.Get();
  if (!d) return false;
  // The compiler comes with the system (Windows 8.1 on, and Wine); loaded
  // when first needed, so a system without it still draws (through Direct2D).
  HMODULE lib = LoadLibraryW(L"d3dcompiler_47.dll");
  auto compiler = lib ? reinterpret_cast<pD3DCompile>(reinterpret_cast<void*>(GetProcAddress(lib, "D3DCompile")))
                      : nullptr;
  if (!compiler) return false;
  ComPtr<ID3DBlob> vcode = compile(compiler, "corner", "vs_4_0"), pcode = compile(compiler, "texel", "ps_4_0");
  if (!vcode || !pcode) return false;
  const D3D11_INPUT_ELEMENT_DESC element{"POSITION", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0};
  const float tri[6] = {-1, 1, 3, 1, -1, -3};
  D3D11_BUFFER_DESC vb{sizeof tri, D3D11_USAGE_IMMUTABLE, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
  D3D11_SUBRESOURCE_DATA init{tri, 0, 0};
  D3D11_BUFFER_DESC cb{16, D3D11_USAGE_DEFAULT, D3D11_BIND_CONSTANT_BUFFER, 0, 0, 0};
  // Premultiplied source over the target: what Direct2D does for a bitmap.
  D3D11_BLEND_DESC bd{};
  bd.RenderTarget[0] = {TRUE, D3D11_BLEND_ONE, D3D11_BLEND_INV_SRC_ALPHA, D3D11_BLEND_OP_ADD,
                        D3D11_BLEND_ONE, D3D11_BLEND_INV_SRC_ALPHA, D3D11_BLEND_OP_ADD, D3D11_COLOR_WRITE_ENABLE_ALL};
  D3D11_RASTERIZER_DESC rd{};
  rd.FillMode = D3D11_FILL_SOLID;
  rd.CullMode = D3D11_CULL_NONE;
  rd.ScissorEnable = TRUE;
  rd.DepthClipEnable = TRUE;
  ok = SUCCEEDED(d->CreateVertexShader(vcode->GetBufferPointer(), vcode->GetBufferSize(), nullptr, &vs)) &&
       SUCCEEDED(d->CreatePixelShader(pcode->GetBufferPointer(), pcode->GetBufferSize(), nullptr, &ps)) &&
       SUCCEEDED(d->CreateInputLayout(&element, 1, vcode->GetBufferPointer(), vcode->GetBufferSize(), &layout)) &&
       SUCCEEDED(d->CreateBuffer(&vb, &init, &corners)) && SUCCEEDED(d->CreateBuffer(&cb, nullptr, &offset)) &&
       SUCCEEDED(d->CreateBlendState(&bd, &blend)) && SUCCEEDED(d->CreateRasterizerState(&rd, &raster));
  return ok;
}

void Blitter::draw(ID3D11RenderTargetView* target, u32 width, u32 height, ID3D11ShaderResourceView* src, POINT at,
                   const RECT& clip) {
  if (!ready() || !target || !src || clip.right <= clip.left || clip.bottom <= clip.top) return;
  ID3D11DeviceContext* c = g_gfx.context.Get();
  const int32_t corner[4] = {int32_t(at.x), int32_t(at.y), 0, 0};
  c->UpdateSubresource(offset.Get(), 0, nullptr, corner, 0, 0);
  UINT stride = 8, zero = 0;
  c->IASetInputLayout(layout.Get());
  c->IASetVertexBuffers(0, 1, corners.GetAddressOf(), &stride, &zero);
  c->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
  c->VSSetShader(vs.Get(), nullptr, 0);
  c->PSSetShader(ps.Get(), nullptr, 0);
  c->PSSetConstantBuffers(0, 1, offset.GetAddressOf());
  c->PSSetShaderResources(0, 1, &src);
  D3D11_VIEWPORT vp{0, 0, float(width), float(height), 0, 1};
  c->RSSetViewports(1, &vp);
  c->RSSetState(raster.Get());
  c->RSSetScissorRects(1, &clip);
  const float factor[4] = {0, 0, 0, 0};
  c->OMSetBlendState(blend.Get(), factor, 0xFFFFFFFF);
  c->OMSetRenderTargets(1, &target, nullptr);
  c->Draw(3, 0);
}

void Blitter::done() {
  if (!ok) return;
  ID3D11DeviceContext* c = g_gfx.context.Get();
  ID3D11ShaderResourceView* none = nullptr;
  c->PSSetShaderResources(0, 1, &none);
  c->OMSetRenderTargets(0, nullptr, nullptr);
}

ComPtr<ID3D11Texture2D> texture_of(ID2D1Bitmap* b) {
  ComPtr<ID2D1Bitmap1> b1;
  ComPtr<IDXGISurface> surface;
  ComPtr<ID3D11Texture2D> tex;
  if (!b || FAILED(b->QueryInterface(IID_PPV_ARGS(&b1))) || FAILED(b1->GetSurface(&surface)) || !surface ||
      FAILED(surface.As(&tex)))
    return nullptr;
  return tex;
}

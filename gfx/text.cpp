// Stroke text: ASCII as Hershey strokes, anything else as cached DirectWrite
// layouts sharing the same baseline.
#include <algorithm>
#include <cmath>

#include "gfx/gfx.h"
#include "gfx/layer.h"

std::vector<DrawnText>* g_text_probe = nullptr;

u32 utf8_next(std::string_view s, size_t& pos) {
  if (pos >= s.size()) return 0;
  u32 b = u8(s[pos++]);
  if (b < 0x80) return b;
  u32 value;
  int more;
  if (b >= 0xF0) value = b & 0x07, more = 3;
  else if (b >= 0xE0) value = b & 0x0F, more = 2;
  else if (b >= 0xC0) value = b & 0x1F, more = 1;
  else return b & 0x3F;  // stray continuation byte
  for (; more > 0 && pos < s.size(); --more) value = value << 6 | (u8(s[pos++]) & 0x3F);
  return value;
}

float text_weight(float size) { return std::clamp(0.085f * size, 1.0f, 3.2f); }

// a then b, in Direct2D's row-vector convention
static D2D1_MATRIX_3X2_F then(const D2D1_MATRIX_3X2_F& a, const D2D1_MATRIX_3X2_F& b) {
  return D2D1_MATRIX_3X2_F{a._11 * b._11 + a._12 * b._21,         a._11 * b._12 + a._12 * b._22,
                           a._21 * b._11 + a._22 * b._21,         a._21 * b._12 + a._22 * b._22,
                           a._31 * b._11 + a._32 * b._21 + b._31, a._31 * b._12 + a._32 * b._22 + b._32};
}

float Canvas::glyph_run(std::string_view text, float x, float y, float size, D3DCOLORVALUE* colour,
                        float tracking, float weight) {
  if (weight <= 0) weight = text_weight(size);
  float s = size / 21;
  float pen = x;
  bool advanced = false;
  bool draw = colour && dc && brush && g_gfx.glyphs.size() == 95;
  const D2D1_MATRIX_3X2_F saved = xf;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t start = pos;
    u32 ch = utf8_next(text, pos);
    if (ch <= 0x7F) {
      int index = 0;  // controls and DEL take the space's extents
      if (ch >= 32 && ch <= 126) index = int(ch) - 32;
      if (!mixed_case && ch >= 'a' && ch <= 'z') index = int(ch) - 64;
      auto [left, right] = g_gfx.widths.size() == 95 ? g_gfx.widths[index] : std::pair<int32_t, int32_t>{-8, 8};
      if (draw && index != 0) {
        // font point (gx, gy) lands at (pen + (gx - left) * s, y + (gy + 12) * s)
        xf = then(D2D1_MATRIX_3X2_F{s, 0, 0, s, pen - left * s, y + 12 * s}, saved);
        Cmd c;
        c.op = Op::Geometry;
        c.colour = D2D1_COLOR_F{colour->r, colour->g, colour->b, colour->a};
        c.width = weight / s;
        c.obj = g_gfx.glyphs[index];
        put(c, g_gfx.glyph_bounds[index], stroke_margin(c.width));
      }
      pen += (right - left) * s + size * tracking;
      advanced = true;
      continue;
    }
    // A non-ASCII run: every following byte up to the next ASCII one.
    while (pos < text.size() && u8(text[pos]) >= 0x80) ++pos;
    DwRun* r = dw_run(std::string(text.substr(start, pos - start)), size);
    if (!r) continue;
    if (draw) {
      xf = saved;
      D2D_POINT_2F at{pen, y + size - r->baseline};
      Cmd c;
      c.op = Op::Text;
      c.colour = D2D1_COLOR_F{colour->r, colour->g, colour->b, colour->a};
      c.obj = r->layout;
      c.r = D2D_RECT_F{at.x, at.y, 0, 0};
      put(c, D2D_RECT_F{at.x + r->ink.left, at.y + r->ink.top, at.x + r->ink.right, at.y + r->ink.bottom}, 0);
    }
    pen += r->width + size * tracking;
    advanced = true;
  }
  xf = saved;
  return advanced ? pen - x - size * tracking : 0;
}

// The family for non-ASCII runs, resolved once: the preferred one when it is
// installed, else a common one, else the first the system has. A layout in a
// missing family measures garbage on some systems instead of failing.
static const std::wstring& dw_family() {
  static const std::wstring family = [] {
    std::wstring out;
    ComPtr<IDWriteFontCollection> fonts;
    if (!g_gfx.dwrite || FAILED(g_gfx.dwrite->GetSystemFontCollection(&fonts)) || !fonts) return out;
    for (const wchar_t* name : {L"Microsoft YaHei UI", L"Segoe UI", L"DejaVu Sans", L"Arial", L"Tahoma"}) {
      UINT32 index = 0;
      BOOL exists = FALSE;
      if (SUCCEEDED(fonts->FindFamilyName(name, &index, &exists)) && exists) return std::wstring(name);
    }
    ComPtr<IDWriteFontFamily> fam;
    ComPtr<IDWriteLocalizedStrings> names;
    UINT32 len = 0;
    if (fonts->GetFontFamilyCount() > 0 && SUCCEEDED(fonts->GetFontFamily(0, &fam)) &&
        SUCCEEDED(fam->GetFamilyNames(&names)) && SUCCEEDED(names->GetStringLength(0, &len))) {
      out.resize(len + 1);
      if (FAILED(names->GetString(0, out.data(), len + 1))) out.clear();
      else out.resize(len);
    }
    return out;
  }();
  return family;
}

Canvas::DwRun* Canvas::dw_run(const std::string& text, float size) {
  std::string key = text + strf("|%.1f", size);
  auto it = runs.find(key);
  if (it != runs.end()) return &it->second;
  if (runs.size() > 256) runs.clear();  // coarse eviction keeps the cache bounded
  const std::wstring& family = dw_family();
  if (!g_gfx.dwrite || family.empty() || !(size > 0)) return nullptr;
  ComPtr<IDWriteTextFormat> format;
  if (FAILED(g_gfx.dwrite->CreateTextFormat(family.c_str(), nullptr, DWRITE_FONT_WEIGHT_LIGHT,
                                            DWRITE_FONT_STYLE_NORMAL, DWRITE_FONT_STRETCH_NORMAL, size / 0.7f, L"",
                                            &format)))
    return nullptr;
  std::wstring w = widen(text);
  ComPtr<IDWriteTextLayout> layout;
  if (FAILED(g_gfx.dwrite->CreateTextLayout(w.c_str(), UINT32(w.size()), format.Get(), 10000, 1000, &layout)))
    return nullptr;
  DWRITE_TEXT_METRICS tm{};
  UINT32 lines = 0;
  if (FAILED(layout->GetMetrics(&tm)) || tm.lineCount == 0) return nullptr;
  std::vector<DWRITE_LINE_METRICS> lm(tm.lineCount);
  if (FAILED(layout->GetLineMetrics(lm.data(), UINT32(lm.size()), &lines)) || lines == 0) return nullptr;
  float width = tm.widthIncludingTrailingWhitespace, baseline = lm[0].baseline;
  if (!std::isfinite(width) || width < 0 || width > 10000 || !std::isfinite(baseline)) return nullptr;
  // Where its glyphs may reach: the lines' box, and a font size beyond it on
  // every side for glyphs that overhang (a renderer's overhang figures are
  // not relied on).
  float em = size / 0.7f;
  D2D_RECT_F ink{tm.left - em, tm.top - em, tm.left + tm.width + em, tm.top + tm.height + em};
  if (!std::isfinite(tm.height) || tm.height < 0) ink = D2D_RECT_F{1, 1, 0, 0};  // unknown: anything
  DwRun& run = runs[key];
  run = DwRun{layout, width, baseline, ink};
  return &run;
}

float Canvas::text(std::string_view text, float x, float y, float size, D3DCOLORVALUE colour, Align align,
                   float tracking, float weight) {
  if (align != AlignLeft) {
    float w = glyph_run(text, 0, 0, size, nullptr, tracking, 0);
    if (align == AlignCentre) w /= 2;
    x -= w;
  }
  if (g_text_probe) g_text_probe->push_back(DrawnText{std::string(text), x, y, size, colour});
  return glyph_run(text, x, y, size, &colour, tracking, weight);
}

float Canvas::text_width(std::string_view text, float size, float tracking) {
  return glyph_run(text, 0, 0, size, nullptr, tracking, 0);
}

std::string Canvas::fit(std::string_view text, float max_width, float size, float tracking) {
  std::string s(text);
  if (text_width(s, size, tracking) <= max_width) return s;
  while (!s.empty()) {
    // cut before the last byte that starts a character
    size_t n = s.size();
    while (n > 0 && (u8(s[n - 1]) & 0xC0) == 0x80) --n;
    s.resize(n > 0 ? n - 1 : 0);
    std::string candidate = s + "...";
    if (text_width(candidate, size, tracking) <= max_width) return candidate;
  }
  return "";
}

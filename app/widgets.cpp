// The immediate-mode toolkit: ids, hover and click rules, easing, labels,
// panels, wrapping, buttons, the stepper, a text field and a check box, the
// toolkit glyphs, toasts and modal questions, form helpers and the file dialog.
#include "app/app.h"

#include <algorithm>
#include <cmath>
#include <shobjidl.h>

#include "gfx/layer.h"
#include "machines/profile.h"
#include "machines/settings.h"

static constexpr float kTrack = 0.16f;

// ---- plain decisions -------------------------------------------------------------

u32 widget_id(std::string_view name, int index) {
  u32 h = (fnv1a(name) ^ u32(index)) * kFnvPrime;
  return h ? h : 1;
}

float ease_step(float v, bool on, float dt, float tau, bool& moving) {
  float target = on ? 1.0f : 0.0f;
  v = target + (v - target) * std::exp(-dt / tau);
  moving = std::fabs(v - target) > 0.004f;
  return moving ? v : target;
}

std::vector<WrapLine> wrap_lines(std::string_view text, float max_width, float size, float line_factor,
                                 const std::function<float(const std::string&)>& measure, float& height) {
  std::vector<WrapLine> out;
  float y = 0, step = size * line_factor;
  std::string line, word;
  for (size_t i = 0; i <= text.size(); ++i) {
    char c = i < text.size() ? text[i] : '\0';
    if (i < text.size() && c != ' ' && c != '\n') {
      word += c;
      continue;
    }
    if (!word.empty()) {
      if (line.empty()) {
        line = word;
      } else {
        std::string cand = line + " " + word;
        if (measure(cand) > max_width) {
          out.push_back({line, y});
          y += step;
          line = word;
        } else {
          line = cand;
        }
      }
      word.clear();
    }
    if (i < text.size() && c == '\n') {
      if (!line.empty()) out.push_back({line, y});
      line.clear();
      y += step;
    }
  }
  if (!line.empty()) {
    out.push_back({line, y});
    y += step;
  }
  height = y;
  return out;
}

std::string typed_utf8(std::wstring_view typed) {
  std::wstring keep;
  for (size_t i = 0; i < typed.size(); ++i) {
    wchar_t c = typed[i];
    if (c < 0x20) continue;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 < typed.size() && typed[i + 1] >= 0xDC00 && typed[i + 1] <= 0xDFFF) {
        keep += c;
        keep += typed[++i];
      }
      continue;
    }
    if (c >= 0xDC00 && c <= 0xDFFF) continue;
    keep += c;
  }
  return narrow(keep);
}

int nearest_step(const std::vector<int>& steps, int value) {
  int best = -1;
  long long best_d = 0;
  for (size_t i = 0; i < steps.size(); ++i) {
    long long d = std::llabs(static_cast<long long>(steps[i]) - value);
    if (best < 0 || d < best_d) best = int(i), best_d = d;
  }
  return best;
}

BannerBox banner_box(const D2D_RECT_F& r, const std::string& text, double age) {
  BannerBox b;
  if (text.empty() || age > 10.0 || age < 0) return b;
  b.alpha = float(std::min({1.5 * (10 - age), 6 * age, 1.0}));
  float W = r.right - r.left, w = std::min(W - 80, 760.0f);
  b.lines = 1 + int(std::count(text.begin(), text.end(), '\n'));
  float x0 = r.left + (W - w) / 2, y0 = r.top + 14;
  b.box = D2D_RECT_F{x0, y0, x0 + w, y0 + 15.0f * b.lines + 38};
  return b;
}

float scroll_clamp(float scroll, float content_height, float view_height) {
  float total = content_height + 40;
  if (scroll < 0) return 0;
  return std::min(scroll, std::max(total - view_height, 0.0f));
}

// ---- ids, hover, click, ease ----------------------------------------------------------

u32 App::id(std::string_view name, int index) const { return widget_id(name, index); }

bool App::hovering(const D2D_RECT_F& r) const {
  if (layer != (modal.open ? 1 : 0)) return false;
  if (!(r.left <= mouse.x && mouse.x < r.right && r.top <= mouse.y && mouse.y < r.bottom)) return false;
  // A widget scrolled out of its form's visible area does not react.
  for (const D2D_RECT_F& c : clips)
    if (!(c.left <= mouse.x && mouse.x < c.right && c.top <= mouse.y && mouse.y < c.bottom)) return false;
  return true;
}

void App::placed(u32 wid, const D2D_RECT_F& r) {
  rects[wid] = r;
  if (g_text_probe) drawn_ids.push_back(wid);
}

bool App::clicked(u32 wid, const D2D_RECT_F& r, const wchar_t* cur) {
  placed(wid, r);
  if (!hovering(r)) return false;
  cursor = cur;
  hot = wid;
  if (pressed) active = wid;
  return released && active == wid;
}

float App::ease(u32 wid, bool on, float tau) {
  float& v = anims[wid];
  bool moving = false;
  v = ease_step(v, on, float(dt), tau, moving);
  easing = easing || moving;
  return v;
}

void App::push_clip(const D2D_RECT_F& r) {
  clips.push_back(r);
  surface.push_clip(r);
}

void App::pop_clip() {
  if (clips.empty()) return;
  clips.pop_back();
  surface.pop_clip();
}

// ---- basic widgets ---------------------------------------------------------------------

void App::label(float x, float y, std::string_view text, D3DCOLORVALUE colour, float size) {
  text_fast(surface, text, x, y, size, colour, AlignLeft, kTrack, 0);
}

void App::panel(const D2D_RECT_F& r, D3DCOLORVALUE c, float fill_alpha) {
  surface.fill(r, D3DCOLORVALUE{0.008f, 0.02f, 0.036f, fill_alpha});
  surface.rect(r, alpha(c, c.a * 0.28f), 1.0f);
  surface.brackets(D2D_RECT_F{r.left - 2, r.top - 2, r.right + 2, r.bottom + 2}, 12, alpha(c, c.a * 0.85f), 1.4f);
}

float App::wrap(std::string_view text, float x, float y, float max_width, float size, D3DCOLORVALUE colour,
                float line_factor) {
  float height = 0;
  auto lines = wrap_lines(text, max_width, size, line_factor,
                          [&](const std::string& s) { return surface.text_width(s, size, kTrack); }, height);
  for (const WrapLine& l : lines) text_fast(surface, l.text, x, y + l.dy, size, colour, AlignLeft, kTrack, 0);
  return height;
}

bool App::button(u32 wid, const D2D_RECT_F& r, std::string_view text, Btn style, bool enabled, float size) {
  bool result = false;
  float h;
  if (enabled) {
    result = clicked(wid, r, IDC_HAND);
    h = ease(wid, hovering(r), 0.07f);
  } else {
    h = ease(wid, false, 0.07f);
  }
  bool held = enabled && mouse_down && active == wid && hovering(r);
  D3DCOLORVALUE base = pal.cyan;
  float fill = 0.04f + 0.12f * h, outline = 0.35f + 0.45f * h, bracket = 0.7f + 0.3f * h;
  switch (style) {
    case Btn::Primary: base = pal.pink, fill = 0.10f + 0.12f * h; break;
    case Btn::Danger: base = pal.red; break;
    case Btn::Secondary: fill = 0.12f * h, outline = 0.28f + 0.45f * h, bracket = 0.45f + 0.3f * h; break;
    default: break;
  }
  if (held) fill += 0.2f;
  float k = enabled ? 1.0f : 0.3f;
  surface.fill(r, alpha(base, fill * k));
  surface.rect(r, alpha(base, outline * k), 1.0f);
  if (enabled) {
    surface.brackets(D2D_RECT_F{r.left - 2, r.top - 2, r.right + 2, r.bottom + 2}, 6, alpha(base, bracket), 1.4f);
  }
  float m = 0.35f * h;
  D3DCOLORVALUE tc{base.r + (0.94f - base.r) * m, base.g + (0.98f - base.g) * m, base.b + (1.0f - base.b) * m,
                   enabled ? 1.0f : 0.3f};
  text_fast(surface, text, (r.left + r.right) / 2, (r.top + r.bottom) / 2 - size / 2, size, tc, AlignCentre, kTrack,
            0);
  return result;
}

bool App::stepper(u32 wid, const D2D_RECT_F& r, int& value, const std::vector<int>& steps,
                  const std::function<std::string(int)>& lab) {
  int index = nearest_step(steps, value);
  if (index < 0) return false;
  int before = index;
  float cy = (r.top + r.bottom) / 2;
  D2D_RECT_F left{r.left, r.top, r.left + 30, r.bottom}, right{r.right - 30, r.top, r.right, r.bottom};
  u32 lid = widget_id("stepl", int(wid)), rid = widget_id("stepr", int(wid));
  if (clicked(lid, left, IDC_HAND)) --index;
  if (clicked(rid, right, IDC_HAND)) ++index;
  if (wheel != 0 && hovering(r)) {
    index += wheel > 0 ? 1 : -1;
    wheel = 0;
  }
  index = std::clamp(index, 0, int(steps.size()) - 1);
  value = steps[size_t(index)];
  surface.fill(r, alpha(pal.cyan, 0.035f));
  surface.rect(r, alpha(pal.cyan, 0.6f), 1.4f);
  auto arrow = [&](float cx, float dir, float h, bool enabled) {
    D2D_POINT_2F p[3] = {{cx - 4 * dir, cy - 6}, {cx + 5 * dir, cy}, {cx - 4 * dir, cy + 6}};
    surface.poly(p, 3, D3DCOLORVALUE{0.22f + 0.72f * h, 0.78f + 0.2f * h, 1.0f, enabled ? 1.0f : 0.25f}, 1.4f, true);
  };
  arrow(r.left + 15, -1, ease(lid, hovering(left), 0.07f), index > 0);
  arrow(r.right - 15, 1, ease(rid, hovering(right), 0.07f), index + 1 < int(steps.size()));
  text_fast(surface, lab(value), (r.left + r.right) / 2, cy - 6, 12, pal.ice, AlignCentre, kTrack, 0);
  if (index != before) dirty = true;
  return index != before;
}

// Cuts s to at most max bytes without splitting a UTF-8 character.
static void cut_utf8(std::string& s, size_t max) {
  if (s.size() <= max) return;
  size_t n = max;
  while (n > 0 && (u8(s[n]) & 0xC0) == 0x80) --n;
  s.resize(n);
}

bool App::text_field(u32 wid, const D2D_RECT_F& r, std::string& value, size_t max_bytes) {
  bool changed = false;
  if (clicked(wid, r, IDC_IBEAM) || (pressed && hovering(r))) {
    focused = wid;
    field_claimed = true;
  }
  bool has = focused == wid;
  if (has) {
    std::string before = value;
    value += typed_utf8(typed);
    for (auto [vk, ctrl] : keys) {
      if (vk == VK_BACK && !value.empty()) {
        size_t n = value.size() - 1;
        while (n > 0 && (u8(value[n]) & 0xC0) == 0x80) --n;
        value.resize(n);
      } else if (vk == VK_RETURN || vk == VK_ESCAPE) {
        focused = 0;
      } else if (vk == 'V' && ctrl && OpenClipboard(hwnd)) {
        if (HANDLE h = GetClipboardData(CF_UNICODETEXT)) {
          if (auto* p = static_cast<const wchar_t*>(GlobalLock(h))) {
            std::wstring w(p);
            GlobalUnlock(h);
            for (wchar_t& c : w)
              if (c < 0x20) c = L' ';
            value += narrow(w);
          }
        }
        CloseClipboard();
      }
    }
    cut_utf8(value, max_bytes);
    changed = value != before;
    if (changed) dirty = true;
  }
  float h = ease(wid, has || hovering(r), 0.07f);
  surface.fill(r, alpha(pal.cyan, 0.03f + 0.04f * h));
  surface.rect(r, alpha(pal.cyan, 0.35f + 0.45f * h), 1.0f);
  std::string shown = surface.fit(value, r.right - r.left - 24, 11, kTrack);
  float tw = text_fast(surface, shown, r.left + 10, (r.top + r.bottom) / 2 - 5.5f, 11, pal.ice, AlignLeft, kTrack, 0);
  if (has && std::fmod(now, 1.0) < 0.6) {
    float x = r.left + 12 + tw;
    surface.line(x, r.top + 7, x, r.bottom - 7, pal.pink, 1.4f);
  }
  if (has) easing = true;  // the caret blinks
  return changed;
}

bool App::check_box(u32 wid, const D2D_RECT_F& r, std::string_view text, bool& value) {
  bool hit = clicked(wid, r, IDC_HAND);
  if (hit) value = !value, dirty = true;
  float h = ease(wid, hovering(r), 0.07f);
  float cy = (r.top + r.bottom) / 2;
  D2D_RECT_F box{r.left, cy - 8, r.left + 16, cy + 8};
  surface.rect(box, alpha(pal.cyan, 0.5f + 0.4f * h), 1.2f);
  if (value) surface.fill(D2D_RECT_F{box.left + 4, box.top + 4, box.right - 4, box.bottom - 4}, pal.cyan);
  text_fast(surface, text, r.left + 26, cy - 5, 10, value ? pal.ice : alpha(pal.ice, 0.7f), AlignLeft, kTrack, 0);
  return hit;
}

// ---- glyphs ----------------------------------------------------------------------------------

void App::draw_glyph(Glyph g, float x, float y, float s, D3DCOLORVALUE c, float width) {
  auto P = [&](float p, float q) { return D2D_POINT_2F{x + p * s, y + q * s}; };
  auto L = [&](float p1, float q1, float p2, float q2) {
    D2D_POINT_2F a = P(p1, q1), b = P(p2, q2);
    surface.line(a.x, a.y, b.x, b.y, c, width);
  };
  auto poly = [&](std::initializer_list<D2D_POINT_2F> pts, bool closed) {
    std::vector<D2D_POINT_2F> v;
    for (auto p : pts) v.push_back(P(p.x, p.y));
    surface.poly(v.data(), v.size(), c, width, closed);
  };
  auto frame = [&] { poly({{0.02f, -0.36f}, {-0.4f, -0.36f}, {-0.4f, 0.4f}, {0.36f, 0.4f}, {0.36f, -0.02f}}, false); };
  auto rr = [&](float p0, float q0, float p1, float q1, float rad) {
    D2D_POINT_2F a = P(p0, q0), b = P(p1, q1);
    surface.rrect(D2D_RECT_F{std::min(a.x, b.x), std::min(a.y, b.y), std::max(a.x, b.x), std::max(a.y, b.y)},
                  std::fabs(rad * s), c, width);
  };
  float as = std::fabs(s);
  switch (g) {
    case Glyph::Pause: L(-0.18f, -0.34f, -0.18f, 0.34f); L(0.18f, -0.34f, 0.18f, 0.34f); break;
    case Glyph::Resume: poly({{-0.22f, -0.36f}, {0.36f, 0}, {-0.22f, 0.36f}}, true); break;
    case Glyph::Reset: {
      surface.arc(x, y, 0.36f * as, -1.09956f, 3.92699f, c, width);
      float px = 0.163437f, py = -0.320762f;
      poly({{px - 0.2f, py - 0.06f}, {px, py}, {px - 0.02f, py + 0.2f}}, false);
      break;
    }
    case Glyph::ShutDown:
      surface.arc(x, y + 0.04f * s, 0.36f * as, -0.942478f, 4.08407f, c, width);
      L(0, -0.46f, 0, -0.04f);
      break;
    case Glyph::ForceOff:
      surface.circle(x, y, 0.38f * as, c, width);
      L(-0.17f, -0.17f, 0.17f, 0.17f);
      L(0.17f, -0.17f, -0.17f, 0.17f);
      break;
    case Glyph::Full:
      for (float i : {-1.0f, 1.0f})
        for (float j : {-1.0f, 1.0f}) poly({{0.4f * i, 0.18f * j}, {0.4f * i, 0.4f * j}, {0.18f * i, 0.4f * j}}, false);
      break;
    case Glyph::Capture:
      rr(-0.44f, -0.26f, 0.44f, 0.32f, 0.06f);
      surface.circle(x, y + 0.03f * s, 0.15f * as, c, width);
      poly({{-0.16f, -0.26f}, {-0.1f, -0.38f}, {0.1f, -0.38f}, {0.16f, -0.26f}}, false);
      break;
    case Glyph::PopOut:
    case Glyph::Window:
      frame();
      L(-0.04f, 0.04f, 0.4f, -0.4f);
      poly({{0.14f, -0.4f}, {0.4f, -0.4f}, {0.4f, -0.14f}}, false);
      break;
    case Glyph::Dock:
      frame();
      L(0.4f, -0.4f, -0.02f, 0.02f);
      poly({{-0.02f, -0.22f}, {-0.02f, 0.02f}, {0.22f, 0.02f}}, false);
      break;
    case Glyph::Eject:
      poly({{-0.36f, 0.06f}, {0, -0.36f}, {0.36f, 0.06f}}, true);
      L(-0.36f, 0.3f, 0.36f, 0.3f);
      break;
    case Glyph::Config:
      surface.circle(x, y, 0.2f * as, c, width);
      for (int k = 0; k < 8; ++k) {
        float a = k * 3.14159265f / 4, ca = std::cos(a), sa = std::sin(a);
        L(0.3f * ca, 0.3f * sa, 0.42f * ca, 0.42f * sa);
      }
      surface.circle(x, y, 0.31f * as, c, 0.8f * width);
      break;
    case Glyph::Plus: L(-0.34f, 0, 0.34f, 0); L(0, -0.34f, 0, 0.34f); break;
    case Glyph::NewDisk:
      rr(-0.44f, -0.28f, 0.44f, 0.3f, 0.08f);
      L(-0.44f, 0.08f, 0.44f, 0.08f);
      surface.disc(x + 0.3f * s, y + 0.19f * s, std::max(0.04f * as, 1.0f), c);
      L(-0.1f, -0.1f, 0.1f, -0.1f);
      L(0, -0.2f, 0, 0);
      break;
    case Glyph::ImportDisk:
      rr(-0.44f, -0.02f, 0.44f, 0.4f, 0.08f);
      L(-0.44f, 0.24f, 0.44f, 0.24f);
      L(0, -0.48f, 0, 0.1f);
      poly({{-0.14f, -0.04f}, {0, 0.1f}, {0.14f, -0.04f}}, false);
      break;
    case Glyph::Home:
      poly({{-0.4f, -0.02f}, {0, -0.4f}, {0.4f, -0.02f}}, false);
      poly({{-0.3f, -0.1f}, {-0.3f, 0.38f}, {0.3f, 0.38f}, {0.3f, -0.1f}}, false);
      break;
    case Glyph::Collapse:
      for (float T : {-0.14f, 0.16f}) poly({{T + 0.12f, -0.26f}, {T - 0.12f, 0}, {T + 0.12f, 0.26f}}, false);
      break;
    default: return;
  }
}

// ---- toasts and modal questions --------------------------------------------------------------

void App::note(const std::string& text, D3DCOLORVALUE colour) {
  if (&text != &toast.text) toast.text = text;
  toast.colour = colour;
  toast.time = now;
  dirty = true;
}

void App::ask(const std::string& title, const std::string& body, std::vector<std::string> choices,
              std::function<void(int)> on_answer, D3DCOLORVALUE colour) {
  modal = Modal{true, title, body, std::move(choices), std::move(on_answer), colour};
  dirty = true;
}

void App::draw_banner(const D2D_RECT_F& r) {
  BannerBox b = banner_box(r, toast.text, now - toast.time);
  if (b.alpha <= 0) return;
  float a = b.alpha;
  easing = true;
  const D2D_RECT_F& P = b.box;
  float w = P.right - P.left;
  surface.fill(P, D3DCOLORVALUE{0.008f, 0.02f, 0.036f, 0.97f * a});
  surface.rect(P, alpha(toast.colour, 0.8f * a * toast.colour.a), 1.2f);
  surface.line(P.left + 2, P.top + 4, P.left + 2, P.bottom - 4, alpha(toast.colour, a * toast.colour.a), 3);
  size_t start = 0;
  for (int k = 0; k < b.lines; ++k) {
    size_t end = toast.text.find('\n', start);
    std::string line = toast.text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? toast.text.size() : end + 1;
    D3DCOLORVALUE c = k == 0 ? alpha(toast.colour, a * toast.colour.a) : alpha(pal.ice, a);
    text_fast(surface, surface.fit(line, w - 60, 8.5f, kTrack), P.left + 20, P.top + 14 + 15.0f * k, 8.5f, c,
              AlignLeft, kTrack, 0);
  }
  if (clicked(id("banner", 0), P, IDC_HAND)) toast.time = -100;
}

void App::draw_modal() {
  if (!modal.open) return;
  float W = width_dips(), H = height_dips();
  surface.fill(D2D_RECT_F{0, 0, W, H}, D3DCOLORVALUE{0, 0, 0, 0.72f});
  float w = std::min(W - 80, 560.0f);
  float body_h = 0;
  wrap_lines(modal.body, w - 48, 9, 1.8f, [&](const std::string& s) { return surface.text_width(s, 9, kTrack); },
             body_h);
  float h = 24 + 16 + 20 + body_h + 24 + 34 + 24;
  float x0 = (W - w) / 2, y0 = std::max(20.0f, (H - h) / 2);
  D2D_RECT_F P{x0, y0, x0 + w, y0 + h};
  panel(P, modal.colour, 0.98f);
  text_fast(surface, modal.title, x0 + 24, y0 + 24, 16, modal.colour, AlignLeft, kTrack, 0);
  wrap(modal.body, x0 + 24, y0 + 60, w - 48, 9, pal.ice, 1.8f);
  bool danger = modal.colour.r > 0.9f && modal.colour.g < 0.5f;
  float bx = P.right - 24;
  float by = P.bottom - 24 - 34;
  for (size_t i = 0; i < modal.choices.size(); ++i) {
    const std::string& label = modal.choices[i];
    float bw = std::max(110.0f, surface.text_width(label, 10, kTrack) + 40);
    D2D_RECT_F br{bx - bw, by, bx, by + 34};
    bx -= bw + 14;
    Btn style = i == 0 ? (danger ? Btn::Danger : Btn::Primary) : Btn::Secondary;
    if (button(id("modal", int(i)), br, label, style, true, 10)) {
      auto answer = modal.on_answer;
      modal.open = false;
      if (answer) answer(int(i));
      dirty = true;
      return;
    }
  }
}

void App::draw_pointer() {
  float k = mouse_down ? 0.7f : 1.0f;
  D3DCOLORVALUE w{0.94f, 0.98f, 1.0f, 1.0f};
  float x = mouse.x, y = mouse.y;
  surface.circle(x, y, 9 * k, w, 1.5f);
  surface.line(x - 15 * k, y, x - 5 * k, y, w, 1.5f);
  surface.line(x + 5 * k, y, x + 15 * k, y, w, 1.5f);
  surface.line(x, y - 15 * k, x, y - 5 * k, w, 1.5f);
  surface.line(x, y + 5 * k, x, y + 15 * k, w, 1.5f);
  surface.disc(x, y, 1.6f, pal.pink);
}

// ---- form helpers -------------------------------------------------------------------------------

const std::vector<int> kMemSteps = {32, 64, 128, 256, 384, 512, 768, 1024, 1536, 2048, 3072, 4096, 6144, 8192,
                                    12288, 16384, 24576, 32768};
const std::vector<int> kDiskSteps = {1, 2, 4, 8, 12, 16, 24, 32, 40, 48, 64, 80, 100, 128, 160, 200, 256, 320,
                                     400, 512, 768, 1024, 2048};

std::vector<int> mem_steps(const Profile& p) {
  std::vector<int> out;
  for (int m : kMemSteps)
    if (m <= p.max_mem_mb) out.push_back(m);
  return out;
}

std::vector<int> cpu_steps(const Profile& p) {
  std::vector<int> out;
  for (int i = 1; i <= p.max_cpus; ++i) out.push_back(i);
  return out;
}

std::vector<size_t> shown_profiles(const Profile* current) {
  std::vector<size_t> out;
  const auto& all = profiles();
  for (size_t i = 0; i < all.size(); ++i)
    if (profile_shown(all[i]) || &all[i] == current) out.push_back(i);
  return out;
}

bool target_ok(const Profile& p) { return file_exists(qemu_exe(p.arch)); }

std::wstring tiger_installer() { return path_join(g_set.tiger_root, L"iso-intel\\tiger-10.4.11-intel.img"); }

std::string mem_fmt(int mb) {
  if (mb < 1024) return strf("%d MB", mb);
  if (mb % 1024 == 0) return strf("%d GB", mb / 1024);
  return strf("%.1f GB", mb / 1024.0);
}

std::string disk_fmt(int gb) { return gb < 1024 ? strf("%d GB", gb) : strf("%d TB", gb / 1024); }

std::wstring App::pick_file(bool folder, const wchar_t* title,
                            const std::vector<std::pair<std::wstring, std::wstring>>& filters) {
  std::wstring result;
  ComPtr<IFileOpenDialog> dlg;
  if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&dlg)))) return result;
  FILEOPENDIALOGOPTIONS opts = 0;
  dlg->GetOptions(&opts);
  dlg->SetOptions(opts | FOS_FORCEFILESYSTEM | (folder ? FOS_PICKFOLDERS : FOS_FILEMUSTEXIST));
  dlg->SetTitle(title);
  std::vector<COMDLG_FILTERSPEC> types;
  for (const auto& f : filters) types.push_back({f.first.c_str(), f.second.c_str()});
  if (!types.empty()) dlg->SetFileTypes(UINT(types.size()), types.data());
  if (SUCCEEDED(dlg->Show(hwnd))) {
    ComPtr<IShellItem> item;
    PWSTR name = nullptr;
    if (SUCCEEDED(dlg->GetResult(&item)) && SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &name)) && name) {
      result = name;
      CoTaskMemFree(name);
    }
  }
  mouse_down = false;
  active = 0;
  dirty = true;
  return result;
}

void App::form_scroll_end(const D2D_RECT_F& r, float content_height) {
  if (hovering(r) && wheel != 0) scroll -= wheel * 60;
  float total = content_height + 40, view_h = r.bottom - r.top;
  scroll = scroll_clamp(scroll, content_height, view_h);
  if (total > view_h && total - view_h - 1 > scroll)
    text_fast(surface, "SCROLL FOR MORE", r.right - 40, r.bottom - 22, 6.5f, alpha(pal.cyan, 0.8f), AlignRight,
              kTrack, 0);
}

// The title bar, the sidebar, the home view and the settings view, and the
// plain panel that stands for views still to come.
//
// Drawing follows one pattern: what does not move (map outlines, sites,
// panel frames, static text, buttons at rest) goes into cached layers keyed
// by what they show; only moving and hovered parts are drawn every frame.
#include "app/app.h"

#include <algorithm>
#include <cmath>

#include "gfx/icons.h"
#include "gfx/layer.h"
#include "machines/profile.h"
#include "machines/settings.h"

#include "media/media.h"

static constexpr float kTrack = 0.16f;
static constexpr float kPi = 3.14159265f;

// A button that is not hovered, held or easing looks the same every frame:
// it is drawn into its view's layer and only its input is handled per frame.
static bool at_rest(App& a, u32 wid, const D2D_RECT_F& r) {
  auto it = a.anims.find(wid);
  return !a.hovering(r) && a.active != wid && (it == a.anims.end() || it->second == 0);
}

namespace {
struct ButtonItem {
  u32 id;
  D2D_RECT_F r;
  std::string text;
  App::Btn style;
  bool enabled;
  float size;
  bool rest = false;
};

// Draws buttons at rest inside a layer paint (input disabled by drawing in a
// layer no widget reacts to), and the others live.
struct ButtonRow {
  std::vector<ButtonItem> items;
  u64 key(App& a, u64 h) {
    for (ButtonItem& b : items) {
      b.rest = at_rest(a, b.id, b.r);
      h = hash_val(b.rest, hash64(b.text, hash_val(b.r, hash_val(b.enabled, h))));
    }
    return h;
  }
  void paint_rest(App& a) {
    int saved = a.layer;
    a.layer = -1;
    for (const ButtonItem& b : items)
      if (b.rest) a.button(b.id, b.r, b.text, b.style, b.enabled, b.size);
    a.layer = saved;
  }
  // Input for every button, drawing for the ones not at rest; returns the
  // index clicked, or -1.
  int live(App& a) {
    int hit = -1;
    for (size_t i = 0; i < items.size(); ++i) {
      const ButtonItem& b = items[i];
      if (!b.rest) {
        if (a.button(b.id, b.r, b.text, b.style, b.enabled, b.size)) hit = int(i);
      } else if (b.enabled && a.clicked(b.id, b.r, IDC_HAND)) {
        hit = int(i);
      }
    }
    return hit;
  }
};
}  // namespace

// ---- title bar -------------------------------------------------------------------------

void App::draw_titlebar() {
  float W = width_dips();
  D2D_RECT_F bar{0, 0, W, 44};
  const float bw = 46;
  D2D_RECT_F close_r{W - bw, 0, W, 44}, max_r{W - 2 * bw, 0, W - bw, 44}, min_r{W - 3 * bw, 0, W - 2 * bw, 44};
  title_buttons.push_back(min_r);
  title_buttons.push_back(close_r);
  max_rect = max_r;
  bool zoomed = hwnd && IsZoomed(hwnd);
  struct Ctl {
    u32 wid;
    D2D_RECT_F r;
    int kind;  // 0 minimise, 1 maximise, 2 close
  } ctls[3] = {{id("title", 0), min_r, 0}, {id("title", 1), max_r, 1}, {id("title", 2), close_r, 2}};
  u64 key = hash_val(zoomed, hash_val(bar, 0));
  bool rest[3];
  for (int i = 0; i < 3; ++i) {
    rest[i] = at_rest(*this, ctls[i].wid, ctls[i].r);
    key = hash_val(rest[i], key);
  }
  auto draw_ctl = [&](const Ctl& c, float h) {
    D3DCOLORVALUE base = c.kind == 2 ? pal.red : pal.cyan;
    if (h > 0) surface.fill(c.r, alpha(base, 0.18f * h));
    float cx = (c.r.left + c.r.right) / 2, cy = 22;
    D3DCOLORVALUE ink = alpha(pal.ice, 0.6f + 0.4f * h);
    if (c.kind == 0) {
      surface.line(cx - 6, cy, cx + 6, cy, ink, 1.2f);
    } else if (c.kind == 1) {
      if (zoomed) {
        surface.rect(D2D_RECT_F{cx - 6, cy - 3, cx + 3, cy + 6}, ink, 1.2f);
        D2D_POINT_2F back[3] = {{cx - 3, cy - 6}, {cx + 6, cy - 6}, {cx + 6, cy + 3}};
        surface.poly(back, 3, ink, 1.2f, false);
      } else {
        surface.rect(D2D_RECT_F{cx - 6, cy - 6, cx + 6, cy + 6}, ink, 1.2f);
      }
    } else {
      D2D_POINT_2F x1[2] = {{cx - 6, cy - 6}, {cx + 6, cy + 6}}, x2[2] = {{cx + 6, cy - 6}, {cx - 6, cy + 6}};
      surface.poly(x1, 2, ink, 1.2f, false);
      surface.poly(x2, 2, ink, 1.2f, false);
    }
  };
  layers.draw(surface, id("titlebar", 0), bar, key, [&] {
    surface.fill(bar, D3DCOLORVALUE{0.004f, 0.016f, 0.03f, 0.96f});
    surface.line(0, 43.5f, W, 43.5f, alpha(pal.cyan, 0.22f), 1.0f);
    label(52, 15, "V.U.N.K.", pal.cyan, 14);
    text_fast(surface, "VIRTUAL UNIT NETWORK KONSOLE", 160, 18, 8, alpha(pal.dim, 1), AlignLeft, kTrack, 0);
    for (int i = 0; i < 3; ++i)
      if (rest[i]) draw_ctl(ctls[i], 0);
  }, 0);
  CanvasSink sink(&surface);
  draw_app_mark(sink, 26, 22, 30, float(1.4 * now));
  for (int i = 0; i < 3; ++i) {
    bool hit = clicked(ctls[i].wid, ctls[i].r, IDC_ARROW);
    float h = ease(ctls[i].wid, hovering(ctls[i].r), 0.07f);
    if (!rest[i]) draw_ctl(ctls[i], h);
    if (!hit) continue;
    // Window operations run after the frame: they resize or destroy the window
    // the frame is drawing into.
    if (ctls[i].kind == 0) PostMessageW(hwnd, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    else if (ctls[i].kind == 1) PostMessageW(hwnd, WM_SYSCOMMAND, zoomed ? SC_RESTORE : SC_MAXIMIZE, 0);
    else PostMessageW(hwnd, WM_CLOSE, 0, 0);
  }
}

// ---- sidebar ----------------------------------------------------------------------------

void App::draw_sidebar() {
  float H = height_dips(), w = side_w();
  float t = std::clamp(sidebar_anim, 0.0f, 1.0f);
  float smooth = t * t * (3 - 2 * t);
  float k = std::clamp((smooth - 0.6f) / 0.4f, 0.0f, 1.0f);  // opacity of the texts
  D2D_RECT_F side{0, 44, w, H};

  // Rows: one per machine that has not exited.
  std::vector<Vm*> rows;
  for (auto& vm : g_fleet.vms)
    if (vm->phase != 2) rows.push_back(vm.get());

  u32 toggle_id = id("sidetoggle", 0);
  D2D_RECT_F toggle{w - 54, 52, w - 18, 88};
  D2D_RECT_F new_r{10, H - 108, w - 10, H - 68}, conf_r{10, H - 58, w - 10, H - 18};
  u64 key = hash_val(w, hash_val(H, hash_val(k, 0)));
  key = hash_val(at_rest(*this, toggle_id, toggle), key);
  u32 new_id = id("sidenew", 0), conf_id = id("sideconf", 0);
  bool new_rest = at_rest(*this, new_id, new_r), conf_rest = at_rest(*this, conf_id, conf_r);
  key = hash_val(new_rest, hash_val(conf_rest, hash_val(view, key)));
  for (Vm* vm : rows) {
    key = hash64(vm->name, hash64(state_text(*vm), hash_val(vm->uid, key)));
    key = hash_val(vm->uid == selected_uid, key);
  }
  auto draw_action = [&](const D2D_RECT_F& r, Glyph g, const char* text, float h, bool current) {
    D3DCOLORVALUE c = current ? pal.pink : pal.cyan;
    if (h > 0 || current) surface.fill(r, alpha(c, 0.06f + 0.12f * h));
    surface.rect(r, alpha(c, 0.25f + 0.45f * h), 1.0f);
    float gx = w > 100 ? r.left + 24 : (r.left + r.right) / 2;
    draw_glyph(g, gx, (r.top + r.bottom) / 2, 20, alpha(c, 0.8f + 0.2f * h), 1.4f);
    if (k > 0) text_fast(surface, text, r.left + 48, (r.top + r.bottom) / 2 - 5, 10, alpha(pal.ice, k), AlignLeft,
                         kTrack, 0);
  };
  auto draw_toggle = [&](float h) {
    draw_glyph(Glyph::Collapse, (toggle.left + toggle.right) / 2, (toggle.top + toggle.bottom) / 2,
               sidebar_open ? 18.0f : -18.0f, alpha(pal.cyan, 0.6f + 0.4f * h), 1.4f);
  };
  layers.draw(surface, id("sidebar", 0), side, key, [&] {
    surface.fill(side, D3DCOLORVALUE{0.004f, 0.014f, 0.026f, 0.94f});
    surface.line(w - 0.5f, 44, w - 0.5f, H, alpha(pal.cyan, 0.22f), 1.0f);
    if (k > 0) label(20, 64, "SYSTEMS", alpha(pal.dim, k), 9);
    if (at_rest(*this, toggle_id, toggle)) draw_toggle(0);
    float y = 104;
    for (Vm* vm : rows) {
      D3DCOLORVALUE c = vm->phase == 0 ? pal.cyan : state_color(*vm);
      bool sel = vm->uid == selected_uid;
      if (sel) surface.fill(D2D_RECT_F{6, y, w - 6, y + 44}, alpha(pal.pink, 0.08f));
      surface.disc(36, y + 22, 5, c);
      if (k > 0) {
        label(60, y + 10, surface.fit(upper(vm->name), w - 80, 10, kTrack), alpha(sel ? pal.pink : pal.ice, k), 10);
        label(60, y + 26, state_text(*vm), alpha(c, k), 7.5f);
      }
      y += 50;
    }
    if (new_rest) draw_action(new_r, Glyph::Plus, "NEW SYSTEM", 0, view == Wizard);
    if (conf_rest) draw_action(conf_r, Glyph::Config, "CONFIGURATION", 0, view == SettingsView);
  }, 0);

  // Live parts: hovered controls, input, tooltip.
  float th = ease(toggle_id, hovering(toggle), 0.07f);
  if (clicked(toggle_id, toggle, IDC_HAND)) sidebar_open = !sidebar_open, dirty = true;
  if (!at_rest(*this, toggle_id, toggle)) draw_toggle(th);
  float nh = ease(new_id, hovering(new_r), 0.07f), ch = ease(conf_id, hovering(conf_r), 0.07f);
  if (!new_rest) draw_action(new_r, Glyph::Plus, "NEW SYSTEM", nh, view == Wizard);
  if (!conf_rest) draw_action(conf_r, Glyph::Config, "CONFIGURATION", ch, view == SettingsView);
  if (clicked(new_id, new_r, IDC_HAND)) go(Wizard);
  if (clicked(conf_id, conf_r, IDC_HAND)) go(SettingsView);
  float y = 104;
  for (Vm* vm : rows) {
    D2D_RECT_F row{6, y, w - 6, y + 44};
    u32 rid = id("siderow", vm->uid);
    if (hovering(row)) {
      tip_wanted = true;
      tip_text = upper(vm->name) + "  //  " + (vm->profile ? vm->profile->family : "UNKNOWN PROFILE") + "  //  " +
                 state_text(*vm);
      tip_colour = vm->phase == 0 ? pal.cyan : state_color(*vm);
      float s = surface.dpi / 96;
      POINT p{LONG((w + 8) * s), LONG((y + 22) * s)};
      ClientToScreen(hwnd, &p);
      tip_point = p;
      surface.rect(row, alpha(pal.cyan, 0.5f), 1.0f);
    }
    if (clicked(rid, row, IDC_HAND)) select(vm->uid);
    y += 50;
  }
  if (!g_media.jobs.empty()) draw_sidebar_transfers(H - 154, w, k);
}

// ---- home view -----------------------------------------------------------------------------

// The machine itself runs. Another machine that only writes the same disk
// leaves its LAUNCH on: launching asks the DISK IN USE question (a second
// system on the disk runs in scratch mode).
static bool runs(const Machine& m) {
  for (auto& vm : g_fleet.vms)
    if (vm->phase != 2 && vm->machine == &m) return true;
  return false;
}

void App::draw_home(const D2D_RECT_F& r) {
  float W = r.right - r.left, H = r.bottom - r.top;
  float enter = std::clamp(float((now - view_since) / 0.35), 0.0f, 1.0f);
  if (enter < 1) easing = true;
  D2D_RECT_F map_panel{r.left + 24, r.top + 24, r.right - 24, r.top + 24 + std::max(240.0f, H * 0.58f)};
  D2D_RECT_F map_rect{map_panel.left + 16, map_panel.top + 40, map_panel.right - 16, map_panel.bottom - 16};
  map.layout(map_rect);

  // Machines that run, with their sites.
  std::vector<std::pair<const Site*, Vm*>> tracks;
  for (auto& vm : g_fleet.vms) {
    if (vm->phase == 2 || !vm->profile) continue;
    if (const Site* s = find_site(vm->profile->site)) tracks.push_back({s, vm.get()});
  }
  int dc = defcon();

  // Static map layer: outlines, sites with labels, the fixed parts of the
  // NORAD marker, frame and headings.
  u64 key = hash_val(map_rect, hash_val(dc, hash_val(W, 0)));
  for (auto& [s, vm] : tracks) key = hash64(s->id, key);
  layers.draw(surface, id("homemap", 0), map_panel, key, [&] {
    panel(map_panel, pal.cyan, 0.55f);
    label(map_panel.left + 18, map_panel.top + 16, "GLOBAL THEATRE  //  STANDBY", pal.cyan, 11);
    map.draw(surface, 1);
    for (const Site& s : sites()) {
      if (std::string(s.id) == "norad") continue;
      bool live = false;
      for (auto& [ts, vm] : tracks) live = live || ts == &s;
      map.draw_site(surface, s, live ? pal.pink : alpha(pal.cyan, 0.75f), 1, true);
    }
    const Site* norad = find_site("norad");
    if (norad) {
      D2D_POINT_2F p = map.project(norad->lat, norad->lon);
      for (float rr : {22.0f, 44.0f, 66.0f}) surface.circle(p.x, p.y, rr, alpha(pal.cyan, 0.16f), 0.8f);
      D2D_POINT_2F star[10];
      for (int i = 0; i < 10; i++) {
        float a = i * kPi / 5 - kPi / 2, rad = i % 2 ? 2.8f : 7.0f;
        star[i] = {p.x + rad * std::cos(a), p.y + rad * std::sin(a)};
      }
      surface.poly(star, 10, D3DCOLORVALUE{0.94f, 0.98f, 1, 1}, 1.2f, true);
      label(p.x + 11, p.y + 6, "NORAD", D3DCOLORVALUE{0.94f, 0.98f, 1, 1}, 10);
    }
    // DEFCON readout: the level and five cells, the live ones lit.
    D3DCOLORVALUE dcol = dc >= 5 ? pal.cyan : dc >= 4 ? pal.green : dc >= 3 ? pal.amber : dc == 2 ? pal.orange : pal.red;
    float x1 = map_panel.right - 20;
    text_fast(surface, strf("DEFCON %d", dc), x1, map_panel.top + 14, 16, dcol, AlignRight, kTrack, 0);
    for (int i = 0; i < 5; ++i) {
      D2D_RECT_F cell{x1 - 150 + i * 30.0f, map_panel.top + 40, x1 - 126 + i * 30.0f, map_panel.top + 48};
      bool lit = 5 - i >= dc;
      if (lit) surface.fill(cell, alpha(dcol, 0.85f));
      else surface.rect(cell, alpha(dcol, 0.4f), 1.0f);
    }
  });

  // Moving parts: the radar sweep in a few alpha bands, and the tracks.
  if (const Site* norad = find_site("norad")) {
    D2D_POINT_2F p = map.project(norad->lat, norad->lon);
    float t = float(now);
    const int bands = 4;
    for (int b = 0; b < bands; ++b) {
      ComPtr<ID2D1PathGeometry> geo;
      ComPtr<ID2D1GeometrySink> sink;
      if (FAILED(g_gfx.d2d_factory->CreatePathGeometry(&geo)) || FAILED(geo->Open(&sink))) break;
      float band_alpha = 0;
      int n = 0;
      D2D_RECT_F sweep{p.x, p.y, p.x, p.y};  // the band's lines: what a frame draws again for it
      for (int i = b; i < 14; i += bands) {
        float a = 1.1f * t - 0.045f * i;
        D2D_POINT_2F end{p.x + 66 * std::cos(a), p.y + 66 * std::sin(a)};
        sink->BeginFigure(p, D2D1_FIGURE_BEGIN_HOLLOW);
        sink->AddLine(end);
        sink->EndFigure(D2D1_FIGURE_END_OPEN);
        sweep = points_bounds(&end, 1, sweep);
        band_alpha += (1 - i / 14.0f) * 0.42f;
        ++n;
      }
      sink->Close();
      surface.geometry(geo.Get(), alpha(pal.cyan, band_alpha / std::max(n, 1)), 1.0f, &sweep);
    }
    easing = true;  // the sweep turns
  }
  for (auto& [s, vm] : tracks) {
    map.draw_track(surface, *s, float(now - vm->started), pal.pink, 1, upper(vm->name), false);
  }

  // Lower half: the two choice cards and the known systems.
  float top = map_panel.bottom + 24;
  float cw = std::min(420.0f, (W - 72) * 0.4f);
  D2D_RECT_F cards[2] = {{r.left + 24, top, r.left + 24 + cw, top + 96},
                         {r.left + 24, top + 112, r.left + 24 + cw, top + 208}};
  const char* card_title[2] = {"INSTALL NEW SYSTEM", "IMPORT EXISTING DISK"};
  const char* card_text[2] = {"A NEW MACHINE AND ITS INSTALL MEDIA", "ADOPT A DISK IMAGE YOU ALREADY HAVE"};
  Glyph card_glyph[2] = {Glyph::NewDisk, Glyph::ImportDisk};
  D2D_RECT_F list{r.left + 48 + cw, top, r.right - 24, r.bottom - 24};

  // Rows of the library, scrolled inside the list.
  std::vector<Machine*> machines;
  for (auto& m : g_lib) machines.push_back(m.get());
  D2D_RECT_F rows_area{list.left + 1, list.top + 44, list.right - 1, list.bottom - 1};
  ButtonRow row_buttons;
  std::vector<size_t> row_of;  // machine index of each visible row
  float row_h = 48;
  for (size_t i = 0; i < machines.size(); ++i) {
    float y = rows_area.top + i * row_h - scroll;
    if (y + row_h < rows_area.top || y > rows_area.bottom) continue;
    Machine* m = machines[i];
    bool running = runs(*m);
    row_of.push_back(i);
    row_buttons.items.push_back({id("launch", int(i)), {list.right - 196, y + 8, list.right - 106, y + 38},
                                 running ? "RUNNING" : "LAUNCH", Btn::Primary, !running, 9});
    row_buttons.items.push_back({id("edit", int(i)), {list.right - 96, y + 8, list.right - 16, y + 38}, "EDIT",
                                 Btn::Secondary, true, 9});
  }
  u32 opt_ids[2] = {id("opt", 0), id("opt", 1)};
  bool card_rest[2] = {at_rest(*this, opt_ids[0], cards[0]), at_rest(*this, opt_ids[1], cards[1])};
  u64 lkey = hash_val(list, hash_val(scroll, hash_val(card_rest, hash_val(cards, 1))));
  for (Machine* m : machines) lkey = hash64(m->name, hash64(m->profile, lkey));
  // Hover rules depend on clips: the rows' buttons react only inside the list.
  push_clip(rows_area);
  lkey = row_buttons.key(*this, lkey);
  pop_clip();
  D2D_RECT_F lower{r.left, top - 4, r.right, r.bottom};
  auto draw_card = [&](int i, float h) {
    const D2D_RECT_F& c = cards[i];
    panel(c, i == 0 ? pal.pink : pal.cyan, 0.6f + 0.3f * h);
    if (h > 0) surface.fill(c, alpha(i == 0 ? pal.pink : pal.cyan, 0.08f * h));
    draw_glyph(card_glyph[i], c.left + 48, (c.top + c.bottom) / 2, 44, i == 0 ? pal.pink : pal.cyan, 1.6f);
    label(c.left + 92, c.top + 30, card_title[i], i == 0 ? pal.pink : pal.cyan, 13);
    label(c.left + 92, c.top + 56, card_text[i], alpha(pal.ice, 0.7f), 7.5f);
  };
  layers.draw(surface, id("homelist", 0), lower, lkey, [&] {
    for (int i = 0; i < 2; ++i)
      if (card_rest[i]) draw_card(i, 0);
    panel(list, pal.cyan, 0.55f);
    label(list.left + 18, list.top + 16, "KNOWN SYSTEMS", pal.cyan, 11);
    text_fast(surface, strf("%zu ON FILE", machines.size()), list.right - 18, list.top + 18, 8, alpha(pal.dim, 1),
              AlignRight, kTrack, 0);
    push_clip(rows_area);
    if (machines.empty())
      label(list.left + 18, rows_area.top + 16, "NO SYSTEMS ON FILE. INSTALL OR IMPORT ONE.", alpha(pal.ice, 0.6f), 9);
    for (size_t i = 0; i < machines.size(); ++i) {
      float y = rows_area.top + i * row_h - scroll;
      if (y + row_h < rows_area.top || y > rows_area.bottom) continue;
      Machine* m = machines[i];
      const Profile* p = find_profile(m->profile);
      surface.line(list.left + 12, y + row_h - 0.5f, list.right - 12, y + row_h - 0.5f, alpha(pal.cyan, 0.1f), 1);
      label(list.left + 18, y + 10, surface.fit(upper(m->name), list.right - list.left - 260, 11, kTrack), pal.ice,
            11);
      label(list.left + 18, y + 28, p ? strf("%s  //  %s", p->family, p->machine) : upper(m->profile),
            alpha(pal.dim, 1), 7);
    }
    row_buttons.paint_rest(*this);
    pop_clip();
  });

  for (int i = 0; i < 2; ++i) {
    bool hit = clicked(opt_ids[i], cards[i], IDC_HAND);
    float h = ease(opt_ids[i], hovering(cards[i]), 0.07f);
    if (!card_rest[i]) draw_card(i, h);
    if (hit) {
      if (i == 0) go(Wizard);
      else pick_import();
    }
  }
  push_clip(rows_area);
  int hit = row_buttons.live(*this);
  form_scroll_end(rows_area, machines.size() * row_h - 40);
  pop_clip();
  if (hit >= 0) {
    // Buttons come in pairs per visible row: LAUNCH, then EDIT.
    Machine* m = machines[row_of[size_t(hit) / 2]];
    if (hit % 2 == 0) launch_machine(*m, -1, L"");
    else open_edit(m);
  }
}

// ---- settings view ----------------------------------------------------------------------------

namespace {
struct PathSetting {
  const char* label;
  std::wstring Settings::*field;
  const wchar_t* key;  // in the paths section of vunk.ini
  bool folder;
  const wchar_t* filter_name;
  const wchar_t* filter;
};
const PathSetting kPathSettings[] = {
    {"QEMU FOLDER", &Settings::qemu_dir, L"qemu_dir", true, nullptr, nullptr},
    {"MSYS2 RUNTIME FOLDER", &Settings::msys_bin, L"msys_bin", true, nullptr, nullptr},
    {"MACHINES FOLDER", &Settings::machines_dir, L"machines_dir", true, nullptr, nullptr},
    {"MAC OS X INTEL ROOT", &Settings::tiger_root, L"tiger_root", true, nullptr, nullptr},
    {"MAC OS X INTEL LAUNCH SCRIPT", &Settings::tiger_script, L"tiger_script", false, L"PowerShell script", L"*.ps1"},
    {"INSTALL MEDIA FOLDER", &Settings::media_dir, L"media_dir", true, nullptr, nullptr},
    {"QUADRA ROM", &Settings::mac_rom, L"mac_rom", false, L"ROM image", L"*.rom;*.bin;*"},
};
}  // namespace

void App::set_path_setting(int index, const std::wstring& value) {
  const PathSetting& ps = kPathSettings[index];
  std::wstring before = g_set.*(ps.field);
  g_set.*(ps.field) = value;
  if (ps.field == &Settings::qemu_dir) qemu_override = false;
  // A --qemu folder holds for this run only: saving the other settings must
  // not write it into vunk.ini.
  std::wstring run_qemu = g_set.qemu_dir;
  if (qemu_override) g_set.qemu_dir = ini_qemu_dir;
  g_set.save();
  // The system's INI writer fails without a word (a read-only file or
  // folder, a full disk): what the file holds now tells whether it was saved.
  // The choice still holds for this run.
  std::wstring stored = ini_get(g_set.ini, L"paths", ps.key, L"\x01");
  bool saved = stored == g_set.*(ps.field);
  g_set.qemu_dir = run_qemu;
  if (saved) {
    wlog("settings: %s = %s", ps.label, narrow(value).c_str());
  } else {
    wlog("settings: %s = %s, not saved: %s cannot be written", ps.label, narrow(value).c_str(),
         narrow(g_set.ini).c_str());
    note(std::string(ps.label) + ": NOT SAVED\nCAN'T WRITE " + upper(narrow(g_set.ini)), pal.red);
  }
  if (ps.field == &Settings::machines_dir && lower_w(before) != lower_w(value)) {
    // Running machines point into the library: relink them to the reloaded
    // records by id, so none keeps a pointer to a destroyed one.
    std::vector<std::pair<Vm*, std::string>> linked;
    for (auto& vm : g_fleet.vms)
      if (vm->machine) linked.push_back({vm.get(), vm->machine->id}), vm->machine = nullptr;
    edit_machine = nullptr;
    g_lib.load();
    for (auto& [vm, mid] : linked) vm->machine = g_lib.by_id(mid);
    layers.clear();
  }
  dirty = true;
}

void App::draw_settings(const D2D_RECT_F& r) {
  D2D_RECT_F p{r.left + 24, r.top + 24, std::min(r.right - 24, r.left + 1100), r.bottom - 24};
  const int n = int(std::size(kPathSettings));
  float row_h = 64, y0 = p.top + 70;
  ButtonRow browse;
  for (int i = 0; i < n; ++i) {
    float y = y0 + i * row_h;
    browse.items.push_back({id("browse", i), {p.right - 140, y + 12, p.right - 24, y + 44}, "BROWSE", Btn::Plain, true,
                            9});
  }
  u64 key = hash_val(p, 7);
  for (const PathSetting& ps : kPathSettings) key = hash64(narrow(g_set.*(ps.field)), key);
  key = browse.key(*this, hash_val(qemu_override, key));
  layers.draw(surface, id("settings", 0), p, key, [&] {
    panel(p, pal.cyan, 0.6f);
    label(p.left + 24, p.top + 22, "CONFIGURATION", pal.cyan, 16);
    text_fast(surface, "PATHS  //  VUNK.INI", p.right - 24, p.top + 26, 8, alpha(pal.dim, 1), AlignRight, kTrack, 0);
    for (int i = 0; i < n; ++i) {
      const PathSetting& ps = kPathSettings[i];
      float y = y0 + i * row_h;
      const std::wstring& v = g_set.*(ps.field);
      label(p.left + 24, y + 12, ps.label, alpha(pal.dim, 1), 8);
      std::string shown = v.empty() ? "NOT SET" : narrow(v);
      if (ps.field == &Settings::qemu_dir && qemu_override) shown += "   (--QEMU, THIS RUN ONLY)";
      bool exists = !v.empty() && (ps.folder ? dir_exists(v) : file_exists(v));
      D3DCOLORVALUE c = v.empty() ? alpha(pal.ice, 0.45f) : exists ? pal.ice : pal.amber;
      label(p.left + 24, y + 30, surface.fit(shown, p.right - p.left - 200, 10, kTrack), c, 10);
      surface.line(p.left + 20, y + row_h - 4.5f, p.right - 20, y + row_h - 4.5f, alpha(pal.cyan, 0.1f), 1);
    }
    wrap("CHANGES ARE SAVED AT ONCE. A NEW MACHINES FOLDER RELOADS THE LIBRARY; RUNNING SYSTEMS KEEP RUNNING.",
         p.left + 24, y0 + n * row_h + 16, p.right - p.left - 48, 8, alpha(pal.ice, 0.6f), 1.8f);
    browse.paint_rest(*this);
  });
  int hit = browse.live(*this);
  if (hit >= 0) {
    const PathSetting& ps = kPathSettings[hit];
    std::wstring title = L"Choose: " + widen(ps.label);
    std::vector<std::pair<std::wstring, std::wstring>> filters;
    if (ps.filter) filters.push_back({ps.filter_name, ps.filter});
    std::wstring chosen = pick_file(ps.folder, title.c_str(), filters);
    if (!chosen.empty()) set_path_setting(hit, chosen);
  }
}

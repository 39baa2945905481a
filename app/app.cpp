// Application state and navigation, keyboard commands, closing, worker
// results and the frame routine.
#include "app/app.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <set>

#include "core/json.h"
#include "gfx/layer.h"

#include "media/catalog.h"
#include "media/media.h"

App g_app;
const Palette pal;

static CrtOverlay g_crt;

// ---- results posted by worker threads ---------------------------------------------

static std::mutex g_posted_mutex;
static std::set<const void*> g_posted;

void posted_add(const void* p) {
  std::lock_guard<std::mutex> lock(g_posted_mutex);
  g_posted.insert(p);
}

bool posted_take(const void* p) {
  std::lock_guard<std::mutex> lock(g_posted_mutex);
  return p && g_posted.erase(p) == 1;
}

// ---- plain decisions -------------------------------------------------------------

float sidebar_width(float t) {
  t = std::clamp(t, 0.0f, 1.0f);
  return 72 + 216 * t * t * (3 - 2 * t);
}

// ---- state and navigation -----------------------------------------------------------

void App::init(HWND window) {
  hwnd = window;
  surface.create(hwnd);
  start = last = now_s();
  popup.create(hwnd);
  g_fleet.on_event = [this](Vm& vm, VmEvent kind, i64 arg) { on_vm_event(vm, kind, arg); };
  g_media.on_verified = [this](MediaJob& job) { media_verified(job); };
  g_media.on_failed = [this](MediaJob& job) { media_failed(job); };
  g_cat.ensure(hwnd);
}

void App::media_verified(MediaJob& job) {
  note(job.item.distro + " " + job.item.label + " VERIFIED: SHA-256 MATCHES THE OFFICIAL CHECKSUM.", pal.green);
  if (!job.launch_after.empty()) {
    Machine* m = g_lib.by_id(job.launch_after);
    if (m && !running_on(*m)) launch_machine(*m, -1, L"");
  }
  job.launch_after.clear();
}

void App::media_failed(MediaJob& job) {
  note(job.item.distro + " " + job.item.label + " DOWNLOAD FAILED\n" + upper(job.snap.error), pal.red);
}

float App::side_w() const { return vm_fullscreen ? 0 : sidebar_width(sidebar_anim); }

Vm* App::selected() {
  Vm* vm = selected_uid ? g_fleet.by_uid(selected_uid) : nullptr;
  return vm && vm->phase != 2 ? vm : nullptr;
}

void App::go(View v) {
  if (v != Running) {
    // A machine's full screen belongs to its view: leaving the view leaves it.
    if (vm_fullscreen) set_fullscreen(false);
    selected_uid = 0;
    if (v != view) view_since = now;
    view = v;
    focused = 0;
    if (v == Wizard) wizard_step = 0;
  } else {
    if (view != Running) view = Running, view_since = now;
    focused = 0;
  }
  scroll = 0;
  dirty = true;
}

void App::select(int uid) {
  selected_uid = uid;
  if (view != Running) view_since = now;
  view = Running;
  dirty = true;
  Vm* vm = g_fleet.by_uid(uid);
  if (vm && vm->phase != 2) g_fleet.focus_guest(*vm);
}

void App::to_home() {
  selected_uid = 0;
  if (view != Home) view_since = now;
  view = Home;
  focused = 0;
  scroll = 0;
  dirty = true;
}

void App::go_home() {
  set_fullscreen(false);
  if (view == Edit) edit_machine = nullptr;
  if (view == Storage) parked = nullptr;
  to_home();
}

void App::end_edit() {
  edit_machine = nullptr;
  if (edit_return_view == Running && g_fleet.by_uid(edit_return_uid)) {
    select(edit_return_uid);
    return;
  }
  to_home();
}

void App::leave_storage() {
  parked = nullptr;  // dropped unrun
  view = parked_view;
  view_since = now;  // the view returned to makes its entrance
  dirty = true;
}

int App::defcon() const { return 5 - std::min(g_fleet.active_count(), 4); }

bool App::animating() const { return !IsIconic(hwnd); }

float App::fps() const {
  if (easing || now - launch_fx_time < 2.0 || modal.open) return 60;
  switch (view) {
    case Home: return 60;
    case Wizard: case Import: case Transfers: return 30;
    case Running: return vm_fullscreen ? 4 : 15;
    default: return 15;
  }
}

void App::apply_cover() {
  bool enter = false;
  if (vm_fullscreen) {
    if (cover_applied) return;
    cover_applied = true;
    enter = true;
  } else {
    if (ui_cover == cover_applied) return;
    cover_applied = ui_cover;
    if (!ui_cover) {
      SetWindowLongW(hwnd, GWL_STYLE, saved_style);
      SetWindowPlacement(hwnd, &saved_placement);
      SetWindowPos(hwnd, nullptr, 0, 0, 0, 0,
                   SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED | SWP_NOOWNERZORDER);
      return;
    }
    enter = true;
  }
  if (!enter) return;
  saved_placement.length = sizeof saved_placement;
  GetWindowPlacement(hwnd, &saved_placement);
  saved_style = GetWindowLongW(hwnd, GWL_STYLE);
  MONITORINFO mi{};
  mi.cbSize = sizeof mi;
  GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST), &mi);
  SetWindowLongW(hwnd, GWL_STYLE, LONG((saved_style & ~WS_OVERLAPPEDWINDOW) | WS_POPUP));
  const RECT& m = mi.rcMonitor;
  SetWindowPos(hwnd, HWND_TOP, m.left, m.top, m.right - m.left, m.bottom - m.top,
               SWP_FRAMECHANGED | SWP_NOOWNERZORDER);
}

void App::set_fullscreen(bool on) {
  if (vm_fullscreen == on) return;
  vm_fullscreen = on;
  apply_cover();
  placements.clear();
  dirty = true;
  if (Vm* vm = selected()) g_fleet.focus_guest(*vm);
}

void App::set_ui_fullscreen(bool on) {
  if (ui_cover == on) return;
  ui_cover = on;
  apply_cover();
  placements.clear();
  dirty = true;
}

void App::fullscreen_key() {
  if (vm_fullscreen) {
    set_fullscreen(false);
    return;
  }
  ui_cover = !ui_cover;
  apply_cover();
  placements.clear();
  dirty = true;
}

void App::tick() {
  for (size_t i = 0; i < g_fleet.vms.size();) {
    Vm* vm = g_fleet.vms[i].get();
    if (vm->phase != 2) {
      ++i;
      continue;
    }
    if (vm->uid == selected_uid) {
      set_fullscreen(false);
      to_home();
    }
    g_fleet.remove(vm);
  }
  if (closing) {
    bool docked = false;
    for (auto& vm : g_fleet.vms) docked = docked || vm->docked;
    if (!docked || now_s() > close_deadline) DestroyWindow(hwnd);
  }
  dirty = true;
}

Vm* App::running_on(const Machine& m) {
  Vm* writer = m.disk.empty() ? nullptr : g_fleet.writer_of(m.disk);
  for (auto& vm : g_fleet.vms)
    if (vm->phase != 2 && (vm->machine == &m || vm.get() == writer)) return vm.get();
  return nullptr;
}

void App::focus_selected() {
  Vm* vm = selected();
  if (vm && vm->docked) g_fleet.focus_guest(*vm);
}

void App::close_answer(int index) {
  if (index != 0) return;
  for (size_t i = 0; i < g_fleet.vms.size(); ++i)
    if (g_fleet.vms[i]->docked) g_fleet.detach(*g_fleet.vms[i]);
  closing = true;
  close_deadline = now_s() + 2.0;
}

// ---- keyboard commands -----------------------------------------------------------------

bool App::on_key(unsigned vk, bool ctrl, bool shift) {
  dirty = true;
  auto home_plain = [this] {
    if (vm_fullscreen) set_fullscreen(false);
    to_home();
  };
  auto new_system = [this] {
    if (vm_fullscreen) set_fullscreen(false);
    selected_uid = 0;
    if (view != Wizard) view_since = now;
    view = Wizard;
    focused = 0;
    wizard_step = 0;
    scroll = 0;
  };
  if (vk == VK_ESCAPE) {
    if (modal.open) {
      auto answer = modal.on_answer;
      modal.open = false;
      if (answer) answer(int(modal.choices.size()) - 1);
      return true;
    }
    if (focused) return false;
    if (vm_fullscreen) {
      set_fullscreen(false);
      return true;
    }
    if (view == Wizard && wizard_step == 1) {
      wizard_step = 0;
      return true;
    }
    if (view == Wizard || view == Import || view == SettingsView || view == Transfers) {
      home_plain();
      return true;
    }
    if (view == Edit) {
      end_edit();
      return true;
    }
    if (view == Storage) {
      leave_storage();
      return true;
    }
    return false;
  }
  if (vk == VK_F11) {
    if (vm_fullscreen) set_fullscreen(false);
    else fullscreen_key();
    return true;
  }
  if (focused) return false;
  if (ctrl) {
    switch (vk) {
      case 'N': new_system(); return true;
      case 'O': pick_import(); return true;
      case 'B': sidebar_open = !sidebar_open; return true;
      case VK_HOME: go_home(); return true;
      case VK_UP: case VK_DOWN:
        if (!g_fleet.vms.empty()) on_vm_event(*g_fleet.vms[0], VmEvent::GuestKey, vk);
        return true;
      default: break;
    }
  }
  if (view != Home || modal.open) return false;
  if (vk == '1') {
    new_system();
    return true;
  }
  if (vk == '2') {
    pick_import();
    return true;
  }
  return false;
}

// ---- closing and worker results ------------------------------------------------------------

void App::on_close() {
  int docked = 0;
  for (auto& vm : g_fleet.vms) docked += vm->docked ? 1 : 0;
  if (docked == 0) {
    DestroyWindow(hwnd);
    return;
  }
  ask("SHUTDOWN V.U.N.K.?",
      strf("%d SYSTEM%s RUNNING INSIDE THIS WINDOW. THEY KEEP RUNNING: EACH ONE MOVES TO A WINDOW OF ITS OWN, AND "
           "THE NEXT V.U.N.K. CAN DOCK IT AGAIN.",
           docked, docked == 1 ? " IS" : "S ARE"),
      {"DETACH AND EXIT", "CANCEL"}, [this](int i) { close_answer(i); }, pal.pink);
}

void App::on_info(std::string* text) {
  std::unique_ptr<std::string> owned(text);
  import_reading = false;
  size_t i = 0;
  while (i < owned->size() && strchr(" \t\r\n", (*owned)[i])) ++i;
  JVal v;
  JParser parser;
  parser.text = std::string_view(*owned).substr(i);
  if (parser.value(v) && v.kind == 5) {
    const JVal& f = v["format"];
    import_format = f.kind == 3 ? f.s : "";
    const JVal& vs = v["virtual-size"];
    const JVal& as = v["actual-size"];
    auto bytes = [](const JVal& j) { return j.kind == 2 && j.n >= 0 && j.n < 1.8e19 ? u64(j.n) : u64(0); };
    import_vsize = bytes(vs);
    import_asize = bytes(as);
  }
  dirty = true;
}

void App::on_catalog(CatalogResult* result) {
  g_cat.accept(result);
  dirty = true;
}

// ---- the frame ----------------------------------------------------------------------------

float App::width_dips() const { return surface.width * 96.0f / surface.dpi; }
float App::height_dips() const { return surface.height * 96.0f / surface.dpi; }

D2D_RECT_F App::content_rect() const {
  float W = width_dips(), H = height_dips();
  if (vm_fullscreen) return D2D_RECT_F{0, 0, W, H};
  return D2D_RECT_F{side_w(), 44, W, H};
}

// What a settings frame shows, apart from time: the input, the view and its
// scroll and focus, the window's size, the machines in the sidebar and the
// settings' values.
u64 App::still_key() {
  u64 h = hash_val(mouse, hash_val(mouse_down, hash_val(view, 0)));
  h = hash_val(pressed || released || wheel != 0 || !keys.empty() || !typed.empty(), h);
  h = hash_val(scroll, hash_val(focused, hash_val(sidebar_open, hash_val(sidebar_anim, h))));
  RECT rc{};
  if (hwnd) GetClientRect(hwnd, &rc);
  h = hash_val(rc, hash_val(hwnd ? GetDpiForWindow(hwnd) : 0, hash_val(active, h)));
  h = hash_val(hwnd && IsZoomed(hwnd), hash_val(selected_uid, hash_val(toast.time, hash_val(modal.open, h))));
  for (auto& vm : g_fleet.vms) h = hash64(vm->name, hash64(vm->status, hash_val(vm->phase, hash_val(vm->uid, h))));
  h = hash_val(g_media.jobs.size(), hash_val(g_lib.size(), h));
  for (const std::wstring* p : {&g_set.qemu_dir, &g_set.msys_bin, &g_set.machines_dir, &g_set.tiger_root,
                                &g_set.tiger_script, &g_set.media_dir, &g_set.mac_rom})
    h = hash64(p->data(), p->size() * sizeof(wchar_t), h);
  return h;
}

void App::frame() {
  // A frame can run window operations (a resize, a dialog) that dispatch
  // WM_SIZE, which draws: the nested call only asks for another frame.
  if (in_frame) {
    dirty = true;
    return;
  }
  in_frame = true;
  double t = now_s();
  dt = std::min(t - last, 0.1);
  last = t;
  now = t - start + clock_offset;
  bool was_easing = easing;
  easing = false;
  field_claimed = false;
  clips.clear();

  bool moving = false;
  sidebar_anim = ease_step(sidebar_anim, sidebar_open, float(dt), 0.05f, moving);
  easing = easing || moving;

  g_media.tick();

  // An idle settings view shows the same picture frame after frame: the
  // frame is not drawn again (nothing moves there but the title-bar mark,
  // which then holds still), so the idle console costs next to nothing.
  u64 key = view == SettingsView ? still_key() : 0;
  bool still = key && key == still_drawn && !was_easing && !easing && banner_box(content_rect(), toast.text,
               now - toast.time).alpha <= 0 && now - launch_fx_time >= 2.0 && !show_pointer;
  still_drawn = key;
  if (still) {
    ++still_frames;
    easing = false;
    end_frame();
    return;
  }
  test_frame_begin();
  hot = 0;
  cursor = IDC_ARROW;
  title_buttons.clear();
  tip_wanted = false;

  surface.resize();
  // Without the glow the frame is recorded as a display list and only what
  // changed since the last frame is drawn again, with the CRT layer as one
  // baked overlay (the same picture, a fraction of the cost); with the glow
  // the surface composes the whole frame as ever.
  bool listed = surface.list_begin();
  bool baked = !surface.phosphor.glow;
  surface.crt = !baked;
  if (!listed) surface.begin();
  D2D_RECT_F content = content_rect();
  switch (view) {
    case Home: draw_home(content); break;
    case Wizard: draw_wizard(content); break;
    case Import: draw_import(content); break;
    case Running:
      if (selected()) draw_vm(content);
      else draw_home(content);
      break;
    case SettingsView: draw_settings(content); break;
    case Edit: draw_edit(content); break;
    case Storage: draw_storage(content); break;
    case Transfers: draw_transfers(content); break;
  }
  if (!vm_fullscreen) {
    draw_sidebar();
    draw_titlebar();
  }
  draw_launch_fx(content);
  draw_banner(content);
  layer = 1;
  draw_modal();
  layer = 0;
  if (show_pointer) draw_pointer();
  if (baked) g_crt.draw(surface);
  if (listed) surface.list_end();
  else surface.end();
  test_frame_end();
  end_frame();
}

void App::end_frame() {
  if (released) active = 0;
  if (pressed && !field_claimed) focused = 0;
  cursor_shown = cursor;
  pressed = released = false;
  wheel = 0;
  keys.clear();
  // A character beyond the Basic Multilingual Plane comes as two WM_CHAR
  // messages: a first half that arrived just before this frame waits for its
  // second half.
  if (!typed.empty() && typed.back() >= 0xD800 && typed.back() <= 0xDBFF) typed.erase(0, typed.size() - 1);
  else typed.clear();
  dirty = false;
  layout_children();
  if (tip_wanted) popup.show(tip_text, tip_colour, tip_point, surface.dpi);
  else popup.hide();
  in_frame = false;
}

// Launching a machine from the console and the running-machine view: the
// pre-launch questions, the state word and colour, the guest picture's
// place, the statistics trace, the tool buttons and the LAUNCH DETECTED
// effect.
//
// The view keeps to a few draw calls per frame: frames, headings and tools
// at rest live in one cached layer keyed by what they show; only the trace,
// the figures that change every second and hovered tools are drawn live.
#include "app/app.h"
#include "app/running.h"

#include <algorithm>
#include <cmath>

#include "gfx/layer.h"
#include "machines/profile.h"
#include "machines/settings.h"
#include "macdisk/rom.h"

static constexpr float kTrack = 0.16f;

// ---- plain decisions -------------------------------------------------------------

bool is_armed(u32 armed, double armed_at, u32 id, double now) {
  return armed == id && now - armed_at < kArmSeconds;
}

bool two_click(u32& armed, double& armed_at, u32 id, double now) {
  if (is_armed(armed, armed_at, id, now)) {
    armed = 0;
    return true;
  }
  armed = id;
  armed_at = now;
  return false;
}

D2D_RECT_F fit_picture(const D2D_RECT_F& area, int guest_w, int guest_h, float dpi) {
  double s = dpi / 96.0;
  double W = (area.right - area.left) * s, H = (area.bottom - area.top) * s;
  double gw = 1280, gh = 720;
  if (guest_w > 0 && guest_h > 0) gw = guest_w, gh = guest_h;
  double k = std::min(H / gh, W / gw), w, h;
  if (std::floor(k) >= 1) {
    w = gw * std::floor(k);
    h = gh * std::floor(k);
  } else {
    // An area narrower than the guest shrinks it; a vanished area gives nothing.
    k = std::max(k, 0.0);
    w = std::floor(gw * k);
    h = std::floor(gh * k);
  }
  double x = std::round((W - w) / 2 + area.left * s), y = std::round((H - h) / 2 + area.top * s);
  return D2D_RECT_F{float(x / s), float(y / s), float((x + w) / s), float((y + h) / s)};
}

std::vector<D2D_POINT_2F> trace_points(const D2D_RECT_F& r, const std::vector<float>& values, float max) {
  std::vector<D2D_POINT_2F> out;
  size_t fit = size_t(std::max(0.0f, (r.right - r.left) / 3.0f));
  size_t n = std::min(values.size(), fit);
  if (n < 2) return out;
  float height = r.bottom - r.top;
  for (size_t k = n; k-- > 0;) {
    float value = values[values.size() - 1 - k];
    // A maximum of 0 or less would divide by zero: such a trace lies flat.
    float v = max > 0 ? std::clamp(value / max, 0.0f, 1.0f) : 0.0f;
    if (!(v == v)) v = 0;  // NaN samples lie flat too
    out.push_back({r.right - 3.0f * float(k), (r.bottom - 1) - v * (height - 2)});
  }
  return out;
}

LaunchFx launch_fx_at(double age) {
  LaunchFx fx;
  // A start in the future (a clock set back) shows nothing either.
  if (age > 1.6 || age < 0) return fx;
  fx.visible = true;
  fx.a = float(std::min((1.6 - age) * 3.0, 1.0));
  fx.text = std::fmod(age, 0.24) < 0.14 ? fx.a : 0.35f * fx.a;
  return fx;
}

PreLaunch pre_launch_question(const PreLaunchFacts& f) {
  // Without its disk the launcher refuses anyway: no question first.
  if (!f.disk_present) return PreLaunch::None;
  if (f.m68k && !f.rom_found) return PreLaunch::Rom;
  if (f.main_tiger && !f.dir_given && f.other_build) return PreLaunch::TigerBuild;
  if (!f.scratch && f.writer) return PreLaunch::DiskInUse;
  return PreLaunch::None;
}

std::vector<VmTool> vm_tools(const VmToolFacts& f) {
  std::vector<VmTool> t = {
      {kActPause, f.paused ? 1 : 0, f.paused ? "RESUME" : "PAUSE", true},
      {kActReset, kActReset, "RESET", true, "CONFIRM RESET?"},
      {kActShutDown, kActShutDown, "SHUT DOWN", true},
      {kActForceOff, kActForceOff, "FORCE OFF", true, "CONFIRM FORCE OFF?"},
      {kActFull, kActFull, "FULL", true},
      {kActCapture, kActCapture, "CAPTURE", true},
  };
  if (f.docked) t.push_back({kActPopOut, kActPopOut, "POP OUT", f.own_window});
  else if (f.can_embed) t.push_back({kActDock, kActDock, "DOCK", f.own_window});
  else t.push_back({kActWindow, kActWindow, "WINDOW", f.own_window});
  t.push_back({kActEject, kActEject, "EJECT", true});
  t.push_back({kActConfig, kActConfig, "CONFIG", f.has_record});
  return t;
}

u32 vm_tool_id(int action, int uid) { return widget_id("vmtool", action * 100000 + uid); }

std::vector<std::string> vm_tool_labels(const VmTool& t) {
  std::vector<std::string> all = {t.label};
  if (!t.armed_label.empty()) all.push_back(t.armed_label);
  if (t.action == kActPause) all = {"PAUSE", "RESUME"};
  if (t.action == kActPopOut || t.action == kActDock || t.action == kActWindow) all = {"POP OUT", "DOCK", "WINDOW"};
  return all;
}

ToolRows tool_rows(const std::vector<float>& widths, const std::vector<float>& widest, float left, float right,
                   float last_top) {
  ToolRows out;
  std::vector<int> row_of(widths.size(), 0);
  float reserved = left;  // where the current row ends with every tool at its widest
  bool empty = true;
  for (size_t i = 0; i < widths.size(); ++i) {
    float w = std::max(widths[i], i < widest.size() ? widest[i] : 0.0f);
    if (!empty && reserved + 10 + w > right) {
      ++out.rows;
      empty = true;
    }
    reserved = (empty ? left : reserved + 10) + w;
    empty = false;
    row_of[i] = out.rows;
  }
  out.rows = widths.empty() ? 0 : out.rows + 1;
  float x = left;
  for (size_t i = 0; i < widths.size(); ++i) {
    if (i > 0 && row_of[i] != row_of[i - 1]) x = left;
    float top = last_top - 50.0f * float(out.rows - 1 - row_of[i]);
    out.rects.push_back(D2D_RECT_F{x, top, x + widths[i], top + 40});
    x += widths[i] + 10;
  }
  return out;
}

std::wstring tiger_qemu_dir() { return g_set.tiger_root.empty() ? L"" : path_join(g_set.tiger_root, L"qemu"); }

std::string state_text(const Vm& vm) {
  if (vm.phase == 0) return "ACQUIRING SIGNAL";
  if (vm.status == "paused") return "PAUSED";
  if (vm.status == "shutdown") return "SHUTTING DOWN";
  if (vm.status == "powering down") return "POWERING DOWN";
  return "RUNNING";
}

D3DCOLORVALUE state_color(const Vm& vm) {
  if (vm.status == "paused") return pal.amber;
  if (vm.status == "shutdown" || vm.status == "powering down") return pal.orange;
  return pal.green;
}

// ---- launching ------------------------------------------------------------------------

void App::launch_machine(Machine& machine, int scratch, const std::wstring& dir) {
  const Profile* prof = find_profile(machine.profile);
  const std::string name = upper(machine.name);
  const std::wstring setup = tiger_qemu_dir();
  PreLaunchFacts f;
  f.disk_present = !machine.disk.empty() && file_exists(machine.disk);
  f.m68k = prof && prof->board == ArchKind::M68k;
  if (f.m68k && f.disk_present) f.rom_found = !mac_find_rom(path_dir(machine.disk)).empty();
  f.main_tiger = prof && prof->tiger == 1 && machine.is_main_tiger();
  f.other_build = !setup.empty() && !g_set.qemu_dir.empty() &&
                  file_exists(path_join(setup, L"qemu-system-x86_64.exe")) &&
                  norm_path(setup) != norm_path(g_set.qemu_dir);
  f.dir_given = !dir.empty();
  f.scratch = scratch >= 0 ? scratch > 0 : machine.scratch;
  Vm* writer = f.disk_present ? g_fleet.writer_of(machine.disk) : nullptr;
  f.writer = writer != nullptr;

  // Answers find the machine again by id: a record may be gone by the time
  // the question is answered.
  const std::string mid = machine.id;
  auto again = [this, mid](int s, const std::wstring& d) {
    if (Machine* m = g_lib.by_id(mid)) launch_machine(*m, s, d);
  };
  switch (pre_launch_question(f)) {
    case PreLaunch::Rom:
      ask("QUADRA ROM NEEDED",
          name + " IS A 68K MACINTOSH. IT NEEDS THE ROM OF A QUADRA 610, 650 OR 800 (1 MB, CHECKSUM F1ACAD13) "
                 "FROM A MACHINE OF YOUR OWN. NONE WAS FOUND IN THE SETTINGS, BESIDE THE DISK, IN THE QEMU FOLDER "
                 "OR BESIDE V.U.N.K.",
          {"CHOOSE ROM FILE", "CANCEL"},
          [this, name, scratch, dir, again](int i) {
            if (i != 0) return;
            std::wstring rom = pick_file(false, L"Choose a Quadra 650/800 ROM", {{L"ROM image", L"*.rom;*.bin;*"}});
            if (rom.empty()) return;
            if (!mac_rom_ok(rom)) {
              note(name + ": NOT A QUADRA 650/800 ROM\n" + upper(narrow(rom)), pal.red);
              return;
            }
            set_path_setting(6, rom);  // the QUADRA ROM row of the settings: saved as the settings view saves it
            again(scratch, dir);
          },
          pal.amber);
      return;
    case PreLaunch::TigerBuild:
      ask("MAC OS X INTEL: WHICH QEMU?",
          "THE MAC OS X INTEL SETUP BRINGS ITS OWN QEMU BUILD IN " + upper(narrow(setup)) +
              ". THE CONFIGURED BUILD IS " + upper(narrow(g_set.qemu_dir)) + ". START " + name + " WITH WHICH?",
          {"SETUP BUILD", "CONFIGURED BUILD", "CANCEL"},
          [scratch, setup, again](int i) {
            if (i == 0) again(scratch, setup);
            if (i == 1) again(scratch, g_set.qemu_dir);
          },
          pal.amber);
      return;
    case PreLaunch::DiskInUse:
      ask("DISK IN USE",
          strf("%s (PID %lu) WRITES THE DISK OF %s. A SECOND SYSTEM ON THE SAME DISK RUNS IN SCRATCH MODE: IT STARTS "
               "FROM THE DISK AS IT IS AND ITS CHANGES ARE DISCARDED WHEN IT STOPS.",
               upper(writer->name).c_str(), (unsigned long)writer->pid, name.c_str()),
          {"LAUNCH IN SCRATCH MODE", "CANCEL"},
          [dir, again](int i) {
            if (i == 0) again(1, dir);
          },
          pal.amber);
      return;
    case PreLaunch::None:
      break;
  }

  std::string err;
  Vm* vm = g_fleet.launch(machine, err, scratch, dir);
  if (!vm) {
    note(name + ": LAUNCH ABORTED\n" + err, pal.red);
    return;
  }
  launch_fx_time = now;
  launch_fx_label = name;
  select(vm->uid);
  if (prof && std::string(prof->accel) == "WHPX" && !whpx_ok())
    note(name + ": NO HARDWARE ACCELERATION (WHPX IS OFF)\nIT RUNS IN SOFTWARE EMULATION, MUCH SLOWER", pal.amber);
}

// ---- helpers of the view --------------------------------------------------------------------

D2D_RECT_F App::picture_rect(const D2D_RECT_F& area, int guest_w, int guest_h) const {
  return fit_picture(area, guest_w, guest_h, surface.dpi);
}

void App::draw_trace(const D2D_RECT_F& r, const std::vector<float>& values, float max, D3DCOLORVALUE colour) {
  surface.rect(r, alpha(pal.dim, 0.7f), 0.8f);
  float h = r.bottom - r.top;
  for (int i = 1; i <= 3; ++i) {
    float y = r.top + h * i * 0.25f;
    surface.line(r.left, y, r.right, y, alpha(pal.dim, 0.35f), 0.6f);
  }
  std::vector<D2D_POINT_2F> pts = trace_points(r, values, max);
  if (pts.size() < 2) return;
  surface.poly(pts.data(), pts.size(), colour, 1.3f, false);
  surface.disc(pts.back().x, pts.back().y, 2.0f, D3DCOLORVALUE{0.94f, 0.98f, 1.0f, 1.0f});
}

void App::draw_launch_fx(const D2D_RECT_F& r) {
  double age = now - launch_fx_time;
  LaunchFx fx = launch_fx_at(age);
  if (!fx.visible) return;
  easing = true;
  float cx = (r.left + r.right) / 2, cy = (r.top + r.bottom) / 2;
  surface.fill(r, D3DCOLORVALUE{0.006f, 0.012f, 0.022f, 0.75f * fx.a});
  for (int i = 0; i <= 360; i += 90) {
    float d = float(std::fmod(i + 420.0 * age, 450.0));
    surface.circle(cx, cy, d, D3DCOLORVALUE{1.0f, 0.66f, 0.96f, (1 - d / 450) * fx.a}, 1.5f);
  }
  text_fast(surface, "LAUNCH DETECTED", cx, cy - 24, 26, alpha(pal.red, fx.text), AlignCentre, 0.22f, 0);
  text_fast(surface, launch_fx_label, cx, cy + 22, 13, alpha(pal.pink, fx.a), AlignCentre, 0.3f, 0);
}

namespace {

struct ToolSpec {
  int action;
  u32 id;
  D2D_RECT_F r;
  Glyph glyph;
  std::string text;
  bool danger = false;  // armed: its second click acts
  bool enabled = true;
  bool rest = false;
};

// Unix seconds now, as the fleet records a machine's start.
double unix_now() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  u64 t = (u64(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return double(t) / 1e7 - 11644473600.0;
}

}  // namespace

// ---- the running-machine view ------------------------------------------------------------------

void App::draw_vm(const D2D_RECT_F& r) {
  Vm* vm = selected();
  if (!vm) return;
  const int uid = vm->uid;
  const std::string name = upper(vm->name);
  auto shot = shot_screens.find(uid);
  const bool has_shot = shot != shot_screens.end() && shot->second;

  if (vm_fullscreen) {
    picture = picture_rect(r, vm->guest_w, vm->guest_h);
    surface.fill(r, D3DCOLORVALUE{0, 0, 0, 1});
    if (has_shot) surface.pictures.push_back({picture, shot->second, {}, 1, {}});
    return;
  }

  // Tools, laid out along the bottom in as many rows as the width asks for;
  // the picture and the help line make room for the rows above the last.
  const float L = r.left + 20, T = r.top + 76, R = r.right - 20;
  const bool paused = vm->status == "paused";
  std::vector<ToolSpec> tools;
  std::vector<float> widths, widest;
  for (const VmTool& t : vm_tools({paused, vm->docked, vm->guest != nullptr, vm->can_embed, vm->machine != nullptr})) {
    ToolSpec s{t.action, vm_tool_id(t.action, uid), {}, Glyph(t.glyph), t.label};
    s.enabled = t.enabled;
    if (!t.armed_label.empty() && is_armed(armed, armed_at, s.id, now)) {
      s.danger = true;
      s.text = t.armed_label;
    }
    widths.push_back(44 + surface.text_width(s.text, 8.5f, kTrack));
    float w = 0;
    for (const std::string& l : vm_tool_labels(t)) w = std::max(w, 44 + surface.text_width(l, 8.5f, kTrack));
    widest.push_back(w);
    tools.push_back(std::move(s));
  }
  ToolRows rows = tool_rows(widths, widest, L, R, r.bottom - 64);
  for (size_t i = 0; i < tools.size(); ++i) {
    ToolSpec& t = tools[i];
    t.r = rows.rects[i];
    auto it = anims.find(t.id);
    t.rest = !hovering(t.r) && active != t.id && (it == anims.end() || it->second == 0);
  }
  const float above = 50.0f * float(std::max(rows.rows - 1, 0));
  const float B = r.bottom - 104 - above;
  D2D_RECT_F screen{L, T, std::max(L + 40, R - 300), B};
  D2D_RECT_F side{screen.right + 20, T, R, B};
  D2D_RECT_F area{screen.left + 10, screen.top + 10, screen.right - 10, screen.bottom - 10};
  picture = picture_rect(area, vm->guest_w, vm->guest_h);

  // What the picture area says when no guest window or picture covers it.
  std::string notice;
  if (has_shot) notice = "";
  else if (vm->phase == 0) notice = "ACQUIRING SIGNAL";
  else if (vm->docked) notice = vm->guest_w < 1 ? "AWAITING DISPLAY" : "";
  else if (vm->guest && vm->thumbnail) notice = "";
  else if (vm->guest) notice = "THIS SYSTEM RUNS IN ITS OWN WINDOW";
  else notice = "NO DISPLAY IN THIS CONSOLE";

  auto draw_tool = [&](const ToolSpec& t, float h) {
    D3DCOLORVALUE c = t.danger ? pal.red : t.action == kActForceOff ? pal.orange : pal.cyan;
    float k = t.enabled ? 1.0f : 0.3f;
    bool held = t.enabled && mouse_down && active == t.id && h > 0;
    surface.fill(t.r, alpha(c, (0.05f + 0.14f * h + (held ? 0.2f : 0) + (t.danger ? 0.12f : 0)) * k));
    surface.rect(t.r, alpha(c, (0.35f + 0.45f * h) * k), 1.0f);
    draw_glyph(t.glyph, t.r.left + 20, (t.r.top + t.r.bottom) / 2, 18, alpha(c, 0.9f * k), 1.3f);
    text_fast(surface, t.text, t.r.left + 36, (t.r.top + t.r.bottom) / 2 - 4.25f, 8.5f,
              alpha(t.danger ? pal.red : pal.ice, k), AlignLeft, kTrack, 0);
  };

  const Profile* prof = vm->profile;
  std::string kind = prof ? strf("%s  //  %s", prof->family, prof->machine) : std::string("UNKNOWN PROFILE");
  if (!vm->ours) kind += "  //  ADOPTED";
  if (vm->scratch) kind += "  //  SCRATCH MODE";
  std::string state = state_text(*vm);
  D3DCOLORVALUE sc = vm->phase == 0 ? pal.cyan : state_color(*vm);
  std::string help;
  if (vm->docked)
    help = vm->guest_focused
               ? "KEYBOARD: GUEST  //  CTRL+ALT+G GRABS THE MOUSE, CTRL+ALT+F FULL SCREEN, CTRL+ALT+B SIDEBAR"
               : "CLICK THE SCREEN TO TYPE INTO THE GUEST";
  std::string display = vm->docked ? "EMBEDDED" : vm->guest ? "OWN WINDOW" : vm->can_embed ? "WAITING" : "NONE";
  int cpus = vm->machine && vm->machine->cpus > 0 ? vm->machine->cpus : 1;

  u64 key = hash_val(r, hash64(name, hash64(kind, hash64(state, hash64(notice, hash64(help, hash64(display, 3)))))));
  key = hash_val(vm->mouse_grabbed, hash_val(picture, hash_val(vm->pid, hash_val(vm->qmp_port, key))));
  for (const ToolSpec& t : tools) key = hash64(t.text, hash_val(t.rest, hash_val(t.enabled, hash_val(t.r, key))));
  D2D_RECT_F whole{r.left, r.top, r.right, r.bottom};
  layers.draw(surface, id("vmview", 0), whole, key, [&] {
    label(L + 4, r.top + 22, surface.fit(name, R - L - 360, 18, kTrack), pal.ice, 18);
    label(L + 4, r.top + 50, kind, alpha(pal.dim, 1), 8);
    text_fast(surface, state, R, r.top + 22, 16, sc, AlignRight, kTrack, 0);
    if (vm->mouse_grabbed) text_fast(surface, "MOUSE GRABBED", R, r.top + 50, 8, pal.red, AlignRight, kTrack, 0);
    panel(screen, pal.cyan, 0.9f);
    surface.fill(picture, D3DCOLORVALUE{0, 0, 0, 1});
    if (!notice.empty())
      text_fast(surface, notice, (picture.left + picture.right) / 2, (picture.top + picture.bottom) / 2 - 6, 12,
                notice == "ACQUIRING SIGNAL" ? pal.cyan : alpha(pal.ice, 0.7f), AlignCentre, 0.22f, 0);
    panel(side, pal.cyan, 0.7f);
    label(side.left + 16, side.top + 18, "TELEMETRY", pal.cyan, 11);
    float y = side.top + 52;
    for (const char* word : {"CPU", "", "", "", "MEMORY", "UPTIME", "PROCESS", "QMP PORT", "DISPLAY"}) {
      if (*word) label(side.left + 16, y, word, alpha(pal.dim, 1), 7.5f);
      y += 26;
    }
    text_fast(surface, vm->pid ? strf("%lu", (unsigned long)vm->pid) : std::string("-"), side.right - 16,
              side.top + 52 + 6 * 26, 9, pal.ice, AlignRight, kTrack, 0);
    text_fast(surface, vm->qmp_port ? strf("%d", vm->qmp_port) : std::string("-"), side.right - 16,
              side.top + 52 + 7 * 26, 9, pal.ice, AlignRight, kTrack, 0);
    text_fast(surface, display, side.right - 16, side.top + 52 + 8 * 26, 9, pal.ice, AlignRight, kTrack, 0);
    if (!help.empty()) label(L + 4, r.bottom - 88 - above, help, alpha(pal.ice, 0.75f), 8);
    for (const ToolSpec& t : tools)
      if (t.rest) draw_tool(t, 0);  // their input is taken in the live pass below
  });

  // Live parts: figures that change every second, the trace, the guest picture.
  float y = side.top + 52;
  // A figure this host cannot measure reads "-", as memory does.
  text_fast(surface, vm->cpu_known ? strf("%.0f%%", vm->cpu_load * 100.0f) : std::string("-"), side.right - 16, y, 9,
            pal.ice, AlignRight, kTrack, 0);
  draw_trace(D2D_RECT_F{side.left + 16, y + 20, side.right - 16, y + 86}, vm->cpu_history, float(cpus), sc);
  text_fast(surface, vm->private_bytes ? human_bytes(vm->private_bytes) : std::string("-"), side.right - 16, y + 4 * 26,
            9, pal.ice, AlignRight, kTrack, 0);
  double up = vm->start_unix > 0 ? unix_now() - vm->start_unix : 0;
  text_fast(surface, human_duration(up), side.right - 16, y + 5 * 26, 9, pal.ice, AlignRight, kTrack, 0);
  if (has_shot) surface.pictures.push_back({picture, shot->second, {}, 1, {}});

  // Tools: hovered ones drawn live; clicks act after the drawing.
  int hit = -1;
  for (size_t i = 0; i < tools.size(); ++i) {
    const ToolSpec& t = tools[i];
    bool c = false;
    if (t.enabled) c = clicked(t.id, t.r, IDC_HAND);
    else placed(t.id, t.r);  // takes no input, but tests and the demo still find it
    float h = ease(t.id, t.enabled && hovering(t.r), 0.07f);
    if (!t.rest) draw_tool(t, h);
    if (c) hit = int(i);
  }
  if (hit < 0) return;
  const ToolSpec& t = tools[size_t(hit)];
  dirty = true;
  switch (t.action) {
    case kActPause:
      if (paused) g_fleet.resume(*vm);
      else g_fleet.pause(*vm);
      break;
    case kActReset:
      if (two_click(armed, armed_at, t.id, now)) g_fleet.reset(*vm);
      break;
    case kActShutDown: g_fleet.powerdown(*vm); break;
    case kActForceOff:
      if (two_click(armed, armed_at, t.id, now)) g_fleet.force_off(*vm);
      break;
    case kActFull: set_fullscreen(true); break;
    case kActCapture:
      g_fleet.screenshot(*vm, [this, name](bool ok, const std::string& path) {
        if (ok) note(name + ": CAPTURED TO " + upper(path), pal.cyan);
        else note(name + ": CAPTURE FAILED", pal.red);
        dirty = true;
      });
      break;
    case kActPopOut: g_fleet.detach(*vm); break;
    case kActDock: g_fleet.dock(*vm); break;
    case kActWindow:
      // QEMU's own window, in front of the console (restored when minimised).
      if (vm->guest) {
        if (IsIconic(vm->guest)) ShowWindow(vm->guest, SW_RESTORE);
        SetForegroundWindow(vm->guest);
      }
      break;
    case kActEject: g_fleet.eject(*vm); break;
    case kActConfig: open_edit(vm->machine); break;
    default: break;
  }
}

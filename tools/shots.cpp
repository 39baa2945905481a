// The screenshot series: a fixed, numbered set of PNGs of every view, drawn
// by the real App with its state staged directly. The guests, drives and
// media jobs are made up; the machine library, the settings and the release
// catalog are real. Runs on the UI thread in place of the main loop; only the
// media stage takes window messages (the catalog's result).
#include "tools/shots.h"

#include <windows.h>

#include <cmath>
#include <ctime>
#include <optional>

#include "app/app.h"
#include "gfx/gfx.h"
#include "machines/library.h"
#include "machines/machine.h"
#include "media/media.h"

// ---- plain decisions ------------------------------------------------------------

std::vector<ShotGuest> shot_guests(const std::string& value) {
  std::vector<ShotGuest> out;
  size_t pos = 0;
  while (pos < value.size()) {
    size_t end = value.find(';', pos);
    if (end == std::string::npos) end = value.size();
    std::string entry = value.substr(pos, end - pos);
    pos = end + 1;
    ShotGuest g;
    size_t a = entry.find('|');
    g.name = entry.substr(0, a);
    if (a != std::string::npos) {
      size_t b = entry.find('|', a + 1);
      g.profile = entry.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
      if (b != std::string::npos) g.picture = entry.substr(b + 1);
    }
    if (find_profile(g.profile)) out.push_back(std::move(g));
  }
  if (out.empty()) out.push_back(ShotGuest{"Leopard PPC", "macosx-ppc", ""});
  return out;
}

std::vector<float> shot_cpu_history(int uid) {
  std::vector<float> h(200);
  for (int k = 0; k < 200; ++k)
    h[k] = 0.6f + 0.45f * std::sin(float(uid) + 0.21f * float(k)) + 0.25f * std::sin(0.77f * float(k));
  return h;
}

void shot_histories(MediaJob& job) {
  job.hist_down.resize(480);
  job.hist_mirrors.resize(480);
  job.hist_peers.resize(480);
  for (int k = 0; k < 480; ++k) {
    double t = 0.25 * k;
    double ramp = k < 40 ? (40 - k) * 400000.0 : 0.0;
    float mirrors = float(31000000 + 6000000 * std::sin(0.7 * t));
    float peers = float(std::max(0.0, 14000000 + 9000000 * std::sin(0.31 * t + 1.0) - ramp));
    job.hist_mirrors[k] = mirrors;
    job.hist_peers[k] = peers;
    job.hist_down[k] = peers + mirrors;
  }
}

bool shots_size(const std::vector<std::wstring>& argv, int& width, int& height) {
  // Leading digits only, as a decimal conversion reads them; a long run of
  // digits saturates instead of wrapping into a small size.
  auto side = [&](size_t i, int absent) -> long long {
    if (argv.size() <= i) return absent;
    long long v = 0;
    for (wchar_t c : argv[i]) {
      if (c < L'0' || c > L'9') break;
      v = std::min(v * 10 + (c - L'0'), 1LL << 40);
    }
    return v;
  };
  long long w = side(3, 1640), h = side(4, 1000);
  bool ok = w >= 1 && h >= 1 && w <= kMaxImageSide && h <= kMaxImageSide;
  width = ok ? int(w) : 0;
  height = ok ? int(h) : 0;
  return ok;
}

void drain_messages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

// ---- the series -------------------------------------------------------------------

namespace {

// The fake running guests, uid 9999 down, in the fleet the views read.
void stage_guests(App& app, const std::vector<ShotGuest>& guests) {
  const double now = double(time(nullptr));
  for (size_t i = 0; i < guests.size(); ++i) {
    const ShotGuest& g = guests[i];
    auto vm = std::make_unique<Vm>();
    vm->uid = 9999 - int(i);
    vm->ours = true;
    vm->name = g.name;
    vm->profile = find_profile(g.profile);
    vm->pid = u32(31337 + 1000 * i);
    vm->qmp_port = 4601 + int(i);
    vm->status = "running";
    vm->phase = 1;
    // Up 03:12:34 for the first guest, 1 h 30 min more for each later one.
    vm->start_unix = now - 10800 - 754 - 5400.0 * double(i);
    vm->cpu_load = 0.93f;
    vm->cpu_known = true;  // a figure, as a sample gives it: the view shows "-" without one
    vm->private_bytes = 1237319680;
    if (!g.picture.empty()) {
      if (ComPtr<ID2D1Bitmap1> bmp = app.surface.load_png(widen(g.picture))) {
        D2D1_SIZE_U size = bmp->GetPixelSize();
        vm->docked = true;
        vm->guest_w = int(size.width);
        vm->guest_h = int(size.height);
        app.shot_screens[vm->uid] = bmp;
      }
    }
    g_fleet.vms.push_back(std::move(vm));
  }
  for (auto& vm : g_fleet.vms) vm->cpu_history = shot_cpu_history(vm->uid);
}

// A copy: the catalog may take a new list while the stage runs.
std::optional<MediaItem> first_item(bool (*match)(const MediaItem&)) {
  for (const MediaItem& it : g_cat.items)
    if (match(it)) return it;
  return std::nullopt;
}

}  // namespace

bool App::shots(const std::wstring& dir) {
  CreateDirectoryW(dir.c_str(), nullptr);
  g_fleet.vms.clear();  // the records only: QEMU processes they describe keep running
  g_demo_drives = true;
  surface.scanlines = false;
  const std::vector<ShotGuest> guests = shot_guests(narrow(env_value(L"VUNK_SHOT_GUESTS")));
  stage_guests(*this, guests);
  const std::string NAME = upper(guests[0].name);

  // With the test probe on (VUNK_TEST_VIEW), what each shot's frame showed is
  // kept beside the probe's file as "<its name>-<shot>.json": the probe
  // itself holds only the last frame of the series.
  const std::wstring probe = env_value(L"VUNK_TEST_VIEW");
  const std::wstring leaf = path_leaf(probe);
  const size_t dot = leaf.rfind(L'.');
  const std::wstring probe_base = probe.substr(0, probe.size() - (dot == std::wstring::npos ? 0 : leaf.size() - dot));

  bool all = true;
  auto shot = [&](const wchar_t* name, double dt) {
    clock_offset += dt;
    for (int i = 0; i < 3; ++i) {
      dirty = true;
      frame();
    }
    bool ok = surface.save_png(path_join(dir, std::wstring(name) + L".png"));
    if (!ok) wlog("--shots: could not write %s.png", narrow(name).c_str());
    if (!probe.empty()) CopyFileW(probe.c_str(), (probe_base + L"-" + name + L".json").c_str(), FALSE);
    all = all && ok;
    return ok;
  };

  go(Home);
  shot(L"01-welcome", 6.0);

  sidebar_open = false;
  sidebar_anim = 0;
  shot(L"02-welcome-collapsed", 6.0);

  sidebar_open = true;
  sidebar_anim = 1;
  go(Wizard);
  shot(L"03-install-profiles", 6.0);

  wizard_profile = find_profile("macosx-ppc");
  wizard_step = 1;
  wizard_name = "Leopard PPC";
  wizard_media = L"D:\\Images\\Mac OS X 10.5.8 Leopard PPC.iso";
  wizard_gb = 24;
  wizard_mb = 1536;
  wizard_cpus = 1;
  focused = id("wizname", 0);
  shot(L"04-install-parameters", 6.0);

  import_path = L"D:\\Basilisk II\\KanjiTalk-7.5.3-HD.dsk";
  import_profile = find_profile("macos7-68k");
  import_name = "KanjiTalk 7.5.3";
  import_mem = 128;
  import_cpus = 1;
  import_format = "raw";
  import_vsize = import_asize = 104857600;
  import_bare = true;
  import_hint = "HFS VOLUME (BASILISK II / MINI VMAC): BOOTS FROM A COPY WITH OUR DRIVER";
  go(Import);
  shot(L"05-import", 6.0);

  select(9999);
  shot(L"06-vm", 6.0);
  for (size_t p = 2; p <= guests.size(); ++p) {
    select(10000 - int(p));
    shot((L"06-vm-" + std::to_wstring(p)).c_str(), 6.0);
  }

  select(9999);
  note(NAME + ": LAUNCH ABORTED\nDISK IN USE BY " + NAME +
           " (PID 39656). LAUNCH IT IN SCRATCH MODE OR STOP THAT VM.",
       pal.red);
  shot(L"07-vm-banner", 0.5);

  toast.time = -100;
  go(SettingsView);
  shot(L"08-settings", 6.0);

  if (!g_lib.empty()) {
    open_edit(g_lib.front().get());
    edit_extra = "-device usb-mouse -global zeft.scanout=0";
    shot(L"11-edit", 6.0);
    scroll = 10000;
    shot(L"12-edit-scrolled", 0.2);
    edit_machine = nullptr;  // dropped, nothing saved
  }

  go(Home);
  ask("SHUTDOWN V.U.N.K.?",
      "2 SYSTEMS ARE RUNNING INSIDE THIS WINDOW. THEY KEEP RUNNING: EACH ONE MOVES TO A WINDOW OF ITS OWN, "
      "AND THE NEXT V.U.N.K. CAN DOCK IT AGAIN.",
      {"DETACH AND EXIT", "CANCEL"}, {}, pal.pink);
  shot(L"09-modal", 6.0);

  modal.open = false;
  launch_fx_time = now + 6.0 - 0.35;
  launch_fx_label = NAME;
  select(9999);
  shot(L"10-launch-fx", 6.0);
  launch_fx_time = -100;

  // ---- the media stage: the live catalog, the picker, the storage chooser
  // and the transfers page with demo jobs.
  g_cat.refresh(hwnd);
  for (double t0 = now_s(); g_cat.loading && now_s() - t0 < 20;) {
    drain_messages();
    Sleep(20);
  }
  const std::optional<MediaItem> ubuntu = first_item(
      [](const MediaItem& it) { return it.distro == "UBUNTU" && it.edition == "DESKTOP" && it.lts; });
  const std::wstring kept_dir = g_set.media_dir;
  const std::wstring media = path_join(exe_dir(), L"VUNK Media");
  g_set.media_dir = media;
  CreateDirectoryW(media.c_str(), nullptr);

  go(Wizard);
  wizard_profile = find_profile("linux-x64");
  wizard_step = 1;
  wizard_gb = 32;
  wizard_mb = 4096;
  wizard_cpus = 4;
  if (ubuntu) {
    wizard_name = "Ubuntu " + ubuntu->version;
    media_pick = ubuntu->file;
    if (std::optional<MediaItem> fedora =
            first_item([](const MediaItem& it) { return it.distro == "FEDORA" && it.edition == "WORKSTATION"; }))
      add_demo_job(*fedora, 38.0, TState::Paused);
  } else {
    wizard_name = "Ubuntu";
    media_pick.clear();
  }
  shot(L"13-wizard-media", 6.0);

  g_set.media_dir.clear();
  parked_view = Home;
  view = Storage;
  shot(L"14-storage", 6.0);
  g_set.media_dir = media;

  if (ubuntu) {
    shot_histories(add_demo_job(*ubuntu, 38.0, TState::Running));
    transfer_sel = ubuntu->file;
    go(Transfers);
    shot(L"15-transfers", 6.0);
  }

  g_media.jobs.clear();
  g_set.media_dir = kept_dir;
  return all;
}

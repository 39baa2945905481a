// Running machines through the console's real main window (its own window
// procedure, input posted as mouse messages): a real x86_64 QEMU through the
// bridge launched from the home view, its tools, a refused launch, machine
// events, a screenshot picture, and the placement of a docked display.
// Screenshots are left in <build>/running-shots for a person to look at.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "app/app.h"
#include "app/running.h"
#include "machines/proc.h"
#include "machines/settings.h"
#include "tests/gfx/gfx_test.h"
#include "tests/running/driver.h"
#include "tests/support/test_support.h"

namespace {

std::wstring shot(const char* name) {
  CreateDirectoryW(build_path("running-shots").c_str(), nullptr);
  std::wstring path = build_path(std::string("running-shots/") + name);
  EXPECT_TRUE(g_app.surface.save_png(path));
  return path;
}

// Share of pixels in a box of a PNG whose brightest channel exceeds 60.
double lit_share(const std::wstring& png, D2D_RECT_F box) {
  u32 w = 0, h = 0;
  std::vector<u8> px;
  if (!decode_bgra(png, w, h, px)) return -1;
  int lit = 0, all = 0;
  for (int y = int(box.top); y < int(box.bottom) && y < int(h); ++y)
    for (int x = int(box.left); x < int(box.right) && x < int(w); ++x, ++all) {
      const u8* p = pixel(px, w, x, y);
      lit += std::max({p[0], p[1], p[2]}) > 60;
    }
  return all ? double(lit) / all : 0;
}

bool same(D3DCOLORVALUE a, D3DCOLORVALUE b) { return a.r == b.r && a.g == b.g && a.b == b.b; }

u32 tool(int action, const Vm& vm) { return vm_tool_id(action, vm.uid); }

// A Vm record with no process, as the fleet would hold one.
Vm* fake_vm(int uid, const char* name, int phase) {
  auto vm = std::make_unique<Vm>();
  vm->uid = uid;
  vm->name = name;
  vm->phase = phase;
  vm->status = "running";
  vm->profile = find_profile("linux-x64");
  g_fleet.vms.push_back(std::move(vm));
  return g_fleet.vms.back().get();
}

class Running : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { open_console(false, "running"); }
  void SetUp() override {
    g_app.go_home();
    g_app.modal.open = false;
    g_app.toast = Toast{};
    g_app.launch_fx_time = -100;
    run_for(0);
  }
  void TearDown() override {
    for (auto& vm : g_fleet.vms)
      if (vm->process) TerminateProcess(vm->process, 1);
    run_for(5, [] { return g_fleet.vms.empty() || g_fleet.vms[0]->process == nullptr; });
    g_fleet.vms.clear();
    g_app.shot_screens.clear();
    g_app.placements.clear();
  }
};

}  // namespace

TEST_F(Running, LaunchToolsCaptureAndForceOff) {
  Machine* m = g_lib.create("Run Test", "linux-x64");
  ASSERT_TRUE(m);
  m->disk = build_path("running-fixture/disk.qcow2");
  m->mem = 256;
  m->cpus = 1;
  ASSERT_TRUE(m->save());
  Machine* lost = g_lib.create("Lost Disk", "linux-x64");
  lost->disk = build_path("running-fixture/no-such-disk.qcow2");
  ASSERT_TRUE(lost->save());
  run_for(0.2);

  // A missing disk: the red toast with the launcher's reason, and nothing starts.
  click(g_app.id("launch", 0));
  EXPECT_TRUE(g_fleet.vms.empty());
  EXPECT_EQ(g_app.view, App::Home);
  EXPECT_TRUE(same(g_app.toast.colour, pal.red));
  EXPECT_EQ(g_app.toast.text.rfind("LOST DISK: LAUNCH ABORTED\nDISK NOT FOUND: ", 0), 0u) << g_app.toast.text;
  run_for(0.3);
  shot("launch-aborted.png");

  // LAUNCH of KNOWN SYSTEMS: the effect, the running-machine view, the amber
  // warning (no acceleration here).
  click(g_app.id("launch", 1));
  ASSERT_EQ(g_fleet.vms.size(), 1u);
  Vm* vm = g_fleet.vms[0].get();
  const int uid = vm->uid;
  EXPECT_EQ(g_app.view, App::Running);
  EXPECT_EQ(g_app.selected_uid, uid);
  EXPECT_EQ(g_app.launch_fx_label, "RUN TEST");
  EXPECT_TRUE(same(g_app.toast.colour, pal.amber));
  EXPECT_NE(g_app.toast.text.find("SOFTWARE EMULATION"), std::string::npos) << g_app.toast.text;
  run_for(2, [] { return g_app.now - g_app.launch_fx_time >= 0.35; });
  std::wstring fx = shot("launch-fx.png");
  EXPECT_GT(lit_share(fx, D2D_RECT_F{560, 380, 1040, 520}), 0.01);  // LAUNCH DETECTED and the name
  EXPECT_EQ(g_app.fps(), 60.0f);

  // RUNNING once the process is up and QMP has answered.
  ASSERT_TRUE(run_for(40, [&] {
    Vm* v = g_fleet.by_uid(uid);
    return v && v->phase == 1 && v->qmp.ready && state_text(*v) == "RUNNING";
  })) << "not RUNNING within 40 s";
  run_for(1.0);
  shot("vm-running.png");

  // The CPU figure is QEMU's own as Linux counts it (all its threads, read
  // from /proc through the bridge's linux-run), not the console's: their
  // means over the same stretch agree.
  auto qemu_seconds = [] {
    std::string out;
    run_capture(quote_arg(path_join(build_path("qemu"), L"linux-run.exe")) + L" sh -c " +
                    quote_arg(L"for p in $(pgrep -f '^[^ ]*qemu-system-x86_64 .*-name guest=Run Test'); do "
                              L"sed 's/^.*) //' /proc/$p/stat; done | "
                              L"awk -v h=$(getconf CLK_TCK) '{ s += $12 + $13; n++ } END { if (n) print s / h }'"),
                out, 20000);
    return out.empty() ? -1.0 : atof(out.c_str());
  };
  ASSERT_TRUE(run_for(10, [&] { return vm->cpu_known; })) << "no CPU figure";
  size_t from = vm->cpu_history.size();
  double q0 = qemu_seconds(), t0 = now_s();
  ASSERT_GE(q0, 0) << "QEMU's /proc entry not found";
  run_for(6);
  double q1 = qemu_seconds(), t1 = now_s();
  ASSERT_GT(vm->cpu_history.size(), from + 3);
  double mean = 0;
  for (size_t k = from; k < vm->cpu_history.size(); ++k) mean += vm->cpu_history[k];
  mean /= double(vm->cpu_history.size() - from);
  double linux_mean = (q1 - q0) / (t1 - t0);
  EXPECT_NEAR(mean, linux_mean, 0.1 + 0.25 * linux_mean) << "console " << mean << " cores, /proc " << linux_mean;
  EXPECT_LT(mean, 1.5);  // one virtual CPU: never the console's several cores

  // PAUSE and RESUME: the same tool, its word following QEMU's events.
  click(tool(kActPause, *vm));
  EXPECT_TRUE(run_for(10, [&] { return state_text(*vm) == "PAUSED"; })) << vm->status;
  EXPECT_TRUE(same(state_color(*vm), pal.amber));
  run_for(0.2);
  shot("vm-paused.png");
  click(tool(kActPause, *vm));
  EXPECT_TRUE(run_for(10, [&] { return state_text(*vm) == "RUNNING" && vm->status == "running"; })) << vm->status;

  // CAPTURE: a PNG of the guest's screen and the cyan toast naming it.
  g_app.toast = Toast{};
  click(tool(kActCapture, *vm));
  const std::string prefix = "RUN TEST: CAPTURED TO ";
  ASSERT_TRUE(run_for(15, [&] { return !g_app.toast.text.empty(); }));
  ASSERT_EQ(g_app.toast.text.rfind(prefix, 0), 0u) << g_app.toast.text;
  EXPECT_TRUE(same(g_app.toast.colour, pal.cyan));
  std::wstring png = widen(g_app.toast.text.substr(prefix.size()));
  ASSERT_TRUE(run_for(5, [&] { return file_size(png) > 8; }));
  EXPECT_EQ(read_bytes(png).substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  CopyFileW(png.c_str(), build_path("running-shots/guest-capture.png").c_str(), FALSE);

  // FORCE OFF: the first click only arms it.
  click(tool(kActForceOff, *vm));
  EXPECT_EQ(g_app.armed, tool(kActForceOff, *vm));
  run_for(1.0);
  ASSERT_TRUE(g_fleet.by_uid(uid));
  EXPECT_NE(g_fleet.by_uid(uid)->phase, 2);
  shot("vm-force-off-armed.png");
  // The second click within 3 s ends it; the console goes home at the tick
  // that sees the process gone.
  click(tool(kActForceOff, *vm));
  EXPECT_TRUE(run_for(15, [&] { return g_fleet.by_uid(uid) == nullptr; }));
  EXPECT_EQ(g_app.view, App::Home);
  EXPECT_EQ(g_app.selected_uid, 0);
}

TEST_F(Running, ScreenshotPictureAndEvents) {
  // A machine with a picture in shot_screens shows it as its screen.
  Vm* a = fake_vm(9999, "Shot Guest", 1);
  std::wstring picture = build_path("running-shots/guest-capture.png");
  if (!file_exists(picture)) picture = shot("stand-in-picture.png");  // the launch test did not get that far
  ComPtr<ID2D1Bitmap1> bmp = g_app.surface.load_png(picture);
  ASSERT_TRUE(bmp) << narrow(picture);
  D2D1_SIZE_U size = bmp->GetPixelSize();
  a->guest_w = int(size.width);
  a->guest_h = int(size.height);
  a->docked = true;
  a->cpu_load = 0.93f;
  a->private_bytes = 1237319680;
  for (int k = 0; k < 200; ++k) a->cpu_history.push_back(0.6f + 0.45f * std::sin(9999.0f + 0.21f * k) + 0.25f * std::sin(0.77f * k));
  g_app.shot_screens[9999] = bmp;
  g_app.select(9999);
  run_for(0.5);
  std::wstring png = shot("vm-shot-picture.png");
  D2D_RECT_F p = g_app.picture;
  EXPECT_NEAR((p.right - p.left) / (p.bottom - p.top), float(size.width) / size.height, 0.02f);
  EXPECT_GT(lit_share(png, p), 0.02);  // the picture is drawn there

  // Two more machines, one of them exited: the hot keys skip it and wrap.
  Vm* b = fake_vm(9998, "Second", 1);
  fake_vm(9997, "Gone", 2);
  g_app.on_vm_event(*a, VmEvent::GuestKey, VK_DOWN);
  EXPECT_EQ(g_app.selected_uid, 9998);
  g_app.on_vm_event(*a, VmEvent::GuestKey, VK_DOWN);
  EXPECT_EQ(g_app.selected_uid, 9999);
  g_app.selected_uid = 9997;  // the selection exited
  g_app.on_vm_event(*a, VmEvent::GuestKey, VK_UP);
  EXPECT_EQ(g_app.selected_uid, 9998);
  bool side = g_app.sidebar_open;
  g_app.on_vm_event(*a, VmEvent::GuestKey, 'B');
  EXPECT_NE(g_app.sidebar_open, side);
  g_app.sidebar_open = side;
  g_app.on_vm_event(*a, VmEvent::GuestKey, VK_HOME);
  EXPECT_EQ(g_app.view, App::Home);
  EXPECT_EQ(g_app.selected_uid, 0);

  // Exited: a toast only with a message, upper-cased, red.
  g_app.toast = Toast{};
  g_app.on_vm_event(*b, VmEvent::Exited, 0);
  EXPECT_TRUE(g_app.toast.text.empty());
  b->message = "qemu: could not open disk";
  g_app.on_vm_event(*b, VmEvent::Exited, 0);
  EXPECT_EQ(g_app.toast.text, "SECOND ABORTED\nQEMU: COULD NOT OPEN DISK");
  EXPECT_TRUE(same(g_app.toast.colour, pal.red));
  EXPECT_EQ(b->message, "qemu: could not open disk");  // stays on the Vm
  // Message: in its own letter case, amber, once.
  b->message = "QMP busy: try later";
  g_app.on_vm_event(*b, VmEvent::Message, 0);
  EXPECT_EQ(g_app.toast.text, "SECOND: QMP busy: try later");
  EXPECT_TRUE(same(g_app.toast.colour, pal.amber));
  EXPECT_TRUE(b->message.empty());
}

// Two machines on one disk, one of them running: only that one says
// RUNNING; the other's LAUNCH stays on and asks the DISK IN USE question.
TEST_F(Running, SharedDiskLaunchAsksTheQuestion) {
  Machine* owner = g_lib.create("Disk Owner", "linux-x64");
  Machine* guest = g_lib.create("Disk Guest", "linux-x64");
  ASSERT_TRUE(owner && guest);
  owner->disk = guest->disk = build_path("running-fixture/disk.qcow2");
  Vm* vm = fake_vm(720, "Disk Owner", 1);
  vm->machine = owner;
  vm->pid = 4242;
  vm->drives.push_back(DriveUse{norm_path(owner->disk), false});
  g_app.go_home();
  run_for(0.2);
  auto row = [](Machine* m) {
    for (size_t i = 0; i < g_lib.size(); ++i)
      if (g_lib[i].get() == m) return g_app.id("launch", int(i));
    return 0u;
  };
  shot("shared-disk-rows.png");
  // The running machine's button takes no click.
  click(row(owner));
  EXPECT_FALSE(g_app.modal.open);
  EXPECT_EQ(g_fleet.vms.size(), 1u);
  // The other one asks before a second system writes the disk.
  click(row(guest));
  ASSERT_TRUE(g_app.modal.open);
  EXPECT_EQ(g_app.modal.title, "DISK IN USE");
  EXPECT_EQ(g_app.modal.choices.front(), "LAUNCH IN SCRATCH MODE");
  EXPECT_NE(g_app.modal.body.find("DISK OWNER (PID 4242) WRITES THE DISK OF DISK GUEST"), std::string::npos)
      << g_app.modal.body;
  PostMessageW(g_win, WM_KEYDOWN, VK_ESCAPE, 1);  // CANCEL
  run_for(0.1);
  EXPECT_FALSE(g_app.modal.open);
  EXPECT_EQ(g_fleet.vms.size(), 1u);
  g_lib.forget(guest);
  g_lib.forget(owner);
}

// CONFIG opens the machine's edit form; WINDOW brings QEMU's own window (a
// window of this process stands in for it) in front of the console.
TEST_F(Running, ConfigAndWindowTools) {
  Machine* m = g_lib.create("Tool Test", "linux-x64");
  ASSERT_TRUE(m);
  Vm* vm = fake_vm(710, "Tool Test", 1);
  vm->machine = m;
  vm->guest = CreateWindowExW(0, L"STATIC", L"QEMU", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 150, nullptr,
                              nullptr, nullptr, nullptr);
  ASSERT_TRUE(vm->guest);
  ShowWindow(vm->guest, SW_MINIMIZE);
  g_app.select(710);
  run_for(0.2);
  std::wstring png = shot("vm-own-window-tools.png");
  ASSERT_TRUE(g_app.rects.count(tool(kActWindow, *vm)));
  EXPECT_FALSE(g_app.rects.count(tool(kActDock, *vm)));  // this QEMU cannot dock
  EXPECT_GT(lit_share(png, g_app.rects[tool(kActWindow, *vm)]), 0.02);
  click(tool(kActWindow, *vm));
  EXPECT_FALSE(IsIconic(vm->guest));
  EXPECT_TRUE(run_for(3, [&] { return GetForegroundWindow() == vm->guest; }));
  SetForegroundWindow(g_win);

  click(tool(kActConfig, *vm));
  EXPECT_EQ(g_app.view, App::Edit);
  EXPECT_EQ(g_app.edit_machine, m);
  g_app.end_edit();
  EXPECT_EQ(g_app.view, App::Running);
  DestroyWindow(vm->guest);
  vm->guest = nullptr;
  g_lib.forget(m);
}

// At the smallest window the console allows, sidebar open, every tool lies
// inside the window and below the picture, with either confirming label
// shown, and an armed tool stays where it was at rest.
TEST_F(Running, ToolsFitTheSmallestWindow) {
  Machine* m = g_lib.create("Small Window", "linux-x64");
  ASSERT_TRUE(m);
  Vm* vm = fake_vm(730, "Small Window", 1);
  vm->machine = m;
  RECT was{};
  GetWindowRect(g_win, &was);
  SetWindowPos(g_win, nullptr, 0, 0, 1040, 680, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  const bool side = g_app.sidebar_open;
  g_app.sidebar_open = true;
  g_app.sidebar_anim = 1;
  g_app.select(730);
  run_for(0.2);
  ASSERT_FLOAT_EQ(g_app.width_dips(), 1040);
  auto fits = [&](const char* when) {
    for (int action : {kActPause, kActReset, kActShutDown, kActForceOff, kActFull, kActCapture, kActWindow, kActEject,
                       kActConfig}) {
      ASSERT_TRUE(g_app.rects.count(tool(action, *vm))) << when << ": tool " << action;
      D2D_RECT_F r = g_app.rects[tool(action, *vm)];
      EXPECT_TRUE(r.left >= 0 && r.right <= g_app.width_dips() && r.bottom <= g_app.height_dips())
          << when << ": tool " << action << " at " << r.left << "-" << r.right << ", " << r.top << "-" << r.bottom;
      EXPECT_GT(r.top, g_app.picture.bottom) << when << ": tool " << action;
    }
  };
  fits("at rest");
  shot("vm-tools-1040.png");
  const D2D_RECT_F reset = g_app.rects[tool(kActReset, *vm)], off = g_app.rects[tool(kActForceOff, *vm)];
  click(tool(kActReset, *vm));
  ASSERT_EQ(g_app.armed, tool(kActReset, *vm));
  fits("reset armed");
  EXPECT_EQ(g_app.rects[tool(kActReset, *vm)].left, reset.left);
  EXPECT_EQ(g_app.rects[tool(kActReset, *vm)].top, reset.top);
  click(tool(kActForceOff, *vm));
  ASSERT_EQ(g_app.armed, tool(kActForceOff, *vm));
  fits("force off armed");
  EXPECT_EQ(g_app.rects[tool(kActForceOff, *vm)].left, off.left);
  EXPECT_EQ(g_app.rects[tool(kActForceOff, *vm)].top, off.top);
  shot("vm-tools-1040-armed.png");
  g_app.armed = 0;
  g_app.sidebar_open = side;
  g_app.sidebar_anim = side ? 1.0f : 0.0f;
  SetWindowPos(g_win, nullptr, 0, 0, was.right - was.left, was.bottom - was.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  g_lib.forget(m);
}

// The placement cache with a display of this process standing in for QEMU's
// (the docked-guest suite runs a real one): a new guest size re-places it.
TEST_F(Running, NewGuestSizeReplacesTheDisplay) {
  Vm* vm = fake_vm(700, "Docked", 1);
  vm->docked = true;
  g_fleet.make_host(*vm);
  vm->guest = CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 16, 16, vm->host, nullptr, nullptr, nullptr);
  ASSERT_TRUE(vm->host && vm->guest);
  vm->guest_w = 640;
  vm->guest_h = 480;
  g_app.select(700);
  run_for(0.2);
  auto guest_size = [&] {
    RECT c{};
    GetClientRect(vm->guest, &c);
    return std::make_pair(c.right, c.bottom);
  };
  auto size_before = guest_size();
  u64 calls = g_child_window_calls;
  run_for(0.5);
  EXPECT_EQ(g_child_window_calls, calls);  // idle: nothing moved
  vm->guest_w = 1024;  // as the display reports a new mode
  vm->guest_h = 768;
  g_app.on_vm_event(*vm, VmEvent::GuestSize, 1024 | (768 << 16));
  run_for(0.1);
  EXPECT_EQ(g_child_window_calls, calls + 2);
  EXPECT_NE(guest_size(), size_before);
  float s = g_app.surface.dpi / 96.0f;
  EXPECT_EQ(guest_size().first, lroundf(g_app.picture.right * s) - lroundf(g_app.picture.left * s));

  // Detached: the host is hidden at once.
  vm->docked = false;
  g_app.on_vm_event(*vm, VmEvent::Detached, 0);
  EXPECT_FALSE(GetWindowLongW(vm->host, GWL_STYLE) & WS_VISIBLE);
  DestroyWindow(vm->guest);
  vm->guest = nullptr;
}

// Members that later work fills in. Each block stands alone: whoever builds
// the real one deletes exactly its block here.
#include "app/app.h"

#include "machines/machine.h"

// ---- running machine ----

// The least launch: the fleet's own checks, no pre-launch questions yet.
void App::launch_machine(Machine& machine, int scratch, const std::wstring& dir) {
  std::string err;
  Vm* vm = g_fleet.launch(machine, err, scratch, dir);
  if (!vm) {
    note(upper(machine.name) + ": LAUNCH ABORTED\n" + err, pal.red);
    return;
  }
  launch_fx_time = now;
  launch_fx_label = upper(machine.name);
  select(vm->uid);
}

// Running-machine view: a placeholder panel.
void App::draw_vm(const D2D_RECT_F& r) { draw_placeholder(r, "TRACKING"); }

// Machine events: only keep the frame coming.
void App::on_vm_event(Vm& vm, VmEvent kind, long long arg) { dirty = true; }

// Docked guest windows: none are placed yet.
void App::layout_children() {}

// Guest picture: the whole area.
D2D_RECT_F App::picture_rect(const D2D_RECT_F& area, int guest_w, int guest_h) const { return area; }

// Statistics trace: nothing drawn.
void App::draw_trace(const D2D_RECT_F& r, const std::vector<float>& values, float max, D3DCOLORVALUE colour) {}

// Launch effect: nothing drawn.
void App::draw_launch_fx(const D2D_RECT_F& r) {}

// State word of a machine.
std::string state_text(const Vm& vm) {
  if (vm.phase == 0) return "ACQUIRING SIGNAL";
  if (vm.status == "paused") return "PAUSED";
  if (vm.status == "shutdown") return "SHUTTING DOWN";
  if (vm.status == "powering down") return "POWERING DOWN";
  return "RUNNING";
}

// State colour of a machine.
D3DCOLORVALUE state_color(const Vm& vm) {
  if (vm.status == "paused") return pal.amber;
  if (vm.status == "shutdown" || vm.status == "powering down") return pal.orange;
  return pal.green;
}

// ---- media views ----

// Storage view: a placeholder panel.
void App::draw_storage(const D2D_RECT_F& r) { draw_placeholder(r, "MEDIA STORAGE"); }

// Transfers view: a placeholder panel.
void App::draw_transfers(const D2D_RECT_F& r) { draw_placeholder(r, "TRANSFERS"); }

// Media picker: takes no room.
float App::draw_media_picker(const D2D_RECT_F& r) { return 0; }

// Sidebar transfers block: nothing drawn.
void App::draw_sidebar_transfers(float y, float w, float k) {}

// ---- tools ----

// Screenshot series: not available yet.
bool App::shots(const std::wstring& folder) {
  wlog("--shots: not available in this build");
  return false;
}

// Media self-test: not available yet.
bool App::media_selftest(const std::wstring& folder) {
  wlog("--selftest-media: not available in this build");
  return false;
}

// Demo recording: not available yet.
bool App::record_demo(const std::wstring& video) {
  wlog("--record-demo: not available in this build");
  return false;
}


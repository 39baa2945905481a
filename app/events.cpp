// Machine events from the fleet, and the placement of guest displays: a
// docked display lies exactly over the running-machine view's picture, a
// machine in its own window is mirrored there by a thumbnail where the
// desktop compositor offers one.
//
// layout_children runs after every frame. The placement records are its
// cache: a display is moved or shown only when its rectangle or visibility
// changed, so an idle console makes no window calls for it. Every call that
// touches a QEMU display window is asynchronous: the console never waits for
// another process.
#include "app/app.h"
#include "app/running.h"

#include <algorithm>
#include <cmath>
#include <set>

u64 g_child_window_calls = 0;

// ---- plain decisions -------------------------------------------------------------

int guest_key_pick(const std::vector<int>& live, int selected, unsigned vk) {
  if (live.empty() || (vk != VK_UP && vk != VK_DOWN)) return 0;
  auto it = std::find(live.begin(), live.end(), selected);
  if (it == live.end()) return vk == VK_UP ? live.back() : live.front();
  size_t i = size_t(it - live.begin());
  if (vk == VK_UP) return i == 0 ? live.back() : live[i - 1];
  return live[(i + 1) % live.size()];
}

Place place_action(const Placement* record, bool show, const RECT& r) {
  if (!show) return record && !record->shown ? Place::Nothing : Place::Hide;
  if (record && record->shown && EqualRect(&record->rect, &r)) return Place::Nothing;
  return Place::Show;
}

// ---- events ------------------------------------------------------------------------

static void drop_placements(std::vector<Placement>& placements, int uid) {
  placements.erase(std::remove_if(placements.begin(), placements.end(), [uid](const Placement& p) { return p.uid == uid; }),
                   placements.end());
}

void App::on_vm_event(Vm& vm, VmEvent kind, long long arg) {
  dirty = true;
  switch (kind) {
    case VmEvent::Embedded:
      drop_placements(placements, vm.uid);
      if (vm.uid == selected_uid) g_fleet.focus_guest(vm);
      break;
    case VmEvent::GuestSize:
      drop_placements(placements, vm.uid);
      break;
    case VmEvent::FullscreenToggle:
      if (vm.uid == selected_uid) set_fullscreen(!vm_fullscreen);
      break;
    case VmEvent::GuestKey: {
      unsigned vk = unsigned(arg);
      if (vk == VK_UP || vk == VK_DOWN) {
        std::vector<int> live;
        for (auto& v : g_fleet.vms)
          if (v->phase != 2) live.push_back(v->uid);
        if (int uid = guest_key_pick(live, selected_uid, vk)) select(uid);
      } else if (vk == 'B') {
        sidebar_open = !sidebar_open;
      } else if (vk == VK_HOME) {
        go_home();
        SetFocus(hwnd);
      }
      break;
    }
    case VmEvent::KeyboardFocus:
    case VmEvent::MouseGrab:
      break;
    case VmEvent::Detached:
      drop_placements(placements, vm.uid);
      if (vm.host) {
        ShowWindow(vm.host, SW_HIDE);
        ++g_child_window_calls;
      }
      break;
    case VmEvent::Exited:
      if (!vm.message.empty()) note(upper(vm.name) + " ABORTED\n" + upper(vm.message), pal.red);
      break;
    case VmEvent::Message:
      note(upper(vm.name) + ": " + vm.message, pal.amber);
      vm.message.clear();
      break;
  }
}

// ---- guest windows -----------------------------------------------------------------

// Machines whose thumbnail could not be registered (the compositor may not
// offer them at all): not asked again every frame while they stay selected.
static std::set<int> g_no_thumbnail;

void App::layout_children() {
  Vm* target = nullptr;
  if (view == Running && !modal.open && now - launch_fx_time > kLaunchHold && !IsIconic(hwnd)) target = selected();
  float s = surface.dpi / 96.0f;
  RECT r{lroundf(picture.left * s), lroundf(picture.top * s), lroundf(picture.right * s), lroundf(picture.bottom * s)};
  POINT origin{0, 0};
  RECT outer{};
  bool origin_known = false;  // asked only when a thumbnail needs it

  for (size_t i = 0; i < g_fleet.vms.size(); ++i) {
    Vm& vm = *g_fleet.vms[i];
    bool sel = &vm == target && vm.phase != 2;
    if (!sel) g_no_thumbnail.erase(vm.uid);
    if (!vm.docked) {
      if (!vm.guest || !IsWindow(vm.guest)) continue;
      RECT c{};
      if (GetClientRect(vm.guest, &c) && c.right > 0 && (c.right != vm.guest_w || c.bottom != vm.guest_h)) {
        vm.guest_w = c.right;
        vm.guest_h = c.bottom;
        dirty = true;
      }
      bool visible = false;
      if (sel) {
        if (!vm.thumbnail) {
          if (g_no_thumbnail.count(vm.uid)) continue;
          ++g_child_window_calls;
          if (FAILED(DwmRegisterThumbnail(hwnd, vm.guest, &vm.thumbnail)) || !vm.thumbnail) {
            vm.thumbnail = nullptr;
            g_no_thumbnail.insert(vm.uid);
            continue;
          }
        }
        visible = !IsIconic(vm.guest);
      } else if (!vm.thumbnail) {
        continue;
      }
      if (!origin_known) {
        ClientToScreen(hwnd, &origin);
        GetWindowRect(hwnd, &outer);
        origin_known = true;
      }
      DWM_THUMBNAIL_PROPERTIES props{};
      props.dwFlags = DWM_TNP_RECTDESTINATION | DWM_TNP_OPACITY | DWM_TNP_VISIBLE | DWM_TNP_SOURCECLIENTAREAONLY;
      props.rcDestination = r;
      OffsetRect(&props.rcDestination, origin.x - outer.left, origin.y - outer.top);
      props.opacity = 255;
      props.fVisible = visible;
      props.fSourceClientAreaOnly = TRUE;
      DwmUpdateThumbnailProperties(vm.thumbnail, &props);
      ++g_child_window_calls;
      continue;
    }
    if (!vm.host || !vm.guest) continue;
    Placement* rec = nullptr;
    for (Placement& p : placements)
      if (p.uid == vm.uid) rec = &p;
    bool show = sel && vm.guest_w >= 1;
    switch (place_action(rec, show, r)) {
      case Place::Nothing: break;
      case Place::Hide:
        ShowWindowAsync(vm.guest, SW_HIDE);
        ShowWindow(vm.host, SW_HIDE);
        g_child_window_calls += 2;
        if (rec) *rec = Placement{vm.uid, r, false};
        else placements.push_back(Placement{vm.uid, r, false});
        break;
      case Place::Show: {
        bool was_shown = rec && rec->shown;
        int w = r.right - r.left, h = r.bottom - r.top;
        SetWindowPos(vm.host, nullptr, r.left, r.top, w, h, SWP_NOACTIVATE | SWP_SHOWWINDOW);
        SetWindowPos(vm.guest, nullptr, 0, 0, w, h,
                     SWP_ASYNCWINDOWPOS | SWP_SHOWWINDOW | SWP_NOACTIVATE | SWP_NOZORDER);
        g_child_window_calls += 2;
        if (!was_shown && GetForegroundWindow() == hwnd) g_fleet.focus_guest(vm);
        if (rec) *rec = Placement{vm.uid, r, true};
        else placements.push_back(Placement{vm.uid, r, true});
        break;
      }
    }
  }
}

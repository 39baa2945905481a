// Host windows and the embed protocol: a QEMU display started with a host
// window as its parent lives inside it; the two sides talk through two
// registered window messages, commands posted to the display and
// notifications delivered to the host.
#include "machines/fleet.h"

namespace {

// Embed commands posted to the display window.
constexpr WPARAM kCmdDetach = 1;
constexpr WPARAM kCmdDock = 2;
constexpr WPARAM kCmdFocus = 4;

// A window handle reported by the display is only taken when the window
// belongs to the Vm's own process: the App moves and sizes that window, and
// any process can post to the host.
bool window_of_vm(const Vm& vm, LPARAM lparam) {
  if (vm.pid == 0) return true;
  DWORD owner = 0;
  GetWindowThreadProcessId(HWND(lparam), &owner);
  if (owner == vm.pid) return true;
  wlog("%s (pid %lu): embed notification names window 0x%llx of another process (%lu), ignored",
       vm.name.c_str(), (unsigned long)vm.pid, (unsigned long long)lparam, (unsigned long)owner);
  return false;
}

}  // namespace

void Fleet::make_host(Vm& vm) {
  if (vm.host) return;
  vm.host = CreateWindowExW(WS_EX_NOPARENTNOTIFY, L"VunkVmHost", L"",
                            WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, 0, 0, 16, 16, main,
                            nullptr, GetModuleHandleW(nullptr), nullptr);
}

LRESULT CALLBACK host_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (g_fleet.notify_msg != 0 && message == g_fleet.notify_msg) {
    if (Vm* vm = g_fleet.by_host(window)) g_fleet.handle_notify(*vm, wparam, lparam);
    return 0;
  }
  if (message == WM_ERASEBKGND) {
    RECT r;
    GetClientRect(window, &r);
    FillRect(HDC(wparam), &r, HBRUSH(GetStockObject(BLACK_BRUSH)));
    return 1;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

void Fleet::handle_notify(Vm& vm, WPARAM code, LPARAM lparam) {
  VmEvent event;
  switch (code) {
    case 1:
      if (!window_of_vm(vm, lparam)) return;
      wlog("%s (pid %lu): embedded, window 0x%llx", vm.name.c_str(), (unsigned long)vm.pid,
           (unsigned long long)lparam);
      vm.guest = HWND(lparam);
      vm.docked = true;
      event = VmEvent::Embedded;
      break;
    case 2:
      vm.guest_w = int(lparam & 0xFFFF);
      vm.guest_h = int((lparam >> 16) & 0xFFFF);
      event = VmEvent::GuestSize;
      break;
    case 3:
      event = VmEvent::FullscreenToggle;
      break;
    case 4:
      vm.mouse_grabbed = lparam != 0;
      event = VmEvent::MouseGrab;
      break;
    case 5:
      if (!window_of_vm(vm, lparam)) return;
      wlog("%s (pid %lu): detached into its own window", vm.name.c_str(), (unsigned long)vm.pid);
      vm.docked = false;
      vm.guest = HWND(lparam);
      event = VmEvent::Detached;
      break;
    case 6:
      vm.guest_focused = lparam != 0;
      event = VmEvent::KeyboardFocus;
      break;
    case 7:
      event = VmEvent::GuestKey;
      break;
    default:
      return;
  }
  if (on_event) on_event(vm, event, i64(lparam));
}

void Fleet::detach(Vm& vm) {
  if (!vm.guest || !vm.docked) return;
  AllowSetForegroundWindow(vm.pid);
  PostMessageW(vm.guest, cmd_msg, kCmdDetach, 0);
}

bool Fleet::dock(Vm& vm) {
  if (!vm.guest || !vm.can_embed || vm.docked) return false;
  if (vm.thumbnail) {
    DwmUnregisterThumbnail(vm.thumbnail);
    vm.thumbnail = nullptr;
  }
  make_host(vm);
  if (!vm.host) return false;  // nothing to dock into
  PostMessageW(vm.guest, cmd_msg, kCmdDock, LPARAM(vm.host));
  return true;
}

void Fleet::focus_guest(Vm& vm) {
  if (vm.guest && vm.docked) PostMessageW(vm.guest, cmd_msg, kCmdFocus, 0);
}

namespace {

struct WindowSearch {
  DWORD pid;
  HWND best = nullptr;
  int best_area = 0;
};

BOOL CALLBACK consider_window(HWND w, LPARAM lparam) {
  auto& s = *reinterpret_cast<WindowSearch*>(lparam);
  DWORD owner = 0;
  GetWindowThreadProcessId(w, &owner);
  if (owner != s.pid || !IsWindowVisible(w) || GetWindow(w, GW_OWNER)) return TRUE;
  RECT r;
  if (!GetWindowRect(w, &r)) return TRUE;
  const int area = (r.right - r.left) * (r.bottom - r.top);
  if (!s.best || area > s.best_area) {
    s.best = w;
    s.best_area = area;
  }
  return TRUE;
}

}  // namespace

void Fleet::find_window(Vm& vm) {
  if (vm.docked || vm.pid == 0) return;
  if (vm.guest && IsWindow(vm.guest) && !GetParent(vm.guest)) return;
  WindowSearch s{vm.pid};
  EnumWindows(consider_window, LPARAM(&s));
  vm.guest = s.best;
}

// The fleet's records: start-up, look-ups and removal.
#include "machines/fleet.h"

#include <algorithm>

#include "machines/library.h"

Fleet g_fleet;

Vm::~Vm() {
  qmp.drop();
}

void Fleet::init(HWND main_window) {
  main = main_window;
  cmd_msg = RegisterWindowMessageW(L"QEMU_D3D11_EMBED_CMD");
  notify_msg = RegisterWindowMessageW(L"QEMU_D3D11_EMBED_NOTIFY");
  WNDCLASSW wc = {};
  wc.lpfnWndProc = host_proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.lpszClassName = L"VunkVmHost";
  RegisterClassW(&wc);
  discover();
}

Vm* Fleet::by_uid(int uid) {
  for (auto& vm : vms)
    if (vm->uid == uid) return vm.get();
  return nullptr;
}

Vm* Fleet::by_host(HWND host) {
  for (auto& vm : vms)
    if (vm->host == host) return vm.get();
  return nullptr;
}

Vm* Fleet::writer_of(const std::wstring& path) {
  const std::wstring key = norm_path(path);
  for (auto& vm : vms) {
    if (vm->phase == 2) continue;
    for (auto& d : vm->drives)
      if (!d.scratch && d.path == key) return vm.get();
  }
  return nullptr;
}

int Fleet::active_count() const {
  return int(std::count_if(vms.begin(), vms.end(), [](auto& vm) { return vm->phase != 2; }));
}

void Fleet::remove(Vm* vm) {
  auto it = std::find_if(vms.begin(), vms.end(), [&](auto& p) { return p.get() == vm; });
  if (it == vms.end()) return;
  if (vm->thumbnail) {
    DwmUnregisterThumbnail(vm->thumbnail);
    vm->thumbnail = nullptr;
  }
  if (vm->host) {
    DestroyWindow(vm->host);
    vm->host = nullptr;
  }
  vm->qmp.on_close = nullptr;
  vm->qmp.close();
  // A failure callback may have changed the fleet, even removed this record.
  it = std::find_if(vms.begin(), vms.end(), [&](auto& p) { return p.get() == vm; });
  if (it == vms.end()) return;
  if (vm->process) CloseHandle(vm->process);
  if (vm->script) CloseHandle(vm->script);
  vm->process = nullptr;
  vm->script = nullptr;
  vms.erase(it);
}

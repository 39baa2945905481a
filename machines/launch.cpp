// Starting a machine: every check that can be made before a process exists,
// then the Vm, its QMP port or script slot, the command line, the launch log
// and the hidden child process.
#include <winsock2.h>
#include <windows.h>

#include <ctime>

#include "core/common.h"
#include "machines/cmdline.h"
#include "machines/fleet.h"
#include "machines/library.h"
#include "machines/proc.h"
#include "machines/profile.h"
#include "machines/settings.h"
#include "macdisk/rom.h"

bool port_free(int port) {
  static const bool wsa_up = [] {
    WSADATA d;
    return WSAStartup(MAKEWORD(2, 2), &d) == 0;
  }();
  (void)wsa_up;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return false;
  BOOL on = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, (const char*)&on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons((u_short)port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = bind(s, (sockaddr*)&a, sizeof a) == 0;
  closesocket(s);
  return ok;
}

std::wstring all_qemu_cmdlines() {
  std::wstring all;
  for (size_t i = 0; i < g_fleet.vms.size(); i++)
    if (g_fleet.vms[i]->process) all += process_cmdline(g_fleet.vms[i]->process) + L"\n";
  return all;
}

std::wstring test_display() { return env_value(L"VUNK_TEST_DISPLAY"); }

namespace {

double unix_now() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  u64 t = ((u64)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
  return (double)t / 1e7 - 11644473600.0;
}

// A Quadra needs its parameter RAM file; a blank one is 256 zero bytes.
void ensure_pram(const std::wstring& path) {
  if (file_exists(path)) return;
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  char zero[256] = {};
  DWORD put = 0;
  WriteFile(f, zero, sizeof zero, &put, nullptr);
  CloseHandle(f);
}

}  // namespace

Vm* Fleet::launch(Machine& machine, std::string& err, int scratch_arg, const std::wstring& qemu_dir_arg) {
  const bool scratch = scratch_arg >= 0 ? scratch_arg > 0 : machine.scratch;

  // Its launch.log (and a Quadra's pram.img) would land in the current folder.
  if (machine.dir.empty()) {
    err = "MACHINE FOLDER NOT SET";
    return nullptr;
  }
  const Profile* prof = find_profile(machine.profile);
  if (!prof) {
    err = "UNKNOWN PROFILE " + machine.profile;
    return nullptr;
  }
  const std::wstring qdir = qemu_dir_arg.empty() ? g_set.qemu_dir : qemu_dir_arg;
  const std::wstring exe = path_join(qdir, L"qemu-system-" + widen(prof->arch) + L".exe");
  if (!file_exists(exe)) {
    err = "NO QEMU-SYSTEM-" + upper(prof->arch) + ".EXE IN " + narrow(qdir);
    return nullptr;
  }
  if (machine.disk.empty() || !file_exists(machine.disk)) {
    err = "DISK NOT FOUND: " + narrow(machine.disk);
    return nullptr;
  }
  if (!scratch) {
    if (Vm* w = writer_of(machine.disk)) {
      err = strf("DISK IN USE BY %s (PID %lu). LAUNCH IT IN SCRATCH MODE OR STOP THAT VM.",
                 upper(w->name).c_str(), (unsigned long)w->pid);
      return nullptr;
    }
  }
  std::wstring rom;
  if (prof->board == ArchKind::M68k) {
    rom = mac_find_rom(path_dir(machine.disk));
    if (rom.empty()) {
      err = "NO QUADRA 650/800 ROM: SET ONE IN CONFIGURATION";
      return nullptr;
    }
  }
  const bool script = prof->tiger == 1;
  if (script && !file_exists(g_set.tiger_script)) {
    err = "LAUNCH SCRIPT MISSING: " + narrow(g_set.tiger_script);
    return nullptr;
  }

  auto vm = std::make_unique<Vm>();
  vm->uid = next_uid++;
  vm->ours = true;
  vm->machine = &machine;
  vm->profile = prof;
  vm->name = machine.name;
  vm->exe = exe;
  vm->qemu_dir = qdir;
  vm->scratch = scratch;
  vm->started = now_s();
  vm->start_unix = unix_now();
  vm->drives.push_back({norm_path(machine.disk), scratch});

  vm->can_embed = exe_supports_embed(exe);
  const bool d3d11 = exe_has_d3d11(exe);
  if (vm->can_embed) make_host(*vm);
  const std::wstring parent =
      vm->host ? widen(strf("0x%llx", (unsigned long long)(uintptr_t)vm->host)) : std::wstring();
  auto discard_host = [&] {
    if (vm->host) DestroyWindow(vm->host);
    vm->host = nullptr;
  };

  const std::wstring log = path_join(machine.dir, L"launch.log");
  const std::wstring cmdlines = all_qemu_cmdlines();
  std::wstring program;
  std::vector<std::wstring> args;
  if (script) {
    int slot = pick_slot(port_free, cmdlines, machine.is_main_tiger(), scratch);
    if (slot < 0) {
      err = "NO FREE INSTANCE SLOT";
      discard_host();
      return nullptr;
    }
    vm->slot = slot;
    vm->qmp_port = 4445 + slot;
    program = L"powershell.exe";
    ScriptSpec s;
    s.script = g_set.tiger_script;
    s.root = g_set.tiger_root;
    s.slot = slot;
    s.qemu_dir = qdir;
    s.mem = machine.mem;
    s.cpus = machine.cpus;
    s.disk = machine.disk;
    s.main_disk = machine.is_main_tiger();
    s.install = machine.install;
    s.scratch = scratch;
    s.parent = parent;
    s.extra = machine.extra;
    s.headless = test_display() == L"none";
    args = script_args(s);
    vm->log_path = script_log_path(g_set.tiger_root, slot);
  } else {
    vm->qmp_port = pick_qmp_port(port_free, cmdlines);
    program = exe;
    QemuSpec s;
    s.arch = prof->arch;
    s.os = (int)prof->os;
    s.name = machine.name;
    s.port = vm->qmp_port;
    s.display = display_value(d3d11, parent, test_display());
    s.mem = machine.mem;
    s.cpus = machine.cpus;
    s.whpx = whpx_ok();
    s.scratch = scratch;
    s.disk = machine.disk;
    s.cdrom = machine.cdrom;
    s.install = machine.install;
    s.extra = machine.extra;
    if (prof->board == ArchKind::M68k) {
      s.rom = rom;
      s.pram = path_join(machine.dir, L"pram.img");
      ensure_pram(s.pram);
    }
    bool install_boot = false;
    args = qemu_args(s, &install_boot);
    // The install media boots once; the next launch starts from the disk.
    if (install_boot) machine.install = false;
    vm->log_path = log;
  }
  const std::wstring cmdline = join_cmdline(program, args);

  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE lf = CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
  if (lf != INVALID_HANDLE_VALUE) {
    std::string head = "> " + narrow(cmdline) + "\r\n";
    DWORD put = 0;
    WriteFile(lf, head.data(), (DWORD)head.size(), &put, nullptr);
  }

  // Only the log reaches the child: a QEMU that runs for hours must not hold
  // a pipe end meant for another child.
  PROCESS_INFORMATION pi{};
  HANDLE out = lf == INVALID_HANDLE_VALUE ? nullptr : lf;
  bool started = create_child(cmdline, CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP,
                              qdir.empty() ? nullptr : qdir.c_str(), nullptr, out,
                              out, pi);
  DWORD error = GetLastError();
  if (lf != INVALID_HANDLE_VALUE) CloseHandle(lf);
  if (!started) {
    err = strf("COULD NOT START (ERROR %lu)", (unsigned long)error);
    discard_host();
    return nullptr;
  }
  CloseHandle(pi.hThread);
  if (script) {
    vm->script_pid = pi.dwProcessId;
    vm->script = pi.hProcess;
  } else {
    vm->pid = pi.dwProcessId;
    vm->process = pi.hProcess;
  }
  machine.last_run = (i64)time(nullptr);
  machine.save();
  wlog("%s: launched (pid %lu%s): %s", machine.name.c_str(), (unsigned long)pi.dwProcessId,
       script ? ", launch script" : "", narrow(cmdline).c_str());

  Vm* raw = vm.get();
  vms.push_back(std::move(vm));
  attach_qmp(*raw);
  return raw;
}

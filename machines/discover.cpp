// Finding QEMU processes the fleet does not hold yet: the QEMU of a launch
// script joins its Vm, every other one becomes an external Vm described by
// its command line.
#include <windows.h>
#include <tlhelp32.h>
#include <winternl.h>

#include "core/common.h"
#include "machines/cmdline.h"
#include "machines/fleet.h"
#include "machines/library.h"
#include "machines/profile.h"

std::function<std::wstring(unsigned long pid)> g_cmdline_source;

namespace {

struct Seen {
  DWORD pid;
  DWORD parent;
  std::wstring file;
};

typedef LONG(NTAPI* NtQip)(HANDLE, ULONG, PVOID, ULONG, PULONG);

struct CountedText {
  USHORT length;
  USHORT maximum;
  PWSTR buffer;
};

// Where the process keeps its own command line: its parameters block, which
// its PEB points at, read out of its memory. Windows before 8.1 and Wine (up
// to 8 at least) have no query for another process's command line; this way
// works on both, with a handle that may read the process's memory. The
// caller's handle keeps the process, so its id cannot name another one
// meanwhile.
std::wstring cmdline_from_peb(NtQip query, DWORD pid) {
  HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (!h) return L"";
  std::wstring out;
  PROCESS_BASIC_INFORMATION basic{};
  PEB peb{};
  RTL_USER_PROCESS_PARAMETERS params{};
  SIZE_T got = 0;
  if (query(h, ProcessBasicInformation, &basic, sizeof basic, nullptr) >= 0 && basic.PebBaseAddress &&
      ReadProcessMemory(h, basic.PebBaseAddress, &peb, sizeof peb, &got) && got == sizeof peb &&
      peb.ProcessParameters &&
      ReadProcessMemory(h, peb.ProcessParameters, &params, sizeof params, &got) && got == sizeof params &&
      params.CommandLine.Buffer && params.CommandLine.Length > 0) {
    std::wstring text(params.CommandLine.Length / 2, L'\0');
    // A process that is still setting itself up can show the length before
    // the text: a command line holds no NUL, so one that does is not there yet.
    if (ReadProcessMemory(h, params.CommandLine.Buffer, text.data(), text.size() * 2, &got) &&
        got == text.size() * 2 && text.find(L'\0') == std::wstring::npos)
      out = text;
  }
  CloseHandle(h);
  return out;
}

// Seconds since the process was created; large when that cannot be told.
double process_age(HANDLE process) {
  FILETIME created, ended, kernel, user, now;
  if (!GetProcessTimes(process, &created, &ended, &kernel, &user)) return 1e9;
  GetSystemTimeAsFileTime(&now);
  auto ticks = [](const FILETIME& f) { return (u64(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
  return (double(ticks(now)) - double(ticks(created))) / 1e7;
}

// How long a new process may take to show its command line.
constexpr double kCmdlineGrace = 5.0;

}  // namespace

std::wstring process_cmdline(HANDLE process) {
  if (g_cmdline_source) {
    std::wstring fed = g_cmdline_source(GetProcessId(process));
    if (!fed.empty()) return fed;
  }
  static const NtQip query = [] {
    HMODULE nt = GetModuleHandleW(L"ntdll.dll");
    return nt ? (NtQip)(void*)GetProcAddress(nt, "NtQueryInformationProcess") : nullptr;
  }();
  if (!query) return L"";
  const ULONG kCommandLineClass = 60;
  ULONG need = 0;
  query(process, kCommandLineClass, nullptr, 0, &need);
  if (need == 0) return cmdline_from_peb(query, GetProcessId(process));
  std::vector<unsigned char> buf(need, 0);
  if (query(process, kCommandLineClass, buf.data(), need, &need) < 0) return L"";
  if (buf.size() < sizeof(CountedText)) return L"";
  const auto* text = (const CountedText*)buf.data();
  if (!text->buffer) return L"";
  return std::wstring(text->buffer, text->length / 2);
}

void Fleet::discover() {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return;
  std::vector<Seen> found;
  PROCESSENTRY32W e{};
  e.dwSize = sizeof e;
  for (BOOL more = Process32FirstW(snap, &e); more; more = Process32NextW(snap, &e)) {
    std::wstring file = e.szExeFile;
    if (lower_w(file).rfind(L"qemu-system-", 0) == 0) found.push_back({e.th32ProcessID, e.th32ParentProcessID, file});
  }
  CloseHandle(snap);

  for (const Seen& p : found) {
    bool known = false;
    for (size_t i = 0; i < vms.size() && !known; i++) known = vms[i]->pid == p.pid;
    if (!known) {
      // A launch script's QEMU joins the script's Vm, but only while that Vm
      // is still alive: an exited record would take the process down with it.
      for (size_t i = 0; i < vms.size() && !known; i++) {
        Vm& v = *vms[i];
        if (v.pid != 0 || v.script_pid == 0 || v.script_pid != p.parent || v.phase == 2) continue;
        v.pid = p.pid;
        v.process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE,
                                FALSE, p.pid);
        if (!v.process) v.process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, p.pid);
        known = true;
      }
    }
    if (known) continue;

    HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, p.pid);
    if (!h) continue;
    // Where the command line is read from the process's own memory, a process
    // that has only just been created may not have written it there yet: it
    // is looked at again on the next pass rather than kept without a name.
    const std::wstring cmdline = process_cmdline(h);
    if (cmdline.empty() && process_age(h) < kCmdlineGrace) {
      CloseHandle(h);
      continue;
    }
    auto vm = std::make_unique<Vm>();
    vm->uid = next_uid++;
    vm->pid = p.pid;
    vm->process = h;
    vm->phase = 1;

    wchar_t image[520];
    DWORD n = 520;
    vm->exe = QueryFullProcessImageNameW(h, 0, image, &n) ? std::wstring(image, n) : p.file;
    vm->qemu_dir = path_dir(vm->exe);

    std::vector<std::wstring> argv;
    if (split_cmdline(cmdline, argv)) {
      QemuArgv a = parse_qemu_argv(argv);
      vm->name = a.name;
      vm->qmp_port = a.qmp_port;
      vm->can_embed = a.can_embed;
      bool all_scratch = !a.drives.empty();
      for (const SeenDrive& d : a.drives) {
        std::wstring path = norm_path(d.path);
        vm->drives.push_back({path, d.scratch});
        all_scratch = all_scratch && d.scratch;
        if (!vm->machine) vm->machine = g_lib.by_disk(path);
      }
      vm->scratch = all_scratch;
      if (vm->machine) {
        vm->profile = find_profile(vm->machine->profile);
        if (vm->name.empty()) vm->name = vm->machine->name;
      } else {
        vm->profile = find_profile(guess_external_profile(a, vm->exe));
      }
    }
    if (vm->name.empty()) vm->name = "QEMU";

    vm->auto_dock = vm->can_embed;
    vm->status.clear();
    wlog("found external QEMU %s (pid %lu, %s, QMP %d%s)", vm->name.c_str(), (unsigned long)vm->pid,
         narrow(path_leaf(vm->exe)).c_str(), vm->qmp_port, vm->can_embed ? ", embeddable" : "");
    vms.push_back(std::move(vm));
  }
}

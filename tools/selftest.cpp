// The self-test runs on the UI thread in place of the main loop: QMP replies,
// embed notifications and exit detection arrive only while pump() runs, and
// the checks read the Vm records between pumps. A Vm is always found again by
// its uid: one that exits may be removed by whoever else touches the fleet.
#include "tools/selftest.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <deque>
#include <memory>

#include "machines/machine.h"
#include "macdisk/mac68k.h"
#include "macdisk/rom.h"

namespace {

FILE* g_log = nullptr;
int g_fail = 0;

void say(const char* fmt, ...) __attribute__((format(gnu_printf, 1, 2)));
void say(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vfprintf(g_log, fmt, ap);
  va_end(ap);
  fputs("\n", g_log);
  // Complete up to the last finding even if the process dies next.
  fflush(g_log);
}

void check(bool ok, const std::string& what) {
  say("%s  %s", ok ? "PASS" : "FAIL", what.c_str());
  if (!ok) ++g_fail;
}

// Fleet records point at their Machine, and the fleet keeps exited Vms to the
// end of the process: the test machines live as long.
Machine& keep(const Machine& m) {
  static std::deque<Machine> machines;
  machines.push_back(m);
  return machines.back();
}

bool gone(int uid) {
  Vm* v = g_fleet.by_uid(uid);
  return !v || v->phase == 2;
}

// Bytes at an offset; what cannot be read stays 0.
std::string bytes_at(const std::wstring& path, long offset, size_t count) {
  std::string out(count, '\0');
  if (FILE* f = _wfopen(path.c_str(), L"rb")) {
    if (fseek(f, offset, SEEK_SET) == 0) {
      size_t got = fread(out.data(), 1, count, f);
      (void)got;
    }
    fclose(f);
  }
  return out;
}

// An early-exit explanation is the tail of the machine's log, one line
// each: continuation lines are indented under the first, and the last line
// break would leave an empty report line.
std::string error_text(std::string message) {
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  std::string out;
  for (char c : message) {
    if (c == '\r') continue;
    out += c;
    if (c == '\n') out += "             ";
  }
  return out;
}

Vm* launch(Machine& m, std::string& err) {
  err.clear();
  return g_fleet.launch(m, err, -1, L"");
}

// What a screendump callback leaves behind. Shared with the callback, which
// may come after the wait for it has given up.
struct Dump {
  bool called = false, ok = false;
  std::string path;
};

std::shared_ptr<Dump> screendump(Vm& vm) {
  auto d = std::make_shared<Dump>();
  g_fleet.screenshot(vm, [d](bool ok, const std::string& path) {
    d->called = true;
    d->ok = ok;
    d->path = path;
  });
  pump(10, [d] { return d->called; });
  return d;
}

void force_off(int uid) {
  if (Vm* v = g_fleet.by_uid(uid); v && v->phase != 2) g_fleet.force_off(*v);
}

void vm_cycle(Vm& vm, bool with_screendump) {
  const int uid = vm.uid;
  auto live = [uid] { return gone(uid) ? nullptr : g_fleet.by_uid(uid); };
  bool up = pump(40, [&] {
    Vm* v = live();
    return !v || (v->process && v->qmp.ready);
  });
  check(up && !gone(uid), "QEMU running, QMP connected");
  if (gone(uid)) {
    Vm* v = g_fleet.by_uid(uid);
    say("      error: %s", v ? error_text(v->message).c_str() : "");
    return;
  }
  auto status = [&] {
    Vm* v = g_fleet.by_uid(uid);
    return v ? v->status : std::string();
  };
  bool got = pump(5, [&] { return !status().empty(); });
  check(got && status() == "running", strf("query-status = %s", status().c_str()));
  if (Vm* v = live()) g_fleet.pause(*v);
  check(pump(5, [&] { return status() == "paused"; }), "pause -> STOP event");
  if (Vm* v = live()) g_fleet.resume(*v);
  check(pump(5, [&] { return status() == "running"; }), "resume -> RESUME event");
  if (with_screendump) {
    std::shared_ptr<Dump> d = live() ? screendump(*live()) : std::make_shared<Dump>();
    std::wstring png = widen(d->path);
    check(d->ok && file_exists(png) && file_size(png) > 0, "screendump -> " + d->path);
    if (d->ok) DeleteFileW(png.c_str());
  }
  pump(2.5, {});
  Vm* v = g_fleet.by_uid(uid);
  size_t n = v ? v->cpu_history.size() : 0;
  float last = n ? v->cpu_history.back() : 0.0f;
  std::string memory = human_bytes(v ? v->private_bytes : 0);
  check(n > 0, strf("CPU samples (%u, last %.2f cores), memory %s", unsigned(n), last, memory.c_str()));
  force_off(uid);
  check(pump(20, [uid] { return gone(uid); }), "force off -> exit detected");
}

HWND parent_of(HWND w) {
  HWND p = w && IsWindow(w) ? GetAncestor(w, GA_PARENT) : nullptr;
  return p == GetDesktopWindow() ? nullptr : p;
}

void embed_cycle(Machine& machine) {
  say("-- embedded display, %s (parent=, QEMU_D3D11_NO_SWAPCHAIN=1)", machine.profile.c_str());
  SetEnvironmentVariableW(L"VUNK_TEST_DISPLAY", nullptr);
  SetEnvironmentVariableW(L"QEMU_D3D11_NO_SWAPCHAIN", L"1");
  SetEnvironmentVariableW(L"QEMU_D3D11_NOACTIVATE", L"1");
  std::string err;
  Vm* vm = launch(machine, err);
  check(vm && vm->host, "launch with a host window: " + (vm ? std::string("ok") : err));
  if (vm) {
    const int uid = vm->uid;
    auto live = [uid] { return gone(uid) ? nullptr : g_fleet.by_uid(uid); };
    bool ready = pump(40, [&] {
      Vm* v = live();
      return !v || (v->docked && v->guest_w > 0);
    });
    Vm* v = live();
    if (!ready || !v) {
      check(false, strf("READY + SIZE (%dx%d)", 0, 0));
    } else {
      check(true, strf("READY + SIZE (%dx%d)", v->guest_w, v->guest_h));
      check(v->guest && parent_of(v->guest) == v->host, "QEMU's window is a child of the VM's host window");
      ShowWindow(v->host, SW_SHOWNORMAL);
      SetWindowPos(v->guest, nullptr, 0, 0, v->guest_w, v->guest_h,
                   SWP_NOZORDER | SWP_NOACTIVATE | SWP_SHOWWINDOW | SWP_ASYNCWINDOWPOS);
      g_fleet.detach(*v);
      if (!pump(10, [&] {
            Vm* x = live();
            return x && !x->docked;
          })) {
        check(false, "DETACH -> DETACHED, a top-level window now");
        check(false, "DOCK (ATTACH) -> READY, a child of the host again");
      } else {
        v = live();
        check(v && v->guest && IsWindow(v->guest) && !parent_of(v->guest),
              "DETACH -> DETACHED, a top-level window now");
        if (!v || !g_fleet.dock(*v)) {
          check(false, "DOCK (ATTACH) -> READY, a child of the host again");
        } else {
          // Docking makes a new host window: read it again each time.
          check(pump(10,
                     [&] {
                       Vm* x = live();
                       return x && x->docked && x->guest && parent_of(x->guest) == x->host;
                     }),
                "DOCK (ATTACH) -> READY, a child of the host again");
        }
      }
    }
    force_off(uid);
    check(pump(20, [uid] { return gone(uid); }), "force off -> exit detected");
  }
  SetEnvironmentVariableW(L"QEMU_D3D11_NO_SWAPCHAIN", nullptr);
  SetEnvironmentVariableW(L"VUNK_TEST_DISPLAY", L"none");
}

// One section's launch: the PASS or FAIL line, then the cycle when it started.
void launch_and_cycle(Machine& m, bool with_screendump) {
  std::string err;
  Vm* vm = launch(m, err);
  check(vm != nullptr, "launch: " + (vm ? std::string("ok") : err));
  if (vm) vm_cycle(*vm, with_screendump);
}

void mac_section(const std::wstring& scratch, const Machine& base) {
  std::wstring rom_env = env_value(L"VUNK_TEST_MAC_ROM");
  if (!rom_env.empty() && g_set.mac_rom.empty()) g_set.mac_rom = rom_env;
  if (!file_exists(qemu_exe("m68k"))) {
    say("SKIP  68K (no qemu-system-m68k.exe)");
    return;
  }
  if (mac_find_rom(L"").empty()) {
    say("SKIP  68K (no Quadra ROM; set VUNK_TEST_MAC_ROM)");
    return;
  }
  say("-- 68K (macos7-68k, Quadra 800)");
  Machine mac = base;
  mac.profile = "macos7-68k";
  mac.disk = path_join(scratch, L"m68k.img");
  mac.mem = 128;
  std::string err;
  bool made = mac_make_blank(mac.disk, 67108864, err);
  std::string head = bytes_at(mac.disk, 32768, 4);
  check(made && head[0] == char(0x60) && head[1] == 0, "blank disk: partition map + driver at block 64 " + err);
  Machine& m68k = keep(mac);
  launch_and_cycle(m68k, true);
  if (exe_supports_embed(qemu_exe("m68k"))) embed_cycle(m68k);

  std::wstring hfs = env_value(L"VUNK_TEST_HFS");
  if (!hfs.empty()) {
    Machine& copy = keep(mac);
    copy.disk = path_join(scratch, L"hfs-copy.img");
    err.clear();
    bool copied = mac_make_bootable(hfs, copy.disk, err);
    check(copied && bytes_at(copy.disk, 50176, 2) == "BD", "bootable copy of a bare HFS volume " + err);
    Vm* vm = nullptr;
    if (copied) vm = launch(copy, err);
    check(vm != nullptr, "launch the copy: " + (copied ? (vm ? std::string("ok") : err) : std::string()));
    if (vm) {
      const int uid = vm->uid;
      bool still = !pump(70, [uid] { return gone(uid); }) && !gone(uid);
      Vm* v = g_fleet.by_uid(uid);
      std::shared_ptr<Dump> d = v ? screendump(*v) : std::make_shared<Dump>();
      check(still && d->ok, "still running after 70 s, screendump " + d->path);
      if (d->ok && env_value(L"VUNK_TEST_KEEP").empty()) DeleteFileW(widen(d->path).c_str());
      force_off(uid);
      pump(20, [uid] { return gone(uid); });
    }
    DeleteFileW(copy.disk.c_str());
  }
  DeleteFileW(mac.disk.c_str());
  DeleteFileW(path_join(scratch, L"pram.img").c_str());
}

void guards(const std::wstring& scratch, const Machine& base) {
  say("-- guards");
  Machine& missing = keep(base);
  missing.disk = path_join(scratch, L"missing.qcow2");
  std::string err;
  Vm* vm = launch(missing, err);
  check(!vm && err.find("DISK NOT FOUND") != std::string::npos, "missing disk: " + err);

  const std::wstring main_disk = path_join(g_set.tiger_root, L"vm\\tiger-hd.img");
  if (!g_fleet.writer_of(main_disk)) {
    say("SKIP  main disk guard (the main Tiger VM is not running)");
  } else {
    Machine& guard = keep(base);
    guard.profile = "macosx-x86";
    guard.disk = main_disk;
    vm = launch(guard, err);
    check(!vm && err.find("DISK IN USE") != std::string::npos, "main disk in use: " + err);
  }
}

void tiger_section(const Machine& base) {
  if (!g_set.tiger_ok()) {
    say("SKIP  run-tiger path (no Tiger setup on this PC)");
    const Profile* p = find_profile("macosx-x86");
    check(!p || !profile_shown(*p), "the Mac OS X Intel profile is hidden");
    return;
  }
  say("-- run-tiger path (scratch, headless)");
  Machine& tiger = keep(base);
  tiger.profile = "macosx-x86";
  tiger.name = "Tiger selftest";
  tiger.disk = path_join(g_set.tiger_root, L"vm\\tiger-hd.img");
  tiger.mem = 2048;
  tiger.cpus = 2;
  tiger.scratch = true;
  std::string err;
  Vm* vm = launch(tiger, err);
  check(vm != nullptr, "launch: " + (vm ? strf("instance %d, QMP %d", vm->slot, vm->qmp_port) : err));
  if (vm) vm_cycle(*vm, false);
}

}  // namespace

bool pump(double seconds, const std::function<bool()>& predicate) {
  const double deadline = now_s() + seconds;
  double next_tick = 0;
  while (now_s() < deadline) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (now_s() >= next_tick) {
      g_fleet.tick();
      next_tick = now_s() + 0.5;
    }
    if (predicate && predicate()) return true;
    Sleep(15);
  }
  return predicate ? predicate() : true;
}

int run_selftest(const std::wstring& report) {
  g_log = _wfopen(report.c_str(), L"w");
  if (!g_log) return 3;
  g_fail = 0;
  SetEnvironmentVariableW(L"VUNK_TEST_DISPLAY", L"none");

  say("V.U.N.K. self test  qemu=%s", narrow(g_set.qemu_dir).c_str());
  say("      x86 accel %s, QEMU DLLs %s", whpx_ok() ? "WHPX" : "TCG (no hypervisor platform)",
      file_exists(path_join(g_set.qemu_dir, L"libglib-2.0-0.dll")) ? "next to QEMU (portable)"
                                                                    : "from the MSYS2 folder");

  wchar_t tmp[260];
  DWORD tn = GetTempPathW(260, tmp);
  const std::wstring scratch = path_join(tn > 0 && tn < 260 ? std::wstring(tmp, tn) : L"", L"vunk-selftest");
  CreateDirectoryW(scratch.c_str(), nullptr);
  Machine base;
  base.dir = scratch;
  base.disk = path_join(scratch, L"disk.qcow2");
  base.id = "selftest";
  base.name = "Selftest";
  base.profile = "other-x64";
  base.mem = 256;
  base.cpus = 1;

  DeleteFileW(base.disk.c_str());
  std::string out;
  bool made = run_capture(quote_arg(path_join(g_set.qemu_dir, L"qemu-img.exe")) + L" create -f qcow2 " +
                              quote_arg(base.disk) + L" 64M",
                          out, 20000);
  check(made && file_exists(base.disk), "qemu-img create 64M qcow2");

  say("-- generic profile (other-x64)");
  Machine& pc = keep(base);
  launch_and_cycle(pc, true);
  if (exe_supports_embed(qemu_exe("x86_64")))
    embed_cycle(pc);
  else
    say("SKIP  embedded display, x86_64 (this QEMU can't embed)");

  if (!file_exists(qemu_exe("ppc"))) {
    say("SKIP  PowerPC (no qemu-system-ppc.exe)");
  } else {
    say("-- generic profile (macosx-ppc)");
    Machine& ppc = keep(base);
    ppc.profile = "macosx-ppc";
    ppc.mem = 512;
    launch_and_cycle(ppc, true);
    if (exe_supports_embed(qemu_exe("ppc")))
      embed_cycle(ppc);
    else
      say("SKIP  embedded display, ppc (this QEMU can't embed)");
  }

  mac_section(scratch, base);
  guards(scratch, base);
  tiger_section(base);

  pump(1, {});
  for (size_t i = 0; i < g_fleet.vms.size(); ++i) {
    Vm& v = *g_fleet.vms[i];
    if (!v.ours || v.phase == 2) continue;
    say("WARN  %s still running, terminating", v.name.c_str());
    if (v.process) TerminateProcess(v.process, 1);
  }
  for (const wchar_t* leaf : {L"disk.qcow2", L"launch.log", L"machine.ini"})
    DeleteFileW(path_join(scratch, leaf).c_str());
  RemoveDirectoryW(scratch.c_str());

  say("%s (%d failures)", g_fail == 0 ? "ALL PASSED" : "FAILED", g_fail);
  fclose(g_log);
  g_log = nullptr;
  return g_fail != 0 ? 1 : 0;
}

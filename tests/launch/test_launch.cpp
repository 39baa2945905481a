// Launching machines for real: the checks and their order, ports, the launch
// log, early exits, the launch script, and discovery of QEMU processes that
// the fleet did not start. A stand-in child plays a QEMU that dies or idles.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <list>

#include "machines/cmdline.h"
#include "machines/fleet.h"
#include "machines/library.h"
#include "machines/profile.h"
#include "machines/settings.h"
#include "tests/fleet/fleet_test_util.h"
#include "tests/launch/launch_test_util.h"
#include "tests/support/test_support.h"

namespace {

class Launch : public LaunchFixture {};

// A folder holding the stand-in under the emulator names of every family.
std::wstring stub_folder(const std::wstring& root) {
  std::wstring q = path_join(root, L"stubq");
  CreateDirectoryW(q.c_str(), nullptr);
  for (const wchar_t* arch : {L"x86_64", L"ppc", L"m68k", L"aarch64"})
    CopyFileW(test_exe(L"embed_display.exe").c_str(), path_join(q, std::wstring(L"qemu-system-") + arch + L".exe").c_str(),
              FALSE);
  return q;
}

}  // namespace

TEST_F(Launch, ChecksRunInOrderWithTheirMessages) {
  std::wstring empty_q = path_join(root, L"noqemu");
  CreateDirectoryW(empty_q.c_str(), nullptr);
  std::wstring q = stub_folder(root);
  std::wstring disk = make_disk(L"d1.img");
  std::string err;

  Machine& bad = machine("Odd", "beos-x86", disk);
  EXPECT_EQ(g_fleet.launch(bad, err, -1, empty_q), nullptr);
  EXPECT_EQ(err, "UNKNOWN PROFILE beos-x86");

  // A missing emulator is reported before a missing disk.
  Machine& pc = machine("Pc", "linux-x64", path_join(root, L"missing.img"));
  EXPECT_EQ(g_fleet.launch(pc, err, -1, empty_q), nullptr);
  EXPECT_EQ(err, "NO QEMU-SYSTEM-X86_64.EXE IN " + narrow(empty_q));
  EXPECT_EQ(g_fleet.launch(pc, err, -1, q), nullptr);
  EXPECT_EQ(err, "DISK NOT FOUND: " + narrow(path_join(root, L"missing.img")));
  pc.disk.clear();
  EXPECT_EQ(g_fleet.launch(pc, err, -1, q), nullptr);
  EXPECT_EQ(err, "DISK NOT FOUND: ");

  // A disk that a live Vm writes, named in any spelling, comes before the ROM.
  Vm* writer = fake_vm("Busy Box", 4321, {{norm_path(disk), false}});
  Machine& quadra = machine("Quad", "macos7-68k", upper_path(disk));
  EXPECT_EQ(g_fleet.launch(quadra, err, -1, q), nullptr);
  EXPECT_EQ(err, "DISK IN USE BY BUSY BOX (PID 4321). LAUNCH IT IN SCRATCH MODE OR STOP THAT VM.");
  // In scratch mode the writer does not matter; the missing ROM does.
  EXPECT_EQ(g_fleet.launch(quadra, err, 1, q), nullptr);
  EXPECT_EQ(err, "NO QUADRA 650/800 ROM: SET ONE IN CONFIGURATION");
  // Neither does a writer that has exited, or one that only has a scratch copy.
  writer->phase = 2;
  quadra.scratch = false;
  EXPECT_EQ(g_fleet.launch(quadra, err, -1, q), nullptr);
  EXPECT_EQ(err, "NO QUADRA 650/800 ROM: SET ONE IN CONFIGURATION");
  writer->phase = 1;
  writer->drives[0].scratch = true;
  EXPECT_EQ(g_fleet.launch(quadra, err, 0, q), nullptr);
  EXPECT_EQ(err, "NO QUADRA 650/800 ROM: SET ONE IN CONFIGURATION");

  Machine& tiger = machine("Cat", "macosx-x86", disk);
  EXPECT_EQ(g_fleet.launch(tiger, err, -1, q), nullptr);
  EXPECT_EQ(err, "LAUNCH SCRIPT MISSING: " + narrow(g_set.tiger_script));

  // A program that cannot be started: its launch log stays, nothing else does.
  std::wstring broken_q = path_join(root, L"brokenq");
  CreateDirectoryW(broken_q.c_str(), nullptr);
  ASSERT_TRUE(write_bytes(path_join(broken_q, L"qemu-system-x86_64.exe"), "not a program"));
  pc.disk = disk;
  size_t before = g_fleet.vms.size();
  EXPECT_EQ(g_fleet.launch(pc, err, -1, broken_q), nullptr);
  EXPECT_EQ(err.rfind("COULD NOT START (ERROR ", 0), 0u) << err;
  EXPECT_EQ(g_fleet.vms.size(), before);
  EXPECT_FALSE(file_exists(path_join(pc.dir, L"machine.ini")));
  EXPECT_EQ(read_bytes(path_join(pc.dir, L"launch.log")).rfind("> ", 0), 0u);
  EXPECT_EQ(pc.last_run, 0);
}

TEST_F(Launch, EarlyExitShowsTheLogTailOrTheExitCode) {
  std::wstring q = stub_folder(root);
  std::vector<std::pair<int, VmEvent>> events;
  g_fleet.on_event = [&](Vm& v, VmEvent e, i64) { events.push_back({v.uid, e}); };
  std::string err;

  Machine& talk = machine("Talk", "linux-x64", make_disk(L"a.img"));
  talk.extra = "--say \"line one\" --say \"qemu: could not load the disk\" --exit 1";
  Machine& mute = machine("Mute", "linux-x64", make_disk(L"b.img"));
  mute.extra = "--exit 3";
  Machine& fine = machine("Fine", "linux-x64", make_disk(L"c.img"));
  fine.extra = "--say chatter --exit 0";
  Machine& late = machine("Late", "linux-x64", make_disk(L"d.img"));
  late.extra = "--say gone --exit 1";
  Machine& forced = machine("Forced", "linux-x64", make_disk(L"e.img"));
  forced.extra = "--sleep 10000";

  Vm* vt = g_fleet.launch(talk, err, -1, q);
  Vm* vm_ = g_fleet.launch(mute, err, -1, q);
  Vm* vf = g_fleet.launch(fine, err, -1, q);
  Vm* vl = g_fleet.launch(late, err, -1, q);
  Vm* vx = g_fleet.launch(forced, err, -1, q);
  ASSERT_TRUE(vt && vm_ && vf && vl && vx) << err;
  vl->started -= 25;  // as if it had run past the early-exit window
  g_fleet.force_off(*vx);  // no QMP yet: the process is terminated (code 1)

  ASSERT_TRUE(tick_until([&] { return g_fleet.active_count() == 0; }, 15));
  EXPECT_EQ(vt->exit_code, 1);
  EXPECT_EQ(vt->message, "line one\nqemu: could not load the disk\n");
  EXPECT_EQ(vm_->exit_code, 3);
  EXPECT_EQ(vm_->message, "EXITED WITH CODE 3");
  EXPECT_EQ(vf->exit_code, 0);
  EXPECT_EQ(vf->message, "");
  EXPECT_EQ(vl->exit_code, 1);
  EXPECT_EQ(vl->message, "");
  EXPECT_EQ(vx->exit_code, 1);
  EXPECT_EQ(vx->message, "");
  for (Vm* v : {vt, vm_, vf, vl, vx}) {
    EXPECT_EQ(v->phase, 2);
    EXPECT_GT(v->exit_time, 0);
    EXPECT_EQ(std::count(events.begin(), events.end(), std::make_pair(v->uid, VmEvent::Exited)), 1) << v->name;
  }
  // Exited records stay until removed; more ticks raise nothing new.
  size_t n = events.size();
  g_fleet.tick();
  EXPECT_EQ(events.size(), n);
  EXPECT_EQ(g_fleet.vms.size(), 5u);
}

TEST_F(Launch, LaunchScriptSlotsAndItsEarlyEnd) {
  ASSERT_TRUE(write_bytes(g_set.tiger_script, "# stand-in\r\n"));
  ASSERT_TRUE(write_bytes(path_join(g_set.tiger_root, L"run-tiger.ps1"), "# stand-in\r\n"));
  std::wstring main_disk = path_join(g_set.tiger_root, L"vm\\tiger-hd.img");
  ASSERT_TRUE(write_bytes(main_disk, std::string(4096, '\0')));
  std::wstring q = stub_folder(root);
  std::vector<VmEvent> events;
  g_fleet.on_event = [&](Vm&, VmEvent e, i64) { events.push_back(e); };

  Machine& main = machine("Tiger", "macosx-x86", main_disk);
  ASSERT_TRUE(main.is_main_tiger());
  std::string err;
  Vm* v0 = g_fleet.launch(main, err, -1, q);
  ASSERT_NE(v0, nullptr) << err;
  EXPECT_EQ(v0->slot, 0);
  EXPECT_EQ(v0->qmp_port, 4445);
  EXPECT_EQ(v0->pid, 0u);
  EXPECT_NE(v0->script_pid, 0u);
  EXPECT_NE(v0->script, nullptr);
  EXPECT_EQ(v0->exe, path_join(q, L"qemu-system-x86_64.exe"));
  EXPECT_EQ(v0->log_path, path_join(g_set.tiger_root, L"vm\\qemu-stderr.log"));
  std::string line = read_bytes(path_join(main.dir, L"launch.log"));
  line = line.substr(0, line.find("\r\n"));
  EXPECT_EQ(line, "> powershell.exe -NoProfile -ExecutionPolicy Bypass -File " + narrow(g_set.tiger_script) +
                      " -TigerRoot " + narrow(g_set.tiger_root) + " -Instance 0 -QemuDir " + narrow(q) +
                      " -Mem 2048 -Cpus 8 -Headless");

  // The main machine in scratch mode, and any other machine, get slot 10 on.
  Machine& other = machine("Kitten", "macosx-x86", make_disk(L"kitten.img"));
  Vm* v10 = g_fleet.launch(other, err, -1, q);
  ASSERT_NE(v10, nullptr) << err;
  EXPECT_EQ(v10->slot, 10);
  EXPECT_EQ(v10->qmp_port, 4455);
  EXPECT_EQ(v10->log_path, path_join(g_set.tiger_root, L"vm\\qemu-stderr-10.log"));
  EXPECT_NE(read_bytes(path_join(other.dir, L"launch.log")).find("-HdImage " + narrow(other.disk)),
            std::string::npos);
  // FORCE OFF before its QEMU was adopted ends the script and says so.
  g_fleet.force_off(*v10);
  EXPECT_EQ(WaitForSingleObject(v10->script, 5000), WAIT_OBJECT_0);
  const std::string log = read_bytes(path_join(exe_dir(), L"vunk.log"));
  EXPECT_NE(log.find(strf("Kitten (launch script pid %lu): force off before its QEMU was adopted: script ended",
                          (unsigned long)v10->script_pid)),
            std::string::npos);

  // The script ends before any QEMU of its own was found: exited with -1 and
  // the diagnosis from its error log, behind the end of the launch log.
  ASSERT_TRUE(write_bytes(v0->log_path, "qemu-system-x86_64: cannot open tiger-hd.img\r\n"));
  ASSERT_TRUE(tick_until([&] { return v0->phase == 2; }, 30)) << "the script did not end";
  EXPECT_EQ(v0->exit_code, -1);
  std::string tail = "qemu-system-x86_64: cannot open tiger-hd.img\n";
  ASSERT_GE(v0->message.size(), tail.size());
  EXPECT_EQ(v0->message.substr(v0->message.size() - tail.size()), tail);
  EXPECT_EQ(v0->message, tail_lines(path_join(main.dir, L"launch.log"), 4) + tail);
}

TEST_F(Launch, DiscoveryAddsForeignQemusOnceAndAdoptsScriptChildren) {
  std::wstring q = stub_folder(root);
  std::wstring disk = make_disk(L"known,disk.img");
  Machine* known = new Machine(machine("Known One", "netbsd-ppc", disk));
  g_lib.emplace_back(known);

  std::map<unsigned long, std::wstring> lines;
  g_cmdline_source = [&](unsigned long pid) { return lines.count(pid) ? lines[pid] : std::wstring(); };
  auto start = [&](const wchar_t* exe, const std::wstring& args) {
    std::wstring cl = quote_arg(path_join(q, exe)) + L" " + args;
    PROCESS_INFORMATION pi{};
    EXPECT_TRUE(start_program(cl, pi));
    CloseHandle(pi.hThread);
    lines[pi.dwProcessId] = cl;
    children.push_back(pi.hProcess);
    return pi.dwProcessId;
  };
  DWORD p1 = start(L"qemu-system-ppc.exe", L"-name guest=Far,debug-threads=on -M mac99 "
                                           L"-qmp tcp:127.0.0.1:4690,server=on,wait=off "
                                           L"-drive file=" + opt_escape(upper_path(disk)) +
                                           L",format=raw,media=disk,snapshot=on -drive file=X:\\c.iso,media=cdrom "
                                           L"-display sdl,parent=0x10 --sleep 20000");
  DWORD p2 = start(L"qemu-system-m68k.exe", L"-qmp unix:/tmp/x --sleep 20000");

  g_fleet.discover();
  Vm* remote = nullptr;
  Vm* plain = nullptr;
  for (auto& v : g_fleet.vms) {
    if (v->pid == p1) remote = v.get();
    if (v->pid == p2) plain = v.get();
  }
  ASSERT_NE(remote, nullptr);
  ASSERT_NE(plain, nullptr);
  EXPECT_FALSE(remote->ours);
  EXPECT_EQ(remote->phase, 1);
  EXPECT_NE(remote->process, nullptr);
  EXPECT_EQ(remote->name, "Far");
  EXPECT_EQ(remote->qmp_port, 4690);
  ASSERT_EQ(remote->drives.size(), 1u);
  EXPECT_EQ(remote->drives[0].path, norm_path(disk));
  EXPECT_TRUE(remote->scratch);
  EXPECT_EQ(remote->machine, known);
  EXPECT_STREQ(remote->profile->id, "netbsd-ppc");
  EXPECT_TRUE(remote->can_embed);
  EXPECT_TRUE(remote->auto_dock);
  EXPECT_EQ(lower_w(path_leaf(remote->exe)), L"qemu-system-ppc.exe");
  EXPECT_EQ(lower_w(remote->qemu_dir), lower_w(q));
  EXPECT_EQ(g_fleet.writer_of(disk), nullptr);  // a scratch use writes nothing

  EXPECT_EQ(plain->name, "QEMU");
  EXPECT_EQ(plain->qmp_port, 0);
  EXPECT_TRUE(plain->drives.empty());
  EXPECT_FALSE(plain->scratch);
  EXPECT_EQ(plain->machine, nullptr);
  EXPECT_STREQ(plain->profile->id, "macos7-68k");

  // A QEMU whose parent is a live script Vm joins that Vm; an exited script
  // Vm takes nothing, and the process is then an external Vm of its own.
  Vm* dead = fake_vm("Dead Script", 0, {});
  dead->script_pid = GetCurrentProcessId();
  dead->phase = 2;
  Vm* live = fake_vm("Live Script", 0, {});
  live->script_pid = GetCurrentProcessId();
  live->ours = true;
  DWORD p3 = start(L"qemu-system-x86_64.exe", L"-name Inner --sleep 20000");
  size_t n = g_fleet.vms.size();
  g_fleet.discover();
  EXPECT_EQ(g_fleet.vms.size(), n);
  EXPECT_EQ(dead->pid, 0u);
  EXPECT_EQ(live->pid, p3);
  ASSERT_NE(live->process, nullptr);
  EXPECT_EQ(live->name, "Live Script");
  // The adopted handle is good enough to end the process.
  g_fleet.force_off(*live);
  EXPECT_EQ(WaitForSingleObject(live->process, 5000), WAIT_OBJECT_0);

  live->pid = 0;
  live->phase = 2;
  CloseHandle(live->process);
  live->process = nullptr;
  DWORD p4 = start(L"qemu-system-x86_64.exe", L"-name Orphan --sleep 20000");
  g_fleet.discover();
  EXPECT_EQ(dead->pid, 0u);
  EXPECT_EQ(live->pid, 0u);
  Vm* orphan = nullptr;
  for (auto& v : g_fleet.vms)
    if (v->pid == p4) orphan = v.get();
  ASSERT_NE(orphan, nullptr);
  EXPECT_EQ(orphan->name, "Orphan");
  EXPECT_FALSE(orphan->ours);
}

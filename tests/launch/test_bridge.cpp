// Real machines through the QEMU bridge: every family launched by the fleet,
// and a QEMU started elsewhere whose QMP socket another client holds.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include "tests/launch/launch_test_util.h"

namespace {

class Bridge : public LaunchFixture {
 protected:
  std::wstring bq;

  void SetUp() override {
    LaunchFixture::SetUp();
    bq = build_path("qemu");
    ASSERT_TRUE(file_exists(path_join(bq, L"qemu-system-x86_64.exe"))) << "the QEMU bridge is not built";
    g_set.qemu_dir = bq;
  }

  // An empty qcow2 image made by the bridge's qemu-img.
  std::wstring qcow2(const std::wstring& leaf) {
    std::wstring p = path_join(root, leaf);
    std::string out;
    EXPECT_TRUE(run_capture(quote_arg(path_join(bq, L"qemu-img.exe")) + L" create -f qcow2 " + quote_arg(p) + L" 32M",
                            out, 30000))
        << out;
    return p;
  }
};

// A plain client that takes the QMP socket and keeps it (greeting read, no
// handshake), as another management tool would.
SOCKET hold_qmp(int port, double timeout_s) {
  const double end = now_s() + timeout_s;
  while (now_s() < end) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    DWORD ms = 1000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char*)&ms, sizeof ms);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((u_short)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, (sockaddr*)&a, sizeof a) == 0) {
      std::string got;
      char buf[512];
      while (now_s() < end && got.find('\n') == std::string::npos) {
        int n = recv(s, buf, sizeof buf, 0);
        if (n == 0) break;
        if (n > 0) got.append(buf, n);
      }
      if (got.find("\"QMP\"") != std::string::npos) return s;
    }
    closesocket(s);
    Sleep(200);
  }
  return INVALID_SOCKET;
}

// The optical drive as QEMU itself reports it: the query-block entry of the
// drive every family's command line names "cd" (null when there is none).
JVal cd_drive(Vm& vm) {
  Answer a;
  g_fleet.qmp_do(vm, "query-block", "", a.fn());
  pump_until([&] { return a.calls > 0; }, 20);
  for (const JVal& d : a.value.a)
    if (d["device"].s == "cd") return d;
  return JVal();
}

}  // namespace

// Every machine family the program starts directly, launched side by side
// with a disc in the drive: each reaches "running" over QMP, saves a screen
// into the Pictures folder, lets its disc go on EJECT and ends on FORCE OFF.
// The PC's QMP socket is first held by another client: its waiting command
// fails after about 4 s with one busy notice, and the link comes up once the
// other client lets go.
TEST_F(Bridge, EveryFamilyRunsAnswersEjectsAndSavesItsScreen) {
  // Another program holds the first QMP port the fleet could take (the
  // first one free: other test runs on this host may hold some already).
  SOCKET hold = INVALID_SOCKET;
  int taken = 0;
  for (int p = 4600; p <= 4699 && !taken; ++p) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((u_short)p);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, (sockaddr*)&a, sizeof a) == 0 && listen(s, 1) == 0) {
      hold = s;
      taken = p;
    } else {
      closesocket(s);
    }
  }
  ASSERT_NE(taken, 0) << "no QMP port free on this host";
  // The checksum the ROM check wants, a reset entry 8 bytes in, and there a
  // branch to itself: the Quadra idles with interrupts masked.
  std::string rom(1 << 20, '\0');
  const unsigned char head[] = {0xF1, 0xAC, 0xAD, 0x13, 0x00, 0x00, 0x00, 0x08, 0x60, 0xFE};
  rom.replace(0, sizeof head, (const char*)head, sizeof head);
  ASSERT_TRUE(write_bytes(path_join(root, L"made-up.rom"), rom));
  const char* const profiles[] = {"linux-x64", "macosx-ppc", "macos7-68k", "linux-arm64", "linux-riscv"};
  std::vector<Vm*> vms;
  int exits = 0, messages = 0;
  g_fleet.on_event = [&](Vm&, VmEvent e, i64) { exits += e == VmEvent::Exited, messages += e == VmEvent::Message; };
  for (const char* profile : profiles) {
    // The PC's name holds what QEMU reads as option syntax.
    Machine& m = machine(profile == profiles[0] ? "Hello, World = 1" : profile, profile,
                         qcow2(widen(profile) + L".qcow2"));
    m.mem = 256;
    m.cpus = 1;
    m.cdrom = path_join(root, widen(profile) + L".iso");
    ASSERT_TRUE(write_bytes(m.cdrom, std::string(1 << 20, '\0')));
    std::string err;
    Vm* vm = g_fleet.launch(m, err, -1, L"");
    ASSERT_NE(vm, nullptr) << profile << ": " << err;
    EXPECT_EQ(read_bytes(vm->log_path).rfind("> ", 0), 0u);
    vms.push_back(vm);
  }
  Vm* pc = vms[0];
  EXPECT_NE(pc->qmp_port, taken);
  EXPECT_GE(pc->qmp_port, 4600);
  EXPECT_LE(pc->qmp_port, 4699);
  SOCKET holder = hold_qmp(pc->qmp_port, 60);
  ASSERT_NE(holder, INVALID_SOCKET) << "the PC never greeted";
  Answer held;
  g_fleet.qmp_do(*pc, "query-status", "", held.fn());
  // The 4 s count from when our link opened, which a loaded host may have
  // done well before the command was queued: only the upper bound is sure.
  ASSERT_TRUE(tick_until([&] { return held.calls > 0; }, 15));
  EXPECT_FALSE(held.ok);
  EXPECT_EQ(pc->message, "QMP BUSY: ANOTHER CLIENT HOLDS THIS VM'S QMP SOCKET");
  closesocket(holder);

  for (Vm* vm : vms)
    ASSERT_TRUE(tick_until([&] { return vm->phase == 1 && vm->status == "running" && vm->cpu_history.size() >= 2; },
                           90))
        << vm->name << ": status '" << vm->status << "', log:\n" << read_bytes(vm->log_path);
  EXPECT_EQ(messages, 1);
  // Discovery reads the whole name back from the command line in the log.
  std::string launched = read_bytes(pc->log_path);
  std::vector<std::wstring> argv;
  ASSERT_TRUE(split_cmdline(widen(launched.substr(2, launched.find("\r\n") - 2)), argv));
  EXPECT_EQ(parse_qemu_argv(argv).name, "Hello, World = 1");
  EXPECT_EQ(read_bytes(path_join(vms[2]->machine->dir, L"pram.img")), std::string(256, '\0'));
  EXPECT_NE(read_bytes(vms[2]->log_path).find(" -bios " + narrow(path_join(root, L"made-up.rom")) + " "),
            std::string::npos);
  Machine saved;
  ASSERT_TRUE(saved.load(pc->machine->dir));
  EXPECT_GT(saved.last_run, 0);

  // The status follows QEMU's events, and QEMU agrees when asked.
  g_fleet.pause(*pc);
  ASSERT_TRUE(tick_until([&] { return pc->status == "paused"; }, 10));
  Answer asked, unknown;
  g_fleet.qmp_do(*pc, "query-status", "", asked.fn());
  g_fleet.qmp_do(*pc, "no-such-command", "", unknown.fn());
  ASSERT_TRUE(tick_until([&] { return unknown.calls > 0; }, 10));
  EXPECT_EQ(asked.value["status"].s, "paused");
  EXPECT_EQ(unknown.value["class"].s, "CommandNotFound");
  g_fleet.resume(*pc);
  ASSERT_TRUE(tick_until([&] { return pc->status == "running"; }, 10));

  for (Vm* vm : vms) {
    std::string path;
    bool ok = false;
    g_fleet.screenshot(*vm, [&](bool o, const std::string& p) { ok = o, path = p; });
    ASSERT_TRUE(tick_until([&] { return !path.empty(); }, 20)) << vm->name;
    EXPECT_TRUE(ok) << vm->name;
    const std::wstring wpath = widen(path);
    EXPECT_EQ(path_dir(wpath), screenshot_folder(pictures_folder()));
    EXPECT_EQ(read_bytes(wpath).substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8)) << vm->name;
    DeleteFileW(wpath.c_str());
  }

  // EJECT: QEMU opens every family's tray and lets the disc go, and the
  // record forgets it (the next launch has no disc).
  for (Vm* vm : vms) {
    JVal cd = cd_drive(*vm);
    ASSERT_EQ(cd.kind, 5) << vm->name << ": no drive \"cd\"";
    EXPECT_EQ(cd["inserted"]["image"]["virtual-size"].n, 1 << 20) << vm->name;
    g_fleet.eject(*vm);
    EXPECT_TRUE(vm->machine->cdrom.empty()) << vm->name;
  }
  for (Vm* vm : vms) {
    JVal cd = cd_drive(*vm);  // asked after the eject, on the same link
    EXPECT_TRUE(cd["tray_open"].b) << vm->name;
    EXPECT_EQ(cd["inserted"].kind, 0) << vm->name << ": the disc is still in the drive";
    Machine saved;
    ASSERT_TRUE(saved.load(vm->machine->dir));
    EXPECT_TRUE(saved.cdrom.empty()) << vm->name;
  }

  // FORCE OFF goes out as "quit": what still waits fails when the link ends.
  Answer after;
  for (Vm* vm : vms) g_fleet.force_off(*vm);
  g_fleet.qmp_do(*pc, "query-status", "", after.fn());
  for (Vm* vm : vms) ASSERT_TRUE(tick_until([&] { return vm->phase == 2; }, 30)) << vm->name;
  EXPECT_EQ(after.calls, 1);
  EXPECT_FALSE(after.ok);
  EXPECT_EQ(pc->status, "shutdown");  // SHUTDOWN came before the end
  for (size_t i = 1; i < vms.size(); ++i) EXPECT_EQ(vms[i]->message, "") << vms[i]->name;
  EXPECT_EQ(exits, int(vms.size()));
  g_fleet.on_event = nullptr;
  closesocket(hold);
}

TEST_F(Bridge, ForeignQemuIsFoundAndItsHeldSocketReportedBusy) {
  std::wstring disk = qcow2(L"held.qcow2");
  int port = 0;
  for (int p = 4699; p >= 4650 && !port; p--)
    if (port_free(p)) port = p;
  ASSERT_NE(port, 0);
  std::wstring cl = quote_arg(path_join(bq, L"qemu-system-x86_64.exe")) +
                    L" -name guest=Held,debug-threads=on -machine q35 -m 128 -display none -qmp tcp:127.0.0.1:" +
                    std::to_wstring(port) + L",server=on,wait=off -drive file=" + opt_escape(disk) +
                    L",if=none,id=hd,format=qcow2 -device ide-hd,bus=ide.0,drive=hd";
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(start_program(cl, pi));
  CloseHandle(pi.hThread);
  children.push_back(pi.hProcess);
  // Its command line as the system keeps it (no test seam), where Wine has
  // no query for it: there once the new process has set itself up.
  std::wstring seen;
  for (double end = now_s() + 10; seen.empty() && now_s() < end; Sleep(20)) seen = process_cmdline(pi.hProcess);
  EXPECT_EQ(seen, cl);

  // Discovery: once, with what its command line says.
  g_fleet.discover();
  g_fleet.discover();
  Vm* vm = nullptr;
  int found = 0;
  for (auto& v : g_fleet.vms)
    if (v->pid == pi.dwProcessId) vm = v.get(), found++;
  ASSERT_EQ(found, 1);
  EXPECT_FALSE(vm->ours);
  EXPECT_EQ(vm->name, "Held");
  EXPECT_EQ(vm->qmp_port, port);
  ASSERT_EQ(vm->drives.size(), 1u);
  EXPECT_EQ(vm->drives[0].path, norm_path(disk));
  EXPECT_EQ(g_fleet.writer_of(disk), vm);
  EXPECT_STREQ(vm->profile->id, "other-x64");
  EXPECT_TRUE(vm->status.empty());
  EXPECT_EQ(vm->qmp.sock, INVALID_SOCKET);  // no link until a command needs one

  SOCKET holder = hold_qmp(port, 60);
  ASSERT_NE(holder, INVALID_SOCKET) << "the foreign QEMU never greeted";

  int messages = 0;
  g_fleet.on_event = [&](Vm&, VmEvent e, i64) { messages += e == VmEvent::Message; };
  bool answered = false, ok = true;
  const double t0 = now_s();
  g_fleet.qmp_do(*vm, "query-status", "", [&](bool o, const JVal&) { answered = true, ok = o; });
  EXPECT_TRUE(vm->qmp_on_demand);
  ASSERT_TRUE(tick_until([&] { return answered; }, 15));
  const double took = now_s() - t0;
  EXPECT_FALSE(ok);
  EXPECT_GT(took, 3.9);
  EXPECT_LT(took, 8.0);
  EXPECT_EQ(vm->message, "QMP BUSY: ANOTHER CLIENT HOLDS THIS VM'S QMP SOCKET");
  EXPECT_FALSE(vm->qmp_on_demand);
  EXPECT_EQ(vm->qmp.sock, INVALID_SOCKET);
  tick_until([] { return false; }, 1.5);
  EXPECT_EQ(messages, 1);

  // Once the other client lets go, a command gets its answer and the link is
  // closed on the next tick, quietly and without a reconnect.
  closesocket(holder);
  answered = false;
  std::string status;
  g_fleet.qmp_do(*vm, "query-status", "", [&](bool o, const JVal& v) {
    answered = true, ok = o;
    if (o) status = v["status"].s;
  });
  // The link also asks for the status once it is ready; both answers first.
  ASSERT_TRUE(pump_until([&] { return answered && vm->status == "running"; }, 20));
  EXPECT_TRUE(ok);
  EXPECT_EQ(status, "running");
  const double next_try = vm->qmp_next_try;
  g_fleet.tick();
  EXPECT_EQ(vm->qmp.sock, INVALID_SOCKET);
  EXPECT_FALSE(vm->qmp_on_demand);
  EXPECT_EQ(vm->qmp_next_try, next_try);
  EXPECT_EQ(messages, 1);

  // An external QEMU that ends is noticed, with no diagnosis.
  TerminateProcess(pi.hProcess, 0);
  ASSERT_TRUE(tick_until([&] { return vm->phase == 2; }, 15));
  EXPECT_EQ(vm->message, "QMP BUSY: ANOTHER CLIENT HOLDS THIS VM'S QMP SOCKET");
}

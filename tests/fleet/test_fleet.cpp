// Fleet records and machine control, with a scripted QMP server standing in
// for what QEMU would answer.
#include <gtest/gtest.h>

#include "machines/library.h"
#include "tests/fleet/fleet_test_util.h"
#include "tests/support/test_support.h"

namespace {

class FleetTest : public ::testing::Test {
 protected:
  void SetUp() override { fleet_reset(); }
  void TearDown() override { fleet_reset(); }
  Vm* add_vm(bool ours, int port, int phase = 1) { return add_test_vm(ours, port, phase); }
  // An own Vm attached and connected to the server, ready for commands.
  Vm* connected_vm(int port) {
    Vm* vm = add_vm(true, port);
    g_fleet.attach_qmp(*vm);
    vm->qmp.open(g_fleet.main, port);
    EXPECT_TRUE(pump_until([&] { return vm->qmp.ready; }));
    return vm;
  }
};

// A machine with install media, saved in its own folder.
Machine media_machine(const std::wstring& dir) {
  Machine m;
  m.dir = dir;
  m.name = "Eject Me";
  m.profile = "linux-x64";
  m.mem = 1024;
  m.cpus = 2;
  m.cdrom = L"C:\\media\\install.iso";
  m.install = true;
  return m;
}

int calls_of(const std::vector<std::string>& lines, const std::string& text) {
  int n = 0;
  for (auto& l : lines) n += l == text;
  return n;
}

}  // namespace

TEST_F(FleetTest, InitRegistersTheEmbedMessagesAndTheHostClass) {
  EXPECT_NE(g_fleet.cmd_msg, 0u);
  EXPECT_NE(g_fleet.notify_msg, 0u);
  EXPECT_EQ(g_fleet.cmd_msg, RegisterWindowMessageW(L"QEMU_D3D11_EMBED_CMD"));
  EXPECT_EQ(g_fleet.notify_msg, RegisterWindowMessageW(L"QEMU_D3D11_EMBED_NOTIFY"));
  WNDCLASSW wc;
  EXPECT_TRUE(GetClassInfoW(GetModuleHandleW(nullptr), L"VunkVmHost", &wc));
  EXPECT_EQ(wc.lpfnWndProc, host_proc);
  EXPECT_EQ(g_fleet.main, test_main_window());
}

TEST_F(FleetTest, LookupsWritersAndCounts) {
  EXPECT_EQ(g_fleet.active_count(), 0);
  EXPECT_EQ(g_fleet.writer_of(L"C:\\vm\\disk.img"), nullptr);
  Vm* scratch = add_vm(true, 0);
  scratch->drives.push_back({norm_path(L"C:\\vm\\disk.img"), true});
  Vm* gone = add_vm(true, 0, 2);
  gone->drives.push_back({norm_path(L"C:\\vm\\disk.img"), false});
  EXPECT_EQ(g_fleet.writer_of(L"C:\\vm\\disk.img"), nullptr);  // scratch and exited only
  EXPECT_EQ(g_fleet.active_count(), 1);
  Vm* writer = add_vm(false, 0);
  writer->drives.push_back({norm_path(L"C:\\VM\\other.img"), false});
  writer->drives.push_back({norm_path(L"C:\\vm\\disk.img"), false});
  EXPECT_EQ(g_fleet.writer_of(L"c:/VM/Disk.IMG"), writer);  // same file, other spelling
  EXPECT_EQ(g_fleet.active_count(), 2);

  EXPECT_EQ(g_fleet.by_uid(writer->uid), writer);
  EXPECT_EQ(g_fleet.by_uid(-5), nullptr);
  EXPECT_EQ(g_fleet.by_host(nullptr), scratch);  // the first Vm without a host
  g_fleet.make_host(*writer);
  ASSERT_NE(writer->host, nullptr);
  EXPECT_EQ(g_fleet.by_host(writer->host), writer);

  Vm stranger;
  g_fleet.remove(&stranger);
  EXPECT_EQ(g_fleet.vms.size(), 3u);
  const int old_uid = writer->uid;
  HWND host = writer->host;
  g_fleet.remove(writer);
  EXPECT_EQ(g_fleet.vms.size(), 2u);
  EXPECT_FALSE(IsWindow(host));
  EXPECT_EQ(g_fleet.vms[0].get(), scratch);  // order kept
  EXPECT_EQ(g_fleet.vms[1].get(), gone);
  Vm* next = add_vm(true, 0);
  EXPECT_GT(next->uid, old_uid);
  EXPECT_EQ(Fleet().next_uid, 1);
  Vm fresh;  // a new record's defaults
  EXPECT_EQ(fresh.slot, -1);
  EXPECT_EQ(fresh.qmp.sock, INVALID_SOCKET);
  EXPECT_EQ(fresh.phase, 0);
}

TEST_F(FleetTest, RemoveFailsEveryWaitingCommandOnceAndNothingAfter) {
  ScriptedPeer peer([](PeerConn& c, ScriptedPeer& p) {
    std::string l;
    if (!c.handshake()) return false;
    for (int i = 0; i < 3; ++i) {  // query-status from on_ready, then two
      if (!c.read_line(l)) return false;
      p.note(l);
    }
    // Late answers for a Vm that is gone by now.
    Sleep(500);
    c.send_text("{\"return\": {}}\r\n{\"return\": {}}\r\n{\"return\": {}}\r\n");
    return true;
  });
  Vm* vm = add_vm(true, peer.port);
  g_fleet.attach_qmp(*vm);
  g_fleet.qmp_do(*vm, "silent-a", "", nullptr);
  vm->qmp.open(g_fleet.main, peer.port);
  int fails = 0, oks = 0;
  auto cb = [&](bool ok, const JVal&) { ok ? ++oks : ++fails; };
  g_fleet.qmp_do(*vm, "silent-b", "", cb);
  g_fleet.qmp_do(*vm, "silent-c", "", cb);
  ASSERT_TRUE(pump_until([&] { return peer.seen().size() == 3; }));
  g_fleet.remove(vm);
  EXPECT_EQ(fails, 2);
  EXPECT_TRUE(g_fleet.vms.empty());
  pump_for(0.5);
  EXPECT_EQ(fails, 2);
  EXPECT_EQ(oks, 0);
}

TEST_F(FleetTest, DestroyingVmsAtExitCallsNothingBack) {
  ScriptedPeer peer(serve_like_qemu);
  Vm* vm = connected_vm(peer.port);
  int calls = 0;
  g_fleet.qmp_do(*vm, "silent-x", "", [&](bool, const JVal&) { ++calls; });
  vm->qmp.pending.emplace_back("{}", [&](bool, const JVal&) { ++calls; });
  vm->qmp.on_close = [&] { ++calls; };
  ASSERT_TRUE(pump_until([&] { return peer.seen().size() == 2; }));
  g_fleet.vms.clear();  // what the end of the program does
  pump_for(0.2);
  EXPECT_EQ(calls, 0);
}

TEST_F(FleetTest, StatusFollowsQueryAndEvents) {
  ScriptedPeer peer(serve_like_qemu);
  Vm* vm = connected_vm(peer.port);
  ASSERT_TRUE(pump_until([&] { return vm->status == "running"; }));  // query-status on ready
  auto step = [&](const char* cmd) {
    bool done = false;
    g_fleet.qmp_do(*vm, cmd, "", [&](bool, const JVal&) { done = true; });
    EXPECT_TRUE(pump_until([&] { return done; })) << cmd;
    return vm->status;
  };
  EXPECT_EQ(step("emit-STOP"), "paused");
  EXPECT_EQ(step("emit-RESET"), "paused");  // other events leave it alone
  EXPECT_EQ(step("emit-stop"), "paused");   // names compare exactly
  EXPECT_EQ(step("emit-RESUME"), "running");
  EXPECT_EQ(step("emit-POWERDOWN"), "powering down");
  EXPECT_EQ(step("emit-SHUTDOWN"), "shutdown");
  bool failed = false;
  g_fleet.qmp_do(*vm, "fail-x", "", [&](bool ok, const JVal& e) { failed = !ok && e["class"].s == "GenericError"; });
  EXPECT_TRUE(pump_until([&] { return failed; }));
  EXPECT_EQ(vm->status, "shutdown");
}

TEST_F(FleetTest, CommandsGivenWhileConnectingGoOutRightAfterTheHandshake) {
  ScriptedPeer peer(serve_like_qemu);
  Vm* vm = add_vm(true, peer.port);
  g_fleet.attach_qmp(*vm);
  EXPECT_GT(vm->qmp_next_try, now_s());
  g_fleet.pause(*vm);
  g_fleet.resume(*vm);
  g_fleet.reset(*vm);
  vm->qmp.open(g_fleet.main, peer.port);
  ASSERT_TRUE(pump_until([&] { return peer.seen().size() == 4; }));
  auto seen = peer.seen();
  EXPECT_EQ(seen[0], "{\"execute\":\"stop\"}");
  EXPECT_EQ(seen[1], "{\"execute\":\"cont\"}");
  EXPECT_EQ(seen[2], "{\"execute\":\"system_reset\"}");
  EXPECT_EQ(seen[3], "{\"execute\":\"query-status\"}");
  EXPECT_FALSE(vm->forced);
  g_fleet.powerdown(*vm);
  EXPECT_TRUE(vm->forced);
  ASSERT_TRUE(pump_until([&] { return peer.seen().size() == 5; }));
  EXPECT_EQ(peer.seen()[4], "{\"execute\":\"system_powerdown\"}");
  // A lost link schedules the next attempt half a second on.
  vm->qmp.close();
  EXPECT_NEAR(vm->qmp_next_try, now_s() + 0.5, 0.2);
}

TEST_F(FleetTest, ExternalVmOpensALinkOnDemand) {
  ScriptedPeer peer(serve_like_qemu);
  Vm* vm = add_vm(false, peer.port);
  bool ok = false;
  g_fleet.qmp_do(*vm, "query-status", "", [&](bool o, const JVal& r) { ok = o && r["status"].s == "running"; });
  EXPECT_TRUE(vm->qmp_on_demand);
  EXPECT_NE(vm->qmp.sock, INVALID_SOCKET);
  ASSERT_TRUE(pump_until([&] { return ok; }));
  // The on-demand link is attached too: its own query-status follows.
  EXPECT_TRUE(pump_until([&] { return vm->status == "running"; }));
}

TEST_F(FleetTest, NoQmpPortFailsAtOnceAndEjectStillClearsTheMachine) {
  const std::wstring dir = test_dir("fleet-eject");
  Machine m = media_machine(dir);
  Vm* vm = add_vm(true, 0);
  vm->machine = &m;
  int calls = 0;
  bool ok = true;
  g_fleet.qmp_do(*vm, "query-status", "", [&](bool o, const JVal& v) {
    ++calls;
    ok = o || v.kind != 0;
  });
  EXPECT_EQ(calls, 1);  // at once, no pumping
  EXPECT_FALSE(ok);
  g_fleet.eject(*vm);
  EXPECT_TRUE(m.cdrom.empty());
  EXPECT_FALSE(m.install);
  Machine back;
  ASSERT_TRUE(back.load(dir));
  EXPECT_TRUE(back.cdrom.empty());
  EXPECT_FALSE(back.install);
  bool shot_done = false, shot_ok = true;
  g_fleet.screenshot(*vm, [&](bool o, const std::string&) {
    shot_done = true;
    shot_ok = o;
  });
  EXPECT_TRUE(shot_done);
  EXPECT_FALSE(shot_ok);
  remove_tree(dir);
}

TEST_F(FleetTest, EjectRefusedByQemuStillClearsTheMachine) {
  const std::wstring dir = test_dir("fleet-eject2");
  Machine m = media_machine(dir);
  ScriptedPeer peer(serve_like_qemu);
  Vm* vm = connected_vm(peer.port);
  vm->machine = &m;
  g_fleet.eject(*vm);
  EXPECT_TRUE(m.cdrom.empty());
  EXPECT_FALSE(m.install);
  ASSERT_TRUE(pump_until([&] { return calls_of(peer.seen(), "{\"execute\":\"eject\",\"arguments\":{\"id\":\"cddev\",\"force\":true}}") == 1; }));
  Machine back;
  ASSERT_TRUE(back.load(dir));
  EXPECT_TRUE(back.cdrom.empty());
  remove_tree(dir);
}

TEST_F(FleetTest, ForceOffTerminatesOnlyOwnVmsWithoutALink) {
  Vm* own = add_vm(true, unused_port());
  own->process = start_stand_in(L"--sleep 30", own->pid);
  ASSERT_NE(own->process, nullptr);
  g_fleet.force_off(*own);
  EXPECT_TRUE(own->forced);
  EXPECT_EQ(WaitForSingleObject(own->process, 5000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeProcess(own->process, &code);
  EXPECT_EQ(code, 1u);

  // An external Vm is never terminated: its quit goes over an on-demand link.
  ScriptedPeer peer(serve_like_qemu);
  Vm* ext = add_vm(false, peer.port);
  ext->process = start_stand_in(L"--sleep 30", ext->pid);
  ASSERT_NE(ext->process, nullptr);
  g_fleet.force_off(*ext);
  EXPECT_TRUE(ext->forced);
  ASSERT_TRUE(pump_until([&] { return calls_of(peer.seen(), "{\"execute\":\"quit\"}") == 1; }));
  EXPECT_EQ(WaitForSingleObject(ext->process, 0), WAIT_TIMEOUT);
  TerminateProcess(ext->process, 0);

  // An own Vm with a ready link gets quit too.
  ScriptedPeer peer2(serve_like_qemu);
  Vm* linked = connected_vm(peer2.port);
  g_fleet.force_off(*linked);
  ASSERT_TRUE(pump_until([&] { return calls_of(peer2.seen(), "{\"execute\":\"quit\"}") == 1; }));
  EXPECT_TRUE(pump_until([&] { return linked->qmp.sock == INVALID_SOCKET; }));
}

TEST_F(FleetTest, ScreenshotNameAndFolderRules) {
  SYSTEMTIME t = {};
  t.wYear = 2026;
  t.wMonth = 3;
  t.wDay = 7;
  t.wHour = 4;
  t.wMinute = 5;
  t.wSecond = 9;
  const std::wstring a = screenshot_name("Windows 98 SE", t);
  EXPECT_EQ(a, widen(slugify("Windows 98 SE")) + L"-20260307-040509.png");
  EXPECT_EQ(screenshot_name("Windows 98 SE", t), a);  // same second, same file
  EXPECT_EQ(screenshot_folder(L"C:\\Users\\u\\Pictures"), L"C:\\Users\\u\\Pictures\\VUNK");
  EXPECT_EQ(screenshot_folder(L""), path_join(exe_dir(), L"captures"));

  ScriptedPeer peer(serve_like_qemu);
  Vm* vm = connected_vm(peer.port);
  vm->name = "Shot \"VM\"";
  std::string got;
  bool ok = false;
  g_fleet.screenshot(*vm, [&](bool o, const std::string& p) {
    ok = o;
    got = p;
  });
  ASSERT_TRUE(pump_until([&] { return !got.empty(); }));
  EXPECT_TRUE(ok);
  const std::wstring folder = screenshot_folder(pictures_folder());
  EXPECT_EQ(path_dir(widen(got)), folder);
  EXPECT_TRUE(dir_exists(folder));
  const std::string leaf = narrow(path_leaf(widen(got)));
  EXPECT_EQ(leaf.rfind(slugify(vm->name) + "-", 0), 0u) << leaf;
  EXPECT_EQ(leaf.size(), slugify(vm->name).size() + 20);
  const std::string expect = "{\"execute\":\"screendump\",\"arguments\":{\"filename\":" + json_quote(got) + ",\"format\":\"png\"}}";
  EXPECT_EQ(calls_of(peer.seen(), expect), 1) << expect;
  EXPECT_NE(expect.find("\\\\"), std::string::npos);  // backslashes doubled on the wire
}

// Fleet records and machine control, with a scripted QMP server standing in
// for what QEMU would answer.
#include <gtest/gtest.h>

#include <algorithm>

#include "machines/library.h"
#include "tests/fleet/fleet_test_util.h"
#include "tests/support/test_support.h"

namespace {

class FleetTest : public ::testing::Test {
 protected:
  void SetUp() override { fleet_reset(); }
  void TearDown() override { fleet_reset(); }
  // An own Vm attached and connected to the server, ready for commands.
  Vm* connected_vm(int port) {
    Vm* vm = add_test_vm(true, port);
    g_fleet.attach_qmp(*vm);
    vm->qmp.open(g_fleet.main, port);
    EXPECT_TRUE(pump_until([&] { return vm->qmp.ready; }));
    return vm;
  }
};

int calls_of(const std::vector<std::string>& lines, const std::string& text) {
  return int(std::count(lines.begin(), lines.end(), text));
}

}  // namespace

TEST_F(FleetTest, RemoveFailsWaitingCommandsOnceAndExitCallsNothingBack) {
  ScriptedPeer peer(serve_like_qemu), peer2(serve_like_qemu);
  Vm* vm = connected_vm(peer.port);
  int fails = 0, oks = 0;
  auto cb = [&](bool ok, const JVal&) { ok ? ++oks : ++fails; };
  g_fleet.qmp_do(*vm, "silent-a", "", nullptr);
  g_fleet.qmp_do(*vm, "silent-b", "", cb);
  vm->qmp.pending.emplace_back(qmp_command_text("silent-c", ""), cb);  // not sent yet
  ASSERT_TRUE(pump_until([&] { return peer.seen().size() == 3; }));  // query-status first
  g_fleet.remove(vm);
  EXPECT_EQ(fails, 2);
  EXPECT_TRUE(g_fleet.vms.empty());

  // At the end of the program the records are destroyed: nothing is called.
  Vm* last = connected_vm(peer2.port);
  last->qmp.on_close = [&] { ++fails; };
  g_fleet.qmp_do(*last, "silent-x", "", cb);
  last->qmp.pending.emplace_back("{}", cb);
  ASSERT_TRUE(pump_until([&] { return peer2.seen().size() == 2; }));
  g_fleet.vms.clear();
  pump_for(0.5);
  EXPECT_EQ(fails, 2);
  EXPECT_EQ(oks, 0);
}

TEST_F(FleetTest, EjectClearsTheMachineWhateverTheAnswer) {
  const std::wstring dir = test_dir("fleet-eject");
  Machine m;
  m.dir = dir;
  m.name = "Eject Me";
  auto load_media = [&] {
    m.cdrom = L"C:\\media\\install.iso";
    m.install = true;
  };
  auto expect_cleared = [&] {
    EXPECT_TRUE(m.cdrom.empty());
    EXPECT_FALSE(m.install);
    Machine back;
    ASSERT_TRUE(back.load(dir));
    EXPECT_TRUE(back.cdrom.empty());
    EXPECT_FALSE(back.install);
  };

  // Without a QMP port every command fails at once, and eject still clears.
  load_media();
  Vm* portless = add_test_vm(true, 0);
  portless->machine = &m;
  Answer a;
  g_fleet.qmp_do(*portless, "query-status", "", a.fn());
  EXPECT_EQ(a.calls, 1);  // no pumping needed
  EXPECT_FALSE(a.ok);
  EXPECT_EQ(a.value.kind, 0);
  bool shot_done = false, shot_ok = true;
  g_fleet.screenshot(*portless, [&](bool o, const std::string&) { shot_done = true; shot_ok = o; });
  EXPECT_TRUE(shot_done);
  EXPECT_FALSE(shot_ok);
  g_fleet.eject(*portless);
  expect_cleared();

  // QEMU refuses the eject: the machine is cleared all the same.
  load_media();
  ASSERT_TRUE(m.save());
  ScriptedPeer peer(serve_like_qemu);
  Vm* vm = connected_vm(peer.port);
  vm->machine = &m;
  g_fleet.eject(*vm);
  expect_cleared();
  ASSERT_TRUE(pump_until([&] {
    return calls_of(peer.seen(), "{\"execute\":\"eject\",\"arguments\":{\"id\":\"cddev\",\"force\":true}}") == 1;
  }));
  remove_tree(dir);
}

// An external Vm is never terminated: its quit goes over a link opened on
// demand. (An own Vm without a link is: see the launch tests.)
TEST_F(FleetTest, ForceOffOfAnExternalVmSendsQuit) {
  ScriptedPeer peer(serve_like_qemu);
  Vm* ext = add_test_vm(false, peer.port);
  ext->process = start_stand_in(L"--sleep 30000", ext->pid);
  ASSERT_NE(ext->process, nullptr);
  g_fleet.force_off(*ext);
  EXPECT_TRUE(ext->forced);
  EXPECT_TRUE(ext->qmp_on_demand);
  ASSERT_TRUE(pump_until([&] { return calls_of(peer.seen(), "{\"execute\":\"quit\"}") == 1; }));
  EXPECT_EQ(WaitForSingleObject(ext->process, 0), WAIT_TIMEOUT);
  TerminateProcess(ext->process, 0);
}


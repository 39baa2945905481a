// The QMP client and machine control against real QEMU: Debian's QEMU on
// loopback (started by the fixture on the Linux side), and the same QEMU
// started here through the bridge's qemu-system-x86_64.exe for a real
// screendump into the Pictures folder.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "tests/fleet/fleet_test_util.h"
#include "tests/support/test_support.h"

namespace {

std::map<std::string, int> fixture_ports() {
  std::map<std::string, int> out;
  std::istringstream in(read_bytes(build_path("tests/fleet_qemu/ports")));
  std::string name;
  int port;
  while (in >> name >> port) out[name] = port;
  return out;
}

class QemuTest : public ::testing::Test {
 protected:
  void SetUp() override { fleet_reset(); }
  void TearDown() override { fleet_reset(); }
  // An own Vm linked to the QMP server on port; waits until the first
  // query-status has set its status.
  Vm* linked(int port) {
    Vm* vm = add_test_vm(true, port);
    g_fleet.attach_qmp(*vm);
    vm->qmp.open(g_fleet.main, port);
    EXPECT_TRUE(pump_until([&] { return !vm->status.empty(); }, 15)) << "port " << port;
    return vm;
  }
};

}  // namespace

TEST_F(QemuTest, StatusFollowsRealEventsAndASecondClientWaitsForTheFirst) {
  const int port = fixture_ports()["a"];
  ASSERT_NE(port, 0);
  Vm* vm = linked(port);
  EXPECT_EQ(vm->status, "running");
  g_fleet.pause(*vm);
  ASSERT_TRUE(pump_until([&] { return vm->status == "paused"; }));
  // The status comes from the STOP event; QEMU agrees when asked.
  Answer asked;
  g_fleet.qmp_do(*vm, "query-status", "", asked.fn());
  ASSERT_TRUE(pump_until([&] { return asked.calls > 0; }));
  EXPECT_EQ(asked.value["status"].s, "paused");
  g_fleet.resume(*vm);
  ASSERT_TRUE(pump_until([&] { return vm->status == "running"; }));
  Answer unknown;
  g_fleet.qmp_do(*vm, "no-such-command", "", unknown.fn());
  ASSERT_TRUE(pump_until([&] { return unknown.calls > 0; }));
  EXPECT_FALSE(unknown.ok);
  EXPECT_EQ(unknown.value["class"].s, "CommandNotFound");

  // QEMU greets one client at a time: the second one only waits.
  Qmp second;
  track_qmp(&second);
  Answer waiting;
  second.cmd("query-status", "", waiting.fn());
  second.open(g_fleet.main, port);
  pump_for(1.5);
  EXPECT_FALSE(second.greeted || second.ready);
  EXPECT_EQ(waiting.calls, 0);
  EXPECT_NE(second.sock, INVALID_SOCKET);  // connected, only waiting
  vm->qmp.close();
  EXPECT_TRUE(pump_until([&] { return waiting.calls > 0; }));
  EXPECT_TRUE(waiting.ok);
  second.close();
  untrack_qmp(&second);
}

TEST_F(QemuTest, QuitClosesTheLinkAndFailsWhatStillWaits) {
  const int port = fixture_ports()["b"];
  ASSERT_NE(port, 0);
  Vm* vm = linked(port);
  int closes = 0;
  vm->qmp.on_close = [&] { ++closes; };
  g_fleet.force_off(*vm);  // ready: goes out as "quit"
  EXPECT_TRUE(vm->forced);
  Answer after;
  g_fleet.qmp_do(*vm, "query-status", "", after.fn());
  ASSERT_TRUE(pump_until([&] { return vm->qmp.sock == INVALID_SOCKET; }));
  EXPECT_EQ(after.calls, 1);
  EXPECT_FALSE(after.ok);
  EXPECT_EQ(after.value.kind, 0);
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(vm->status, "shutdown");  // SHUTDOWN came before the end
  EXPECT_FALSE(vm->qmp.ready);
}

TEST_F(QemuTest, ScreendumpThroughTheBridgeLandsInThePicturesFolder) {
  const std::wstring exe = build_path("qemu/qemu-system-x86_64.exe");
  if (!file_exists(exe)) GTEST_SKIP() << "the QEMU bridge is not built";
  const int port = unused_port();
  const std::wstring cmdline = L"\"" + exe + L"\" -machine pc -nodefaults -vga std -display none -m 64 -qmp " +
                               widen(strf("tcp:127.0.0.1:%d,server=on,wait=off", port));
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(start_program(cmdline, pi));
  CloseHandle(pi.hThread);
  Vm* vm = add_test_vm(true, port, 0);
  vm->name = "Bridge Shot";
  vm->pid = pi.dwProcessId;
  vm->process = pi.hProcess;
  g_fleet.attach_qmp(*vm);
  // QEMU takes a moment to listen: reconnect the way the tick does.
  ASSERT_TRUE(pump_until([&] {
    if (vm->qmp.sock == INVALID_SOCKET && now_s() >= vm->qmp_next_try) {
      vm->qmp_next_try = now_s() + 0.2;
      vm->qmp.open(g_fleet.main, port);
    }
    return vm->status == "running";
  }, 30));
  g_fleet.pause(*vm);
  ASSERT_TRUE(pump_until([&] { return vm->status == "paused"; }));
  g_fleet.resume(*vm);
  ASSERT_TRUE(pump_until([&] { return vm->status == "running"; }));

  std::string path;
  bool ok = false;
  g_fleet.screenshot(*vm, [&](bool o, const std::string& p) { ok = o; path = p; });
  ASSERT_TRUE(pump_until([&] { return !path.empty(); }, 20));
  EXPECT_TRUE(ok);
  const std::wstring wpath = widen(path);
  EXPECT_EQ(path_dir(wpath), screenshot_folder(pictures_folder()));
  const std::string png = read_bytes(wpath);
  ASSERT_GT(png.size(), 100u);
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  DeleteFileW(wpath.c_str());

  g_fleet.force_off(*vm);
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 20000), WAIT_OBJECT_0);
  EXPECT_TRUE(pump_until([&] { return vm->qmp.sock == INVALID_SOCKET; }));
}

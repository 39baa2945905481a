// Host windows and the embed protocol: notifications applied to the Vm,
// windows of other processes refused, and the search for a display window.
#include <gtest/gtest.h>

#include <cstdio>
#include <utility>
#include <vector>

#include "tests/fleet/fleet_test_util.h"

namespace {

class HostTest : public ::testing::Test {
 protected:
  std::vector<std::pair<VmEvent, i64>> seen;
  void SetUp() override {
    fleet_reset();
    g_fleet.on_event = [this](Vm&, VmEvent e, i64 a) { seen.emplace_back(e, a); };
  }
  void TearDown() override { fleet_reset(); }
  int count(VmEvent e) {
    int n = 0;
    for (auto& s : seen) n += s.first == e;
    return n;
  }
};

}  // namespace

TEST_F(HostTest, NotificationsChangeTheVmAndWindowsOfOtherProcessesAreRefused) {
  Vm* vm = add_test_vm(true, 0);  // pid unknown: handles are taken as they come
  HWND own = test_main_window();
  g_fleet.handle_notify(*vm, 1, LPARAM(own));
  EXPECT_EQ(vm->guest, own);
  EXPECT_TRUE(vm->docked);
  const LPARAM size = (LPARAM(0x5A) << 32) | (768 << 16) | 1024;  // higher bits ignored
  g_fleet.handle_notify(*vm, 2, size);
  EXPECT_EQ(vm->guest_w, 1024);
  EXPECT_EQ(vm->guest_h, 768);
  g_fleet.handle_notify(*vm, 4, 1);
  EXPECT_TRUE(vm->mouse_grabbed);
  g_fleet.handle_notify(*vm, 4, 0);
  EXPECT_FALSE(vm->mouse_grabbed);
  g_fleet.handle_notify(*vm, 6, 5);
  EXPECT_TRUE(vm->guest_focused);
  g_fleet.handle_notify(*vm, 3, 77);
  g_fleet.handle_notify(*vm, 7, VK_F11);
  g_fleet.handle_notify(*vm, 5, LPARAM(own));
  EXPECT_FALSE(vm->docked);
  EXPECT_EQ(vm->guest, own);
  g_fleet.handle_notify(*vm, 0, 1);  // unknown codes raise nothing
  g_fleet.handle_notify(*vm, 8, 1);
  const std::vector<std::pair<VmEvent, i64>> expect = {
      {VmEvent::Embedded, i64(own)}, {VmEvent::GuestSize, size},         {VmEvent::MouseGrab, 1},
      {VmEvent::MouseGrab, 0},       {VmEvent::KeyboardFocus, 5},        {VmEvent::FullscreenToggle, 77},
      {VmEvent::GuestKey, VK_F11},   {VmEvent::Detached, i64(own)}};
  EXPECT_EQ(seen, expect);

  // A window of another process is refused once the Vm's process is known.
  seen.clear();
  vm->pid = GetCurrentProcessId() + 4;
  vm->guest = nullptr;
  g_fleet.handle_notify(*vm, 1, LPARAM(own));
  EXPECT_FALSE(vm->docked);
  vm->docked = true;
  g_fleet.handle_notify(*vm, 5, LPARAM(own));
  EXPECT_TRUE(vm->docked);
  EXPECT_EQ(vm->guest, nullptr);
  EXPECT_TRUE(seen.empty());
  vm->pid = GetCurrentProcessId();  // its own window is taken
  g_fleet.handle_notify(*vm, 5, LPARAM(own));
  EXPECT_EQ(vm->guest, own);
  EXPECT_EQ(count(VmEvent::Detached), 1);
}

TEST_F(HostTest, FindWindowPicksTheLargestVisibleUnownedWindowOfTheProcess) {
  Vm* vm = add_test_vm(false, 0);
  vm->process = start_stand_in(L"--windows", vm->pid);
  ASSERT_NE(vm->process, nullptr);
  ASSERT_TRUE(pump_until([&] {
    vm->guest = nullptr;  // a window found earlier is kept: search afresh until all exist
    g_fleet.find_window(*vm);
    RECT r;
    return vm->guest && GetWindowRect(vm->guest, &r) && r.right - r.left == 500;
  }));
  HWND found = vm->guest;
  g_fleet.find_window(*vm);
  EXPECT_EQ(vm->guest, found);  // still a top-level window: kept
  TerminateProcess(vm->process, 0);
  WaitForSingleObject(vm->process, 5000);

  // A process without windows clears a stale guest.
  Vm* quiet = add_test_vm(false, 0);
  quiet->process = start_stand_in(L"--sleep 10000", quiet->pid);
  ASSERT_NE(quiet->process, nullptr);
  quiet->guest = found;  // gone with its process
  g_fleet.find_window(*quiet);
  EXPECT_EQ(quiet->guest, nullptr);
  TerminateProcess(quiet->process, 0);
}


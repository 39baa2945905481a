// Shared by the launch tests: a fixture with its own folders and settings,
// machines that live as long as the test, and a fleet emptied afterwards.
#pragma once

#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <functional>
#include <list>
#include <map>

#include "machines/cmdline.h"
#include "machines/fleet.h"
#include "machines/library.h"
#include "machines/proc.h"
#include "machines/profile.h"
#include "machines/settings.h"
#include "tests/fleet/fleet_test_util.h"
#include "tests/support/test_support.h"

class LaunchFixture : public ::testing::Test {
 protected:
  std::wstring root;
  std::list<Machine> machines;
  std::vector<HANDLE> children;  // processes the test started itself

  void SetUp() override {
    root = test_dir("launch");
    g_fleet.main = test_main_window();
    g_fleet.on_event = nullptr;
    g_fleet.last_discover = now_s() + 1e9;  // discovery only when a test asks
    g_set.machines_dir = path_join(root, L"machines");
    g_set.qemu_dir = path_join(root, L"qemu");
    g_set.tiger_root = path_join(root, L"tiger");
    g_set.tiger_script = path_join(root, L"run-tiger-embed.ps1");
    g_set.mac_rom.clear();
    for (auto& d : {g_set.machines_dir, g_set.qemu_dir, g_set.tiger_root, path_join(g_set.tiger_root, L"vm")})
      CreateDirectoryW(d.c_str(), nullptr);
    g_cmdline_source = nullptr;
  }

  void TearDown() override {
    g_fleet.on_event = nullptr;
    auto end = [&](HANDLE h) {
      started_pids().push_back(GetProcessId(h));
      TerminateProcess(h, 9);
      WaitForSingleObject(h, 5000);
      last_end() = now_s();
    };
    // The test's own children first: a Vm that discovery found holds a
    // handle that may wait for the end but not bring it.
    for (HANDLE h : children) {
      end(h);
      CloseHandle(h);
    }
    while (!g_fleet.vms.empty()) {
      Vm* v = g_fleet.vms.back().get();
      if (v->process) end(v->process);
      if (v->script) end(v->script);
      g_fleet.remove(v);
    }
    g_cmdline_source = nullptr;
    for (auto it = g_lib.begin(); it != g_lib.end();) {
      bool ours = false;
      for (auto& m : machines) ours = ours || (*it)->dir == m.dir;
      it = ours ? g_lib.erase(it) : it + 1;
    }
    pump_for(0.2);
    end_console_hosts();
    remove_tree(root);
  }

 public:
  // Every process a test started, ended by now, and when the last one ended.
  static std::vector<DWORD>& started_pids() {
    static std::vector<DWORD> pids;
    return pids;
  }
  static double& last_end() {
    static double t = 0;
    return t;
  }

  // Under Wine a console child starts a console host process of its own; one
  // whose child was ended while starting up can appear a moment later and
  // then stay for good, holding the test's output pipe open so that the
  // runner never sees the end. The hosts of the children the tests started
  // are ended after each test, and after the last one until a second has
  // passed since the last child ended.
  static void end_console_hosts() {
    const std::vector<DWORD>& parents = started_pids();
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return;
    PROCESSENTRY32W e{};
    e.dwSize = sizeof e;
    for (BOOL more = Process32FirstW(snap, &e); more; more = Process32NextW(snap, &e)) {
      if (lower_w(e.szExeFile) != L"conhost.exe") continue;
      if (std::find(parents.begin(), parents.end(), e.th32ParentProcessID) == parents.end()) continue;
      if (HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, e.th32ProcessID)) {
        TerminateProcess(h, 0);
        WaitForSingleObject(h, 2000);
        CloseHandle(h);
      }
    }
    CloseHandle(snap);
  }


 protected:
  // A machine in its own folder (not saved), kept for the test's length.
  Machine& machine(const std::string& name, const std::string& profile, const std::wstring& disk) {
    Machine m;
    m.dir = path_join(g_set.machines_dir, widen(slugify(name)) + L"-" + std::to_wstring(machines.size()));
    CreateDirectoryW(m.dir.c_str(), nullptr);
    m.id = narrow(path_leaf(m.dir));
    m.name = name;
    m.profile = profile;
    m.disk = disk;
    if (const Profile* p = find_profile(profile)) {
      m.mem = p->mem_mb;
      m.cpus = p->cpus;
    }
    machines.push_back(m);
    return machines.back();
  }

  std::wstring make_disk(const std::wstring& leaf, size_t bytes = 65536) {
    std::wstring p = path_join(root, leaf);
    EXPECT_TRUE(write_bytes(p, std::string(bytes, '\0')));
    return p;
  }

  // A record standing for some other QEMU process the fleet knows.
  Vm* fake_vm(const std::string& name, u32 pid, std::vector<DriveUse> drives) {
    auto v = std::make_unique<Vm>();
    v->uid = g_fleet.next_uid++;
    v->name = name;
    v->pid = pid;
    v->phase = 1;
    v->drives = std::move(drives);
    g_fleet.vms.push_back(std::move(v));
    return g_fleet.vms.back().get();
  }

  static std::wstring upper_path(std::wstring p) {
    for (auto& c : p) c = (wchar_t)towupper(c);
    return p;
  }

  // Ticks the fleet (with the message pump between ticks) until done holds.
  static bool tick_until(const std::function<bool()>& done, double timeout_s, double every = 0.25) {
    const double end = now_s() + timeout_s;
    while (now_s() < end) {
      g_fleet.tick();
      if (done()) return true;
      pump_until(done, every);
      if (done()) return true;
    }
    return done();
  }
};

class ConsoleHostSweep : public ::testing::Environment {
 public:
  void TearDown() override {
    for (;;) {
      LaunchFixture::end_console_hosts();
      if (now_s() > LaunchFixture::last_end() + 1.0) break;
      Sleep(50);
    }
  }
};

inline ::testing::Environment* const kConsoleHostSweep = ::testing::AddGlobalTestEnvironment(new ConsoleHostSweep);

// The fleet's heartbeat: discovery, exits (with a short diagnosis for a
// machine that died right after its launch), promotion to running, CPU and
// memory samples, display windows and the QMP links.
#include <windows.h>
#include <psapi.h>

#include <algorithm>

#include "core/common.h"
#include "machines/fleet.h"
#include "machines/library.h"
#include "machines/proc.h"
#include "machines/profile.h"

namespace {

constexpr double kDiscoverEvery = 2.0;
constexpr double kQmpRetry = 1.0;
constexpr double kOnDemandLimit = 4.0;
constexpr double kEarlyExit = 20.0;
constexpr size_t kHistory = 240;

bool ended(HANDLE h) { return h && WaitForSingleObject(h, 0) == WAIT_OBJECT_0; }

// Why a machine of ours stopped right after its launch: the end of its error
// log, else of the machine's launch log, else its exit code.
std::string early_exit_text(const Vm& vm) {
  std::string text = tail_lines(vm.log_path, 6);
  if (vm.machine) {
    const std::wstring launch_log = path_join(vm.machine->dir, L"launch.log");
    if (text.empty()) text = tail_lines(launch_log, 6);
    if (vm.profile && vm.profile->tiger) text = tail_lines(launch_log, 4) + text;
  }
  if (text.empty()) text = strf("EXITED WITH CODE %d", vm.exit_code);
  return text;
}

}  // namespace

// A link that never greets (another client holds the socket, or QEMU hangs)
// must not keep commands waiting without a word. An on-demand link to a
// QEMU started elsewhere is closed once it has answered everything or after
// kOnDemandLimit; a link of our own is failed after kOnDemandLimit without a
// greeting while commands wait, and reconnects as before.
void Fleet::watch_qmp(Vm& vm, double now) {
  static const char kBusy[] = "QMP BUSY: ANOTHER CLIENT HOLDS THIS VM'S QMP SOCKET";
  Qmp& q = vm.qmp;
  if (q.sock == INVALID_SOCKET) return;
  bool busy = false;
  if (vm.qmp_on_demand) {
    if (q.ready && !q.waiting()) {
      q.on_close = nullptr;
      q.close();
      vm.qmp_on_demand = false;
      return;
    }
    if (now - q.opened <= kOnDemandLimit) return;
    busy = !q.ready;
    q.on_close = nullptr;
  } else {
    if (!vm.ours || q.ready || !q.waiting() || now - std::max(q.opened, q.waiting_since) <= kOnDemandLimit)
      return;
    busy = vm.message != kBusy;  // once, while the link keeps failing
  }
  const int uid = vm.uid;
  q.close();  // the waiting callbacks fail here and may change the fleet
  Vm* still = by_uid(uid);
  if (!still) return;
  still->qmp_on_demand = false;
  if (busy) {
    still->message = kBusy;
    if (on_event) on_event(*still, VmEvent::Message, 0);
  }
}

void Fleet::tick() {
  const double now = now_s();
  if (now - last_discover > kDiscoverEvery) {
    last_discover = now;
    discover();
  }
  for (size_t i = 0; i < vms.size(); i++) {
    Vm& vm = *vms[i];
    if (vm.phase == 2) continue;

    bool gone = false;
    if (vm.process) {
      if (ended(vm.process)) {
        DWORD code = 0;
        GetExitCodeProcess(vm.process, &code);
        vm.exit_code = (int)code;
        gone = true;
      }
    } else if (vm.script) {
      if (ended(vm.script)) {
        vm.exit_code = -1;
        gone = true;
      }
    }

    if (!gone) {
      if (vm.process && vm.phase == 0) vm.phase = 1;
      sample(vm, now);
      if (!vm.docked) find_window(vm);
      if (vm.auto_dock && vm.guest && !vm.docked) {
        vm.auto_dock = false;
        dock(vm);
      }
      if (vm.ours && vm.qmp_port != 0 && vm.qmp.sock == INVALID_SOCKET && vm.process && now >= vm.qmp_next_try) {
        vm.qmp_next_try = now + kQmpRetry;
        vm.qmp.open(main, vm.qmp_port);
      }
      watch_qmp(vm, now);
      continue;
    }

    // The link ends with the machine: what QEMU said last (SHUTDOWN, the
    // answer to "quit") is handled first, then commands still waiting fail
    // now rather than whenever the socket's own close notice comes in.
    if (vm.qmp.sock != INVALID_SOCKET) vm.qmp.on_socket(WSAMAKESELECTREPLY(FD_CLOSE, 0));
    vm.phase = 2;
    vm.exit_time = now;
    if (vm.ours && now - vm.started < kEarlyExit && !vm.forced && vm.exit_code != 0)
      vm.message = early_exit_text(vm);
    wlog("%s (pid %lu, %s): exited, code %d%s%s", vm.name.c_str(), (unsigned long)vm.pid,
         vm.ours ? "ours" : "external", vm.exit_code, vm.message.empty() ? "" : ": ", vm.message.c_str());
    if (on_event) on_event(vm, VmEvent::Exited, 0);
  }
}

bool times_are_own(u64 other, u64 own_before, u64 own_after) { return own_before <= other && other <= own_after; }

void Fleet::sample(Vm& vm, double now) {
  if (!vm.process) return;
  auto to64 = [](const FILETIME& f) { return ((u64)f.dwHighDateTime << 32) | f.dwLowDateTime; };
  auto own = [&] {
    FILETIME c, e, k, u;
    return GetProcessTimes(GetCurrentProcess(), &c, &e, &k, &u) ? to64(k) + to64(u) : u64(0);
  };
  FILETIME created, exited, kernel, user;
  u64 busy = 0;
  double at = now;
  bool have = false;
  const bool reported = vm.cpu_report_at > 0 && now - vm.cpu_report_at < kCpuReportFresh;
  if (reported != vm.cpu_by_report) {
    vm.cpu_by_report = reported;
    vm.cpu_time = 0;  // another clock: the next sample primes again
  }
  if (reported) {
    // The process's own report, timed by its own clock: a sample each time a
    // new one came.
    have = vm.cpu_report_clock > vm.cpu_time;
    busy = u64(vm.cpu_report * 1e7);
    at = vm.cpu_report_clock;
  }
  u64 own_before = own();
  if (GetProcessTimes(vm.process, &created, &exited, &kernel, &user)) {
    vm.start_unix = (double)to64(created) / 10000000.0 - 11644473600.0;
    u64 times = to64(kernel) + to64(user);
    if (!reported && !times_are_own(times, own_before, own())) {
      busy = times;
      have = true;
    }
  }
  if (have) {
    if (vm.cpu_time > 0 && at > vm.cpu_time && busy >= vm.cpu_busy) {
      vm.cpu_load = (float)((double)(busy - vm.cpu_busy) / 10000000.0 / (at - vm.cpu_time));
      vm.cpu_known = true;
      vm.cpu_history.push_back(vm.cpu_load);
      if (vm.cpu_history.size() > kHistory) vm.cpu_history.erase(vm.cpu_history.begin());
    }
    vm.cpu_busy = busy;
    vm.cpu_time = at;
  }
  PROCESS_MEMORY_COUNTERS_EX mem{};
  if (K32GetProcessMemoryInfo(vm.process, (PROCESS_MEMORY_COUNTERS*)&mem, sizeof mem))
    vm.private_bytes = mem.PrivateUsage;
}

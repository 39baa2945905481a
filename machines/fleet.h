// The fleet: every QEMU process the program knows about, launched here or
// found running, each one a Vm record owned by g_fleet. Everything runs on the
// user-interface thread; callbacks may change the fleet, so loops over vms go
// by index and re-read the size.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <dwmapi.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/common.h"
#include "machines/qmp.h"

struct Machine;
struct Profile;

// A disk image a QEMU process has open.
struct DriveUse {
  std::wstring path;     // norm_path of the image
  bool scratch = false;  // opened with snapshot=on: never counts as a writer
};

enum class VmEvent : int {
  Embedded = 0,          // arg: the embedded display window
  GuestSize = 1,         // arg: width in bits 0-15, height in bits 16-31
  FullscreenToggle = 2,  // arg: as the display sent it
  GuestKey = 3,          // arg: virtual-key code of a hot key pressed in the guest
  KeyboardFocus = 4,     // arg: non-zero when the display has the keyboard
  MouseGrab = 5,         // arg: non-zero when the display holds the mouse
  Detached = 6,          // arg: the display's own top-level window
  Exited = 7,            // arg: 0
  Message = 8,           // arg: 0 (the Vm's message changed)
};

// One running or discovered QEMU process.
struct Vm {
  int uid = 0;
  bool ours = false;
  Machine* machine = nullptr;
  const Profile* profile = nullptr;
  std::string name;
  u32 pid = 0;
  HANDLE process = nullptr;
  u32 script_pid = 0;
  HANDLE script = nullptr;
  std::wstring exe;
  std::wstring log_path;
  std::wstring qemu_dir;
  std::vector<DriveUse> drives;
  bool scratch = false;
  int qmp_port = 0;
  int slot = -1;
  Qmp qmp;
  bool qmp_on_demand = false;
  double qmp_next_try = 0;
  std::string status;
  int phase = 0;  // 0 launched, 1 running, 2 exited
  double started = 0;
  double start_unix = 0;
  bool can_embed = false;
  HWND host = nullptr;
  HWND guest = nullptr;
  bool docked = false;
  int guest_w = 0;
  int guest_h = 0;
  bool mouse_grabbed = false;
  bool guest_focused = false;
  bool auto_dock = false;
  bool forced = false;
  HTHUMBNAIL thumbnail = nullptr;
  std::vector<float> cpu_history;
  u64 cpu_busy = 0;
  double cpu_time = 0;
  float cpu_load = 0;
  bool cpu_known = false;     // cpu_load is a measured figure (else shown as "-")
  double cpu_report = -1;     // CPU seconds the process reported itself (event X_PROCESS_CPU)
  double cpu_report_clock = 0;  // when it read them, on its own clock (seconds)
  double cpu_report_at = 0;   // now_s() when that report came; 0: none yet
  bool cpu_by_report = false; // the samples come from the reports (their own clock)
  u64 private_bytes = 0;
  std::string message;
  int exit_code = 0;
  double exit_time = 0;

  Vm() = default;
  Vm(const Vm&) = delete;
  Vm& operator=(const Vm&) = delete;
  // Drops the QMP link and its callbacks without calling them: at exit the
  // objects they point into may be gone already. Closes no process handle and
  // destroys no window (Fleet::remove does).
  ~Vm();
};

struct Fleet {
  std::vector<std::unique_ptr<Vm>> vms;
  HWND main = nullptr;
  u32 cmd_msg = 0;
  u32 notify_msg = 0;
  std::function<void(Vm&, VmEvent, i64)> on_event;
  int next_uid = 1;
  double last_discover = 0;

  // ---- records (fleet.cpp) ----------------------------------------------------
  void init(HWND main_window);
  Vm* by_uid(int uid);
  Vm* by_host(HWND host);
  // The first live Vm that has the image open for writing (not scratch).
  Vm* writer_of(const std::wstring& path);
  int active_count() const;
  // Destroys the host window, fails waiting QMP commands, closes the handles
  // and erases the record. A pointer not in the fleet changes nothing.
  void remove(Vm* vm);

  // ---- launching (launch.cpp) -------------------------------------------------
  // scratch: -1 the machine's own setting, 0 off, positive on; qemu_dir empty
  // for the settings' folder. Null with err set on failure.
  Vm* launch(Machine& machine, std::string& err, int scratch, const std::wstring& qemu_dir);

  // ---- heartbeat (tick.cpp) ---------------------------------------------------
  void tick();
  void sample(Vm& vm, double now);
  void watch_qmp(Vm& vm, double now);

  // ---- discovery (discover.cpp) -----------------------------------------------
  void discover();

  // ---- QMP control (control.cpp) ----------------------------------------------
  // Routes one WM_QMP notification to the Vm whose socket it names.
  void on_qmp(WPARAM wparam, LPARAM lparam);
  void attach_qmp(Vm& vm);
  void qmp_do(Vm& vm, const std::string& name, const std::string& args, QmpReply callback);
  void pause(Vm& vm);
  void resume(Vm& vm);
  void reset(Vm& vm);
  void powerdown(Vm& vm);
  void force_off(Vm& vm);
  void eject(Vm& vm);
  void screenshot(Vm& vm, std::function<void(bool ok, const std::string& path)> done);

  // ---- host windows and the embed protocol (host.cpp) -------------------------
  void make_host(Vm& vm);
  void handle_notify(Vm& vm, WPARAM code, LPARAM lparam);
  void detach(Vm& vm);
  bool dock(Vm& vm);
  void focus_guest(Vm& vm);
  void find_window(Vm& vm);
};

extern Fleet g_fleet;

// Window procedure of the "VunkVmHost" class.
LRESULT CALLBACK host_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// ---- launching helpers (launch.cpp) -------------------------------------------
// 127.0.0.1:port can be bound exclusively (the socket is closed at once).
bool port_free(int port);

// Whether process times read for another process are this process's own,
// read just before and just after: some hosts (Wine) answer any process's
// times with the asking one's, a figure that follows the console's load.
bool times_are_own(u64 other, u64 own_before, u64 own_after);
// How long a process's own CPU report stands in for its process times.
constexpr double kCpuReportFresh = 3.0;
// Command lines of every Vm with a process handle, each followed by "\n".
std::wstring all_qemu_cmdlines();
// VUNK_TEST_DISPLAY when it is 1 to 63 characters long, else empty.
std::wstring test_display();

// ---- discovery helpers (discover.cpp) -----------------------------------------
// Command line of another process; empty on any failure.
std::wstring process_cmdline(HANDLE process);

// ---- screenshots (control.cpp) ------------------------------------------------
// The user's Pictures folder; empty when the shell has none.
std::wstring pictures_folder();
// Pictures\VUNK, or captures beside the program when pictures is empty.
std::wstring screenshot_folder(const std::wstring& pictures);
// "<slug>-YYYYMMDD-HHMMSS.png" for the given local time.
std::wstring screenshot_name(const std::string& vm_name, const SYSTEMTIME& local);

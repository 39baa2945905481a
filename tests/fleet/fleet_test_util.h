// Shared by the fleet tests: a hidden main window that routes QMP socket
// notifications, a bounded message pump, and a scripted QMP server written
// from the protocol (a JSON greeting, then one JSON object per line).
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "machines/fleet.h"
#include "tests/support/test_support.h"

// The hidden top-level window that plays the program's main window. WM_QMP
// goes to g_fleet.on_qmp and to every standalone client registered below.
HWND test_main_window();
void track_qmp(Qmp* q);
void untrack_qmp(Qmp* q);

// Dispatches window messages until done() holds or the time is up; returns
// done() at the end.
bool pump_until(const std::function<bool()>& done, double timeout_s = 10);
// Dispatches messages for the given time (for checking that nothing happens).
void pump_for(double seconds);

// Counts and keeps the answers of one command.
struct Answer {
  int calls = 0;
  bool ok = false;
  JVal value;
  QmpReply fn() {
    return [this](bool o, const JVal& v) {
      ++calls;
      ok = o;
      value = v;
    };
  }
};

// One accepted connection of the scripted server (blocking calls).
struct PeerConn {
  SOCKET s = INVALID_SOCKET;
  const std::atomic<bool>* stop = nullptr;  // set when the test is over
  std::string buf;
  bool send_text(const std::string& bytes);
  // The next line without its line end; false on close or after timeout_s.
  bool read_line(std::string& out, double timeout_s = 10);
  // Greeting, then the capabilities command answered with `answer`.
  bool handshake(const std::string& answer = "{\"return\": {}}");
};

extern const char* const kGreeting;

// Listens on 127.0.0.1 (a port the system picks), accepts one connection and
// runs the script on it in a thread of its own. `lines` keeps what the
// client sent, in order.
struct ScriptedPeer {
  int port = 0;
  std::atomic<bool> finished{false};
  std::atomic<bool> script_ok{false};
  std::mutex mu;
  std::vector<std::string> lines;

  explicit ScriptedPeer(std::function<bool(PeerConn&, ScriptedPeer&)> script);
  ~ScriptedPeer();
  // Reads the client's next line into `lines`; false as read_line.
  bool note_next(PeerConn& c);
  std::vector<std::string> seen();

 private:
  std::atomic<bool> stop_{false};
  SOCKET listener_ = INVALID_SOCKET;
  std::thread thread_;
};

// Path of a file built beside the tests (the embed display stand-in, ...).
std::wstring test_exe(const wchar_t* name);

// A scripted server that answers like a QEMU would, as far as the fleet
// tests need: "query-status" gives {"status":"running"}, "emit-X" sends the
// event X before its empty answer, "fail-X" answers with an error, "quit"
// sends SHUTDOWN, its answer and hangs up, "silent-X" gets no answer; every
// other command gets an empty answer. Every line is noted.
bool serve_like_qemu(PeerConn& c, ScriptedPeer& p);

// g_fleet started once on the test window, then emptied for each test.
void fleet_reset();
// Appends a bare Vm named "Test VM" (uid from next_uid).
Vm* add_test_vm(bool ours, int port, int phase = 1);

// Starts the stand-in program (embed_display.exe) with the given arguments;
// the process handle, or null. pid receives its id.
HANDLE start_stand_in(const std::wstring& args, u32& pid);
// A loopback port that nothing listens on (bound, then released).
int unused_port();

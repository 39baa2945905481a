#include "tests/fleet/fleet_test_util.h"

#include <algorithm>

#include "tests/support/test_support.h"

const char* const kGreeting =
    "{\"QMP\": {\"version\": {\"qemu\": {\"micro\": 0, \"minor\": 2, \"major\": 7}, "
    "\"package\": \"\"}, \"capabilities\": [\"oob\"]}}";

namespace {

std::vector<Qmp*>& tracked() {
  static std::vector<Qmp*> v;
  return v;
}

LRESULT CALLBACK main_proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  if (m == WM_QMP) {
    for (Qmp* q : tracked())
      if (q->sock != INVALID_SOCKET && q->sock == SOCKET(wp)) {
        q->on_socket(lp);
        return 0;
      }
    g_fleet.on_qmp(wp, lp);
    return 0;
  }
  return DefWindowProcW(w, m, wp, lp);
}

// A TCP socket bound to 127.0.0.1 on a port the system picks.
SOCKET bound_loopback(int& port) {
  test_main_window();  // starts Winsock
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  int len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return s;
}

}  // namespace

HWND test_main_window() {
  static HWND w = [] {
    WSADATA d;
    WSAStartup(MAKEWORD(2, 2), &d);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = main_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"VunkFleetTestMain";
    RegisterClassW(&wc);
    return CreateWindowExW(0, wc.lpszClassName, L"fleet test", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                           0, 0, 800, 600, nullptr, nullptr, wc.hInstance, nullptr);
  }();
  return w;
}

void track_qmp(Qmp* q) { tracked().push_back(q); }
void untrack_qmp(Qmp* q) {
  auto& v = tracked();
  v.erase(std::remove(v.begin(), v.end(), q), v.end());
}

bool pump_until(const std::function<bool()>& done, double timeout_s) {
  const double end = now_s() + timeout_s;
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
      if (done()) return true;
    }
    if (done()) return true;
    const double left = end - now_s();
    if (left <= 0) return done();
    MsgWaitForMultipleObjects(0, nullptr, FALSE, DWORD(std::min(left, 0.05) * 1000) + 1, QS_ALLINPUT);
  }
}

void pump_for(double seconds) {
  pump_until([] { return false; }, seconds);
}

bool PeerConn::send_text(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    int n = send(s, bytes.data() + done, int(bytes.size() - done), 0);
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

bool PeerConn::read_line(std::string& out, double timeout_s) {
  const double end = now_s() + timeout_s;
  for (;;) {
    size_t lf = buf.find('\n');
    if (lf != std::string::npos) {
      out = buf.substr(0, lf);
      buf.erase(0, lf + 1);
      if (!out.empty() && out.back() == '\r') out.pop_back();
      return true;
    }
    const double left = end - now_s();
    if (left <= 0 || (stop && *stop)) return false;
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(s, &rd);
    timeval tv{0, int(std::min(left, 0.1) * 1e6)};
    if (select(0, &rd, nullptr, nullptr, &tv) <= 0) continue;
    char tmp[65536];
    int n = recv(s, tmp, sizeof tmp, 0);
    if (n <= 0) return false;
    buf.append(tmp, size_t(n));
  }
}

bool PeerConn::handshake(const std::string& answer) {
  std::string l;
  return send_text(std::string(kGreeting) + "\r\n") && read_line(l) &&
         l == "{\"execute\":\"qmp_capabilities\"}" && send_text(answer + "\r\n");
}

ScriptedPeer::ScriptedPeer(std::function<bool(PeerConn&, ScriptedPeer&)> script) {
  listener_ = bound_loopback(port);
  listen(listener_, 1);
  thread_ = std::thread([this, script] {
    PeerConn c;
    c.stop = &stop_;
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(listener_, &rd);
    timeval tv{20, 0};
    if (select(0, &rd, nullptr, nullptr, &tv) > 0) c.s = accept(listener_, nullptr, nullptr);
    if (c.s != INVALID_SOCKET) {
      script_ok = script(c, *this);
      closesocket(c.s);
    }
    finished = true;
  });
}

ScriptedPeer::~ScriptedPeer() {
  stop_ = true;
  closesocket(listener_);
  if (thread_.joinable()) thread_.join();
}

bool ScriptedPeer::note_next(PeerConn& c) {
  std::string l;
  if (!c.read_line(l, 15)) return false;
  std::lock_guard<std::mutex> g(mu);
  lines.push_back(l);
  return true;
}

std::vector<std::string> ScriptedPeer::seen() {
  std::lock_guard<std::mutex> g(mu);
  return lines;
}

std::wstring test_exe(const wchar_t* name) {
  return path_join(build_path("tests"), name);
}

bool serve_like_qemu(PeerConn& c, ScriptedPeer& p) {
  if (!c.handshake()) return false;
  while (p.note_next(c)) {
    const std::string l = p.seen().back();
    JParser jp{l};
    JVal v;
    if (!jp.value(v)) return false;
    const std::string name = v["execute"].s;
    bool ok = true;
    if (name == "query-status") {
      ok = c.send_text("{\"return\": {\"status\": \"running\", \"running\": true}}\r\n");
    } else if (name.rfind("emit-", 0) == 0) {
      ok = c.send_text("{\"event\": \"" + name.substr(5) + "\"}\r\n{\"return\": {}}\r\n");
    } else if (name.rfind("fail-", 0) == 0 || name == "eject") {
      ok = c.send_text("{\"error\": {\"class\": \"GenericError\", \"desc\": \"refused\"}}\r\n");
    } else if (name == "quit") {
      c.send_text("{\"event\": \"SHUTDOWN\"}\r\n{\"return\": {}}\r\n");
      return true;
    } else if (name.rfind("silent-", 0) != 0) {
      ok = c.send_text("{\"return\": {}}\r\n");
    }
    if (!ok) return false;
  }
  return true;
}

void fleet_reset() {
  if (g_fleet.main != test_main_window()) g_fleet.init(test_main_window());
  while (!g_fleet.vms.empty()) g_fleet.remove(g_fleet.vms.back().get());
  g_fleet.on_event = nullptr;
}

Vm* add_test_vm(bool ours, int port, int phase) {
  auto v = std::make_unique<Vm>();
  v->uid = g_fleet.next_uid++;
  v->ours = ours;
  v->name = "Test VM";
  v->qmp_port = port;
  v->phase = phase;
  Vm* r = v.get();
  g_fleet.vms.push_back(std::move(v));
  return r;
}

HANDLE start_stand_in(const std::wstring& args, u32& pid) {
  PROCESS_INFORMATION pi{};
  if (!start_program(L"\"" + test_exe(L"embed_display.exe") + L"\" " + args, pi)) return nullptr;
  CloseHandle(pi.hThread);
  pid = pi.dwProcessId;
  return pi.hProcess;
}

int unused_port() {
  int port = 0;
  closesocket(bound_loopback(port));
  return port;
}

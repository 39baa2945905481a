// Round-trip latency of "query-status" through the program's QMP client (a
// window message per socket notification) beside a plain blocking-socket
// client on the same QEMU, one after the other (QEMU serves one client at a
// time). Usage: bench_qmp <port> [rounds]
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/common.h"
#include "machines/qmp.h"

namespace {

Qmp* g_client = nullptr;

LRESULT CALLBACK bench_proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  if (m == WM_QMP && g_client && g_client->sock == SOCKET(wp)) {
    g_client->on_socket(lp);
    return 0;
  }
  return DefWindowProcW(w, m, wp, lp);
}

bool pump_until(bool& flag, double timeout_s) {
  const double end = now_s() + timeout_s;
  while (!flag && now_s() < end) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    if (!flag) MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
  return flag;
}

struct Stats {
  double mean_us = 0, median_us = 0;
};

Stats stats_of(std::vector<double> v) {
  Stats s;
  if (v.empty()) return s;
  double sum = 0;
  for (double x : v) sum += x;
  std::sort(v.begin(), v.end());
  s.mean_us = sum / double(v.size()) * 1e6;
  s.median_us = v[v.size() / 2] * 1e6;
  return s;
}

// Sequential rounds through Qmp: each answer sends the next command.
bool run_qmp(HWND wnd, int port, int rounds, std::vector<double>& times) {
  Qmp q;
  g_client = &q;
  q.open(wnd, port);
  bool ready = false;
  q.on_ready = [&] { ready = true; };
  if (!pump_until(ready, 10)) return false;
  const int warm = 20;
  int left = rounds + warm;
  bool done = false, failed = false;
  double t0 = 0;
  std::function<void()> next;
  next = [&] {
    t0 = now_s();
    q.cmd("query-status", "", [&](bool ok, const JVal&) {
      if (!ok) {
        failed = done = true;
        return;
      }
      if (left-- <= rounds) times.push_back(now_s() - t0);
      if (left > 0)
        next();
      else
        done = true;
    });
  };
  next();
  pump_until(done, 120);
  q.close();
  g_client = nullptr;
  return done && !failed;
}

bool read_line(SOCKET s, std::string& buf, std::string& line) {
  for (;;) {
    size_t lf = buf.find('\n');
    if (lf != std::string::npos) {
      line = buf.substr(0, lf);
      buf.erase(0, lf + 1);
      return true;
    }
    char tmp[4096];
    int n = recv(s, tmp, sizeof tmp, 0);
    if (n <= 0) return false;
    buf.append(tmp, size_t(n));
  }
}

bool send_all(SOCKET s, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    int n = send(s, text.data() + done, int(text.size() - done), 0);
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

// The same rounds with blocking calls and no window messages.
bool run_plain(int port, int rounds, std::vector<double>& times) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(u16(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
  std::string buf, line;
  auto answer = [&] {  // skips events up to the next answer
    while (read_line(s, buf, line))
      if (line.find("\"return\"") != std::string::npos || line.find("\"error\"") != std::string::npos)
        return true;
    return false;
  };
  bool ok = read_line(s, buf, line) && send_all(s, "{\"execute\":\"qmp_capabilities\"}\r\n") && answer();
  for (int i = 0; ok && i < rounds + 20; ++i) {
    const double t0 = now_s();
    ok = send_all(s, "{\"execute\":\"query-status\"}\r\n") && answer();
    if (i >= 20) times.push_back(now_s() - t0);
  }
  closesocket(s);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: bench_qmp <port> [rounds]\n");
    return 2;
  }
  const int port = atoi(argv[1]);
  const int rounds = argc > 2 ? atoi(argv[2]) : 1000;
  WSADATA d;
  WSAStartup(MAKEWORD(2, 2), &d);
  WNDCLASSW wc = {};
  wc.lpfnWndProc = bench_proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"VunkBenchQmp";
  RegisterClassW(&wc);
  HWND wnd = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             wc.hInstance, nullptr);
  std::vector<double> qmp_times, plain_times;
  if (!run_qmp(wnd, port, rounds, qmp_times)) {
    fprintf(stderr, "QMP client rounds failed\n");
    return 1;
  }
  Sleep(200);  // QEMU takes the next client once it has seen the first go
  if (!run_plain(port, rounds, plain_times)) {
    fprintf(stderr, "blocking client rounds failed\n");
    return 1;
  }
  const Stats q = stats_of(qmp_times), p = stats_of(plain_times);
  printf("query-status round trip, %d rounds each, same QEMU on loopback\n", rounds);
  printf("  Qmp client (window messages): mean %8.1f us, median %8.1f us\n", q.mean_us, q.median_us);
  printf("  blocking socket client:       mean %8.1f us, median %8.1f us\n", p.mean_us, p.median_us);
  printf("  ratio Qmp / blocking: mean %.2f, median %.2f\n", q.mean_us / p.mean_us,
         q.median_us / p.median_us);
  return 0;
}

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <sstream>

#include "machines/proc.h"
#include "tests/support/test_support.h"

namespace {

std::wstring bridge(const wchar_t* name) { return path_join(build_path("qemu"), name); }

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> v;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) v.push_back(line);
  return v;
}

// Sets a variable of this process's environment for the life of the object.
struct EnvVar {
  std::wstring name;
  EnvVar(const wchar_t* n, const wchar_t* v) : name(n) { SetEnvironmentVariableW(n, v); }
  ~EnvVar() { SetEnvironmentVariableW(name.c_str(), nullptr); }
};

struct Wsa {
  Wsa() {
    WSADATA d;
    WSAStartup(MAKEWORD(2, 2), &d);
  }
  ~Wsa() { WSACleanup(); }
};

sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(u16(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

int free_port() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = loopback(0);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  int len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  closesocket(s);
  return ntohs(a.sin_port);
}

// A blocking QMP client with a receive time-out.
struct QmpLink {
  SOCKET s = INVALID_SOCKET;
  std::string rx;
  bool connect_to(int port, double within_s) {
    double end = now_s() + within_s;
    while (now_s() < end) {
      s = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a = loopback(port);
      if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        DWORD ms = 300;
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
        return true;
      }
      closesocket(s);
      s = INVALID_SOCKET;
      Sleep(100);
    }
    return false;
  }
  // The next line holding `want`, or "" when none comes within the time.
  std::string line_with(const std::string& want, double within_s) {
    double end = now_s() + within_s;
    for (;;) {
      size_t nl;
      while ((nl = rx.find('\n')) != std::string::npos) {
        std::string line = rx.substr(0, nl + 1);
        rx.erase(0, nl + 1);
        if (line.find(want) != std::string::npos) return line;
      }
      if (now_s() >= end) return "";
      char buf[4096];
      int n = recv(s, buf, sizeof buf, 0);
      if (n > 0) rx.append(buf, size_t(n));
      else if (n == 0) return "";
    }
  }
  void send_line(const std::string& json) {
    std::string l = json + "\r\n";
    send(s, l.data(), int(l.size()), 0);
  }
  ~QmpLink() {
    if (s != INVALID_SOCKET) closesocket(s);
  }
};

// A Linux process is gone once /proc no longer lists it or it is a zombie.
bool linux_pid_alive(unsigned long pid) {
  std::string stat = read_bytes(widen(strf("Z:\\proc\\%lu\\stat", pid)));
  if (stat.empty()) return false;
  size_t p = stat.rfind(") ");
  return p != std::string::npos && p + 2 < stat.size() && stat[p + 2] != 'Z' && stat[p + 2] != 'X';
}

// The image name a process snapshot gives for a pid; empty when not listed.
std::wstring listed_name(DWORD pid) {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W e{};
  e.dwSize = sizeof e;
  std::wstring name;
  for (BOOL ok = Process32FirstW(snap, &e); ok; ok = Process32NextW(snap, &e))
    if (e.th32ProcessID == pid) name = e.szExeFile;
  CloseHandle(snap);
  return name;
}

bool start(const std::wstring& cmdline, PROCESS_INFORMATION& pi) {
  return create_child(cmdline, CREATE_NO_WINDOW, nullptr, nullptr, nullptr, nullptr, pi);
}

// Waits for the process and closes its handles; its exit code, or -1 when it
// was still running at the limit (it is then terminated).
long finish(PROCESS_INFORMATION& pi, DWORD ms) {
  DWORD code = 0;
  bool ended = WaitForSingleObject(pi.hProcess, ms) == WAIT_OBJECT_0 && GetExitCodeProcess(pi.hProcess, &code);
  if (!ended) TerminateProcess(pi.hProcess, 1);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return ended ? long(code) : -1;
}

}  // namespace

TEST(Bridge, DryRunTranslatesPathsAndMapsOptions) {
  EnvVar dry(L"VUNK_BRIDGE_DRYRUN", L"1");
  std::string build = env_str("VUNK_BUILD");
  std::wstring disk = build_path("bridge a,b.img");  // Z:\...\bridge a,b.img
  std::wstring cd = L"C:\\windows\\win.ini";
  std::wstring args = L" -M q800,audiodev=snd0 -audiodev dsound,id=snd0 -bios " + quote_arg(build_path("rom,1.bin")) +
                      L" -drive " + quote_arg(L"file=" + opt_escape(disk) + L",format=raw,media=disk") +
                      L" -drive " + quote_arg(L"file=" + cd + L",format=raw,media=cdrom,index=2") +
                      L" -machine pc,audiodev=keep -audiodev wav,id=w -qmp tcp:127.0.0.1:4601,server=on,wait=off" +
                      L" -name " + quote_arg(L"guest=My VM,debug-threads=on") + L" -m 128";
  std::string out;
  ASSERT_TRUE(run_capture(quote_arg(bridge(L"qemu-system-m68k.exe")) + args, out, 30000)) << out;
  auto l = lines_of(out);
  ASSERT_GE(l.size(), 22u) << out;
  EXPECT_EQ(l[0].substr(l[0].size() - 17), "/qemu-system-m68k");
  EXPECT_EQ(l[2], "q800");  // audiodev= is newer than this QEMU
  EXPECT_EQ(l[4], "none,id=snd0");
  EXPECT_EQ(l[6], build + "/rom,1.bin");  // a whole path keeps its commas single
  EXPECT_EQ(l[8], "file=" + build + "/bridge a,,b.img,format=raw,media=disk");
  EXPECT_EQ(l[10].substr(0, 5), "file=");
  EXPECT_NE(l[10].find("/drive_c/windows/win.ini,format=raw,media=cdrom,index=2"), std::string::npos) << l[10];
  EXPECT_EQ(l[10].find(":\\"), std::string::npos);
  EXPECT_EQ(l[12], "pc,audiodev=keep");  // only the Quadra loses it
  EXPECT_EQ(l[14], "wav,id=w");
  EXPECT_EQ(l[16].substr(0, 14), "tcp:127.0.0.1:");
  EXPECT_EQ(l[16].substr(l[16].size() - 19), ",server=on,wait=off");
  EXPECT_NE(l[16], "tcp:127.0.0.1:4601,server=on,wait=off");  // QEMU listens elsewhere
  EXPECT_EQ(l[18], "guest=My VM,debug-threads=on");
  EXPECT_EQ(l[20], "128");
  EXPECT_EQ(l[21].substr(0, 19), "# qmp proxy 4601 ->");

  // qemu-img: option values and plain paths both, relative names untouched.
  out.clear();
  ASSERT_TRUE(run_capture(quote_arg(bridge(L"qemu-img.exe")) + L" convert -O qcow2 -o " +
                              quote_arg(L"backing_file=" + opt_escape(build_path("base,1.img")) + L",backing_fmt=raw") +
                              L" " + quote_arg(build_path("in put.img")) + L" relative.qcow2",
                          out, 30000))
      << out;
  l = lines_of(out);
  ASSERT_EQ(l.size(), 8u) << out;
  EXPECT_EQ(l[5], "backing_file=" + build + "/base,,1.img,backing_fmt=raw");
  EXPECT_EQ(l[6], build + "/in put.img");
  EXPECT_EQ(l[7], "relative.qcow2");
}

TEST(Bridge, RelaysOutputAndExitCodesAndFailsClearlyWithoutQemu) {
  std::string out;
  EXPECT_FALSE(run_capture(quote_arg(bridge(L"linux-run.exe")) + L" sh -c \"echo to-out; echo to-err >&2; exit 3\"",
                           out, 30000));
  EXPECT_NE(out.find("to-out\n"), std::string::npos) << out;
  EXPECT_NE(out.find("to-err\n"), std::string::npos) << out;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(start(quote_arg(bridge(L"linux-run.exe")) + L" sh -c \"exit 3\"", pi));
  EXPECT_NE(pi.dwProcessId, 0u);
  EXPECT_EQ(finish(pi, 30000), 3);
  EXPECT_TRUE(run_capture(quote_arg(bridge(L"linux-run.exe")) + L" true", out, 30000)) << out;

  EnvVar bin(L"VUNK_BRIDGE_BIN", L"/nonexistent-folder");
  out.clear();
  EXPECT_FALSE(run_capture(quote_arg(bridge(L"qemu-system-ppc.exe")) + L" -M mac99", out, 30000));
  EXPECT_NE(out.find("qemu-system-ppc"), std::string::npos) << out;
  EXPECT_NE(out.find("not found"), std::string::npos) << out;
}

TEST(Bridge, QemuAnswersQmpAndTerminationEndsIt) {
  Wsa wsa;
  int port = free_port();
  std::wstring dir = test_dir("bridge-kill");
  std::wstring pidfile = path_join(dir, L"qemu.pid");
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(start(quote_arg(bridge(L"qemu-system-x86_64.exe")) +
                        widen(strf(" -machine none -display none -qmp tcp:127.0.0.1:%d,server=on,wait=off -pidfile ",
                                   port)) +
                        quote_arg(pidfile),
                    pi));
  EXPECT_NE(pi.dwProcessId, 0u);
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), DWORD(WAIT_TIMEOUT));  // alive
  EXPECT_EQ(lower_w(listed_name(pi.dwProcessId)), L"qemu-system-x86_64.exe");  // as discovery sees it
  QmpLink q;
  ASSERT_TRUE(q.connect_to(port, 15));
  EXPECT_NE(q.line_with("\"QMP\"", 15), "");
  q.send_line("{\"execute\":\"qmp_capabilities\"}");
  EXPECT_NE(q.line_with("\"return\"", 10), "");
  q.send_line("{\"execute\":\"query-status\"}");
  EXPECT_NE(q.line_with("\"status\"", 10), "");
  // QEMU serves one client, through the proxy as well: a second one gets no
  // greeting while the first is connected.
  QmpLink second;
  ASSERT_TRUE(second.connect_to(port, 5));
  EXPECT_EQ(second.line_with("\"QMP\"", 1.0), "");

  std::string pid_text;
  for (int i = 0; i < 100 && pid_text.empty(); ++i, Sleep(100)) pid_text = read_bytes(pidfile);
  unsigned long qemu_pid = strtoul(pid_text.c_str(), nullptr, 10);
  ASSERT_GT(qemu_pid, 0ul) << pid_text;
  EXPECT_TRUE(linux_pid_alive(qemu_pid));
  // Terminating the Windows process takes the Linux QEMU down with it.
  ASSERT_TRUE(TerminateProcess(pi.hProcess, 1));
  EXPECT_EQ(finish(pi, 5000), 1);
  double t0 = now_s();
  while (linux_pid_alive(qemu_pid) && now_s() - t0 < 2.0) Sleep(50);
  EXPECT_FALSE(linux_pid_alive(qemu_pid)) << "QEMU pid " << qemu_pid << " outlived the bridge";
  remove_tree(dir);
}

// Each family the program starts directly comes up with the options the
// launch code gives it, saves a screen to a Windows path, and quits cleanly.
TEST(Bridge, FamiliesStartScreendumpAndQuit) {
  Wsa wsa;
  std::wstring dir = test_dir("bridge-families");  // on C:, inside the prefix
  // A made-up Quadra ROM: the checksum, then a reset vector to an endless loop.
  std::string rom(1048576, '\0');
  rom.replace(0, 10, std::string("\xF1\xAC\xAD\x13\x00\x00\x00\x08\x60\xFE", 10));
  write_bytes(path_join(dir, L"quadra.rom"), rom);
  write_bytes(path_join(dir, L"pram.img"), std::string(256, '\0'));
  const std::pair<const wchar_t*, std::wstring> cases[] = {
      {L"qemu-system-x86_64.exe", L" -machine pc -nodefaults -device VGA"},
      {L"qemu-system-ppc.exe", L" -M mac99,via=pmu -g 1024x768x32 -netdev user,id=n0 -device sungem,netdev=n0"},
      {L"qemu-system-m68k.exe",
       L" -M q800,audiodev=snd0 -audiodev dsound,id=snd0 -bios " + quote_arg(path_join(dir, L"quadra.rom")) +
           L" -g 1152x870x8 -rtc base=localtime -drive " +
           quote_arg(L"file=" + opt_escape(path_join(dir, L"pram.img")) + L",format=raw,if=mtd") +
           L" -nic user,model=dp83932"},
  };
  for (auto& [exe, args] : cases) {
    SCOPED_TRACE(narrow(exe));
    int port = free_port();
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(start(quote_arg(bridge(exe)) + L" -name test -m 128 -display none" + args +
                          widen(strf(" -qmp tcp:127.0.0.1:%d,server=on,wait=off", port)),
                      pi));
    QmpLink q;
    ASSERT_TRUE(q.connect_to(port, 15));
    EXPECT_NE(q.line_with("\"QMP\"", 15), "");
    q.send_line("{\"execute\":\"qmp_capabilities\"}");
    q.send_line("{\"execute\":\"query-status\"}");
    EXPECT_NE(q.line_with("\"running\"", 15), "");
    std::wstring shot = path_join(dir, L"shot, 1.ppm");
    DeleteFileW(shot.c_str());
    std::string name = narrow(shot);
    for (size_t i = 0; (i = name.find('\\', i)) != std::string::npos; i += 2) name.insert(i, 1, '\\');
    q.send_line("{\"execute\":\"screendump\",\"arguments\":{\"filename\":\"" + name + "\"}}");
    EXPECT_NE(q.line_with("\"return\"", 15), "") << q.rx;
    EXPECT_EQ(read_bytes(shot).substr(0, 2), "P6");
    q.send_line("{\"execute\":\"quit\"}");
    EXPECT_EQ(finish(pi, 15000), 0);
  }
  remove_tree(dir);
}

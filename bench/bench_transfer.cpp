// One download to its end for the transfer benchmarks, the bound a verified
// download here is measured against, and probes of the receive alone:
//   bench_transfer DIR FILE SHA256 URL...
//   bench_transfer DIR FILE SHA256 --torrent TORRENT_URL
//   bench_transfer --hash BYTES
//   bench_transfer --receive SLOTS URL...
//   bench_transfer --receive-winhttp SLOTS URL...
//   bench_transfer --receive-socket SLOTS URL...
// A download prints "verified T s, pieces P s" (P: when the last piece was
// in and checked, from the engine's log; T: when the whole file was
// verified; both from start()). --hash prints "hash T s": SHA-256 through
// the engine's Hasher over BYTES bytes already in memory, with nothing else
// to wait for (no file, no network): no verified download can be faster.
// The --receive probes fetch a mirrored file in 16 MiB ranges over SLOTS
// connections and throw the bytes away, printing "receive T s": through
// HttpReq as the engine reads, through WinHTTP called directly, or through
// plain sockets with 1 MiB reads (what the system's sockets allow). Wall
// time and peak memory are taken from outside.
#include <winsock2.h>
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bt/bt_hash.h"
#include "bt/bt_http.h"
#include "core/http.h"
#include "transfer/transfer.h"

namespace {

// Updates the size of the engine's pieces, from a buffer larger than the
// caches, so no run hashes bytes that are warm from the run before.
int hash_only(u64 bytes) {
  constexpr size_t kBuf = 64u << 20, kStep = 4u << 20;
  std::vector<char> buf(kBuf);
  if (!random_bytes(buf.data(), buf.size())) return 1;
  Hasher d(HashAlgo::sha256);
  double t0 = now_s();
  for (u64 done = 0, at = 0; done < bytes; at = (at + kStep) % kBuf) {
    size_t n = size_t(std::min<u64>(kStep, bytes - done));
    d.update(buf.data() + at, n);
    done += n;
  }
  std::string hex = hex_of(d.finish());
  double took = now_s() - t0;
  printf("hash %.2f s, %.0f MiB/s %s\n", took, double(bytes) / 1048576.0 / took, hex.c_str());
  return 0;
}

// ---- the receive alone -----------------------------------------------------

enum class Road { req, winhttp, socket };

// 16 MiB ranges handed out in order, as the engine's slots take them.
struct Ranges {
  u64 total = 0;
  std::atomic<u64> next{0};
  bool take(u64& from, u64& len) {
    constexpr u64 kRange = 16u << 20;
    from = next.fetch_add(kRange);
    if (from >= total) return false;
    len = std::min(kRange, total - from);
    return true;
  }
};

bool through_req(const std::string& url, Ranges& r, std::vector<char>& buf, u64& got) {
  u64 from, len;
  std::string err;
  while (r.take(from, len)) {
    HttpReq req;
    if (!req.open(url, from, len, nullptr, 10000, err)) return false;
    for (;;) {
      i64 n = req.read(buf.data(), buf.size(), err);
      if (n < 0) return false;
      if (n == 0) break;
      got += u64(n);
    }
  }
  return true;
}

bool through_winhttp(const std::string& url, Ranges& r, std::vector<char>& buf, u64& got) {
  UrlParts p;
  if (!crack_url(url, p)) return false;
  HINTERNET conn = WinHttpConnect(http_session(), p.host.c_str(), p.port, 0);
  if (!conn) return false;
  u64 from, len;
  bool ok = true;
  while (ok && r.take(from, len)) {
    HINTERNET req = WinHttpOpenRequest(conn, L"GET", p.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                       WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
    std::wstring range = widen(strf("Range: bytes=%llu-%llu", (unsigned long long)from,
                                    (unsigned long long)(from + len - 1)));
    ok = req && WinHttpSendRequest(req, range.c_str(), DWORD(-1L), WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
         WinHttpReceiveResponse(req, nullptr);
    DWORD n = 0;
    while (ok && (ok = WinHttpReadData(req, buf.data(), DWORD(buf.size()), &n)) && n > 0) got += n;
    if (req) WinHttpCloseHandle(req);
  }
  WinHttpCloseHandle(conn);
  return ok;
}

bool through_socket(const std::string& url, Ranges& r, std::vector<char>& buf, u64& got) {
  UrlParts p;
  if (!crack_url(url, p) || p.https) return false;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(p.port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (s == INVALID_SOCKET || connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return false;
  u64 from, len;
  bool ok = true;
  while (ok && r.take(from, len)) {
    std::string ask = strf("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nRange: bytes=%llu-%llu\r\n\r\n",
                           narrow(p.path).c_str(), (unsigned long long)from, (unsigned long long)(from + len - 1));
    ok = send(s, ask.data(), int(ask.size()), 0) == int(ask.size());
    // The head, then exactly the range's bytes (the body follows the head
    // in the same reads).
    std::string head;
    u64 left = len;
    while (ok) {
      int n = recv(s, buf.data(), 65536, 0);
      if (n <= 0) ok = false;
      else head.append(buf.data(), size_t(n));
      size_t end = head.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      u64 extra = head.size() - end - 4;
      got += extra;
      left -= std::min(left, extra);
      break;
    }
    while (ok && left > 0) {
      int n = recv(s, buf.data(), int(std::min<u64>(buf.size(), left)), 0);
      if (n <= 0) ok = false;
      else got += u64(n), left -= u64(n);
    }
  }
  closesocket(s);
  return ok;
}

int receive_only(Road road, int slots, const std::vector<std::string>& urls) {
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  Ranges r;
  {
    HttpReq probe;
    std::string err;
    if (!probe.open(urls[0], 0, 1, nullptr, 10000, err) || probe.range_total == 0) {
      printf("failed: %s\n", err.c_str());
      return 1;
    }
    r.total = probe.range_total;
  }
  std::vector<std::thread> threads;
  std::atomic<u64> got{0};
  std::atomic<bool> ok{true};
  double t0 = now_s();
  for (int i = 0; i < slots; ++i)
    threads.emplace_back([&, i] {
      std::vector<char> buf(1u << 20);
      const std::string& url = urls[size_t(i) % urls.size()];
      u64 mine = 0;
      bool good = road == Road::req       ? through_req(url, r, buf, mine)
                  : road == Road::winhttp ? through_winhttp(url, r, buf, mine)
                                          : through_socket(url, r, buf, mine);
      got += mine;
      if (!good) ok = false;
    });
  for (auto& t : threads) t.join();
  double took = now_s() - t0;
  if (!ok || got != r.total) {
    printf("failed: %llu of %llu bytes\n", (unsigned long long)got.load(), (unsigned long long)r.total);
    return 1;
  }
  printf("receive %.2f s, %.0f MiB/s\n", took, double(r.total) / 1048576.0 / took);
  return 0;
}

// ---- a download ----------------------------------------------------------------

double ms_of_day() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  return ((t.wHour * 60.0 + t.wMinute) * 60.0 + t.wSecond) * 1000.0 + t.wMilliseconds;
}

// When the engine's log says the last piece was in, in ms of the day; -1
// when it does not.
double every_piece_in(const std::wstring& log) {
  HANDLE h = CreateFileW(log.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  std::string text;
  char buf[65536];
  DWORD got = 0;
  while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) text.append(buf, got);
  CloseHandle(h);
  size_t at = text.find("every piece is in");
  if (at == std::string::npos) return -1;
  size_t line = text.rfind('\n', at);
  line = line == std::string::npos ? 0 : line + 1;
  int hh, mm, ss, ms;
  if (sscanf(text.c_str() + line, "%d:%d:%d.%d", &hh, &mm, &ss, &ms) != 4) return -1;
  return ((hh * 60.0 + mm) * 60.0 + ss) * 1000.0 + ms;
}

int download(int argc, wchar_t** argv) {
  TransferSpec spec;
  spec.name = "bench";
  spec.dir = argv[1];
  spec.file = narrow(argv[2]);
  spec.sha256 = narrow(argv[3]);
  if (argc == 6 && std::wstring(argv[4]) == L"--torrent") spec.torrent = narrow(argv[5]);
  else
    for (int i = 4; i < argc; ++i) spec.mirrors.push_back(narrow(argv[i]));
  // The engine's log (VUNK_TRANSFER_LOG, kept when given, else a file of
  // the run's own) tells when the last piece was in.
  std::wstring given = env_value(L"VUNK_TRANSFER_LOG");
  bool keep = !given.empty();
  std::wstring log = keep ? given : std::wstring(argv[1]) + L"\\bench-engine.log";
  if (!keep) {
    DeleteFileW(log.c_str());
    SetEnvironmentVariableW(L"VUNK_TRANSFER_LOG", log.c_str());
  }
  Transfer t(spec);
  double t0 = now_s(), day0 = ms_of_day();
  t.start();
  for (;;) {
    TransferSnapshot s = t.snapshot();
    if (s.state == TState::Done || s.state == TState::Failed) {
      double took = now_s() - t0, in = every_piece_in(log);
      printf("%s %.2f s, pieces %.2f s %s\n", s.state == TState::Done ? "verified" : "failed", took,
             in < 0 ? took : (in - day0) / 1000.0, s.error.c_str());
      if (!keep) DeleteFileW(log.c_str());
      return s.state == TState::Done ? 0 : 1;
    }
    Sleep(2);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring mode = argc > 1 ? argv[1] : L"";
  if (argc == 3 && mode == L"--hash") return hash_only(u64(_wtoi64(argv[2])));
  Road road = mode == L"--receive" ? Road::req : mode == L"--receive-winhttp" ? Road::winhttp : Road::socket;
  if (argc >= 4 && (mode == L"--receive" || mode == L"--receive-winhttp" || mode == L"--receive-socket")) {
    std::vector<std::string> urls;
    for (int i = 3; i < argc; ++i) urls.push_back(narrow(argv[i]));
    return receive_only(road, std::max(1, _wtoi(argv[2])), urls);
  }
  if (argc < 5) return 2;
  return download(argc, argv);
}

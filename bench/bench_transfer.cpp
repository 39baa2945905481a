// One download to its end for the transfer benchmarks, or the whole-file
// hash alone (the bound every verified download here meets):
//   bench_transfer DIR FILE SHA256 URL...
//   bench_transfer DIR FILE SHA256 --torrent TORRENT_URL
//   bench_transfer --hash FILE
// A download prints "verified T s, pieces P s" (P: when the last piece was
// in and checked, from the engine's log; T: when the whole file was
// verified; both from start()); the hash prints "hash T s". Wall time and
// peak memory are taken from outside.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bt/bt_hash.h"
#include "transfer/transfer.h"

namespace {

// SHA-256 of a file read in 4 MiB blocks, the way the engine's final check
// reads what is left.
int hash_only(const wchar_t* path) {
  HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return 1;
  std::vector<char> buf(4u << 20);
  Hasher d(HashAlgo::sha256);
  double t0 = now_s();
  DWORD got = 0;
  while (ReadFile(h, buf.data(), DWORD(buf.size()), &got, nullptr) && got > 0) d.update(buf.data(), got);
  std::string hex = hex_of(d.finish());
  printf("hash %.2f s %s\n", now_s() - t0, hex.c_str());
  CloseHandle(h);
  return 0;
}

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

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring(argv[1]) == L"--hash") return hash_only(argv[2]);
  if (argc < 5) return 2;
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

// One download to its end for the transfer benchmarks (wall time and peak
// memory are taken from outside).
//   bench_transfer DIR FILE SHA256 URL...
//   bench_transfer DIR FILE SHA256 --torrent TORRENT_URL
#include <windows.h>

#include <cstdio>
#include <string>

#include "transfer/transfer.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 5) return 2;
  TransferSpec spec;
  spec.name = "bench";
  spec.dir = argv[1];
  spec.file = narrow(argv[2]);
  spec.sha256 = narrow(argv[3]);
  if (argc == 6 && std::wstring(argv[4]) == L"--torrent") spec.torrent = narrow(argv[5]);
  else
    for (int i = 4; i < argc; ++i) spec.mirrors.push_back(narrow(argv[i]));
  Transfer t(spec);
  double t0 = now_s();
  t.start();
  for (;;) {
    TransferSnapshot s = t.snapshot();
    if (s.state == TState::Done || s.state == TState::Failed) {
      printf("%s %.2f s %s\n", s.state == TState::Done ? "verified" : "failed", now_s() - t0, s.error.c_str());
      return s.state == TState::Done ? 0 : 1;
    }
    Sleep(10);
  }
}

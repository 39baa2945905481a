// A small program that runs one download to its end, so a test can kill it
// at any moment and start it again.
//   xfer_driver DIR FILE SHA256 SLOTS URL...
// Exit code 0 when the download is verified, 1 when it failed, 2 on bad use.
#include <windows.h>

#include <cstdio>

#include "transfer/transfer.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 6) return 2;
  TransferSpec spec;
  spec.name = "driver";
  spec.dir = argv[1];
  spec.file = narrow(argv[2]);
  spec.sha256 = narrow(argv[3]);
  spec.http_slots = _wtoi(argv[4]);
  for (int i = 5; i < argc; ++i) spec.mirrors.push_back(narrow(argv[i]));
  Transfer t(spec);
  t.start();
  for (;;) {
    TransferSnapshot s = t.snapshot();
    if (s.state == TState::Done) return s.sha256 == spec.sha256 ? 0 : 1;
    if (s.state == TState::Failed) {
      fprintf(stderr, "failed: %s\n", s.error.c_str());
      return 1;
    }
    Sleep(20);
  }
}

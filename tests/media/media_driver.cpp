// Runs the media store on one item until it is verified, ticking like the
// console's frames, so a test can kill the program in the middle.
//   media_driver DIR URL FILE SHA256 SIZE
// Exit code 0 when verified, 1 when failed, 2 on bad use.
#include <windows.h>

#include "machines/settings.h"
#include "media/media.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 6) return 2;
  g_set.media_dir = argv[1];
  MediaItem item;
  item.distro = "TEST";
  item.url = narrow(argv[2]);
  item.file = narrow(argv[3]);
  item.sha256 = narrow(argv[4]);
  item.size = _wtoi64(argv[5]);
  MediaJob* job = g_media.start(item);
  if (!job) return 2;
  for (;;) {
    g_media.tick();
    if (job->snap.state == TState::Done) return 0;
    if (job->snap.state == TState::Failed) return 1;
    Sleep(16);
  }
}

// Stands in for ffmpeg when only the drawing is measured: reads standard
// input to its end, discarding it, and exits 0.
#include <windows.h>

int wmain() {
  static char buf[1 << 20];
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD got = 0;
  while (ReadFile(in, buf, sizeof buf, &got, nullptr) && got > 0) {
  }
  return 0;
}

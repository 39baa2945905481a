// Entry point of the console program.
#include <windows.h>

#include "core/common.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  wlog("V.U.N.K. started (pid %lu)", GetCurrentProcessId());
  wlog("V.U.N.K. exits");
  return 0;
}

// Classic Mac disk layout, bootable copies and blank 68k disks.
#include "macdisk/mac68k.h"

#include <windows.h>

bool read_at(const std::wstring& path, u64 offset, void* buffer, u32 count) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER at;
  at.QuadPart = (LONGLONG)offset;
  bool ok = SetFilePointerEx(h, at, nullptr, FILE_BEGIN) != 0;
  // ReadFile may return fewer bytes than asked (end of file, pipes): loop
  // until the count is met or nothing more comes.
  u32 got = 0;
  while (ok && got < count) {
    DWORD n = 0;
    if (!ReadFile(h, (u8*)buffer + got, count - got, &n, nullptr) || n == 0) ok = false;
    got += n;
  }
  CloseHandle(h);
  return ok && got == count;
}

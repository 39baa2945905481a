#include "macdisk/rom.h"

#include <windows.h>

#include "core/common.h"
#include "macdisk/mac68k.h"
#include "machines/settings.h"

static const u64 kRomSize = 1048576;

bool mac_rom_ok(const std::wstring& path) {
  if (file_size(path) != kRomSize) return false;
  unsigned char head[4];
  if (!read_at(path, 0, head, 4)) return false;
  return head[0] == 0xF1 && head[1] == 0xAC && head[2] == 0xAD && head[3] == 0x13;
}

std::wstring mac_find_rom(const std::wstring& folder) {
  if (mac_rom_ok(g_set.mac_rom)) return g_set.mac_rom;
  for (const std::wstring& dir : {folder, g_set.qemu_dir, exe_dir()}) {
    if (dir.empty()) continue;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(path_join(dir, L"*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) continue;
    std::wstring found;
    do {
      // The listing's size rules out disk images before anything is opened.
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      if (fd.nFileSizeHigh != 0 || fd.nFileSizeLow != kRomSize) continue;
      std::wstring p = path_join(dir, fd.cFileName);
      if (mac_rom_ok(p)) found = p;
    } while (found.empty() && FindNextFileW(h, &fd));
    FindClose(h);
    if (!found.empty()) return found;
  }
  return L"";
}

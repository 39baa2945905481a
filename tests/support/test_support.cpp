#include "tests/support/test_support.h"

#include <windows.h>

#include <atomic>
#include <cstdio>

#include "machines/proc.h"

std::wstring test_dir(const std::string& tag) {
  static std::atomic<int> seq{0};
  wchar_t tmp[MAX_PATH];
  GetTempPathW(MAX_PATH, tmp);
  std::wstring root = path_join(tmp, L"vunk-tests");
  CreateDirectoryW(root.c_str(), nullptr);
  std::wstring dir = path_join(root, widen(strf("%s-%lu-%d", tag.c_str(), GetCurrentProcessId(), seq++)));
  remove_tree(dir);
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir;
}

bool remove_tree(const std::wstring& dir) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(path_join(dir, L"*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = fd.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring p = path_join(dir, name);
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree(p);
      } else {
        SetFileAttributesW(p.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(p.c_str());
      }
    } while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  RemoveDirectoryW(dir.c_str());
  return !dir_exists(dir);
}

std::string read_bytes(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};
  std::string out;
  char buf[65536];
  DWORD got;
  while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
  CloseHandle(h);
  return out;
}

bool write_bytes(const std::wstring& path, const std::string& data) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD wrote = 0;
  BOOL ok = WriteFile(h, data.data(), DWORD(data.size()), &wrote, nullptr);
  CloseHandle(h);
  return ok && wrote == data.size();
}

std::string env_str(const char* name) {
  wchar_t buf[32768];
  DWORD n = GetEnvironmentVariableW(widen(name).c_str(), buf, 32768);
  if (n == 0 || n >= 32768) return {};
  return narrow(std::wstring(buf, n));
}

std::wstring unix_to_win(const std::string& unix_path) {
  std::wstring w = L"Z:" + widen(unix_path);
  for (wchar_t& c : w)
    if (c == L'/') c = L'\\';
  return w;
}

std::wstring src_path(const std::string& rel) { return unix_to_win(env_str("VUNK_SRC") + "/" + rel); }
std::wstring build_path(const std::string& rel) { return unix_to_win(env_str("VUNK_BUILD") + "/" + rel); }

bool start_program(const std::wstring& cmdline, PROCESS_INFORMATION& pi) {
  // Hidden and without standard handles, as the program starts its children.
  // On a busy machine Wine has now and then failed a start that the next one
  // made: what is tested is what happens to the process, so a failed start is
  // told and tried again, twice at most.
  for (int attempt = 1;; ++attempt) {
    if (create_child(cmdline, CREATE_NO_WINDOW, nullptr, nullptr, nullptr, nullptr, pi) && pi.dwProcessId != 0)
      return true;
    std::fprintf(stderr, "start %d failed (error %lu): %ls\n", attempt, GetLastError(), cmdline.c_str());
    if (attempt == 3) return false;
    Sleep(500);
  }
}

// Entry point of the machine-side tests: GoogleTest, or one of the child modes
// that the process and settings tests start as real child processes.
#include <windows.h>

#include <gtest/gtest.h>

#include "machines/machine.h"
#include "macdisk/rom.h"
#include "tests/machines/child.h"

std::wstring self_exe() {
  wchar_t buf[1024];
  DWORD n = GetModuleFileNameW(nullptr, buf, 1024);
  return std::wstring(buf, n);
}

std::wstring child_cmd(const std::wstring& exe, const std::wstring& args) {
  return quote_arg(exe) + L" --child " + args;
}

std::wstring copy_self_to(const std::wstring& folder) {
  std::wstring dst = path_join(folder, L"test_machines.exe");
  CopyFileW(self_exe().c_str(), dst.c_str(), FALSE);
  return dst;
}

static void out(const std::string& s) {
  DWORD w = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), s.data(), DWORD(s.size()), &w, nullptr);
}

static void err(const std::string& s) {
  DWORD w = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), s.data(), DWORD(s.size()), &w, nullptr);
}

static int child(int argc, wchar_t** argv) {
  std::wstring mode = argc > 2 ? argv[2] : L"";
  if (mode == L"print") {
    out("hello out\n");
    err("hello err\n");
    return 0;
  }
  if (mode == L"exit2") {
    out("partial output\n");
    return 2;
  }
  if (mode == L"close-hang") {
    // Ends its output at once but stays alive past any limit the test uses.
    out("closing\n");
    CloseHandle(GetStdHandle(STD_OUTPUT_HANDLE));
    CloseHandle(GetStdHandle(STD_ERROR_HANDLE));
    Sleep(60000);
    return 0;
  }
  if (mode == L"open-hang") {
    out("still here\n");
    Sleep(60000);
    return 0;
  }
  if (mode == L"probe-handle" && argc > 3) {
    // Writes to a handle value of the parent: succeeds only if inherited.
    HANDLE h = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(wcstoull(argv[3], nullptr, 10)));
    DWORD w = 0;
    bool wrote = WriteFile(h, "LEAK", 4, &w, nullptr) && w == 4;
    out(wrote ? "wrote\n" : "not inherited\n");
    return 0;
  }
  if (mode == L"settings") {
    g_set.load();
    out("ini=" + narrow(g_set.ini) + "\n");
    out("qemu_dir=" + narrow(g_set.qemu_dir) + "\n");
    out("msys_bin=" + narrow(g_set.msys_bin) + "\n");
    out("machines_dir=" + narrow(g_set.machines_dir) + "\n");
    out("tiger_root=" + narrow(g_set.tiger_root) + "\n");
    out("tiger_script=" + narrow(g_set.tiger_script) + "\n");
    out("media_dir=" + narrow(g_set.media_dir) + "\n");
    out("mac_rom=" + narrow(g_set.mac_rom) + "\n");
    out(std::string("ini_exists=") + (file_exists(g_set.ini) ? "1" : "0") + "\n");
    return 0;
  }
  if (mode == L"settings-save" && argc > 4) {
    g_set.load();
    g_set.media_dir = argv[3];
    g_set.mac_rom = argv[4];
    g_set.save();
    return 0;
  }
  if (mode == L"find-rom" && argc > 5) {
    g_set.mac_rom = argv[3];
    g_set.qemu_dir = argv[4];
    out("rom=" + narrow(mac_find_rom(argv[5])) + "\n");
    return 0;
  }
  err("unknown child mode\n");
  return 99;
}

int wmain(int argc, wchar_t** argv) {
  if (argc > 1 && std::wstring(argv[1]) == L"--child") return child(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

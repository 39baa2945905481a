// Entry point of the machine-side tests: GoogleTest, or one of the child modes
// that the process and settings tests start as real child processes.
#include <windows.h>

#include <gtest/gtest.h>

#include "machines/machine.h"
#include "tests/machines/child.h"

std::wstring self_exe() {
  wchar_t buf[1024];
  return std::wstring(buf, GetModuleFileNameW(nullptr, buf, 1024));
}

std::wstring child_cmd(const std::wstring& exe, const std::wstring& args) {
  return quote_arg(exe) + L" --child " + args;
}

std::wstring copy_self_to(const std::wstring& folder) {
  std::wstring dst = path_join(folder, L"test_machines.exe");
  CopyFileW(self_exe().c_str(), dst.c_str(), FALSE);
  return dst;
}

static void put(DWORD which, const std::string& s) {
  DWORD w = 0;
  WriteFile(GetStdHandle(which), s.data(), DWORD(s.size()), &w, nullptr);
}

static int child(int argc, wchar_t** argv) {
  std::wstring mode = argc > 2 ? argv[2] : L"";
  if (mode == L"print" && argc > 3) {  // print CODE
    put(STD_OUTPUT_HANDLE, "hello out\n");
    put(STD_ERROR_HANDLE, "hello err\n");
    return _wtoi(argv[3]);
  }
  if (mode == L"close-hang" || mode == L"open-hang") {
    // Stays alive past any limit the tests use, with its output ended or open.
    put(STD_OUTPUT_HANDLE, mode == L"close-hang" ? "closing\n" : "still here\n");
    if (mode == L"close-hang") {
      CloseHandle(GetStdHandle(STD_OUTPUT_HANDLE));
      CloseHandle(GetStdHandle(STD_ERROR_HANDLE));
    }
    Sleep(60000);
    return 0;
  }
  if (mode == L"probe-handle" && argc > 3) {
    // Writes to a handle value of the parent: succeeds only if inherited.
    HANDLE h = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(wcstoull(argv[3], nullptr, 10)));
    DWORD w = 0;
    bool wrote = WriteFile(h, "LEAK", 4, &w, nullptr) && w == 4;
    put(STD_OUTPUT_HANDLE, wrote ? "wrote\n" : "not inherited\n");
    return 0;
  }
  if (mode == L"settings") {
    g_set.load();
    const std::pair<const char*, const std::wstring*> kv[] = {
        {"ini", &g_set.ini},           {"qemu_dir", &g_set.qemu_dir},
        {"msys_bin", &g_set.msys_bin}, {"machines_dir", &g_set.machines_dir},
        {"tiger_root", &g_set.tiger_root}, {"tiger_script", &g_set.tiger_script},
        {"media_dir", &g_set.media_dir}, {"mac_rom", &g_set.mac_rom}};
    for (auto& [k, v] : kv) put(STD_OUTPUT_HANDLE, std::string(k) + "=" + narrow(*v) + "\n");
    put(STD_OUTPUT_HANDLE, std::string("ini_exists=") + (file_exists(g_set.ini) ? "1" : "0") + "\n");
    return 0;
  }
  if (mode == L"settings-save" && argc > 4) {
    g_set.load();
    g_set.media_dir = argv[3];
    g_set.mac_rom = argv[4];
    g_set.save();
    return 0;
  }
  put(STD_ERROR_HANDLE, "unknown child mode\n");
  return 99;
}

int wmain(int argc, wchar_t** argv) {
  if (argc > 1 && std::wstring(argv[1]) == L"--child") return child(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

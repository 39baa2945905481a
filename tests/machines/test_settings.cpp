#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "machines/machine.h"
#include "tests/machines/child.h"
#include "tests/support/test_support.h"

namespace {

// Runs a copy of this program and returns what Settings::load saw there.
std::map<std::string, std::string> settings_in(const std::wstring& exe) {
  std::string text;
  EXPECT_TRUE(run_capture(child_cmd(exe, L"settings"), text, 30000)) << text;
  std::map<std::string, std::string> kv;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (size_t eq = line.find('='); eq != std::string::npos) kv[line.substr(0, eq)] = line.substr(eq + 1);
  return kv;
}

}  // namespace

TEST(Settings, DefaultsFollowTheProgramFolder) {
  std::wstring x = test_dir("settings-defaults");
  std::wstring app = path_join(x, L"app");
  CreateDirectoryW(app.c_str(), nullptr);
  std::wstring exe = copy_self_to(app);

  // No run-tiger.ps1 above the program: the fixed root, and QEMU under it.
  auto kv = settings_in(exe);
  EXPECT_EQ(kv["ini"], narrow(path_join(app, L"vunk.ini")));
  EXPECT_EQ(kv["tiger_root"], "G:\\Tiger");
  EXPECT_EQ(kv["qemu_dir"], "G:\\Tiger\\qemu");
  EXPECT_EQ(kv["msys_bin"], "C:\\msys64\\ucrt64\\bin");
  EXPECT_EQ(kv["machines_dir"], narrow(path_join(app, L"machines")));
  EXPECT_EQ(kv["tiger_script"], narrow(path_join(app, L"scripts\\run-tiger-embed.ps1")));
  EXPECT_EQ(kv["media_dir"], "");
  EXPECT_EQ(kv["mac_rom"], "");
  EXPECT_EQ(kv["ini_exists"], "0");  // loading never writes

  // A QEMU folder beside the program wins over the root's.
  CreateDirectoryW(path_join(app, L"qemu").c_str(), nullptr);
  write_bytes(path_join(app, L"qemu\\qemu-system-x86_64.exe"), "MZ");
  EXPECT_EQ(settings_in(exe)["qemu_dir"], narrow(path_join(app, L"qemu")));
  DeleteFileW(path_join(app, L"qemu\\qemu-system-x86_64.exe").c_str());

  // run-tiger.ps1 in the parent makes the parent the root.
  write_bytes(path_join(x, L"run-tiger.ps1"), "#");
  kv = settings_in(exe);
  EXPECT_EQ(kv["tiger_root"], narrow(x));
  EXPECT_EQ(kv["qemu_dir"], narrow(path_join(x, L"qemu")));

  // A tiger_root key wins, and the qemu_dir default follows the key.
  std::wstring ini = path_join(app, L"vunk.ini");
  ini_touch(ini);
  WritePrivateProfileStringW(L"paths", L"tiger_root", L"D:\\Elsewhere", ini.c_str());
  kv = settings_in(exe);
  EXPECT_EQ(kv["tiger_root"], "D:\\Elsewhere");
  EXPECT_EQ(kv["qemu_dir"], "D:\\Elsewhere\\qemu");
  EXPECT_EQ(kv["machines_dir"], narrow(path_join(app, L"machines")));
  remove_tree(x);
}

TEST(Settings, SaveRoundTripsNonAsciiAndKeepsTheLibrarySection) {
  std::wstring x = test_dir("settings-save");
  std::wstring exe = copy_self_to(x);
  std::wstring ini = path_join(x, L"vunk.ini");
  ini_touch(ini);
  EXPECT_EQ(read_bytes(ini), std::string("\xFF\xFE"));  // only the byte-order mark
  WritePrivateProfileStringW(L"library", L"seeded", L"1", ini.c_str());

  std::wstring media = L"C:\\M\u00e9dias \u65e5\u672c\\\u0416";
  std::wstring rom = L"D:\\roms\\Quadra 800 \u00e9.rom";
  std::string ignored;
  EXPECT_TRUE(run_capture(child_cmd(exe, L"settings-save " + quote_arg(media) + L" " + quote_arg(rom)), ignored,
                          30000))
      << ignored;
  EXPECT_EQ(read_bytes(ini).substr(0, 2), std::string("\xFF\xFE"));
  EXPECT_EQ(ini_get(ini, L"library", L"seeded", L"0"), L"1");
  EXPECT_EQ(ini_get(ini, L"paths", L"media_dir", L"?"), media);
  EXPECT_EQ(ini_get(ini, L"paths", L"msys_bin", L"?"), L"C:\\msys64\\ucrt64\\bin");

  auto kv = settings_in(exe);
  EXPECT_EQ(kv["media_dir"], narrow(media));
  EXPECT_EQ(kv["mac_rom"], narrow(rom));
  EXPECT_EQ(kv["machines_dir"], narrow(path_join(x, L"machines")));

  // An existing file is left alone; a missing folder is no crash.
  ini_touch(ini);
  EXPECT_EQ(ini_get(ini, L"paths", L"media_dir", L"?"), media);
  ini_touch(path_join(x, L"missing\\b.ini"));
  EXPECT_FALSE(file_exists(path_join(x, L"missing\\b.ini")));
  EXPECT_EQ(ini_get(path_join(x, L"none.ini"), L"s", L"k", L"dflt"), L"dflt");
  WritePrivateProfileStringW(L"s", L"k", std::wstring(5000, L'v').c_str(), ini.c_str());
  EXPECT_EQ(ini_get(ini, L"s", L"k", L""), std::wstring(5000, L'v'));  // whole, past one read buffer
  remove_tree(x);
}


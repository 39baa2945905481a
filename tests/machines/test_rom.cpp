#include <windows.h>

#include <gtest/gtest.h>

#include "macdisk/rom.h"
#include "machines/machine.h"
#include "tests/support/test_support.h"

namespace {

const std::string kSig("\xF1\xAC\xAD\x13", 4);

void rom_file(const std::wstring& path, size_t size, const std::string& head = kSig) {
  std::string b(size, '\0');
  b.replace(0, std::min(head.size(), size), head.substr(0, std::min(head.size(), size)));
  ASSERT_TRUE(write_bytes(path, b));
}

}  // namespace

TEST(Rom, SearchOrder) {
  Settings saved = g_set;
  std::wstring x = test_dir("rom-find");
  std::wstring disk = path_join(x, L"disk"), qemu = path_join(x, L"qemu"), conf = path_join(x, L"conf");
  for (auto& d : {disk, qemu, conf}) CreateDirectoryW(d.c_str(), nullptr);
  // Decoys: a folder and wrong-sized or wrong-checksum files come first by name.
  CreateDirectoryW(path_join(disk, L"a-folder.rom").c_str(), nullptr);
  rom_file(path_join(disk, L"b-long.rom"), 1048577);
  rom_file(path_join(disk, L"b-short.rom"), 1048575);
  rom_file(path_join(disk, L"c-bad.rom"), 1048576, std::string("\xF1\xAC\xAD\x14", 4));
  rom_file(path_join(disk, L"d-quadra.bin"), 1048576);
  rom_file(path_join(qemu, L"q.rom"), 1048576);
  rom_file(path_join(conf, L"my.rom"), 1048576);
  for (const wchar_t* bad : {L"a-folder.rom", L"b-long.rom", L"b-short.rom", L"c-bad.rom", L"missing.rom"})
    EXPECT_FALSE(mac_rom_ok(path_join(disk, bad))) << narrow(bad);
  EXPECT_FALSE(mac_rom_ok(L""));
  EXPECT_TRUE(mac_rom_ok(path_join(disk, L"d-quadra.bin")));

  g_set.qemu_dir = qemu;
  g_set.mac_rom = path_join(conf, L"my.rom");
  EXPECT_EQ(mac_find_rom(disk), g_set.mac_rom);  // a valid configured ROM wins
  for (const std::wstring& conf_rom : {path_join(conf, L"missing.rom"), path_join(disk, L"c-bad.rom")}) {
    g_set.mac_rom = conf_rom;
    EXPECT_EQ(mac_find_rom(disk), path_join(disk, L"d-quadra.bin"));
  }
  DeleteFileW(path_join(disk, L"d-quadra.bin").c_str());
  EXPECT_EQ(mac_find_rom(disk), path_join(qemu, L"q.rom"));
  EXPECT_EQ(mac_find_rom(L""), path_join(qemu, L"q.rom"));  // an empty folder is skipped
  g_set = saved;
  remove_tree(x);
}


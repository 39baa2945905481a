#include <gtest/gtest.h>

#include <set>

#include "machines/machine.h"
#include "tests/support/test_support.h"

TEST(Profiles, TableIsConsistentAndFoundExactly) {
  const auto& t = profiles();
  ASSERT_EQ(t.size(), 17u);
  std::set<std::string> ids;
  for (size_t i = 0; i < t.size(); ++i) {
    const Profile& p = t[i];
    ids.insert(p.id);
    std::string arch = p.arch;
    ArchKind want = arch == "x86_64"    ? ArchKind::X86
                    : arch == "ppc"     ? ArchKind::PowerPC
                    : arch == "aarch64" ? ArchKind::Arm
                    : arch == "riscv64" ? ArchKind::RiscV
                                        : ArchKind::M68k;
    EXPECT_EQ(p.board, want) << p.id;
    EXPECT_STREQ(p.accel, arch == "x86_64" ? "WHPX" : "TCG") << p.id;
    EXPECT_LE(p.mem_mb, p.max_mem_mb) << p.id;
    EXPECT_LE(p.cpus, p.max_cpus) << p.id;
    EXPECT_EQ(p.tiger, i == 0 ? 1u : 0u) << p.id;
    EXPECT_NE(p.os, OsKind::Bsd) << p.id;  // kind 5 is unused
    EXPECT_EQ(find_profile(p.id), &p);
  }
  EXPECT_EQ(ids.size(), 17u);
  EXPECT_STREQ(t[16].id, "other-x64");
  EXPECT_EQ(find_profile("linux-x64"), &t[7]);

  for (const char* miss : {"", "LINUX-X64", "linux-x6", "linux-x64 "})
    EXPECT_EQ(find_profile(miss), nullptr) << miss;
}

TEST(Profiles, GuessFromFileNames) {
  const std::pair<const wchar_t*, const char*> cases[] = {
      {L"C:\\isos\\Ubuntu-24.04-desktop-arm64.iso", "linux-arm64"}, {L"debian-12-ppc64el.iso", "linux-ppc"},
      {L"fedora-riscv.img", "linux-riscv"},       {L"archlinux.iso", "linux-x64"},
      {L"Win98SE.img", "windows-x86"},            {L"Win11_ARM64.vhdx", "windows-arm64"},
      {L"Win10_22H2.iso", "windows-x64"},         {L"MacOS9.2.2.toast", "macos9-ppc"},
      {L"darwin.img", "windows-x64"},  // "win" comes before any Linux word
      {L"Tiger-PPC.dmg", "macosx-ppc"},           {L"Tiger.dmg", "macosx-x86"},
      {L"D:\\old\\System 7.5.3.img", "macos7-68k"}, {L"quadra-boot.hda", "macos7-68k"},
      {L"FreeDOS.img", "dos-x86"},                {L"openbsd-7.4.iso", "openbsd-x64"},
      {L"NetBSD-10-macppc.iso", "netbsd-ppc"},    {L"NetBSD-10-amd64.iso", "netbsd-x64"},
      {L"FreeBSD-14.iso", "freebsd-x64"},         {L"random.bin", "other-x64"},
      {L"", "other-x64"},
      // Only the leaf counts, whichever separator precedes it.
      {L"C:\\linux\\disk.img", "other-x64"},      {L"C:/linux/disk.img", "other-x64"},
      {L"C:\\win98\\Ubuntu.iso", "linux-x64"},
  };
  for (auto& [path, id] : cases) EXPECT_EQ(guess_profile(path)->id, std::string(id)) << narrow(path);
}

TEST(Profiles, LaunchScriptRowShownOnlyWithItsSetup) {
  Settings saved = g_set;
  std::wstring root = test_dir("profile-shown");
  g_set.tiger_root = root;
  g_set.tiger_script = path_join(root, L"run-tiger-embed.ps1");
  for (const Profile& p : profiles()) EXPECT_EQ(profile_shown(p), p.tiger == 0) << p.id;
  write_bytes(path_join(root, L"run-tiger.ps1"), "#");
  EXPECT_FALSE(profile_shown(profiles()[0]));  // the script is still missing
  write_bytes(g_set.tiger_script, "#");
  for (const Profile& p : profiles()) EXPECT_TRUE(profile_shown(p)) << p.id;
  g_set = saved;
  remove_tree(root);
}

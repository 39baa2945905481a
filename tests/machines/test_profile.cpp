#include <gtest/gtest.h>

#include <set>

#include "machines/machine.h"
#include "tests/support/test_support.h"

TEST(Profiles, TableHoldsItsInvariants) {
  const auto& t = profiles();
  ASSERT_EQ(t.size(), 17u);
  EXPECT_EQ(&t, &kProfiles);
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
  }
  EXPECT_EQ(ids.size(), 17u);

  // Spot checks against the table as given, first, middle and last rows.
  EXPECT_STREQ(t[0].id, "macosx-x86");
  EXPECT_STREQ(t[0].machine, "INTEL X86 // TIGER CHAIN");
  EXPECT_EQ(t[0].mem_mb, 2048);
  EXPECT_EQ(t[0].max_mem_mb, 3072);
  EXPECT_STREQ(t[3].id, "macos7-68k");
  EXPECT_EQ(t[3].os, OsKind::MacOS9);
  EXPECT_EQ(t[3].mem_mb, 128);
  EXPECT_EQ(t[3].disk_gb, 2);
  EXPECT_STREQ(t[3].blurb,
               "SYSTEM 7 TO 8.1. BRING A QUADRA 650/800 ROM; BASILISK II DISKS IMPORT AS-IS.");
  EXPECT_STREQ(t[5].family, "WINDOWS 9X/XP");
  EXPECT_EQ(t[5].os, OsKind::Windows9x);
  EXPECT_EQ(t[5].max_cpus, 2);
  EXPECT_STREQ(t[8].site, "cambridge");
  EXPECT_STREQ(t[10].arch, "riscv64");
  EXPECT_STREQ(t[12].site, "calgary");
  EXPECT_EQ(t[15].os, OsKind::Dos);
  EXPECT_EQ(t[15].mem_mb, 64);
  EXPECT_EQ(t[15].max_mem_mb, 256);
  EXPECT_STREQ(t[16].id, "other-x64");
  EXPECT_EQ(t[16].os, OsKind::Other);
  EXPECT_STREQ(t[16].site, "geneva");
  for (const Profile& p : t) EXPECT_NE(p.os, OsKind::Bsd) << p.id;  // kind 5 is unused
}

TEST(Profiles, FindIsExactAndCaseSensitive) {
  EXPECT_EQ(find_profile(""), nullptr);
  EXPECT_EQ(find_profile("LINUX-X64"), nullptr);
  EXPECT_EQ(find_profile("linux-x6"), nullptr);
  EXPECT_EQ(find_profile("linux-x64 "), nullptr);
  EXPECT_EQ(find_profile("linux-x64"), &profiles()[7]);
  EXPECT_EQ(find_profile("other-x64"), &profiles()[16]);
}

static std::string guess(const std::wstring& path) { return guess_profile(path)->id; }

TEST(Profiles, GuessFromFileNames) {
  EXPECT_EQ(guess(L"C:\\isos\\Ubuntu-24.04-desktop-arm64.iso"), "linux-arm64");
  EXPECT_EQ(guess(L"Ubuntu-24.04-desktop-arm64.iso"), "linux-arm64");
  EXPECT_EQ(guess(L"debian-12-ppc64el.iso"), "linux-ppc");
  EXPECT_EQ(guess(L"fedora-riscv.img"), "linux-riscv");
  EXPECT_EQ(guess(L"ubuntu-22.04.iso"), "linux-x64");
  EXPECT_EQ(guess(L"Win98SE.img"), "windows-x86");
  EXPECT_EQ(guess(L"Win11_ARM64.vhdx"), "windows-arm64");
  EXPECT_EQ(guess(L"Win10_22H2.iso"), "windows-x64");
  EXPECT_EQ(guess(L"darwin.img"), "windows-x64");  // "win" comes before any Linux word
  EXPECT_EQ(guess(L"MacOS9.2.2.toast"), "macos9-ppc");
  EXPECT_EQ(guess(L"Tiger-PPC.dmg"), "macosx-ppc");
  EXPECT_EQ(guess(L"Tiger.dmg"), "macosx-x86");
  EXPECT_EQ(guess(L"D:\\old\\System 7.5.3.img"), "macos7-68k");
  EXPECT_EQ(guess(L"quadra-boot.hda"), "macos7-68k");
  EXPECT_EQ(guess(L"FreeDOS.img"), "dos-x86");
  EXPECT_EQ(guess(L"openbsd-7.4.iso"), "openbsd-x64");
  EXPECT_EQ(guess(L"NetBSD-10-macppc.iso"), "netbsd-ppc");
  EXPECT_EQ(guess(L"NetBSD-10-amd64.iso"), "netbsd-x64");
  EXPECT_EQ(guess(L"FreeBSD-14.iso"), "freebsd-x64");
  EXPECT_EQ(guess(L"archlinux.iso"), "linux-x64");
  EXPECT_EQ(guess(L"random.bin"), "other-x64");
  EXPECT_EQ(guess(L""), "other-x64");
  // Only the leaf counts, whichever separator precedes it.
  EXPECT_EQ(guess(L"C:\\linux\\disk.img"), "other-x64");
  EXPECT_EQ(guess(L"C:/linux/disk.img"), "other-x64");
  EXPECT_EQ(guess(L"C:\\win98\\Ubuntu.iso"), "linux-x64");
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

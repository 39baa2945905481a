#include <gtest/gtest.h>

#include <set>

#include "machines/machine.h"
#include "tests/support/test_support.h"

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


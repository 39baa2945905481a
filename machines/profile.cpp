#include "machines/profile.h"

#include <initializer_list>

#include "machines/settings.h"

namespace {

using A = ArchKind;
using O = OsKind;

const Profile kRows[] = {
    {"macosx-x86", "MAC OS X", "INTEL X86 // TIGER CHAIN",
     "OPENCORE BOOT CHAIN, ZEFT GPU, ZERO-COPY D3D11 SCREEN. RUNS THROUGH RUN-TIGER.",
     O::MacOSX, A::X86, "x86_64", 1, 2048, 8, 40, 3072, 8, "cupertino", "WHPX"},
    {"macosx-ppc", "MAC OS X", "POWERPC G4 // MAC99", "NEW WORLD MAC ON OPENBIOS. 10.1 TO 10.5.",
     O::MacOSX, A::PowerPC, "ppc", 0, 1024, 1, 24, 2048, 1, "cupertino", "TCG"},
    {"macos9-ppc", "MAC OS 9", "POWERPC G4 // MAC99", "CLASSIC MAC OS 9.0 TO 9.2.2.",
     O::MacOS9, A::PowerPC, "ppc", 0, 512, 1, 8, 1024, 1, "cupertino", "TCG"},
    {"macos7-68k", "MAC OS 7/8", "68040 // QUADRA 800",
     "SYSTEM 7 TO 8.1. BRING A QUADRA 650/800 ROM; BASILISK II DISKS IMPORT AS-IS.",
     O::MacOS9, A::M68k, "m68k", 0, 128, 1, 2, 1024, 1, "cupertino", "TCG"},
    {"windows-x64", "WINDOWS", "X86-64 // Q35", "WINDOWS 7 TO 11. AHCI DISK, E1000, HD AUDIO.",
     O::Windows, A::X86, "x86_64", 0, 4096, 4, 64, 32768, 16, "redmond", "WHPX"},
    {"windows-x86", "WINDOWS 9X/XP", "I386 // I440FX", "WINDOWS 95 TO XP. IDE DISK, PCI NIC.",
     O::Windows9x, A::X86, "x86_64", 0, 512, 1, 16, 3072, 2, "redmond", "WHPX"},
    {"windows-arm64", "WINDOWS", "ARM64 // VIRT", "WINDOWS 11 ON ARM. UEFI, VIRTIO.",
     O::Windows, A::Arm, "aarch64", 0, 8192, 4, 64, 16384, 8, "redmond", "TCG"},
    {"linux-x64", "LINUX", "X86-64 // Q35", "ANY DISTRO. VIRTIO DISK AND NETWORK.",
     O::Linux, A::X86, "x86_64", 0, 4096, 4, 32, 32768, 16, "helsinki", "WHPX"},
    {"linux-arm64", "LINUX", "ARM64 // VIRT", "UEFI ARM64 DISTRO. VIRTIO, RAMFB.",
     O::Linux, A::Arm, "aarch64", 0, 4096, 4, 32, 16384, 8, "cambridge", "TCG"},
    {"linux-ppc", "LINUX", "POWERPC // MAC99", "DEBIAN PORTS, ADELIE, VOID-PPC.",
     O::Linux, A::PowerPC, "ppc", 0, 1024, 1, 16, 2048, 1, "helsinki", "TCG"},
    {"linux-riscv", "LINUX", "RISC-V 64 // VIRT", "UEFI RISC-V DISTRO. VIRTIO.",
     O::Linux, A::RiscV, "riscv64", 0, 4096, 4, 32, 16384, 8, "berkeley", "TCG"},
    {"freebsd-x64", "FREEBSD", "X86-64 // Q35", "FREEBSD 10 AND LATER. VIRTIO DISK AND NETWORK.",
     O::FreeBsd, A::X86, "x86_64", 0, 2048, 2, 32, 32768, 16, "berkeley", "WHPX"},
    {"openbsd-x64", "OPENBSD", "X86-64 // Q35", "OPENBSD 6 AND LATER. VIRTIO DISK AND NETWORK.",
     O::OpenBsd, A::X86, "x86_64", 0, 1024, 2, 24, 32768, 16, "calgary", "WHPX"},
    {"netbsd-x64", "NETBSD", "X86-64 // Q35", "NETBSD 8 AND LATER. VIRTIO DISK AND NETWORK.",
     O::NetBsd, A::X86, "x86_64", 0, 1024, 2, 24, 32768, 16, "berkeley", "WHPX"},
    {"netbsd-ppc", "NETBSD", "POWERPC // MAC99", "NETBSD/MACPPC ON A NEW WORLD MAC.",
     O::NetBsd, A::PowerPC, "ppc", 0, 512, 1, 16, 2048, 1, "berkeley", "TCG"},
    {"dos-x86", "DOS", "I386 // I440FX", "MS-DOS, FREEDOS, DR-DOS.",
     O::Dos, A::X86, "x86_64", 0, 64, 1, 2, 256, 1, "seattle", "WHPX"},
    {"other-x64", "OTHER", "X86-64 // Q35", "A GENERIC PC.",
     O::Other, A::X86, "x86_64", 0, 2048, 2, 32, 32768, 16, "geneva", "WHPX"},
};

bool has_any(const std::string& name, std::initializer_list<const char*> words) {
  for (const char* w : words)
    if (name.find(w) != std::string::npos) return true;
  return false;
}

const char* guess_id(const std::string& n) {
  bool ppc = has_any(n, {"ppc", "powerpc", "g4", "g5"});
  bool arm = has_any(n, {"arm", "aarch64"});
  if (has_any(n, {"os9", "macos9", "mac-os-9", "os-9"})) return "macos9-ppc";
  if (has_any(n, {"kanjitalk", "system7", "system-7", "system 7", "macos7", "mac-os-7", "os7",
                  "macos8", "os8", "68k", "quadra"}))
    return "macos7-68k";
  if (has_any(n, {"tiger", "leopard", "panther", "jaguar", "osx", "macos", "mac-os", "macosx"}))
    return ppc ? "macosx-ppc" : "macosx-x86";
  if (has_any(n, {"xp", "win98", "win95", "win2k", "win2000", "winme", "nt4"})) return "windows-x86";
  if (has_any(n, {"win", "w10", "w11"})) return arm ? "windows-arm64" : "windows-x64";
  if (has_any(n, {"openbsd"})) return "openbsd-x64";
  if (has_any(n, {"netbsd"})) return ppc ? "netbsd-ppc" : "netbsd-x64";
  if (has_any(n, {"bsd"})) return "freebsd-x64";
  if (has_any(n, {"dos"})) return "dos-x86";
  if (has_any(n, {"ubuntu", "debian", "fedora", "arch", "linux", "mint", "suse", "alpine", "gentoo",
                  "void", "nixos", "centos", "rocky", "kali", "manjaro"})) {
    if (arm) return "linux-arm64";
    if (ppc) return "linux-ppc";
    if (has_any(n, {"riscv"})) return "linux-riscv";
    return "linux-x64";
  }
  return "other-x64";
}

}  // namespace

const std::vector<Profile> kProfiles(std::begin(kRows), std::end(kRows));

const std::vector<Profile>& profiles() { return kProfiles; }

const Profile* find_profile(std::string_view id) {
  for (const Profile& p : kProfiles)
    if (id == p.id) return &p;
  return nullptr;
}

bool profile_shown(const Profile& p) { return p.tiger == 1 ? g_set.tiger_ok() : true; }

const Profile* guess_profile(const std::wstring& path) {
  std::string name = narrow(lower_w(path_leaf(path)));
  return find_profile(guess_id(name));
}

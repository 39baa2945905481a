// The two kinds that classify a guest system: its processor family (which
// also selects the QEMU machine family) and its operating system. Shared by
// the profile table and the symbology, so it lives on its own.
#pragma once

#include <cstdint>

// Values 0 to 4 are the known families; any other value is treated as Other.
enum class ArchKind : uint32_t {
  X86 = 0,      // PC
  PowerPC = 1,  // New World Mac (mac99)
  Arm = 2,      // ARM64 virt
  RiscV = 3,    // RISC-V 64 virt
  M68k = 4,     // Quadra 800 (q800)
  Other = 5,
};

// Values 0 to 9 are the known kinds; 10 and any other value are Other.
enum class OsKind : uint32_t {
  MacOSX = 0,
  MacOS9 = 1,
  Windows = 2,
  Windows9x = 3,  // Windows 9x/XP
  Linux = 4,
  Bsd = 5,
  FreeBsd = 6,
  OpenBsd = 7,
  NetBsd = 8,
  Dos = 9,
  Other = 10,
};

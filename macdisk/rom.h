// Quadra 610/650/800 ROM images: recognising one and finding one for a launch.
#pragma once

#include <string>

// Exactly 1 MiB and beginning with the checksum F1 AC AD 13.
bool mac_rom_ok(const std::wstring& path);
// The configured ROM when valid, else the first valid file in folder, the
// QEMU folder or the program's folder; empty when none.
std::wstring mac_find_rom(const std::wstring& folder);

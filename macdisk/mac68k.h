// Classic Mac disks for the emulated 68k Quadra: recognising bare HFS
// volumes, bootable copies (partition map and SCSI driver written in front of
// the volume) and blank partitioned disks for the guest's installer.
//
// The layout, all numbers big-endian, 512-byte blocks:
//   block 0       driver descriptor record ("ER")
//   blocks 1-3    partition map: the map itself, the driver, the HFS volume
//   blocks 64-95  driver partition (kVunkScsiDriver at block 64)
//   block 96...   the HFS volume
#pragma once

#include <string>
#include <vector>

#include "core/common.h"

// The prefix is 96 blocks; the driver sits at block 64 and the ROM loads
// three blocks of it.
constexpr u32 kMacPrefixBlocks = 96;
constexpr u32 kMacPrefixBytes = kMacPrefixBlocks * 512;
constexpr u32 kMacDriverBlock = 64;
constexpr u32 kMacDriverBlocks = 3;

// The built-in SCSI disk driver (scsi_driver.cpp, generated from driver/).
extern const u8 kVunkScsiDriver[];
extern const u32 kVunkScsiDriverSize;

// Reads exactly `count` bytes at `offset`. The file is opened sharing read
// and write so that a file another program writes can still be read.
bool read_at(const std::wstring& path, u64 offset, void* buffer, u32 count);

// Fills one 512-byte partition map entry of a zeroed buffer.
void map_entry(u8* entry, u32 first, u32 blocks, const std::string& name, const char* type,
               u32 status, u32 data_blocks);

// The whole 96-block prefix for an HFS partition of `blocks` blocks.
std::vector<u8> disk_header(u32 blocks, const std::string& name);

bool mac_is_bare_hfs(const std::wstring& path);
// Writes the prefix and then the whole bare HFS volume `source` into
// `destination`. On failure `error` holds the reason and no partial copy is
// left behind.
bool mac_make_bootable(const std::wstring& source, const std::wstring& destination,
                       std::string& error);
// The copy step of mac_make_bootable on open file handles (HANDLEs): true
// only when exactly `size` bytes were read and written. Apart so that a
// failing read can be tested with a real handle.
bool mac_copy_volume(void* source, void* destination, u64 size);
// A sparse disk: the prefix, then an empty HFS partition of `bytes` (whole
// blocks) named "Macintosh HD" for the guest to initialise.
bool mac_make_blank(const std::wstring& path, u64 bytes, std::string& error);

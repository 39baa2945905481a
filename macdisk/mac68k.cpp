// Classic Mac disk layout, bootable copies and blank 68k disks.
#include "macdisk/mac68k.h"

#include <windows.h>
#include <winioctl.h>

#include <cstring>

namespace {

void put16(u8* p, u32 v) {
  p[0] = u8(v >> 8);
  p[1] = u8(v);
}

void put32(u8* p, u32 v) {
  p[0] = u8(v >> 24);
  p[1] = u8(v >> 16);
  p[2] = u8(v >> 8);
  p[3] = u8(v);
}

// Device and partition block counts are 32-bit: 2^32 blocks of 512 bytes is
// the largest disk the format can describe.
constexpr u64 kMaxDiskBytes = u64(1) << 41;
const char* const kTooLarge = "DISK TOO LARGE (2 TB MAX)";

constexpr u32 kCopyChunk = 4u << 20;

}  // namespace

bool read_at(const std::wstring& path, u64 offset, void* buffer, u32 count) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER at;
  at.QuadPart = (LONGLONG)offset;
  bool ok = SetFilePointerEx(h, at, nullptr, FILE_BEGIN) != 0;
  // ReadFile may return fewer bytes than asked: loop until the count is met
  // or nothing more comes.
  u32 got = 0;
  while (ok && got < count) {
    DWORD n = 0;
    if (!ReadFile(h, (u8*)buffer + got, count - got, &n, nullptr) || n == 0) ok = false;
    got += n;
  }
  CloseHandle(h);
  return ok && got == count;
}

void map_entry(u8* entry, u32 first, u32 blocks, const std::string& name, const char* type,
               u32 status, u32 data_blocks) {
  entry[0] = 'P';
  entry[1] = 'M';
  put32(entry + 4, 3);  // the map has three entries, and every entry says so
  put32(entry + 8, first);
  put32(entry + 12, blocks);
  memcpy(entry + 16, name.data(), name.size() < 31 ? name.size() : 31);
  memcpy(entry + 48, type, strnlen(type, 32));
  put32(entry + 84, data_blocks);
  put32(entry + 88, status);
}

std::vector<u8> disk_header(u32 blocks, const std::string& name) {
  std::vector<u8> h(kMacPrefixBytes, 0);
  u8* ddr = h.data();
  ddr[0] = 'E';
  ddr[1] = 'R';
  put16(ddr + 2, 512);
  put32(ddr + 4, blocks + kMacPrefixBlocks);
  put16(ddr + 8, 1);
  put16(ddr + 10, 1);
  put16(ddr + 16, 1);
  put32(ddr + 18, kMacDriverBlock);
  put16(ddr + 22, kMacDriverBlocks);
  put16(ddr + 24, 1);  // Mac OS driver
  // Status bits: 1 valid, 2 allocated, 4 in use, 8 boot info valid,
  // 16 readable, 32 writable, 64 position-independent boot code.
  map_entry(h.data() + 512, 1, 63, "Apple", "Apple_partition_map", 0x03, 63);
  map_entry(h.data() + 1024, kMacDriverBlock, 32, "VUNK_SCSI", "Apple_Driver43", 0x7F,
            kMacDriverBlocks);
  map_entry(h.data() + 1536, kMacPrefixBlocks, blocks, name, "Apple_HFS", 0x33, blocks);
  memcpy(h.data() + kMacDriverBlock * 512, kVunkScsiDriver, kVunkScsiDriverSize);
  return h;
}

bool mac_is_bare_hfs(const std::wstring& path) {
  u8 head[1026];
  if (!read_at(path, 0, head, sizeof head)) return false;
  if (head[0] == 'E' && head[1] == 'R') return false;  // already partitioned
  return head[1024] == 'B' && head[1025] == 'D';
}

bool mac_copy_volume(void* source, void* destination, u64 size) {
  std::vector<u8> buf(kCopyChunk, 0);
  u64 copied = 0;
  for (;;) {
    DWORD got = 0, wrote = 0;
    // A failed read is a failed copy: a volume cut short would still carry
    // a map that counts the whole of it.
    if (!ReadFile(source, buf.data(), kCopyChunk, &got, nullptr)) return false;
    if (got == 0) break;
    if (!WriteFile(destination, buf.data(), got, &wrote, nullptr) || wrote != got) return false;
    copied += got;
  }
  // The map was written for `size` bytes: anything else is no faithful copy.
  return copied == size;
}

bool mac_make_bootable(const std::wstring& source, const std::wstring& destination,
                       std::string& error) {
  u8 mdb[512];
  if (!read_at(source, 1024, mdb, sizeof mdb) || mdb[0] != 'B' || mdb[1] != 'D') {
    error = "NOT AN HFS VOLUME";
    return false;
  }
  u64 size = file_size(source);
  u32 name_len = mdb[36] > 27 ? 27 : mdb[36];
  std::string name((const char*)mdb + 37, name_len);
  if (size + kMacPrefixBytes >= kMaxDiskBytes) {
    error = kTooLarge;
    return false;
  }

  // Sharing read only: a program that has the volume open for writing makes
  // this fail, and nobody can start writing while the copy runs.
  HANDLE src = CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (src == INVALID_HANDLE_VALUE) {
    error = "CAN'T READ THE VOLUME (IN USE?)";
    return false;
  }
  HANDLE dst = CreateFileW(destination.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (dst == INVALID_HANDLE_VALUE) {
    CloseHandle(src);
    error = "CAN'T CREATE " + narrow(destination);
    return false;
  }

  std::vector<u8> head = disk_header(u32(size / 512), name);
  DWORD wrote = 0;
  bool ok = WriteFile(dst, head.data(), DWORD(head.size()), &wrote, nullptr) && wrote == head.size();
  ok = ok && mac_copy_volume(src, dst, size);
  CloseHandle(src);
  if (!CloseHandle(dst)) ok = false;
  if (!ok) {
    DeleteFileW(destination.c_str());
    error = "COPY FAILED (DISK FULL?)";
    return false;
  }
  wlog("mac68k: %s -> %s (bootable copy, %s)", narrow(source).c_str(),
       narrow(destination).c_str(), human_bytes(size).c_str());
  return true;
}

bool mac_make_blank(const std::wstring& path, u64 bytes, std::string& error) {
  u64 blocks = bytes / 512;
  // Compared in blocks: a byte count near 2^64 would wrap the product.
  if (blocks + kMacPrefixBlocks >= kMaxDiskBytes / 512) {
    error = kTooLarge;
    return false;
  }
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = "CAN'T CREATE " + narrow(path);
    return false;
  }
  // Where the file system has no sparse files the disk is simply allocated
  // in full, so the result is not checked.
  DWORD ret = 0;
  DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ret, nullptr);

  std::vector<u8> head = disk_header(u32(blocks), "Macintosh HD");
  DWORD wrote = 0;
  bool ok = WriteFile(h, head.data(), DWORD(head.size()), &wrote, nullptr) && wrote == head.size();
  LARGE_INTEGER end;
  end.QuadPart = LONGLONG((blocks + kMacPrefixBlocks) * 512);
  ok = ok && SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h);
  if (!CloseHandle(h)) ok = false;
  if (!ok) {
    DeleteFileW(path.c_str());
    error = "COULD NOT CREATE THE DISK";
    return false;
  }
  return true;
}

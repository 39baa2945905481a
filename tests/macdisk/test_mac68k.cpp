// Classic Mac disks: bootable copies, their failures, and blank disks (the
// driver itself runs in driver_sim.py). The volumes come from hformat
// (disks.sh start); disks.sh check reads the copies back with parted and
// hfsutils after this program has run.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "macdisk/mac68k.h"
#include "tests/support/test_support.h"

namespace {

u32 be16(const u8* p) { return (p[0] << 8) | p[1]; }
u32 be32(const u8* p) { return (be16(p) << 16) | be16(p + 2); }
u32 be32(const std::string& s, size_t at) { return be32((const u8*)s.data() + at); }

std::wstring work(const std::string& name) { return build_path("macdisk-work/" + name); }

// A bare volume made by hand: only the two fields the copy reads.
std::string fake_volume(size_t size, const std::string& name, u8 name_len) {
  std::string v(std::max(size, 1024 + 37 + name.size()), '\0');
  v[1024] = 'B';
  v[1025] = 'D';
  v[1024 + 36] = char(name_len);
  v.replace(1024 + 37, name.size(), name);
  v.resize(size);
  return v;
}

// Sets a file's length without writing it (sparse on the Linux side).
bool extend(const std::wstring& path, u64 size) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER at;
  at.QuadPart = LONGLONG(size);
  bool ok = SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h);
  CloseHandle(h);
  return ok;
}

std::string entry_text(const std::string& disk, u32 block, u32 offset) {
  return std::string(disk.c_str() + block * 512 + offset);
}

}  // namespace

TEST(MacDisk, BootableCopiesOfRealVolumes) {
  struct Case { const char* src; const char* dst; u64 size; const char* name; };
  const Case cases[] = {{"floppy.img", "floppy-boot.img", 1474560, "Floppy Vol"},
                        {"big.img", "big-boot.img", 8388608, "Several MiB Volume"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.src);
    std::string err = "untouched";
    ASSERT_TRUE(mac_make_bootable(work(c.src), work(c.dst), err));
    EXPECT_EQ(err, "untouched");  // only failures write the error
    std::string src = read_bytes(work(c.src));
    std::string out = read_bytes(work(c.dst));
    ASSERT_EQ(src.size(), c.size);
    ASSERT_EQ(out.size(), c.size + 49152);  // 1,523,712 for the floppy
    u32 blocks = u32(c.size / 512);
    EXPECT_EQ(be32(out, 4), blocks + 96);
    EXPECT_EQ(be32(out, 3 * 512 + 12), blocks);
    EXPECT_EQ(be32(out, 3 * 512 + 84), blocks);
    EXPECT_EQ(entry_text(out, 3, 16), c.name);
    EXPECT_EQ(out.substr(50176, 2), "BD");
    EXPECT_TRUE(out.compare(49152, std::string::npos, src) == 0);
    EXPECT_FALSE(mac_is_bare_hfs(work(c.dst)));  // the copy is partitioned
  }
  // The copy is logged with both paths and the size.
  std::string log = read_bytes(path_join(exe_dir(), L"vunk.log"));
  EXPECT_NE(log.find("mac68k: " + narrow(work("floppy.img")) + " -> " +
                     narrow(work("floppy-boot.img")) + " (bootable copy, "),
            std::string::npos);
}

TEST(MacDisk, BootableCopyFailures) {
  std::wstring dir = test_dir("fail");
  std::wstring dst = path_join(dir, L"out.img");
  std::string err;
  // Not a volume, or no file at all: nothing is created.
  std::wstring junk = path_join(dir, L"junk.bin");
  ASSERT_TRUE(write_bytes(junk, std::string(8192, 'j')));
  EXPECT_FALSE(mac_make_bootable(junk, dst, err));
  EXPECT_EQ(err, "NOT AN HFS VOLUME");
  err.clear();
  EXPECT_FALSE(mac_make_bootable(path_join(dir, L"none.img"), dst, err));
  EXPECT_EQ(err, "NOT AN HFS VOLUME");
  EXPECT_FALSE(file_exists(dst));

  // A destination that cannot be created names itself.
  std::wstring src = path_join(dir, L"v.img");
  std::string vol = fake_volume(8192, "V", 1);
  ASSERT_TRUE(write_bytes(src, vol));
  std::wstring nowhere = path_join(dir, L"no-such-folder\\out.img");
  EXPECT_FALSE(mac_make_bootable(src, nowhere, err));
  EXPECT_EQ(err, "CAN'T CREATE " + narrow(nowhere));
  // The source itself as destination: refused, and the source is intact.
  EXPECT_FALSE(mac_make_bootable(src, src, err));
  EXPECT_EQ(err, "CAN'T CREATE " + narrow(src));
  EXPECT_EQ(read_bytes(src), vol);

  // Another program writing the volume.
  HANDLE writer = CreateFileW(src.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(mac_is_bare_hfs(src));  // detection still reads it
  EXPECT_FALSE(mac_make_bootable(src, dst, err));
  EXPECT_EQ(err, "CAN'T READ THE VOLUME (IN USE?)");
  CloseHandle(writer);
  EXPECT_FALSE(file_exists(dst));

  // Disks of 2 TiB or more cannot be described by the map.
  std::wstring huge = path_join(dir, L"huge.img");
  ASSERT_TRUE(write_bytes(huge, vol));
  if (extend(huge, (u64(1) << 41) - 49152)) {
    EXPECT_FALSE(mac_make_bootable(huge, dst, err));
    EXPECT_EQ(err, "DISK TOO LARGE (2 TB MAX)");
    EXPECT_FALSE(file_exists(dst));
  }
  DeleteFileW(huge.c_str());
  remove_tree(dir);
}

TEST(MacDisk, ReadFailureIsCopyFailure) {
  std::wstring dir = test_dir("readfail");
  std::wstring src = path_join(dir, L"v.img"), dst = path_join(dir, L"out.img");
  ASSERT_TRUE(write_bytes(src, std::string(5 << 20, 'v')));
  auto copy = [&](DWORD access, u64 size) {
    HANDLE in = CreateFileW(src.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE out = CreateFileW(dst.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_NE(in, INVALID_HANDLE_VALUE);
    EXPECT_NE(out, INVALID_HANDLE_VALUE);
    bool ok = mac_copy_volume(in, out, size);
    CloseHandle(in);
    CloseHandle(out);
    return ok;
  };
  EXPECT_TRUE(copy(GENERIC_READ, 5 << 20));
  EXPECT_EQ(read_bytes(dst), read_bytes(src));
  // A handle that may not read: every read fails, which must not pass for
  // the end of the volume.
  EXPECT_FALSE(copy(FILE_READ_ATTRIBUTES, 5 << 20));
  // A volume that changed size after it was measured.
  EXPECT_FALSE(copy(GENERIC_READ, (5 << 20) + 512));
  EXPECT_FALSE(copy(GENERIC_READ, (5 << 20) - 512));
  remove_tree(dir);
}

TEST(MacDisk, FullDestination) {
  if (!file_exists(work("full-mounted"))) GTEST_SKIP() << "no full file system to write to";
  std::wstring dst = work("full\\floppy-boot.img");
  std::string err;
  EXPECT_FALSE(mac_make_bootable(work("floppy.img"), dst, err));
  EXPECT_EQ(err, "COPY FAILED (DISK FULL?)");
  EXPECT_FALSE(file_exists(dst));
  // The blank disk's prefix does not fit either.
  std::wstring fill = work("full\\fill.bin");
  ASSERT_TRUE(write_bytes(fill, std::string(1024 * 1024 - 16384, 'f')) || file_exists(fill));
  EXPECT_FALSE(mac_make_blank(work("full\\blank.img"), 1 << 20, err));
  EXPECT_EQ(err, "COULD NOT CREATE THE DISK");
  EXPECT_FALSE(file_exists(work("full\\blank.img")));
  DeleteFileW(fill.c_str());
}

TEST(MacDisk, BlankDisks) {
  std::string err = "untouched";
  std::wstring blank = work("blank.img");
  ASSERT_TRUE(write_bytes(blank, std::string(70000, 'o')));  // replaced
  ASSERT_TRUE(mac_make_blank(blank, u64(2) << 30, err));
  EXPECT_EQ(err, "untouched");
  EXPECT_EQ(file_size(blank), 2147532800u);
  u8 head[512];
  ASSERT_TRUE(read_at(blank, 0, head, sizeof head));
  EXPECT_EQ(be32(head + 4), 4194400u);  // the HFS entry: disks.sh check
  u8 zeros[4096] = {}, tail[4096];
  ASSERT_TRUE(read_at(blank, 49152, tail, sizeof tail));  // none of the old bytes
  EXPECT_EQ(memcmp(tail, zeros, sizeof tail), 0);

  std::wstring dir = test_dir("blank");
  std::wstring p = path_join(dir, L"odd.img");
  ASSERT_TRUE(mac_make_blank(p, 1000000, err));  // 1953 whole blocks
  EXPECT_EQ(file_size(p), (1953u + 96) * 512);
  DeleteFileW(p.c_str());
  std::wstring nowhere = path_join(dir, L"no-such-folder\\b.img");
  EXPECT_FALSE(mac_make_blank(nowhere, 1 << 20, err));
  EXPECT_EQ(err, "CAN'T CREATE " + narrow(nowhere));

  // 2^32 blocks in all is one too many for the map; so is any size whose
  // byte count would wrap when counted in bytes.
  u64 largest = (u64(0xFFFFFFFF) - 96) * 512;
  for (u64 bytes : {largest + 512, u64(1) << 41, ~u64(0), ~u64(0) - 95 * 512}) {
    err.clear();
    EXPECT_FALSE(mac_make_blank(p, bytes, err)) << bytes;
    EXPECT_EQ(err, "DISK TOO LARGE (2 TB MAX)");
  }
  EXPECT_FALSE(file_exists(p));
  if (mac_make_blank(p, largest + 511, err)) {  // sparse, so cheap where allowed
    EXPECT_EQ(file_size(p), (u64(1) << 41) - 512);
    ASSERT_TRUE(read_at(p, 0, head, sizeof head));
    EXPECT_EQ(be32(head + 4), 0xFFFFFFFFu);
  }
  DeleteFileW(p.c_str());
  remove_tree(dir);
}

#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <cmath>
#include <limits>

#include "core/common.h"
#include "tests/support/test_support.h"

TEST(Text, WidenNarrowEdges) {
  EXPECT_EQ(widen(""), L"");
  EXPECT_EQ(narrow(L""), "");
  EXPECT_EQ(widen("\xFF"), std::wstring(1, wchar_t(0xFFFD)));
  EXPECT_EQ(narrow(std::wstring(1, wchar_t(0xD83D))), "\xEF\xBF\xBD");
  // round trip through every length class of UTF-8, a NUL inside included
  std::string mixed("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z\0q", 13);
  std::wstring w = widen(mixed);
  EXPECT_EQ(w, std::wstring(L"a\u00E9\u20AC\U0001F600z\0q", 8));
  EXPECT_EQ(narrow(w), mixed);
  // the input is taken by length, not up to a terminator
  EXPECT_EQ(widen(std::string_view("abcdef", 3)), L"abc");
}

TEST(Text, ConversionInPieces) {
  // Every cut position of every small piece size must give what one whole
  // conversion gives: no character split, nothing lost or doubled.
  std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80" "bc\xF0\x9F\x98\x81\xC3\xA9";
  // (pieces as short as one character: 4 bytes, 2 units)
  std::wstring whole = widen(text);
  for (size_t piece = 4; piece <= text.size() + 1; ++piece)
    EXPECT_EQ(widen_pieces(text, piece), whole) << "piece " << piece;
  for (size_t piece = 2; piece <= whole.size() + 1; ++piece)
    EXPECT_EQ(narrow_pieces(whole, piece), text) << "piece " << piece;
  // malformed input keeps its replacement characters whatever the pieces
  std::string bad = "x\x80\x80\x80\x80\x80\x80y\xE2\x82";
  for (size_t piece = 4; piece <= bad.size(); ++piece)
    EXPECT_EQ(widen_pieces(bad, piece), widen(bad)) << "piece " << piece;
  std::wstring lone = L"a";
  lone += wchar_t(0xDC00);
  lone += wchar_t(0xD800);
  lone += L"b";
  for (size_t piece = 2; piece <= lone.size(); ++piece)
    EXPECT_EQ(narrow_pieces(lone, piece), narrow(lone)) << "piece " << piece;
}

TEST(Text, CaseMapping) {
  EXPECT_EQ(upper("stra\xC3\x9F" "e 1-z"), "STRA\xC3\x9F" "E 1-Z");
  EXPECT_EQ(upper("`az{@AZ["), "`AZ{@AZ[");
  EXPECT_EQ(lower_w(L"C:\\Program Files\\QEMU.EXE"), L"c:\\program files\\qemu.exe");
}

TEST(Text, StrfLengths) {
  EXPECT_EQ(strf("%d-%s-%zu-%lld-%llu", 7, "x", size_t(9), -5ll, 18446744073709551615ull),
            "7-x-9--5-18446744073709551615");
  EXPECT_EQ(strf("%s", ""), "");
  // 1023 bytes fit the stack buffer; 1024 and far longer take the second pass
  for (size_t n : {1023u, 1024u, 1025u, 100000u}) {
    std::string want(n, 'q');
    want[0] = 'A';
    want[n - 1] = 'Z';
    EXPECT_EQ(strf("A%sZ", std::string(n - 2, 'q').c_str()), want) << n;
  }
  EXPECT_EQ(strf("%.1f|%5s|%-3d|", 2.25, "ab", 4), "2.2|   ab|4  |");
}

TEST(Text, Clock) {
  double a = now_s();
  Sleep(50);
  double b = now_s();
  EXPECT_GE(b - a, 0.04);
  EXPECT_LT(b - a, 5.0);
}

TEST(Paths, JoinLeafDir) {
  EXPECT_EQ(path_join(L"", L"a"), L"a");
  EXPECT_EQ(path_join(L"C:\\x", L"a"), L"C:\\x\\a");
  EXPECT_EQ(path_join(L"C:/x/", L"a"), L"C:/x/a");
  EXPECT_EQ(path_join(L"C:\\x", L"\\a"), L"C:\\x\\\\a");
  EXPECT_EQ(path_join(L"C:\\x", L"D:\\a"), L"C:\\x\\D:\\a");
  EXPECT_EQ(path_leaf(L"a"), L"a");
  EXPECT_EQ(path_dir(L"a"), L"");
  EXPECT_EQ(path_leaf(L"C:\\x\\"), L"");
  EXPECT_EQ(path_dir(L"C:\\x\\"), L"C:\\x");
  EXPECT_EQ(path_dir(L"C:\\"), L"C:");
  EXPECT_EQ(path_leaf(L"C:\\x/y\\z.img"), L"z.img");
  EXPECT_EQ(path_dir(L"C:\\x/y\\z.img"), L"C:\\x/y");
  EXPECT_EQ(path_leaf(L"C:/x/y"), L"y");
}

TEST(Paths, FilesAndFolders) {
  std::wstring dir = test_dir("paths");
  std::wstring file = path_join(dir, L"f\u00E9.bin");
  std::wstring missing = path_join(dir, L"missing");
  ASSERT_TRUE(write_bytes(file, std::string(12345, 'x')));
  EXPECT_TRUE(file_exists(file));
  EXPECT_FALSE(dir_exists(file));
  EXPECT_TRUE(dir_exists(dir));
  EXPECT_FALSE(file_exists(dir));
  EXPECT_FALSE(file_exists(missing));
  EXPECT_FALSE(dir_exists(missing));
  EXPECT_EQ(file_size(file), 12345u);
  EXPECT_EQ(file_size(missing), 0u);
  ASSERT_TRUE(write_bytes(file, ""));
  EXPECT_EQ(file_size(file), 0u);
  // sizes beyond 32 bits join both halves (a sparse file costs no space)
  std::wstring big = path_join(dir, L"big.bin");
  HANDLE h = CreateFileW(big.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD ret = 0;
  DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ret, nullptr);
  LARGE_INTEGER at;
  at.QuadPart = (1ll << 32) + 7;
  EXPECT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h));
  CloseHandle(h);
  EXPECT_EQ(file_size(big), (1ull << 32) + 7);
  remove_tree(dir);
}

TEST(Paths, ExeDirAndFullPath) {
  wchar_t self[1024];
  DWORD n = GetModuleFileNameW(nullptr, self, 1024);
  EXPECT_EQ(exe_dir(), path_dir(std::wstring(self, n)));
  EXPECT_TRUE(dir_exists(exe_dir()));
  std::wstring dir = test_dir("full");
  ASSERT_TRUE(SetCurrentDirectoryW(dir.c_str()));
  EXPECT_EQ(lower_w(full_path(L"sub\\x.img")), lower_w(path_join(dir, L"sub\\x.img")));
  EXPECT_EQ(full_path(L"C:\\a\\..\\b"), L"C:\\b");
  // a path whose absolute form does not fit 520 characters comes back as given
  std::wstring longer = L"C:\\" + std::wstring(600, L'y');
  EXPECT_EQ(full_path(longer), longer);
  SetCurrentDirectoryW(exe_dir().c_str());
  remove_tree(dir);
}

TEST(Human, Bytes) {
  EXPECT_EQ(human_bytes(0), "0B");
  EXPECT_EQ(human_bytes(1023), "1023B");
  EXPECT_EQ(human_bytes(1024), "1.0K");
  EXPECT_EQ(human_bytes(1536), "1.5K");
  EXPECT_EQ(human_bytes(10239), "10.0K");
  EXPECT_EQ(human_bytes(10240), "10K");
  EXPECT_EQ(human_bytes(1048575), "1024K");
  EXPECT_EQ(human_bytes(1048576), "1.0M");
  EXPECT_EQ(human_bytes(734003200), "700M");
  EXPECT_EQ(human_bytes(5368709120ull), "5.0G");
  EXPECT_EQ(human_bytes(1ull << 40), "1.0T");
  EXPECT_EQ(human_bytes(1ull << 60), "1048576T");
  EXPECT_EQ(human_bytes(~0ull), "16777216T");
}

TEST(Human, Duration) {
  EXPECT_EQ(human_duration(-5), "00:00:00");
  EXPECT_EQ(human_duration(0), "00:00:00");
  EXPECT_EQ(human_duration(59.9), "00:00:59");
  EXPECT_EQ(human_duration(3661), "01:01:01");
  EXPECT_EQ(human_duration(86399), "23:59:59");
  EXPECT_EQ(human_duration(86400), "1D 00:00");
  EXPECT_EQ(human_duration(90061), "1D 01:01");
  EXPECT_EQ(human_duration(1000000), "11D 13:46");
  // an ETA at a rate of zero is infinite: it must not reach the integer cast
  EXPECT_EQ(human_duration(std::numeric_limits<double>::infinity()), "00:00:00");
  EXPECT_EQ(human_duration(-std::numeric_limits<double>::infinity()), "00:00:00");
  EXPECT_EQ(human_duration(std::nan("")), "00:00:00");
  // far beyond any real duration still prints days, hours and minutes
  EXPECT_EQ(human_duration(1e300), "104166666666666D 16:00");
}

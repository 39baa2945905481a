#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <cmath>
#include <limits>

#include "core/common.h"
#include "tests/support/test_support.h"

TEST(Text, ConversionInPieces) {
  // Long inputs are converted in pieces: every piece size must give what one
  // whole conversion gives, with no character split, lost or doubled, and
  // malformed input keeps its replacement characters.
  std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80" "bc\xF0\x9F\x98\x81\xC3\xA9";
  std::wstring whole = widen(text);
  for (size_t piece = 4; piece <= text.size() + 1; ++piece)  // down to one 4-byte character
    EXPECT_EQ(widen_pieces(text, piece), whole) << "piece " << piece;
  for (size_t piece = 2; piece <= whole.size() + 1; ++piece)
    EXPECT_EQ(narrow_pieces(whole, piece), text) << "piece " << piece;
  std::string bad = "x\x80\x80\x80\x80\x80\x80y\xE2\x82";
  for (size_t piece = 4; piece <= bad.size(); ++piece)
    EXPECT_EQ(widen_pieces(bad, piece), widen(bad)) << "piece " << piece;
  std::wstring lone = std::wstring(L"a") + wchar_t(0xDC00) + wchar_t(0xD800) + L"b";
  for (size_t piece = 2; piece <= lone.size(); ++piece)
    EXPECT_EQ(narrow_pieces(lone, piece), narrow(lone)) << "piece " << piece;
}

TEST(Paths, FilesAndFolders) {
  std::wstring dir = test_dir("paths");
  std::wstring file = path_join(dir, L"f\u00E9.bin");
  std::wstring missing = path_join(dir, L"missing");
  ASSERT_TRUE(write_bytes(file, std::string(12345, 'x')));
  EXPECT_TRUE(file_exists(file) && dir_exists(dir));
  EXPECT_FALSE(dir_exists(file) || file_exists(dir));
  EXPECT_FALSE(file_exists(missing) || dir_exists(missing));
  EXPECT_EQ(file_size(file), 12345u);
  EXPECT_EQ(file_size(missing), 0u);
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

  wchar_t self[1024];
  DWORD n = GetModuleFileNameW(nullptr, self, 1024);
  EXPECT_EQ(exe_dir(), path_dir(std::wstring(self, n)));
  ASSERT_TRUE(SetCurrentDirectoryW(dir.c_str()));
  EXPECT_EQ(lower_w(full_path(L"sub\\x.img")), lower_w(path_join(dir, L"sub\\x.img")));
  EXPECT_EQ(full_path(L"C:\\a\\..\\b"), L"C:\\b");
  // a path whose absolute form does not fit 520 characters comes back as given
  std::wstring longer = L"C:\\" + std::wstring(600, L'y');
  EXPECT_EQ(full_path(longer), longer);
  SetCurrentDirectoryW(exe_dir().c_str());
  remove_tree(dir);
}

TEST(Human, BytesAndDurations) {
  const std::pair<u64, const char*> bytes[] = {
      {0, "0B"},          {1023, "1023B"},     {1024, "1.0K"},          {1536, "1.5K"},
      {10239, "10.0K"},   {10240, "10K"},      {1048575, "1024K"},      {1048576, "1.0M"},
      {734003200, "700M"}, {5368709120, "5.0G"}, {1ull << 60, "1048576T"}, {~0ull, "16777216T"}};
  for (auto& [n, want] : bytes) EXPECT_EQ(human_bytes(n), want) << n;
  // an ETA at a rate of zero is infinite: it must not reach the integer cast
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, const char*> durations[] = {
      {-5, "00:00:00"},       {59.9, "00:00:59"}, {3661, "01:01:01"},        {86399, "23:59:59"},
      {86400, "1D 00:00"},    {90061, "1D 01:01"}, {1000000, "11D 13:46"},    {inf, "00:00:00"},
      {-inf, "00:00:00"},     {std::nan(""), "00:00:00"}, {1e300, "104166666666666D 16:00"}};
  for (auto& [s, want] : durations) EXPECT_EQ(human_duration(s), want) << s;
}

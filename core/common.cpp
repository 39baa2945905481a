#include "core/common.h"

#include <windows.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cwctype>
#include <mutex>

// ---- text ---------------------------------------------------------------

// A piece of 2^28 units stays below 2^31 on both sides of either conversion,
// even when every UTF-16 unit becomes three UTF-8 bytes.
static constexpr size_t kConvPiece = size_t(1) << 28;

std::wstring widen_pieces(std::string_view s, size_t piece) {
  std::wstring out;
  while (!s.empty()) {
    size_t n = s.size();
    if (n > piece) {
      n = piece;
      // end the piece before a continuation byte so a sequence is never split
      for (int k = 0; k < 4 && n > 0 && (u8(s[n]) & 0xC0) == 0x80; ++k) --n;
      if (n == 0) n = piece;  // only with pieces shorter than one character
    }
    int len = MultiByteToWideChar(CP_UTF8, 0, s.data(), int(n), nullptr, 0);
    if (len > 0) {
      size_t at = out.size();
      out.resize(at + size_t(len));
      MultiByteToWideChar(CP_UTF8, 0, s.data(), int(n), out.data() + at, len);
    }
    s.remove_prefix(n);
  }
  return out;
}

std::string narrow_pieces(std::wstring_view s, size_t piece) {
  std::string out;
  while (!s.empty()) {
    size_t n = s.size();
    if (n > piece) {
      n = piece;
      // a high surrogate at the cut goes with its partner into the next piece
      if (n > 1 && s[n - 1] >= 0xD800 && s[n - 1] <= 0xDBFF) --n;
    }
    int len = WideCharToMultiByte(CP_UTF8, 0, s.data(), int(n), nullptr, 0, nullptr, nullptr);
    if (len > 0) {
      size_t at = out.size();
      out.resize(at + size_t(len));
      WideCharToMultiByte(CP_UTF8, 0, s.data(), int(n), out.data() + at, len, nullptr, nullptr);
    }
    s.remove_prefix(n);
  }
  return out;
}

std::wstring widen(std::string_view s) { return widen_pieces(s, kConvPiece); }

std::string narrow(std::wstring_view s) { return narrow_pieces(s, kConvPiece); }

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = char(c - 0x20);
  return out;
}

std::wstring lower_w(std::wstring s) {
  for (wchar_t& c : s) c = wchar_t(towlower(c));
  return s;
}

static std::string vstrf(const char* fmt, va_list ap) {
  char buf[1024];
  va_list again;
  va_copy(again, ap);
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  std::string out;
  if (n >= 0 && n < int(sizeof buf)) {
    out.assign(buf, size_t(n));
  } else if (n >= int(sizeof buf)) {
    out.resize(size_t(n));
    vsnprintf(out.data(), size_t(n) + 1, fmt, again);
  }
  va_end(again);
  return out;
}

std::string strf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string s = vstrf(fmt, ap);
  va_end(ap);
  return s;
}

// ---- clock --------------------------------------------------------------

double now_s() {
  static const double freq = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return double(f.QuadPart);
  }();
  LARGE_INTEGER c;
  QueryPerformanceCounter(&c);
  return double(c.QuadPart) / freq;
}

// ---- files and paths ----------------------------------------------------

bool file_exists(const std::wstring& p) {
  DWORD a = GetFileAttributesW(p.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool dir_exists(const std::wstring& p) {
  DWORD a = GetFileAttributesW(p.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

u64 file_size(const std::wstring& p) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetFileAttributesExW(p.c_str(), GetFileExInfoStandard, &d)) return 0;
  return (u64(d.nFileSizeHigh) << 32) + d.nFileSizeLow;
}

std::wstring path_join(const std::wstring& a, const std::wstring& b) {
  if (a.empty()) return b;
  if (a.back() == L'\\' || a.back() == L'/') return a + b;
  return a + L'\\' + b;
}

std::wstring path_leaf(const std::wstring& p) {
  size_t k = p.find_last_of(L"\\/");
  return k == std::wstring::npos ? p : p.substr(k + 1);
}

bool safe_path_component(std::string_view c) {
  if (c.empty() || c == "." || c == ".." || c.size() > 255) return false;
  for (unsigned char ch : c)
    if (ch < 0x20 || ch == 0x7f || std::string_view("<>:\"/\\|?*").find(char(ch)) != std::string_view::npos)
      return false;
  // Windows drops trailing dots and blanks, so "..." or "a. " would name
  // another file than the one written down.
  if (c.back() == '.' || c.back() == ' ') return false;
  // Device names are reserved with any extension ("nul.txt") and any case.
  std::string stem(c.substr(0, c.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char& ch : stem) ch = char(ch >= 'a' && ch <= 'z' ? ch - 32 : ch);
  static const char* const reserved[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* r : reserved)
    if (stem == r) return false;
  if (stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
      stem[3] >= '0' && stem[3] <= '9')
    return false;
  return true;
}

bool bare_file_name(std::string_view name) {
  return !name.empty() && name[0] != '.' && safe_path_component(name);
}

std::wstring path_dir(const std::wstring& p) {
  size_t k = p.find_last_of(L"\\/");
  return k == std::wstring::npos ? std::wstring() : p.substr(0, k);
}

std::wstring exe_dir() {
  wchar_t buf[520];
  DWORD n = GetModuleFileNameW(nullptr, buf, 520);
  return path_dir(std::wstring(buf, n));
}

std::wstring full_path(const std::wstring& p) {
  wchar_t buf[520];
  DWORD n = GetFullPathNameW(p.c_str(), 520, buf, nullptr);
  if (n > 0 && n < 520) return std::wstring(buf, n);
  return p;
}

// ---- human-readable forms -----------------------------------------------

std::string human_bytes(u64 n) {
  if (n < 1024) return strf("%lluB", (unsigned long long)n);
  static const char* units[] = {"K", "M", "G", "T"};
  double q = double(n);
  int u = 0;
  for (; u < 4; ++u) {
    q /= 1024;
    if (q < 1024) break;
  }
  if (u == 4) u = 3;  // still at or above 1024 after four divisions: T
  return q < 10 ? strf("%.1f%s", q, units[u]) : strf("%.0f%s", q, units[u]);
}

std::string human_duration(double x) {
  // A non-finite time (an ETA at rate 0, say) has no whole-second value.
  if (!std::isfinite(x) || x < 0) x = 0;
  if (x > 9.0e18) x = 9.0e18;
  long long s = (long long)x;
  long long days = s / 86400, hours = (s / 3600) % 24, minutes = (s / 60) % 60, secs = s % 60;
  if (days > 0) return strf("%lldD %02lld:%02lld", days, hours, minutes);
  return strf("%02lld:%02lld:%02lld", hours, minutes, secs);
}

// ---- program log --------------------------------------------------------

// The path and the lock below are never destroyed: download workers may still
// log while the global objects are torn down at exit.
static const std::wstring& log_path() {
  static const std::wstring& path = *new std::wstring(path_join(exe_dir(), L"vunk.log"));
  return path;
}

void wlog(const char* fmt, ...) {
  const std::wstring& path = log_path();
  char msg[2048];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(msg, sizeof msg, fmt, ap);
  va_end(ap);
  if (n < 0) msg[0] = 0;
  // One caller at a time from the size test to the close. Two callers
  // rotating at once would carry the fresh log over the older generation, and
  // not every platform keeps appends through separate handles whole (Wine
  // seeks to the end and then writes, so lines from two threads interleave).
  // The time is read inside too, so the lines of one file stay in time order.
  static std::mutex& one_at_a_time = *new std::mutex;
  std::lock_guard<std::mutex> hold(one_at_a_time);
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &d) &&
      ((u64(d.nFileSizeHigh) << 32) + d.nFileSizeLow) > 2097152)
    MoveFileExW(path.c_str(), (path + L".1").c_str(), MOVEFILE_REPLACE_EXISTING);
  SYSTEMTIME t;
  GetLocalTime(&t);
  std::string line = strf("%04d-%02d-%02d %02d:%02d:%02d.%03d  %s\r\n", t.wYear, t.wMonth, t.wDay,
                          t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, msg);
  HANDLE h = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  DWORD wrote = 0;
  WriteFile(h, line.data(), DWORD(line.size()), &wrote, nullptr);
  CloseHandle(h);
}

std::wstring env_value(const wchar_t* name) {
  // The size is asked first and the read repeated while the value grows in
  // between, so a value of any length is read whole.
  std::wstring buf(4096, L'\0');
  for (;;) {
    DWORD n = GetEnvironmentVariableW(name, buf.data(), DWORD(buf.size()));
    if (n == 0) return L"";
    if (n < buf.size()) return buf.substr(0, n);
    buf.assign(n, L'\0');
  }
}

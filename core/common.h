// Core services: text conversion, formatting, the clock, files and paths,
// human-readable sizes and durations, and the program log.
//
// Two string worlds meet here: text the program formats, logs, parses or sends
// is UTF-8 in std::string; paths and everything handed to the wide Windows
// interfaces is UTF-16 in std::wstring. widen and narrow are the only bridges.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

using u8 = uint8_t;
using u16 = uint16_t;
using u32 = uint32_t;
using u64 = uint64_t;
using i64 = int64_t;

// ---- text ---------------------------------------------------------------
std::wstring widen(std::string_view s);
std::string narrow(std::wstring_view s);
std::string upper(std::string_view s);
std::wstring lower_w(std::wstring s);
std::string strf(const char* fmt, ...) __attribute__((format(gnu_printf, 1, 2)));

// widen and narrow hand the system 32-bit lengths, so they convert in pieces
// of at most `piece` units, never splitting a character. Exposed so the piece
// boundaries can be exercised with small pieces.
std::wstring widen_pieces(std::string_view s, size_t piece);
std::string narrow_pieces(std::wstring_view s, size_t piece);

// ---- clock --------------------------------------------------------------
double now_s();

// ---- files and paths ----------------------------------------------------
bool file_exists(const std::wstring& p);
bool dir_exists(const std::wstring& p);
u64 file_size(const std::wstring& p);
std::wstring path_join(const std::wstring& a, const std::wstring& b);
std::wstring path_leaf(const std::wstring& p);
std::wstring path_dir(const std::wstring& p);
std::wstring exe_dir();
std::wstring full_path(const std::wstring& p);
// A path component that stays inside the destination folder on Windows: no
// "." or "..", no separators, drive letters, reserved device names or
// characters Windows cannot store.
bool safe_path_component(std::string_view c);
// A file name from elsewhere (a release server) for a file of our own folder:
// a safe path component that does not start with "." either.
bool bare_file_name(std::string_view name);

// ---- hashing ----------------------------------------------------------
// FNV-1a, 32 bits: widget ids and the stable ids of connection rows.
constexpr u32 kFnvPrime = 16777619u;
constexpr u32 fnv1a(std::string_view s, u32 h = 2166136261u) {
  for (unsigned char c : s) h = (h ^ c) * kFnvPrime;
  return h;
}

// ---- environment ------------------------------------------------------
// A variable's value, whole however long; empty when it is not set.
std::wstring env_value(const wchar_t* name);

// ---- human-readable forms -----------------------------------------------
std::string human_bytes(u64 n);
std::string human_duration(double seconds);

// ---- program log (vunk.log beside the program) ---------------------------
void wlog(const char* fmt, ...) __attribute__((format(gnu_printf, 1, 2)));

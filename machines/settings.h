// Program settings (vunk.ini beside the program), the INI helpers shared with
// machine.ini, and the probes that decide how QEMU is used on this host.
#pragma once

#include <string>

#include "core/common.h"

struct Settings {
  std::wstring ini;           // full path of vunk.ini
  std::wstring qemu_dir;      // folder of qemu-system-*.exe and qemu-img.exe
  std::wstring msys_bin;      // runtime DLL folder the QEMU programs may need
  std::wstring machines_dir;  // one subfolder per machine
  std::wstring tiger_root;    // root of the Mac OS X Intel setup
  std::wstring tiger_script;  // launch script for that profile
  std::wstring media_dir;     // downloaded install media (empty until chosen)
  std::wstring mac_rom;       // Quadra 650/800 ROM (empty until chosen)

  // Reads every path with its computed default; never writes, never fails.
  void load();
  // Writes the paths section only; results are not checked.
  void save() const;
  // The launch-script setup is present.
  bool tiger_ok() const;
};

extern Settings g_set;

// Creates an INI file holding only the UTF-16LE byte-order mark, so the
// private-profile functions keep writing it as UTF-16. No-op when it exists.
void ini_touch(const std::wstring& path);
// A value (of any length) or the default when key or file is missing.
std::wstring ini_get(const std::wstring& ini, const wchar_t* section, const wchar_t* key,
                     const std::wstring& def);
// Writes a value so that ini_get gives it back unchanged: the profile reader
// strips blanks at both ends and one pair of surrounding quotes, so a value
// that begins or ends with either is wrapped in one more pair of quotes.
bool ini_put(const std::wstring& ini, const wchar_t* section, const wchar_t* key,
             const std::wstring& value);

// Windows Hypervisor Platform usable (probed once; VUNK_NO_WHPX disables it).
bool whpx_ok();
// g_set.qemu_dir\qemu-system-<arch>.exe (not checked for existence).
std::wstring qemu_exe(const std::string& arch);
// Whether the file's bytes contain the needle; cached per path, needle and
// last-write time.
bool file_contains(const std::wstring& path, const std::string& needle);
// The QEMU build can show its display inside a parent window.
bool exe_supports_embed(const std::wstring& exe);
// The QEMU build has the Direct3D 11 display.
bool exe_has_d3d11(const std::wstring& exe);

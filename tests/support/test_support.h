// Helpers shared by the test executables (they run under Wine).
#pragma once

#include <string>

#include "core/common.h"

// A fresh, empty folder under the temporary folder, unique per call.
std::wstring test_dir(const std::string& tag);
// Removes a folder and everything in it; true when it is gone.
bool remove_tree(const std::wstring& dir);
std::string read_bytes(const std::wstring& path);
bool write_bytes(const std::wstring& path, const std::string& data);
// An environment variable as UTF-8, empty when unset.
std::string env_str(const char* name);
// A Linux path as Wine sees it (Z: drive).
std::wstring unix_to_win(const std::string& unix_path);
// The repository and build folders (from VUNK_SRC / VUNK_BUILD, set by CTest).
std::wstring src_path(const std::string& rel);
std::wstring build_path(const std::string& rel);
// Starts a program with arguments, hidden and inheriting no handle; false
// when it could not start (told on stderr with the error, after three tries).
bool start_program(const std::wstring& cmdline, struct _PROCESS_INFORMATION& pi);

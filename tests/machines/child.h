// The test program doubles as the child process of its own tests: started with
// "--child MODE ...", it does one small job and exits (see main.cpp).
#pragma once

#include <string>

// This test program's own path.
std::wstring self_exe();
// A command line that starts this program (or a copy of it) in a child mode.
std::wstring child_cmd(const std::wstring& exe, const std::wstring& args);
// Copies this program into folder and returns the copy's path, so that code
// working from the program's folder can be run in a tree of the test's making.
std::wstring copy_self_to(const std::wstring& folder);

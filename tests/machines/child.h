// The test program doubles as the child process of its own tests: started with
// "--child MODE ...", it does one small job and exits (see main.cpp).
#pragma once

#include <string>

std::wstring self_exe();
// A command line that starts exe (this program or a copy) in a child mode.
std::wstring child_cmd(const std::wstring& exe, const std::wstring& args);
// Copies this program into folder, so code working from the program's folder
// runs in a tree of the test's making; returns the copy's path.
std::wstring copy_self_to(const std::wstring& folder);

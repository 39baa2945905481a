// Command-line text and short-lived hidden child processes.
#pragma once

#include <string>

#include "core/common.h"

// Starts a child whose standard handles are in, out and err (null for none)
// and which inherits only those of them that are inheritable, never any other
// inheritable handle of the program. flags gets EXTENDED_STARTUPINFO_PRESENT
// added; cwd may be null. On success the caller closes pi's two handles.
// (Windows types are spelled out so this header stays free of windows.h.)
bool create_child(const std::wstring& cmdline, unsigned long flags, const wchar_t* cwd, void* in,
                  void* out, void* err, struct _PROCESS_INFORMATION& pi);

// One argument in the form the standard Windows argument splitting gives back.
std::wstring quote_arg(const std::wstring& arg);
// Doubles every comma, as QEMU option lists require.
std::wstring opt_escape(const std::wstring& value);
// Runs the command line hidden, appends its stdout and stderr to out, and
// returns true only when it ended within timeout_ms with exit code 0. The
// limit bounds the whole run, the reading included.
bool run_capture(const std::wstring& cmdline, std::string& out, u32 timeout_ms);
// The last n meaningful lines of a text file, each followed by "\n".
std::string tail_lines(const std::wstring& path, int n);

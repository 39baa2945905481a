#include "machines/proc.h"

#include <windows.h>

#include <vector>

std::wstring quote_arg(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t slashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    if (c == L'"')
      out.append(slashes * 2 + 1, L'\\');
    else
      out.append(slashes, L'\\');
    out += c;
    slashes = 0;
  }
  out.append(slashes * 2, L'\\');
  out += L'"';
  return out;
}

std::wstring opt_escape(const std::wstring& value) {
  std::wstring out;
  out.reserve(value.size());
  for (wchar_t c : value) {
    out += c;
    if (c == L',') out += L',';
  }
  return out;
}

bool create_child(const std::wstring& cmdline, DWORD flags, const wchar_t* cwd, HANDLE in,
                  HANDLE out, HANDLE err, PROCESS_INFORMATION& pi) {
  // Only the handles named here reach the child. Without the list every
  // inheritable handle of the program would, and a pipe end meant for another
  // child would then stay open as long as this child lives.
  HANDLE list[3];
  DWORD count = 0;
  for (HANDLE h : {in, out, err}) {
    DWORD info = 0;
    if (!h || h == INVALID_HANDLE_VALUE || !GetHandleInformation(h, &info) ||
        !(info & HANDLE_FLAG_INHERIT))
      continue;
    bool dup = false;
    for (DWORD i = 0; i < count; ++i) dup = dup || list[i] == h;
    if (!dup) list[count++] = h;
  }
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<unsigned char> attr_mem(size);
  auto attrs = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attr_mem.data());
  if (!InitializeProcThreadAttributeList(attrs, 1, 0, &size)) return false;
  bool listed = count == 0 || UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                                        list, count * sizeof(HANDLE), nullptr,
                                                        nullptr);
  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdInput = in;
  si.StartupInfo.hStdOutput = out;
  si.StartupInfo.hStdError = err;
  si.lpAttributeList = attrs;
  std::vector<wchar_t> cmd(cmdline.begin(), cmdline.end());
  cmd.push_back(0);
  bool ok = listed && CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, count > 0,
                                     flags | EXTENDED_STARTUPINFO_PRESENT, nullptr, cwd,
                                     &si.StartupInfo, &pi);
  DeleteProcThreadAttributeList(attrs);
  return ok;
}

bool run_capture(const std::wstring& cmdline, std::string& out, u32 timeout_ms) {
  ULONGLONG deadline = GetTickCount64() + timeout_ms;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE rd = nullptr, wr = nullptr;
  if (!CreatePipe(&rd, &wr, &sa, 0)) return false;
  SetHandleInformation(rd, HANDLE_FLAG_INHERIT, 0);

  PROCESS_INFORMATION pi{};
  bool started = create_child(cmdline, CREATE_NO_WINDOW, nullptr, GetStdHandle(STD_INPUT_HANDLE),
                              wr, wr, pi);
  CloseHandle(wr);
  if (!started) {
    CloseHandle(rd);
    return false;
  }

  // Poll rather than block: a child that keeps its output open without
  // exiting must not hold the caller past the limit.
  bool ended = false;
  char buf[4096];
  while (!ended) {
    DWORD avail = 0;
    if (!PeekNamedPipe(rd, nullptr, 0, nullptr, &avail, nullptr)) {
      ended = true;  // every writer has closed its end
    } else if (avail > 0) {
      DWORD got = 0;
      if (!ReadFile(rd, buf, avail < sizeof buf ? avail : DWORD(sizeof buf), &got, nullptr) ||
          got == 0)
        ended = true;
      else
        out.append(buf, got);
    } else if (GetTickCount64() >= deadline) {
      break;
    } else {
      WaitForSingleObject(pi.hProcess, 5);
    }
  }
  CloseHandle(rd);

  ULONGLONG now = GetTickCount64();
  DWORD left = ended && now < deadline ? DWORD(deadline - now) : 0;
  bool done = WaitForSingleObject(pi.hProcess, left) == WAIT_OBJECT_0;
  DWORD code = 1;
  if (!done) TerminateProcess(pi.hProcess, 1);
  else if (!GetExitCodeProcess(pi.hProcess, &code)) code = 1;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  // Output cut short by the limit is not a success, even if the child itself
  // exited (a grandchild may still hold the pipe).
  return done && ended && code == 0;
}

std::string tail_lines(const std::wstring& path, int n) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return "";
  LARGE_INTEGER size{};
  GetFileSizeEx(f, &size);
  LONGLONG start = size.QuadPart > 4096 ? size.QuadPart - 4096 : 0;
  LARGE_INTEGER pos;
  pos.QuadPart = start;
  SetFilePointerEx(f, pos, nullptr, FILE_BEGIN);
  std::string data(size_t(size.QuadPart - start), '\0');
  DWORD got = 0;
  if (!data.empty() && !ReadFile(f, data.data(), DWORD(data.size()), &got, nullptr)) got = 0;
  data.resize(got);
  CloseHandle(f);

  std::vector<std::string> lines;
  size_t at = 0;
  while (at <= data.size()) {
    size_t nl = data.find('\n', at);
    if (nl == std::string::npos) nl = data.size();
    std::string line = data.substr(at, nl - at);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (!line.empty() && line.compare(0, 2, "> ") != 0) lines.push_back(line);
    at = nl + 1;
  }
  size_t first = n > 0 && size_t(n) < lines.size() ? lines.size() - size_t(n) : 0;
  if (n <= 0) first = lines.size();
  std::string result;
  for (size_t i = first; i < lines.size(); ++i) result += lines[i] + "\n";
  return result;
}

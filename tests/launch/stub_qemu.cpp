// Stands in for a QEMU that dies at once or just idles. It ignores the QEMU
// options it is given and obeys three of its own:
//   --say TEXT   writes TEXT and a line end to standard error
//   --sleep MS   waits that long before exiting
//   --exit N     the exit code (0 when not given)
#include <windows.h>

#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
  int code = 0;
  DWORD sleep_ms = 0;
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  for (int i = 1; i + 1 < argc; i++) {
    if (!wcscmp(argv[i], L"--say")) {
      int n = WideCharToMultiByte(CP_UTF8, 0, argv[i + 1], -1, nullptr, 0, nullptr, nullptr);
      std::string text(n > 0 ? n - 1 : 0, '\0');
      if (n > 1) WideCharToMultiByte(CP_UTF8, 0, argv[i + 1], -1, text.data(), n, nullptr, nullptr);
      text += "\r\n";
      DWORD put = 0;
      if (err && err != INVALID_HANDLE_VALUE) WriteFile(err, text.data(), (DWORD)text.size(), &put, nullptr);
    } else if (!wcscmp(argv[i], L"--sleep")) {
      sleep_ms = (DWORD)_wtoi(argv[i + 1]);
    } else if (!wcscmp(argv[i], L"--exit")) {
      code = _wtoi(argv[i + 1]);
    }
  }
  if (sleep_ms) Sleep(sleep_ms);
  return code;
}

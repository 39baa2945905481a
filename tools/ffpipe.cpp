#include "tools/ffpipe.h"

#include "machines/proc.h"

FfPipe::~FfPipe() {
  if (input) CloseHandle(input);
  if (process) CloseHandle(process);
}

bool FfPipe::start(const std::wstring& cmdline, const std::wstring& text_file) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE read_end = nullptr;
  if (!CreatePipe(&read_end, &input, &sa, 8u << 20)) {
    input = nullptr;
    return false;
  }
  SetHandleInformation(input, HANDLE_FLAG_INHERIT, 0);
  // Opened for ffmpeg; a failure is not ours to report: ffmpeg then runs
  // without a place for its messages.
  HANDLE text = CreateFileW(text_file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE out = text == INVALID_HANDLE_VALUE ? nullptr : text;
  PROCESS_INFORMATION pi{};
  bool started = create_child(cmdline, CREATE_NO_WINDOW, nullptr, read_end, out, out, pi);
  CloseHandle(read_end);
  if (out) CloseHandle(out);
  if (!started) {
    CloseHandle(input);
    input = nullptr;
    return false;
  }
  CloseHandle(pi.hThread);
  process = pi.hProcess;
  return true;
}

bool FfPipe::write(const std::vector<u8>& bytes) {
  DWORD wrote = 0;
  if (!input || !WriteFile(input, bytes.data(), DWORD(bytes.size()), &wrote, nullptr) || wrote != bytes.size())
    ok = false;
  return ok;
}

unsigned long FfPipe::finish(u32 wait_ms) {
  if (input) CloseHandle(input);
  input = nullptr;
  DWORD code = 1;
  if (process) {
    WaitForSingleObject(process, wait_ms);
    if (!GetExitCodeProcess(process, &code)) code = 1;
    CloseHandle(process);
    process = nullptr;
  }
  return code;
}

std::wstring ff_command(const std::wstring& ffmpeg, u32 width, u32 height, const wchar_t* rate_options,
                        const std::wstring& out) {
  return quote_arg(ffmpeg) + L" -hide_banner -loglevel warning -f rawvideo -pix_fmt bgra -s " +
         std::to_wstring(width) + L"x" + std::to_wstring(height) +
         L" -r 60 -i - -vf scale=out_color_matrix=bt709:out_range=tv,format=yuv420p -c:v h264_nvenc " + rate_options +
         L" -profile:v high -colorspace bt709 -color_primaries bt709 -color_trc bt709 -movflags +faststart -y " +
         quote_arg(out);
}

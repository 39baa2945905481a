// The feature video's frame rate: once with ffmpeg replaced by a sink that
// discards the frames (drawing, composition and read-back alone), once with
// the real encoder behind the stand-in, and their ratio.
//   bench_qe.exe ASSETS SINK_ROOT ENCODER_ROOT OUT_FOLDER
// Each root holds ffmpeg\bin\ffmpeg.exe.
#include <windows.h>

#include <objbase.h>

#include <cstdio>

#include "gfx/gfx.h"
#include "machines/settings.h"
#include "tools/qe.h"

namespace {

double run(Surface& s, const std::wstring& assets, const std::wstring& root, const std::wstring& out, bool& ok) {
  g_set.tiger_root = root;
  double clock = 0;
  double t0 = now_s();
  ok = qe_record(s, clock, assets, out);
  return now_s() - t0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 5) {
    printf("usage: bench_qe ASSETS SINK_ROOT ENCODER_ROOT OUT_FOLDER\n");
    return 2;
  }
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  Surface::force_offscreen = true;
  Surface::force_dpi = 96;
  if (!g_gfx.init()) {
    printf("graphics device not available\n");
    return 1;
  }
  WNDCLASSW wc{};
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"BenchQe";
  RegisterClassW(&wc);
  HWND w = CreateWindowExW(0, wc.lpszClassName, L"", WS_POPUP, 0, 0, 1920, 1080, nullptr, nullptr, wc.hInstance,
                           nullptr);
  Surface s;
  if (!s.create(w) || s.width != 1920 || s.height != 1080) {
    printf("no 1920x1080 surface (%ux%u)\n", s.width, s.height);
    return 1;
  }
  bool ok_sink = false, ok_enc = false;
  double sink = run(s, argv[1], argv[2], path_join(argv[4], L"sink.mp4"), ok_sink);
  double enc = run(s, argv[1], argv[3], path_join(argv[4], L"encoded.mp4"), ok_enc);
  printf("feature video, %d frames 1920x1080: drawn and read back %.1f frames/s (%.1f s)%s\n", kQeFrames,
         kQeFrames / sink, sink, ok_sink ? "" : " FAILED");
  printf("  with the encoder (ffmpeg libx264 via the stand-in) %.1f frames/s (%.1f s)%s; encoder-bound/render "
         "ratio %.2f\n",
         kQeFrames / enc, enc, ok_enc ? "" : " FAILED", sink / enc);
  return ok_sink && ok_enc ? 0 : 1;
}

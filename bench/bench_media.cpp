// What the media views cost under this system's Direct2D: the whole
// process's CPU (every thread, the software renderer's included, read from
// Linux /proc/PID/stat through Wine's Z: drive) while the console draws, at
// 1640 x 1000 and the frame rate the console itself picks, beside a frame
// that draws nothing but the background and the CRT overlay through the same
// path at the same rate. Views: the transfers page with a receiving job (its
// figures move four times a second, as the media store's would), the
// wizard with the media picker (one release downloading), the storage
// chooser with the demonstration drives. Targets: transfers page and wizard
// under 0.5 core, storage view under 0.3 core.
#include <cmath>
#include <cstdio>
#include <string>

#include "app/app.h"
#include "gfx/layer.h"
#include "machines/profile.h"
#include "media/catalog.h"
#include "media/media.h"

namespace {

// This process's Linux /proc entry ("Z:\\proc\\PID"): the one whose command line
// is this program's Unix path. (Z:\\proc\\self would name the Wine server,
// which opens files for its clients.)
std::wstring proc_dir() {
  using UnixName = char*(CDECL*)(LPCWSTR);
  auto unix_name = reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  wchar_t exe[MAX_PATH];
  if (!unix_name || !GetModuleFileNameW(nullptr, exe, MAX_PATH)) return L"";
  char* u = unix_name(exe);
  if (!u) return L"";
  std::string me = u;
  HeapFree(GetProcessHeap(), 0, u);
  std::wstring found;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(L"Z:\\proc\\*", &fd);
  if (h == INVALID_HANDLE_VALUE) return L"";
  long best = -1;
  do {
    long pid = wcstol(fd.cFileName, nullptr, 10);
    if (pid <= 0) continue;
    std::wstring dir = std::wstring(L"Z:\\proc\\") + fd.cFileName;
    HANDLE f = CreateFileW((dir + L"\\cmdline").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (f == INVALID_HANDLE_VALUE) continue;
    char buf[1024];
    DWORD n = 0;
    ReadFile(f, buf, sizeof buf - 1, &n, nullptr);
    CloseHandle(f);
    buf[n] = 0;
    // Started by a relative path, the command line holds the end of ours.
    std::string cmd = buf;
    bool mine = !cmd.empty() && cmd.size() <= me.size() && me.compare(me.size() - cmd.size(), cmd.size(), cmd) == 0 &&
                (cmd.size() == me.size() || cmd[0] == '/' || me[me.size() - cmd.size() - 1] == '/');
    if (mine && pid > best) best = pid, found = dir;  // the newest, should an old run still be ending
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  return found;
}

std::wstring g_proc;

// Seconds of CPU of this process, all threads, from Linux; -1 when unreadable.
double proc_cpu() {
  HANDLE f = CreateFileW((g_proc + L"\\stat").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (f == INVALID_HANDLE_VALUE) return -1;
  char buf[2048];
  DWORD n = 0;
  BOOL ok = ReadFile(f, buf, sizeof buf - 1, &n, nullptr);
  CloseHandle(f);
  if (!ok) return -1;
  buf[n] = 0;
  const char* p = strrchr(buf, ')');  // the command name may hold blanks
  if (!p) return -1;
  unsigned long long v[13] = {};
  // Fields 3 onwards; utime and stime are fields 14 and 15 (clock ticks of 1/100 s).
  if (sscanf(p + 2, "%*c %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu", &v[1], &v[2], &v[3], &v[4],
             &v[5], &v[6], &v[7], &v[8], &v[9], &v[10], &v[11], &v[12]) != 12)
    return -1;
  return double(v[11] + v[12]) / 100.0;
}

MediaItem item(const char* distro, const char* version, const char* edition, const char* file, u64 size,
               const char* site) {
  MediaItem m;
  m.distro = distro, m.version = version, m.label = version, m.edition = edition, m.file = file, m.size = size;
  m.url = std::string("http://127.0.0.1:1/") + file;
  m.torrent = m.url + ".torrent";
  m.site = site;
  return m;
}

// The receiving job's figures move as a real download's do: a new snapshot
// and history sample every 0.25 s.
MediaJob* g_live = nullptr;
double g_t0 = 0;

void CALLBACK advance(HWND, UINT, UINT_PTR, DWORD) {
  if (!g_live) return;
  double t = std::fmod(now_s() - g_t0, 120.0) + 10;
  TState st = g_live->snap.state;
  g_live->snap = demo_snapshot(g_live->item, t);
  g_live->snap.state = st;
  for (auto* h : {&g_live->hist_down, &g_live->hist_mirrors, &g_live->hist_peers}) {
    float v = h == &g_live->hist_down ? g_live->snap.rate_down
              : h == &g_live->hist_mirrors ? g_live->snap.rate_mirrors : g_live->snap.rate_peers;
    h->push_back(v);
    if (h->size() > 480) h->erase(h->begin());
  }
}

struct Run {
  double fps = 0, cores = 0, calls = 0;
  double pixels = 0;  // drawn again per frame (listed frames)
};

// Draws for `seconds` at the rate `rate()` gives, the first 2 s unmeasured.
template <class Draw, class Rate>
Run paced(double seconds, Draw draw, Rate rate) {
  Run out;
  MSG m;
  double next = now_s(), start = now_s(), t0 = 0, c0 = 0;
  u64 frames = 0, calls0 = 0;
  double pixels = 0;
  for (;;) {
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    double now = now_s();
    if (t0 == 0 && now - start >= 2) t0 = now, c0 = proc_cpu(), frames = 0, calls0 = g_draw_calls, pixels = 0;
    if (now - start >= seconds + 2) break;
    if (now >= next) {
      draw();
      ++frames;
      if (t0 != 0) pixels += double(g_app.surface.stats.pixels);
      next = now + 1.0 / rate();
    }
    double ms = (next - now_s()) * 1000;
    if (ms > 0) MsgWaitForMultipleObjectsEx(0, nullptr, DWORD(ms), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
  double wall = now_s() - t0;
  out.fps = frames / wall;
  out.cores = (proc_cpu() - c0) / wall;
  out.calls = frames ? double(g_draw_calls - calls0) / frames : 0;
  out.pixels = frames ? pixels / frames : 0;
  return out;
}

Run view_run(double seconds) {
  return paced(seconds, [] { g_app.frame(); }, [] { return g_app.fps(); });
}

Run empty_run(double seconds, float fps) {
  static CrtOverlay overlay;
  return paced(seconds, [] {
    // Every pixel changes, through the console's own path.
    g_app.surface.full = true;
    if (g_app.surface.list_begin()) {
      overlay.draw(g_app.surface);
      g_app.surface.list_end();
    }
  }, [fps] { return fps; });
}

void report(const char* what, const Run& r, const Run& empty, double target) {
  std::printf("%-44s %5.1f fps  %5.2f cores  %5.1f ms CPU/frame  %5.1f calls/frame  %4.1f %% of the window drawn   "
              "empty frame: %5.1f fps  %5.2f cores  %5.1f ms CPU/frame  (target %.1f core: %s)\n",
              what, r.fps, r.cores, r.fps > 0 ? r.cores / r.fps * 1000 : 0, r.calls,
              100 * r.pixels / std::max(1.0, double(g_app.surface.width) * g_app.surface.height), empty.fps, empty.cores,
              empty.fps > 0 ? empty.cores / empty.fps * 1000 : 0, target, r.cores < target ? "under" : "OVER");
  std::fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  double seconds = argc > 1 ? _wtof(argv[1]) : 10;
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (!g_gfx.init()) {
    std::printf("bench_media: no graphics device\n");
    return 1;
  }
  g_proc = proc_dir();
  if (proc_cpu() < 0) {
    std::printf("bench_media: its /proc/PID/stat cannot be read (not under Wine on Linux)\n");
    return 1;
  }
  // No release server is asked.
  g_cat.loaded = true;
  g_cat.fetched_at = now_s();
  for (int i = 0; i < int(Rel::Count); ++i) set_release_origin(Rel(i), "http://127.0.0.1:1");
  register_main_class(GetModuleHandleW(nullptr));
  HWND w = CreateWindowExW(0, L"VunkMain", L"V.U.N.K.", WS_POPUP, 0, 0, 1640, 1000, nullptr, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
  ShowWindow(w, SW_SHOW);
  g_app.init(w);
  std::printf("bench_media: window surface %ux%u, %s glow, %.0f s per run\n", g_app.surface.width,
              g_app.surface.height, g_app.surface.phosphor.glow ? "with" : "without", seconds);

  MediaItem desk = item("UBUNTU", "24.04", "DESKTOP", "ubuntu-24.04.2-desktop-amd64.iso", 6203355136ull, "london");
  g_cat.items = {desk, item("UBUNTU", "24.04", "SERVER", "ubuntu-24.04.2-live-server-amd64.iso", 3213064192ull, "london"),
                 item("FEDORA", "42", "WORKSTATION", "Fedora-Workstation-Live-x86_64-42-1.1.iso", 2398523392ull, "raleigh"),
                 item("DEBIAN", "12.9.0", "NETINST", "debian-12.9.0-amd64-netinst.iso", 663748608ull, "umea"),
                 item("OMARCHY", "3.0", "ISO", "omarchy-3.0.iso", 6600000000ull, "chicago")};
  g_live = &add_demo_job(desk, 20, TState::Running);
  g_t0 = now_s();
  SetTimer(nullptr, 0, 250, advance);

  // Transfers page, the receiving job selected.
  g_app.transfer_sel = desk.file;
  g_app.go(App::Transfers);
  Run xfer = view_run(seconds);
  report("transfers page, receiving job", xfer, empty_run(seconds, float(std::round(xfer.fps))), 0.5);

  // Wizard with the picker; the same job downloading in its row.
  g_app.go(App::Wizard);
  g_app.wizard_step = 1;
  g_app.wizard_profile = find_profile("linux-x64");
  g_app.wizard_name = "LINUX";
  Run wiz = view_run(seconds);
  report("wizard with the media picker, one downloading", wiz, empty_run(seconds, float(std::round(wiz.fps))), 0.5);

  // Storage chooser with the demonstration drives, nothing downloading.
  g_live = nullptr;
  g_media.jobs.clear();
  g_demo_drives = true;
  g_app.go_home();
  g_app.need_storage([] {});
  Run st = view_run(seconds);
  report("storage chooser, demonstration drives", st, empty_run(seconds, float(std::round(st.fps))), 0.3);
  DestroyWindow(w);
  return 0;
}

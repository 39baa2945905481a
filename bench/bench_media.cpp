// What the media views cost under this system's Direct2D: the whole
// process's CPU (every thread, the software renderer's included, read from
// Linux /proc/PID/stat through Wine's Z: drive) while the console draws, at
// 1640 x 1000 and the frame rate the console itself picks, frames counted as
// presented. Beside each view, the floor: a window of the same size whose
// frames are only a Direct3D clear and a present, at the same rate (as
// bench/console_cpu.sh measures it). Per view also the CPU by thread (the
// drawing thread, the renderer's threads) and the drawing thread's time per
// frame by phase (recording, difference, rectangles, drawing, present).
// Views: the transfers page with a receiving job (its figures move four
// times a second, as the media store's would), the wizard with the media
// picker (one release downloading), the storage chooser with the
// demonstration drives. Targets: the transfers page at least 50 frames a
// second under 1.5 cores, the wizard at least 58 under 1.0 core, the storage
// view under 0.3 core.
//   bench_media.exe [SECONDS] [transfers] [wizard] [storage] [--direct2d]
// (the views named, all by default; --direct2d: every bitmap drawn by
// Direct2D rather than laid by the device, to compare). scripts/bench.sh
// runs it with LP_NUM_THREADS=2, as make run does.
#include <cmath>
#include <cstdio>
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "app/app.h"
#include "bench/floor.h"
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

// Seconds of CPU in a Linux stat file (a process's: all its threads; a
// task's: that thread), and the name in it; -1 when unreadable.
double stat_cpu(const std::wstring& file, std::string* name = nullptr) {
  HANDLE f = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return -1;
  char buf[2048];
  DWORD n = 0;
  BOOL ok = ReadFile(f, buf, sizeof buf - 1, &n, nullptr);
  CloseHandle(f);
  if (!ok) return -1;
  buf[n] = 0;
  const char* p = strrchr(buf, ')');  // the command name may hold blanks
  const char* open = strchr(buf, '(');
  if (!p || !open) return -1;
  if (name) name->assign(open + 1, p);
  unsigned long long v[13] = {};
  // Fields 3 onwards; utime and stime are fields 14 and 15 (clock ticks of 1/100 s).
  if (sscanf(p + 2, "%*c %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu", &v[1], &v[2], &v[3], &v[4],
             &v[5], &v[6], &v[7], &v[8], &v[9], &v[10], &v[11], &v[12]) != 12)
    return -1;
  return double(v[11] + v[12]) / 100.0;
}

double proc_cpu() { return stat_cpu(g_proc + L"\\stat"); }

// Seconds of CPU by thread name (digits dropped: the renderer's threads
// "llvmpipe-0", "llvmpipe-1" count as one), threads of this process now.
std::map<std::string, double> thread_cpu() {
  std::map<std::string, double> out;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((g_proc + L"\\task\\*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return out;
  do {
    if (fd.cFileName[0] == L'.') continue;
    std::string name;
    double c = stat_cpu(g_proc + L"\\task\\" + fd.cFileName + L"\\stat", &name);
    if (c < 0) continue;
    while (!name.empty() && (isdigit((unsigned char)name.back()) || name.back() == '-')) name.pop_back();
    out[name] += c;
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  return out;
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
  double fps = 0, cores = 0, calls = 0;  // frames presented a second; calls per frame presented
  double pixels = 0;  // drawn again per frame presented
  double still_pixels = 0;  // drawn again into the still picture per frame presented
  double blits = 0;   // bitmaps laid by the blitter per frame presented
  std::map<std::string, double> threads;  // cores by thread name
  double phase[5] = {};  // ms of the drawing thread per frame presented: record, diff, merge, replay, present
};

// Draws for `seconds` at the rate `rate()` gives, the first 2 s unmeasured;
// `presents()` counts the frames shown so far.
template <class Draw, class Rate, class Presents>
Run paced(double seconds, Draw draw, Rate rate, Presents presents) {
  Run out;
  MSG m;
  double next = now_s(), start = now_s(), t0 = 0, c0 = 0;
  u64 shown0 = 0, calls0 = 0;
  double pixels = 0, still_pixels = 0, blits = 0, phase[5] = {};
  std::map<std::string, double> threads0;
  for (;;) {
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    double now = now_s();
    if (t0 == 0 && now - start >= 2) {
      t0 = now, c0 = proc_cpu(), shown0 = presents(), calls0 = g_draw_calls, pixels = 0;
      threads0 = thread_cpu();
    }
    if (now - start >= seconds + 2) break;
    if (now >= next) {
      draw();
      if (t0 != 0) {
        const Surface::FrameStats& st = g_app.surface.stats;
        pixels += double(st.pixels);
        still_pixels += double(st.still_pixels);
        blits += st.blits;
        const double ph[5] = {st.record, st.diff, st.merge, st.replay, st.present};
        for (int i = 0; i < 5; ++i) phase[i] += ph[i];
      }
      next = now + 1.0 / rate();
    }
    double ms = (next - now_s()) * 1000;
    if (ms > 0) MsgWaitForMultipleObjectsEx(0, nullptr, DWORD(ms), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
  double wall = now_s() - t0;
  double frames = double(presents() - shown0);
  out.fps = frames / wall;
  out.cores = (proc_cpu() - c0) / wall;
  for (const auto& [name, c] : thread_cpu()) {
    double d = (c - threads0[name]) / wall;
    if (d >= 0.005) out.threads[name] = d;
  }
  out.calls = frames ? double(g_draw_calls - calls0) / frames : 0;
  out.pixels = frames ? pixels / frames : 0;
  out.still_pixels = frames ? still_pixels / frames : 0;
  out.blits = frames ? blits / frames : 0;
  for (int i = 0; i < 5; ++i) out.phase[i] = frames ? phase[i] * 1000 / frames : 0;
  return out;
}

Run view_run(double seconds) {
  return paced(seconds, [] { g_app.frame(); }, [] { return g_app.fps(); }, [] { return g_app.surface.presents; });
}

// The floor: a window of the console's size whose frames are a Direct3D
// clear and a present, at `fps` (the console's window meanwhile draws
// nothing).
Run floor_run(double seconds, float fps) {
  static FloorWindow f;
  static bool opened = f.open(int(g_app.surface.width), int(g_app.surface.height));
  static u64 shown = 0;
  ShowWindow(f.w, SW_SHOWNA);
  Run r = paced(seconds, [] {
    if (!opened) return;
    f.present();
    ++shown;
  }, [fps] { return fps; }, [] { return shown; });
  ShowWindow(f.w, SW_HIDE);
  return r;
}

void report(const char* what, const Run& r, const Run& floor, double min_fps, double most_cores) {
  std::printf("%-44s %5.1f fps  %5.2f cores  %5.1f ms CPU/frame  %5.1f calls/frame (%.1f blits)  "
              "%4.1f %% of the window drawn (%.0f pixels, %.0f more into the still picture)   "
              "floor (clear + present): %5.1f fps  %5.2f cores  %5.1f ms CPU/frame   target >= %.0f fps, < %.1f cores: %s\n",
              what, r.fps, r.cores, r.fps > 0 ? r.cores / r.fps * 1000 : 0, r.calls, r.blits,
              100 * r.pixels / std::max(1.0, double(g_app.surface.width) * g_app.surface.height), r.pixels,
              r.still_pixels, floor.fps,
              floor.cores, floor.fps > 0 ? floor.cores / floor.fps * 1000 : 0, min_fps, most_cores,
              r.fps >= min_fps && r.cores < most_cores ? "met" : "MISSED");
  std::printf("%44s threads (cores):", "");
  for (const auto& [name, c] : r.threads) std::printf(" %s %.2f", name.c_str(), c);
  std::printf("   the floor's:");
  for (const auto& [name, c] : floor.threads) std::printf(" %s %.2f", name.c_str(), c);
  std::printf("\n%44s drawing thread, ms a frame: record %.1f  diff %.1f  merge %.1f  replay %.1f  present %.1f\n", "",
              r.phase[0], r.phase[1], r.phase[2], r.phase[3], r.phase[4]);
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
  std::vector<std::wstring> views;
  for (int i = 2; i < argc; ++i) {
    if (std::wstring(argv[i]) == L"--direct2d") g_app.surface.blits = false;
    else views.push_back(argv[i]);
  }
  auto wanted = [&](const wchar_t* v) { return views.empty() || std::find(views.begin(), views.end(), v) != views.end(); };
  std::wstring lp = env_value(L"LP_NUM_THREADS");
  std::printf("bench_media: window surface %ux%u, %s glow, bitmaps laid by %s, %.0f s per run, LP_NUM_THREADS=%s\n",
              g_app.surface.width, g_app.surface.height, g_app.surface.phosphor.glow ? "with" : "without",
              g_app.surface.blits && g_app.surface.blitter.ready() ? "Direct3D" : "Direct2D", seconds,
              lp.empty() ? "(default)" : narrow(lp).c_str());

  MediaItem desk = item("UBUNTU", "24.04", "DESKTOP", "ubuntu-24.04.2-desktop-amd64.iso", 6203355136ull, "london");
  g_cat.items = {desk, item("UBUNTU", "24.04", "SERVER", "ubuntu-24.04.2-live-server-amd64.iso", 3213064192ull, "london"),
                 item("FEDORA", "42", "WORKSTATION", "Fedora-Workstation-Live-x86_64-42-1.1.iso", 2398523392ull, "raleigh"),
                 item("DEBIAN", "12.9.0", "NETINST", "debian-12.9.0-amd64-netinst.iso", 663748608ull, "umea"),
                 item("OMARCHY", "3.0", "ISO", "omarchy-3.0.iso", 6600000000ull, "chicago")};
  g_live = &add_demo_job(desk, 20, TState::Running);
  g_t0 = now_s();
  SetTimer(nullptr, 0, 250, advance);

  // Transfers page, the receiving job selected.
  if (wanted(L"transfers")) {
    g_app.transfer_sel = desk.file;
    g_app.go(App::Transfers);
    Run xfer = view_run(seconds);
    report("transfers page, receiving job", xfer, floor_run(seconds, g_app.fps()), 50, 1.5);
  }

  // Wizard with the picker; the same job downloading in its row.
  if (wanted(L"wizard")) {
    g_app.go(App::Wizard);
    g_app.wizard_step = 1;
    g_app.wizard_profile = find_profile("linux-x64");
    g_app.wizard_name = "LINUX";
    Run wiz = view_run(seconds);
    report("wizard with the media picker, one downloading", wiz, floor_run(seconds, g_app.fps()), 58, 1.0);
  }

  // Storage chooser with the demonstration drives, nothing downloading.
  if (wanted(L"storage")) {
    g_live = nullptr;
    g_media.jobs.clear();
    g_demo_drives = true;
    g_app.go_home();
    g_app.need_storage([] {});
    Run st = view_run(seconds);
    report("storage chooser, demonstration drives", st, floor_run(seconds, g_app.fps()), 0, 0.3);
  }
  DestroyWindow(w);
  return 0;
}

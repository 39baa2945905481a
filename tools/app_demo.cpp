// The demo recording: a scripted tour of the console (home, the new-system
// wizard with the media picker, the storage chooser, the sidebar's transfers
// block, the transfers page during a real download, the wizard's launch
// button), drawn by the real App off-screen and piped to ffmpeg as raw BGRA
// frames. Pacing holds the video to real time: frame n is drawn at
// start + n / 60; a frame that falls behind is drawn without sleeping and
// counted late, never dropped. Runs on the UI thread in place of the main
// loop; every frame takes the window messages waiting, as the main loop does.
#include "tools/demo.h"

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <optional>

#include "app/app.h"
#include "machines/machine.h"
#include "media/media.h"
#include "tools/ffpipe.h"

// ---- plain decisions ------------------------------------------------------------

int glide_steps(double seconds) {
  // In double: 0.9 x 60 in single precision comes to 53.99... and one frame short.
  return std::max(1, int(seconds * 60));
}

D2D_POINT_2F glide_point(D2D_POINT_2F a, D2D_POINT_2F b, int i, int n) {
  float t = std::min(float(i) / float(n), 1.0f);
  float e = t * t * (3 - 2 * t);
  return {a.x + (b.x - a.x) * e, a.y + (b.y - a.y) * e - 18 * std::sin(float(M_PI) * e)};
}

Pace pace_frame(double start, i64 n, double now) {
  Pace p;
  double due = start + double(n) / 60.0;
  if (due > now) p.sleep_ms = unsigned((due - now) * 1000);
  else p.late = now - due > 0.05;
  return p;
}

D2D_POINT_2F drift_aim(i64 n, float width, float height) {
  float f = float(n);
  return {0.8f * width + 60 * std::sin(f / 140), 0.47f * height + 30 * std::cos(f / 170)};
}

std::wstring demo_command(const std::wstring& ffmpeg, u32 width, u32 height, const std::wstring& out) {
  return ff_command(ffmpeg, width, height, L"-preset p6 -tune hq -rc vbr -cq 19 -b:v 0 -maxrate 45M -bufsize 90M",
                    out);
}

// ---- the recording ---------------------------------------------------------------

namespace {

struct Demo {
  App& app;
  FILE* log = nullptr;
  FfPipe ff;
  double start = 0;
  i64 n = 0;    // frames drawn
  int late = 0;  // frames drawn more than 0.05 s behind
  std::vector<u8> pixels;

  void say(const std::string& line) {
    if (!log) return;
    fprintf(log, "%8.2f  %s\n", now_s() - app.start, line.c_str());
    fflush(log);
  }

  // Paces, draws and writes one frame.
  void step() {
    Pace p = pace_frame(start, n, now_s());
    if (p.sleep_ms) Sleep(p.sleep_ms);
    if (p.late) ++late;
    drain_messages();
    app.dirty = true;
    app.frame();
    // A frame that cannot be read back is left out; after a failed write
    // nothing more goes to ffmpeg, but the tour runs to its end.
    if (ff.ok && app.surface.read_bgra(pixels)) ff.write(pixels);
    ++n;
  }

  void wait(int frames) {
    for (int i = 0; i < frames; ++i) step();
  }

  // Moves the pointer onto the widget's centre; false (the pointer stays)
  // when no frame has drawn the widget.
  bool glide(u32 id, double seconds) {
    step();
    auto it = app.rects.find(id);
    if (it == app.rects.end()) {
      say(strf("no rect for %08x (%d known, view %d, opt0 %08x)", id, int(app.rects.size()), int(app.view),
               app.id("opt", 0)));
      return false;
    }
    const D2D_RECT_F& r = it->second;
    const D2D_POINT_2F from = app.mouse, to{(r.left + r.right) * 0.5f, (r.top + r.bottom) * 0.5f};
    const int steps = glide_steps(seconds);
    for (int i = 1; i <= steps; ++i) {
      app.mouse = glide_point(from, to, i, steps);
      step();
    }
    return true;
  }

  // One press and release where the pointer is: the widget under it takes
  // the press on the first frame and reports its click on the sixth.
  void click() {
    app.mouse_down = true;
    app.pressed = true;
    step();
    wait(4);
    app.mouse_down = false;
    app.released = true;
    step();
  }

  double clock() const { return now_s() - app.start + app.clock_offset; }
};

int profile_index(const char* id) {
  const std::vector<Profile>& table = profiles();
  for (size_t i = 0; i < table.size(); ++i)
    if (std::string(table[i].id) == id) return int(i);
  return 0;
}

}  // namespace

bool App::record_demo(const std::wstring& out) {
  surface.resize();  // the window was just made 1920 x 1080
  const std::wstring folder = path_dir(full_path(out));
  CreateDirectoryW(folder.c_str(), nullptr);
  Demo d{*this};
  d.log = _wfopen((out + L".log").c_str(), L"w");
  // Without a Mac OS X Intel root the path would be relative to whatever the
  // current folder is; that is no ffmpeg of the user's.
  const std::wstring cmd =
      demo_command(path_join(g_set.tiger_root, L"ffmpeg\\bin\\ffmpeg.exe"), surface.width, surface.height, out);
  if (g_set.tiger_root.empty() || !d.ff.start(cmd, out + L".ffmpeg.txt")) {
    d.say("ffmpeg did not start");
    if (d.log) fclose(d.log);
    return false;
  }
  d.say("ffmpeg: " + narrow(cmd));
  const std::wstring demo_dir = path_join(folder, L"demo-media");
  CreateDirectoryW(demo_dir.c_str(), nullptr);

  // The first download asks where media goes; the storage chooser lists the
  // demo drives; a fresh catalog arrives during the tour.
  g_set.media_dir.clear();  // in memory only
  show_pointer = true;
  surface.scanlines = false;
  g_cat.refresh(hwnd);
  g_fleet.vms.clear();  // the records only: QEMU processes they describe keep running
  g_demo_drives = true;

  d.start = now_s();
  mouse = {0.62f * width_dips(), 0.72f * height_dips()};
  go(Home);
  view_since = d.clock();  // the home view's entrance plays from the first frame

  std::optional<MediaItem> item;
  // The tour; returns early where the rest cannot follow.
  [&] {
    d.wait(252);
    for (double t0 = now_s(); g_cat.loading && now_s() - t0 < 15.0;) d.step();

    d.glide(id("opt", 0), 0.9);  // INSTALL NEW SYSTEM
    d.wait(18);
    d.click();
    d.wait(72);

    d.glide(id("prof", profile_index("linux-x64")), 1.1);
    d.wait(42);
    d.click();
    d.wait(84);

    if (const MediaItem* smallest = smallest_item(g_cat.items)) item = *smallest;
    if (!item) {
      d.say("empty catalog");
      return;
    }
    d.say("picking " + item->file);

    const int k = int(std::hash<std::string>{}(item->file));
    d.glide(id("mrow", k), 1.2);
    d.wait(24);
    d.click();
    d.wait(36);

    // With no media folder the download parks itself and the storage
    // chooser opens.
    d.glide(id("mdl", k), 0.6);
    d.wait(18);
    d.click();
    d.wait(96);

    if (view == Storage) {
      if (d.glide(id("drive", 0), 0.9)) d.wait(72);
      // What the chooser does on a choice, with the demo folder for the drive.
      g_set.media_dir = demo_dir;
      std::function<void()> then = std::move(parked);
      parked = nullptr;
      view = parked_view;
      view_since = d.clock();
      note("INSTALL MEDIA GOES TO THE DEMO FOLDER", pal.cyan);
      if (then) then();
    }
    d.wait(120);

    d.glide(id("sidexfer", 0), 1.0);
    d.wait(12);
    d.click();

    if (MediaJob* job = g_media.find(item->file)) {
      for (double deadline = now_s() + 300.0;
           now_s() < deadline && job->snap.state != TState::Done && job->snap.state != TState::Failed;) {
        D2D_POINT_2F aim = drift_aim(d.n, width_dips(), height_dips());
        mouse.x += (aim.x - mouse.x) * 0.02f;
        mouse.y += (aim.y - mouse.y) * 0.02f;
        d.step();
      }
      const TransferSnapshot& s = job->snap;
      d.say(strf("download: %s, %s from mirrors, %s from peers, sha256 %s",
                 s.state == TState::Done ? "VERIFIED" : "NOT DONE", human_bytes(s.via_mirrors).c_str(),
                 human_bytes(s.via_peers).c_str(), s.sha256.c_str()));
    } else {
      d.say("no job");
    }

    d.wait(270);
    d.glide(id("opt", 0), 0.1);
    go(Wizard);
    // The parameter step needs a profile: without one (the profile click
    // missed) the wizard stays at its profile list.
    if (wizard_profile) wizard_step = 1;
    media_pick = item->file;
    wizard_media = g_media.path(*item);
    d.wait(48);
    for (int i = 1; i <= 54; ++i) {
      double t = i / 54.0;
      scroll = float(300 * t * t * (3 - 2 * t));
      d.step();
    }
    d.glide(id("wizgo", 0), 1.1);  // pointed at, not pressed: nothing is created
    d.wait(180);
  }();

  const unsigned long code = d.ff.finish(60000);
  d.say(strf("frames %lld (%.1f s of video), %d late frames, ffmpeg exit %lu, pipe %s", (long long)d.n, d.n / 60.0,
             d.late, code, d.ff.ok ? "ok" : "broken"));
  g_media.jobs.clear();
  if (item) DeleteFileW(path_join(demo_dir, widen(item->file)).c_str());
  RemoveDirectoryW(demo_dir.c_str());
  if (d.log) fclose(d.log);
  return code == 0 && d.ff.ok;
}

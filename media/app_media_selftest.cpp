// The media self-test (--selftest-media): the install-media path end to end
// with the real subsystems. It fetches the release catalog, downloads the
// smallest image through the media store and the transfer engine while the
// transfers page is drawn off-screen, takes three screenshots of that page,
// checks the file against the catalog, logs its progress, and deletes the
// image again. Runs on the UI thread in place of the main loop and pumps
// window messages itself, so the catalog's result still arrives.
#include <windows.h>

#include <cstdio>

#include "app/app.h"
#include "machines/settings.h"
#include "media/media.h"
#include "media/media_views.h"

const MediaItem* smallest_item(const std::vector<MediaItem>& items) {
  // A first item of unknown size stays the pick: nothing is known to be smaller.
  const MediaItem* pick = items.empty() ? nullptr : &items.front();
  for (const MediaItem& it : items)
    if (it.size != 0 && it.size < pick->size) pick = &it;
  return pick;
}

namespace {

// Takes window messages for a slice of time, 10 ms apart.
void pump_for(double seconds) {
  for (double end = now_s() + seconds; now_s() < end;) {
    drain_messages();
    Sleep(10);
  }
}

}  // namespace

bool App::media_selftest(const std::wstring& folder) {
  CreateDirectoryW(folder.c_str(), nullptr);
  FILE* log = _wfopen(path_join(folder, L"media-selftest.log").c_str(), L"w");
  auto say = [&](const std::string& line) {
    if (!log) return;
    fprintf(log, "%8.1f  %s\n", now_s() - start, line.c_str());
    fflush(log);
  };
  const std::wstring media = path_join(folder, L"media");
  g_set.media_dir = media;  // for this run only: the settings file is not written
  CreateDirectoryW(media.c_str(), nullptr);
  auto clean_up = [&](bool pass) {
    g_media.jobs.clear();  // stops every transfer's threads
    RemoveDirectoryW(media.c_str());
    if (log) fclose(log);
    return pass;
  };

  g_cat.refresh(hwnd);
  for (double t0 = now_s(); g_cat.loading && now_s() - t0 < 30;) pump_for(0.05);
  say(strf("catalog: %d items %s", int(g_cat.items.size()), g_cat.err.c_str()));
  if (g_cat.items.empty()) {
    say("FAIL: empty catalog");
    if (log) fclose(log);
    return false;
  }

  const MediaItem item = *smallest_item(g_cat.items);
  say("picked " + item.file + " " + human_bytes(item.size) + " torrent=" + (item.torrent.empty() ? "no" : "yes"));
  MediaJob* job = g_media.start(item);
  if (!job) {
    // No usable media folder: there is nothing to download into.
    say("FAIL: no media folder at " + narrow(media));
    return clean_up(false);
  }
  transfer_sel = item.file;
  go(Transfers);

  const double began = now_s();
  double last_line = 0;
  bool shot40 = false, shot_verify = false;
  auto save = [&](const wchar_t* name) { return surface.save_png(path_join(folder, name)); };
  while (job->snap.state != TState::Done && job->snap.state != TState::Failed) {
    // A download that never ends leaves its progress lines as the record.
    if (now_s() - began >= 600) return clean_up(false);
    pump_for(0.1);
    dirty = true;
    frame();
    const TransferSnapshot& s = job->snap;
    const double frac = s.total ? double(s.done) / double(s.total) : 0;
    if (now_s() - last_line > 1.0) {
      last_line = now_s();
      say(strf("%-9s %5.1f%%  %6.1f MB/s (http %5.1f, peers %5.1f)  peers %d/%d  %s", state_word(s.state),
               frac * 100, s.rate_down / 1e6, s.rate_mirrors / 1e6, s.rate_peers / 1e6, int(s.peers_connected),
               int(s.peers_known), s.label.c_str()));
    }
    if (!shot40 && s.state == TState::Running && frac > 0.4) {
      shot40 = save(L"media-40.png");
      say("shot media-40.png");
    }
    if (!shot_verify && s.state == TState::Checking && s.progress > 0.3f) {
      shot_verify = save(L"media-verify.png");
      say("shot media-verify.png");
    }
  }
  for (int i = 0; i < 3; ++i) frame();
  save(L"media-done.png");

  const TransferSnapshot& s = job->snap;
  const std::wstring file = path_join(media, widen(item.file));
  const bool present = file_exists(file);
  const u64 size = file_size(file);
  const bool pass = s.state == TState::Done && present && size == item.size && s.sha256 == item.sha256;
  say(strf("%s: state %s, file %s, size %llu (want %llu), sha256 %s (want %s); %s from mirrors, %s from peers",
           pass ? "PASS" : "FAIL", state_word(s.state), present ? "present" : "missing",
           (unsigned long long)size, (unsigned long long)item.size, s.sha256.c_str(), item.sha256.c_str(),
           human_bytes(s.via_mirrors).c_str(), human_bytes(s.via_peers).c_str()));
  if (!s.error.empty()) say("error: " + s.error);
  DeleteFileW(file.c_str());
  return clean_up(pass);
}

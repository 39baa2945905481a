// The media store (g_media): the download queue and its scheduler.
#include "media/media.h"

#include <windows.h>

#include <algorithm>

#include "machines/settings.h"

// The first global built and the last destroyed: the jobs' Transfers join
// their worker threads when it goes, after everything else is gone.
MediaStore g_media __attribute__((init_priority(1000)));

namespace {

constexpr size_t kHistoryMax = 480;  // samples per series: two minutes at 4 a second
constexpr double kSampleEvery = 0.25;

void push_sample(std::vector<float>& hist, float v) {
  hist.push_back(v);
  if (hist.size() > kHistoryMax) hist.erase(hist.begin());
}

bool busy_state(TState s) {
  return s == TState::Starting || s == TState::Running || s == TState::Checking;
}

}  // namespace

TransferSpec spec_of(const MediaItem& item, const std::wstring& dir) {
  TransferSpec s;
  s.name = item.distro + " " + item.label + " " + item.edition;
  if (!item.url.empty()) s.mirrors.push_back(item.url);
  s.torrent = item.torrent;
  s.sha256 = item.sha256;
  s.size = item.size;
  s.dir = dir;
  s.file = item.file;
  return s;
}

bool MediaStore::has_dir() const {
  return !g_set.media_dir.empty() && dir_exists(g_set.media_dir);
}

std::wstring MediaStore::dir() const { return g_set.media_dir; }

std::wstring MediaStore::path(const MediaItem& item) const {
  return path_join(dir(), widen(item.file));
}

MediaJob* MediaStore::find(const std::string& file) {
  for (auto& j : jobs)
    if (j->item.file == file) return j.get();
  return nullptr;
}

int MediaStore::state(const MediaItem& item, MediaJob** job_out, float* frac) {
  MediaJob* job = find(item.file);
  if (job_out) *job_out = job;
  float f = 0;
  int code = kMediaNone;
  if (job) {
    const TransferSnapshot& s = job->snap;
    if (s.total) f = float(double(s.done) / double(s.total));
    switch (s.state) {
      case TState::Checking: code = kMediaBusy; f = s.progress; break;
      case TState::Done: code = kMediaOnDisk; break;
      case TState::Failed: code = kMediaFailed; break;
      case TState::Starting:
      case TState::Running: code = kMediaBusy; break;
      case TState::Paused: code = kMediaPartial; break;
      case TState::Idle: code = job->started ? kMediaBusy : kMediaQueued; break;
    }
  } else if (!has_dir() || !bare_file_name(item.file)) {
    code = kMediaNone;
  } else if (file_exists(path(item))) {
    code = kMediaOnDisk;
    f = 1;
  } else {
    u64 done = 0, total = 0;
    if (transfer_resume_info(dir(), item.file, done, total)) {
      code = kMediaPartial;
      f = total ? float(double(done) / double(total)) : 0.0f;
    }
  }
  if (frac) *frac = f;
  return code;
}

MediaJob* MediaStore::start(const MediaItem& item) {
  if (!has_dir()) return nullptr;
  if (!bare_file_name(item.file)) {
    // The name came from a release server; joined to the media folder it
    // would not name a file of the folder's own. Nothing is created, renamed
    // or deleted.
    std::string shown = item.file;
    for (char& c : shown)
      if ((unsigned char)c < 0x20 || c == 0x7F) c = '?';
    wlog("media: refused \"%s\": not a plain file name", shown.c_str());
    return nullptr;
  }
  if (MediaJob* job = find(item.file)) {
    if (job->transfer && (job->snap.state == TState::Paused || job->snap.state == TState::Failed))
      resume(job);
    return job;
  }
  auto job = std::make_unique<MediaJob>();
  job->item = item;
  job->transfer = std::make_unique<Transfer>(spec_of(item, dir()));
  job->snap = job->transfer->snapshot();
  wlog("media: queued %s (%s%s)", item.file.c_str(), item.url.c_str(),
       item.torrent.empty() ? "" : " + torrent");
  jobs.push_back(std::move(job));
  return jobs.back().get();
}

void MediaStore::resume(MediaJob* job) {
  if (!job || !job->transfer) return;
  // The old run goes first (its destructor joins the last worker), so the new
  // Transfer reads resume data that nothing writes any more.
  job->transfer.reset();
  job->transfer = std::make_unique<Transfer>(spec_of(job->item, dir()));
  job->started = false;
  job->notified = false;
  job->snap = job->transfer->snapshot();
  wlog("media: resume queued %s", job->item.file.c_str());
}

void MediaStore::pause(MediaJob* job) {
  if (!job || !job->transfer) return;
  // A verified download has nothing left to pause; pausing it would only
  // hide that it is done.
  if (job->snap.state == TState::Done || job->transfer->snapshot().state == TState::Done) return;
  job->transfer->pause();
  wlog("media: paused %s", job->item.file.c_str());
}

void MediaStore::cancel(MediaJob* job) {
  if (!job) return;
  if (job->transfer) job->transfer->cancel();
  wlog("media: cancelled %s", job->item.file.c_str());
  forget(job);
}

void MediaStore::forget(MediaJob* job) {
  auto it = std::find_if(jobs.begin(), jobs.end(), [&](auto& j) { return j.get() == job; });
  if (it != jobs.end()) jobs.erase(it);
}

void MediaStore::tick() { tick_at(now_s()); }

void MediaStore::tick_at(double now) {
  if (jobs.empty()) return;
  bool busy = false;
  // By index: a callback must not add or remove jobs, but a stray one that
  // does cannot make this walk read freed memory.
  for (size_t i = 0; i < jobs.size(); ++i) {
    MediaJob& j = *jobs[i];
    if (!j.transfer) continue;
    j.snap = j.transfer->snapshot();
    if (!j.started) continue;
    if (busy_state(j.snap.state)) busy = true;
    if (now - j.last_sample >= kSampleEvery) {
      j.last_sample = now;
      push_sample(j.hist_down, j.snap.rate_down);
      push_sample(j.hist_mirrors, j.snap.rate_mirrors);
      push_sample(j.hist_peers, j.snap.rate_peers);
    }
    if (!j.notified && (j.snap.state == TState::Done || j.snap.state == TState::Failed)) {
      j.notified = true;
      if (j.snap.state == TState::Failed) {
        wlog("media: %s failed: %s", j.item.file.c_str(), j.snap.error.c_str());
        if (on_failed) on_failed(j);
      } else {
        wlog("media: %s verified, sha256 %s (%s via mirrors, %s via peers, %s uploaded)",
             j.item.file.c_str(), j.snap.sha256.c_str(), human_bytes(j.snap.via_mirrors).c_str(),
             human_bytes(j.snap.via_peers).c_str(), human_bytes(j.snap.uploaded).c_str());
        if (on_verified) on_verified(j);
      }
    }
  }
  if (busy) return;
  for (auto& jp : jobs) {
    MediaJob& j = *jp;
    if (!j.transfer || j.started || j.snap.state != TState::Idle) continue;
    j.started = true;
    j.transfer->start();
    wlog("media: started %s", j.item.file.c_str());
    break;
  }
}

int MediaStore::busy_count() const {
  int n = 0;
  for (auto& j : jobs)
    if (j->snap.state == TState::Idle || busy_state(j->snap.state)) ++n;
  return n;
}

float MediaStore::busy_progress() const {
  double done = 0, size = 0;
  for (auto& j : jobs) {
    if (!(j->snap.state == TState::Idle || busy_state(j->snap.state))) continue;
    done += double(j->snap.done);
    size += double(j->snap.total ? j->snap.total : j->item.size);
  }
  return size > 0 ? float(done / size) : 0.0f;
}

void MediaStore::shutdown() {
  for (auto& j : jobs)
    if (j->transfer && j->transfer->snapshot().state != TState::Done) j->transfer->pause();
}

// ---- drives ------------------------------------------------------------------
bool g_demo_drives = false;

static constexpr u64 kGiB = u64(1) << 30;

std::vector<DriveInfo> list_drives() {
  std::vector<DriveInfo> out;
  if (g_demo_drives) {
    out.push_back({L"C:\\", "SYSTEM", "NTFS", 953 * kGiB, 212 * kGiB, DRIVE_FIXED});
    out.push_back({L"D:\\", "GAMES", "NTFS", 1863 * kGiB, 1214 * kGiB, DRIVE_FIXED});
    out.push_back({L"E:\\", "SCRATCH", "NTFS", 476 * kGiB, 61 * kGiB, DRIVE_FIXED});
    return out;
  }
  wchar_t buf[512] = {};  // a result above the buffer writes nothing into it
  DWORD n = GetLogicalDriveStringsW(512, buf);
  if (n == 0) return out;
  // A result above the buffer is the size it would need: walk only what fits,
  // and never past the last terminator.
  if (n > 511) n = 511;
  buf[511] = 0;
  for (DWORD i = 0; i < n && buf[i];) {
    std::wstring root = buf + i;
    i += DWORD(root.size()) + 1;
    UINT type = GetDriveTypeW(root.c_str());
    if (type != DRIVE_REMOVABLE && type != DRIVE_FIXED && type != DRIVE_REMOTE) continue;
    DriveInfo d;
    d.root = root;
    d.type = int(type);
    wchar_t label[260], fs[64];
    if (GetVolumeInformationW(root.c_str(), label, 260, nullptr, nullptr, nullptr, fs, 64)) {
      d.label = narrow(label);
      d.fs = narrow(fs);
    }
    ULARGE_INTEGER avail, total;
    if (!GetDiskFreeSpaceExW(root.c_str(), &avail, &total, nullptr) || total.QuadPart == 0)
      continue;
    d.free = avail.QuadPart;
    d.total = total.QuadPart;
    out.push_back(std::move(d));
  }
  return out;
}

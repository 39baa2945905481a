// A run of one download and its phases: acquiring the sources (the torrent,
// the mirrors' probe), checking what an earlier run left, receiving (the
// mirror slots, the swarm, the hash and the saver, watched by the control
// loop), verifying the whole file and putting it in place. Also what the
// engine's parts share: the log and the environment.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <thread>

#include "transfer/transfer_engine.h"

// ---- small helpers ----------------------------------------------------------

std::string engine_env(const char* name) { return narrow(env_value(widen(name).c_str())); }

bool engine_flag(const char* name) {
  std::string v = engine_env(name);
  return !v.empty() && v != "0";
}

std::string url_host(const std::string& url) {
  size_t a = url.find("://");
  a = a == std::string::npos ? 0 : a + 3;
  size_t b = url.find_first_of("/?#", a);
  return url.substr(a, b == std::string::npos ? std::string::npos : b - a);
}

namespace {

std::string lower_hex(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'F') c = char(c - 'A' + 'a');
  return s;
}

}  // namespace

TransferLog::TransferLog(std::string name) : name_(std::move(name)), path_(widen(engine_env("VUNK_TRANSFER_LOG"))) {}

void TransferLog::operator()(const char* fmt, ...) {
  if (path_.empty()) return;
  char msg[2048];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(msg, sizeof msg, fmt, ap);
  va_end(ap);
  SYSTEMTIME t;
  GetLocalTime(&t);
  std::string line = strf("%02d:%02d:%02d.%03d  %s: %s\r\n", t.wHour, t.wMinute, t.wSecond, t.wMilliseconds,
                          name_.c_str(), msg);
  static std::mutex one_at_a_time;
  std::lock_guard<std::mutex> lk(one_at_a_time);
  HANDLE h = CreateFileW(path_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  DWORD wrote = 0;
  WriteFile(h, line.data(), DWORD(line.size()), &wrote, nullptr);
  CloseHandle(h);
}

// ---- the run -------------------------------------------------------------------

TransferEngine::TransferEngine(const TransferSpec& spec, const std::wstring& final_path, const std::wstring& part,
                               TransferRun& run)
    : spec_(spec), final_(final_path), part_(part), run_(run), log_(spec.name), resume_(part + L".resume"),
      resume_tmp_(part + L".resume.tmp") {}

TransferEngine::~TransferEngine() = default;

void TransferEngine::wait(double s) {
  std::unique_lock<std::mutex> lk(run_.mu);
  run_.cv.wait_for(lk, std::chrono::duration<double>(s), [&] { return stopped(); });
}

void TransferEngine::run() {
  sha_expected_ = lower_hex(spec_.sha256);
  total_ = spec_.size;
  for (const std::string& url : spec_.mirrors) {
    MirrorState mi;
    mi.url = url;
    mi.host = url_host(url);
    mirrors_.push_back(mi);
  }
  // 1. Acquiring: the torrent, then the mirrors' probe.
  if (!spec_.torrent.empty()) {
    std::string err;
    if (!get_torrent(err)) {
      if (run_.stop) return;
      // A torrent that cannot be had, lacks the file or disagrees on its
      // size leaves the download to the mirrors when there are any.
      if (mirrors_.empty()) {
        log_("torrent: %s", err.c_str());
        fail_ = err;
        return finish_failed();
      }
      log_("torrent not used: %s; the mirrors carry the download", err.c_str());
    }
  }
  log_("start: %zu mirrors, %llu bytes", mirrors_.size(), (unsigned long long)total_);
  // A final file already there is checked first: no network is needed for it.
  std::string sha;
  bool done = final_file_ok(sha);
  if (!done && !run_.stop) {
    if (mirrors_.empty() && !has_tor_) {
      fail_ = "no sources";
      return finish_failed();
    }
    if (!mirrors_.empty() && !probe() && !has_tor_) return run_.stop ? void() : finish_failed();
    if (run_.stop) return;
    done = final_file_ok(sha);
  }
  if (run_.stop) return;
  if (!done) {
    // 2. Checking what an earlier run left.
    if (!has_tor_) npieces_ = piece_count(total_, psize_);
    bool had_part = file_exists(part_);
    if (!file_.open(part_, total_, fail_)) return finish_failed();
    check_part(had_part);
    if (run_.stop) return;
    std::string err;
    {
      std::lock_guard<std::mutex> lk(m_);
      ++change_;
    }
    if (!save_resume(&err)) {
      fail_ = err;
      return finish_failed();
    }
    // 3. Receiving, with the whole-file hash following the file as it fills.
    Hasher whole(HashAlgo::sha256);
    std::thread hasher([this, &whole] { hash_whole(whole); });
    receive();
    save_resume();
    bool all_in = book_.all_in();
    if (!all_in || failing_ || run_.stop) {
      hash_stop_ = true;
      {
        std::lock_guard<std::mutex> lk(m_);
        stored_cv_.notify_all();
      }
      hasher.join();
      file_.close();
      publish_progress(0, false);
      if (failing_) return finish_failed();
      if (run_.stop) return;
      fail_ = "no sources";
      return finish_failed();
    }
    publish_progress(0, false);
    log_("received %llu bytes for %llu", (unsigned long long)received_.load(), (unsigned long long)total_);
    // 4. Verifying: the hash takes what is left.
    publish([&](TransferSnapshot& s) {
      s.state = TState::Checking;
      s.label = "VERIFYING SHA-256";
      show_idle(s);
    });
    while (hashed_ < total_ && !failing_ && !run_.stop) {
      float p = float(double(hashed_) / double(total_));
      publish([&](TransferSnapshot& s) { s.progress = p; });
      run_.nap(0.01);
    }
    hasher.join();
    file_.close();
    if (failing_) return finish_failed();
    if (run_.stop) return;
    sha = hex_of(whole.finish());
    if (!sha_expected_.empty() && sha != sha_expected_) {
      // Forget what was received, so a retry fetches everything again.
      delete_file(resume_);
      delete_file(part_);
      fail_ = "sha256 mismatch";
      return finish_failed();
    }
    if (!MoveFileExW(part_.c_str(), final_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      fail_ = "cannot rename file";
      return finish_failed();
    }
  }
  // 5. Verified.
  drop_side_files();
  log_("verified: %s", sha.c_str());
  u64 total = total_;
  publish([&](TransferSnapshot& s) {
    s.state = TState::Done;
    s.label = "VERIFIED";
    s.error.clear();
    s.total = s.done = total;
    s.progress = 1;
    s.sha256 = sha;
    show_idle(s);
    s.eta = 0;
    for (u8& v : s.piece_map)
      if (v < kFromMirror) v = kResumed;
  });
}

// Whether the final file is there already, whole and with the expected
// SHA-256 (sha is set when it was read).
bool TransferEngine::final_file_ok(std::string& sha) {
  if (total_ == 0 || !file_exists(final_) || file_size(final_) != total_) return false;
  Hasher d(HashAlgo::sha256);
  if (!verify_file(final_, d, 0, sha)) return false;
  return sha_expected_.empty() || sha == sha_expected_;
}

// The receiving phase: one thread per mirror slot, the swarm's threads and
// the resume saver, while this thread runs the control loop; all of them
// have ended when it returns.
void TransferEngine::receive() {
  publish([&](TransferSnapshot& s) {
    s.state = TState::Running;
    s.label = "RECEIVING";
    s.total = total_;
    take_counts(s);
    s.piece_size = psize_;
    s.pieces = npieces_;
    s.piece_map = book_.map;
    s.progress = total_ ? float(double(done_) / double(total_)) : 0;
  });
  if (book_.all_in()) return;
  if (!mirrors_.empty()) slots_.assign(size_t(std::max(1, spec_.http_slots)), MirrorSlot());
  {
    std::lock_guard<std::mutex> lk(run_.mu);
    for (MirrorSlot& sl : slots_) {
      run_.slot_aborts.push_back(std::make_unique<HttpAbort>());
      sl.cut = run_.slot_aborts.back().get();
      if (run_.stop) sl.cut->abort();
    }
  }
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lk(saver_mu_);
    save_due_ = saver_quit_ = false;
  }
  std::thread saver([this] { save_loop(); });
  for (size_t i = 0; i < slots_.size(); ++i) workers.emplace_back([this, i] { slot_loop(int(i)); });
  if (has_tor_) start_swarm(workers);
  control_loop();
  swarm_stop_ = true;
  if (!run_.stop && !failing_) {
    over_ = true;
    run_.abort_requests();
    std::lock_guard<std::mutex> lk(run_.mu);
    run_.cv.notify_all();
  }
  for (auto& t : workers) t.join();
  {
    std::lock_guard<std::mutex> lk(saver_mu_);
    saver_quit_ = true;
  }
  saver_cv_.notify_one();
  saver.join();
}

// ---- the control loop ------------------------------------------------------------

// The byte counts (under m_, or before the threads start).
void TransferEngine::take_counts(TransferSnapshot& s) const {
  s.done = done_;
  s.via_mirrors = via_mirrors_;
  s.via_peers = via_peers_;
  s.uploaded = uploaded_;
}

void TransferEngine::control_loop() {
  double last = now_s(), last_log = last;
  source_at_ = last;
  for (;;) {
    wait(0.5);
    double now = now_s();
    std::string none_left;
    {
      std::lock_guard<std::mutex> lk(m_);
      if (stopped() || book_.all_in()) break;
      // The stall rule: a request silent for kStallS is cut; the slot strikes
      // its mirror and the pieces go back to the pool.
      for (MirrorSlot& s : slots_)
        if (s.busy && !s.stalled && now - s.last_data > kStallS) {
          s.stalled = true;
          s.cut->abort();
          log_("mirror %s: request cut, nothing for %.0f s", mirrors_[s.mirror].url.c_str(), kStallS);
        }
      // Every mirror gone for the run and no torrent: nothing can come.
      // Otherwise the run waits for a mirror's back-off or for peers, but
      // not longer than no_source_s without any source at all.
      bool any = false;
      std::string last_error;
      u64 received = 0;
      for (auto& mi : mirrors_) {
        any = any || !mi.health.gone;
        if (!mi.error.empty()) last_error = mi.error;
      }
      for (const MirrorSlot& s : slots_) received += s.received;
      if (received != source_mark_) source_mark_ = received, source_at_ = now;
      source_at_ = std::max(source_at_, peer_seen_at_.load());
      if ((!any && !has_tor_) || now - source_at_ > spec_.no_source_s)
        none_left = last_error.empty() ? "no sources" : last_error;
      if (now - source_at_ > spec_.no_source_s) log_("no source for %.0f s", spec_.no_source_s);
    }
    if (!none_left.empty()) {
      fail_run(none_left);
      break;
    }
    bool log_line = now - last_log >= 5;
    if (log_line) last_log = now;
    publish_progress(now - last, log_line);
    last = now;
  }
}

void TransferEngine::publish_progress(double dt, bool log_line) {
  TransferSnapshot u;
  {
    std::lock_guard<std::mutex> lk(m_);
    float rate = 0;
    for (size_t i = 0; i < slots_.size(); ++i) {
      MirrorSlot& s = slots_[i];
      float r = dt > 0 ? float(double(s.received - s.rate_mark) / dt) : 0;
      s.rate = s.rate * 0.5f + r * 0.5f;
      s.rate_mark = s.received;
      rate += s.rate;
      if (s.mirror < 0 || !mirrors_[s.mirror].up()) continue;
      ConnInfo c;
      c.kind = 1;
      c.address = mirrors_[s.mirror].host;
      c.client = "MIRROR";
      c.rate = s.rate;
      c.progress = 1;
      c.interested = s.busy;
      c.id = fnv1a(c.address + strf("#%zu", i));
      u.conns.push_back(c);
    }
    int alive = 0;
    for (auto& mi : mirrors_) alive += mi.up();
    take_counts(u);
    u.rate_mirrors = rate;
    u.rate_peers = rate_peers_;
    u.rate_up = rate_up_;
    rate += rate_peers_;
    u.rate_down = rate;
    u.conns.insert(u.conns.end(), peer_rows_.begin(), peer_rows_.end());
    u.peers_connected = peers_connected_;
    u.seeds = seed_count_;
    u.eta = rate > 1 ? double(total_ - done_) / rate : -1;
    u.piece_map = book_.map;
    u.label = strf("RECEIVING  //  %d MIRROR%s", alive, alive == 1 ? "" : "S");
    if (has_tor_) u.label += strf("  //  %u PEER%s", peers_connected_, peers_connected_ == 1 ? "" : "S");
    if (has_tor_ && alive == 0 && peers_connected_ == 0) u.label = "WAITING FOR PEERS";
    u.progress = total_ ? float(double(done_) / double(total_)) : 0;
  }
  u32 known;
  {
    std::lock_guard<std::mutex> lk(known_mu_);
    known = u32(known_.size());
  }
  publish([&](TransferSnapshot& s) {
    s.done = u.done;
    s.via_mirrors = u.via_mirrors;
    s.via_peers = u.via_peers;
    s.uploaded = u.uploaded;
    s.rate_down = u.rate_down;
    s.rate_mirrors = u.rate_mirrors;
    s.rate_peers = u.rate_peers;
    s.rate_up = u.rate_up;
    s.peers_known = known;
    s.peers_connected = u.peers_connected;
    s.seeds = u.seeds;
    s.eta = u.eta;
    s.piece_map = std::move(u.piece_map);
    s.conns = std::move(u.conns);
    s.label = u.label;
    s.progress = u.progress;
  });
  if (log_line)
    log_("%llu of %llu bytes, %.0f B/s", (unsigned long long)u.done, (unsigned long long)total_,
         double(u.rate_down));
}

// ---- failing ------------------------------------------------------------------

void TransferEngine::fail_run(const std::string& err) {
  {
    std::lock_guard<std::mutex> lk(m_);
    if (failing_) return;
    failing_ = true;
    fail_ = err;
  }
  run_.abort_requests();
  std::lock_guard<std::mutex> lk(run_.mu);
  run_.cv.notify_all();
}

void TransferEngine::finish_failed() {
  log_("failed: %s", fail_.c_str());
  wlog("transfer: %s: failed: %s", spec_.name.c_str(), fail_.c_str());
  std::string err = fail_;
  publish([&](TransferSnapshot& s) {
    s.state = TState::Failed;
    s.label = "FAILED";
    s.error = err;
    show_idle(s);
  });
}

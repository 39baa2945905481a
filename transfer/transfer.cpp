// The download job: run control, the phases of a run, the HTTP range slots
// and the control loop. transfer/DESIGN.md says what is decided and why.
//
// Sections (search for "// ---- NAME"): run control · engine log · the engine
// (probe, check, slots, end game, pieces, control loop) · the swarm (trackers,
// DHT, peer loop) · the torrent and its edges, the run's phases · Transfer ·
// transfer_resume_info
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <functional>
#include <set>

#include "bt/bt_dht.h"
#include "bt/bt_hash.h"
#include "bt/bt_http.h"
#include "bt/bt_peer.h"
#include "bt/bt_tracker.h"
#include "bt/bt_torrent.h"
#include "transfer/transfer.h"
#include "transfer/transfer_io.h"
#include "transfer/transfer_plan.h"

// ---- run control ----------------------------------------------------------

using Publish = std::function<bool(const std::function<void(TransferSnapshot&)>&)>;

struct TransferRun {
  std::atomic<bool> stop{false};
  std::mutex mu;
  std::condition_variable cv;
  HttpAbort abort;  // the run's own requests (probes, the torrent)
  // One per HTTP slot, so the stall rule can cut a single request.
  std::vector<std::unique_ptr<HttpAbort>> slot_aborts;
  Publish publish;  // applies an update only while this run is the current one

  void halt() {
    stop = true;
    abort_requests();
    std::lock_guard<std::mutex> lk(mu);
    cv.notify_all();
  }
  void abort_requests() {
    abort.abort();
    std::lock_guard<std::mutex> lk(mu);
    for (auto& a : slot_aborts) a->abort();
  }
  // Sleeps up to `s` seconds; false when the run was stopped meanwhile.
  bool nap(double s) {
    std::unique_lock<std::mutex> lk(mu);
    cv.wait_for(lk, std::chrono::duration<double>(s), [&] { return stop.load(); });
    return !stop;
  }
};

namespace {

std::string env(const char* name) {
  wchar_t buf[1024];
  DWORD n = GetEnvironmentVariableW(widen(name).c_str(), buf, 1024);
  return n > 0 && n < 1024 ? narrow(std::wstring(buf, n)) : std::string();
}

std::string lower_hex(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'F') c = char(c - 'A' + 'a');
  return s;
}

std::string host_of(const std::string& url) {
  size_t a = url.find("://");
  a = a == std::string::npos ? 0 : a + 3;
  size_t b = url.find_first_of("/?#", a);
  return url.substr(a, b == std::string::npos ? std::string::npos : b - a);
}

// ---- engine log -----------------------------------------------------------

// VUNK_TRANSFER_LOG names a file for the engine's own, more talkative log.
class EngineLog {
 public:
  explicit EngineLog(std::string name) : name_(std::move(name)), path_(widen(env("VUNK_TRANSFER_LOG"))) {}
  void operator()(const char* fmt, ...) __attribute__((format(gnu_printf, 2, 3))) {
    if (path_.empty()) return;
    char msg[2048];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    SYSTEMTIME t;
    GetLocalTime(&t);
    std::string line = strf("%02d:%02d:%02d.%03d  %s: %s\r\n", t.wHour, t.wMinute, t.wSecond,
                            t.wMilliseconds, name_.c_str(), msg);
    static std::mutex one_at_a_time;
    std::lock_guard<std::mutex> lk(one_at_a_time);
    HANDLE h = CreateFileW(path_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD wrote = 0;
    WriteFile(h, line.data(), DWORD(line.size()), &wrote, nullptr);
    CloseHandle(h);
  }

 private:
  std::string name_;
  std::wstring path_;
};

// ---- the engine -----------------------------------------------------------

// A request that receives nothing for kStallS is cut by the control loop
// through its slot's own abort; the request's receive time-out is the same,
// so a read that fails after that long silence counts as a stall too.
constexpr double kStallS = 10;
constexpr u32 kTimeoutMs = 10000;  // connect, send and receive of one request

struct Mirror {
  std::string url, host;
  bool ranges = true;
  MirrorHealth health;
  int bad_pieces = 0;    // pieces that failed their check
  int stream_slot = -1;  // the one slot reading a server that ignores ranges
  std::string error;     // its last failure
  bool up() const { return !health.gone && !health.dropped; }
};

struct Slot {
  int mirror = -1;
  bool busy = false;      // a request is open
  double opened = 0;      // when it was opened
  bool stalled = false;   // the control loop cut the request
  bool mirror_cut = false;  // cut because its mirror was dropped
  double last_data = 0;
  u64 received = 0;
  u64 rate_mark = 0;
  float rate = 0;
  HttpAbort* cut = nullptr;  // aborts this slot's request alone
};

class Engine {
 public:
  Engine(const TransferSpec& spec, const std::wstring& final_path, const std::wstring& part,
         TransferRun& run)
      : spec_(spec), final_(final_path), part_(part), resume_(part + L".resume"),
        resume_tmp_(part + L".resume.tmp"), run_(run), log_(spec.name) {}

  void run();

 private:
  const TransferSpec& spec_;
  std::wstring final_, part_, resume_, resume_tmp_;
  TransferRun& run_;
  EngineLog log_;
  std::string sha_expected_;

  u64 total_ = 0;
  u32 psize_ = kPieceSize, npieces_ = 0;
  PartFile file_;

  // With a torrent the grid is the torrent's pieces [first_, first_ +
  // npieces_) that hold the wanted file, which starts at foff_ in the
  // torrent's byte space. Without one it is kPieceSize pieces of the file.
  Torrent tor_;
  bool has_tor_ = false;
  u32 first_ = 0;
  u64 foff_ = 0;
  u64 pstart(u32 p) const {
    if (!has_tor_) return u64(p) * psize_;
    u64 s = (u64(first_) + p) * psize_;
    return s > foff_ ? s - foff_ : 0;
  }
  u32 plen(u32 p) const {
    u64 end = has_tor_ ? (u64(first_) + p + 1) * psize_ - foff_ : u64(p + 1) * psize_;
    return u32(std::min(end, total_) - pstart(p));
  }
  u32 piece_at(u64 off) const { return has_tor_ ? u32((foff_ + off) / psize_ - first_) : u32(off / psize_); }
  // Whether the torrent's SHA-1 covers exactly the piece's bytes in the file
  // (a piece shared with a neighbouring file also holds bytes of that file).
  bool checkable(u32 p) const { return has_tor_ && plen(p) == tor_.piece_size(first_ + p); }
  bool get_torrent(std::string& err);

  // The bytes of the first and last piece that belong to the neighbouring
  // files ("edges"), learnt from web seeds, kept in .part.edge, so those
  // pieces can be checked against the torrent like the others.
  std::vector<std::string> seeds_;
  std::mutex edge_mu_;
  std::string edge_head_, edge_tail_;
  bool head_known_ = false, tail_known_ = false;
  u32 head_len() const { return has_tor_ ? u32(foff_ - u64(first_) * psize_) : 0; }
  u32 tail_len() const {
    if (!has_tor_) return 0;
    u64 end = std::min(tor_.total, (u64(first_) + npieces_) * psize_);
    return u32(end - (foff_ + total_));
  }
  bool fetch_span(u64 a, u64 b, std::string& out);
  bool piece_edges(u32 p, std::string& head, std::string& tail);

  // Shared by the slots and the control loop.
  std::mutex m_;
  // Pieces and the sources holding copies of them. Sources: a mirror slot
  // by its index, a peer by kPeerSource plus its connection's number.
  PieceBook book_;
  std::vector<u8>& map_ = book_.map;
  // Pieces stored since the peer loop last looked: it announces them and
  // cancels the copies still on their way.
  std::vector<u32> news_;
  std::vector<std::string> hashes_;
  std::vector<Mirror> mirrors_;
  std::vector<Slot> slots_;
  u64 done_ = 0, via_mirrors_ = 0, fetched_ = 0;
  u64 change_ = 0;  // bumped with every piece that arrives
  std::string fail_;
  std::atomic<bool> failing_{false};

  std::mutex save_mu_;
  u64 saved_change_ = ~0ull;

  // over_: every piece is in, so requests still open are of no use.
  std::atomic<bool> over_{false};
  bool stopped() const { return run_.stop || failing_ || over_; }
  void publish(const std::function<void(TransferSnapshot&)>& f) { run_.publish(f); }
  void fail_run(const std::string& err);
  void finish_failed();

  bool probe();
  bool verify_file(const std::wstring& path, Hasher& d, u64 from, std::string& sha);
  void hash_ahead(Hasher& d);
  std::atomic<bool> hash_stop_{false};
  std::atomic<u64> hashed_{0};  // the whole-file hash has taken bytes [0, hashed_)
  void check_part(bool had_part);
  bool save_resume(std::string* err = nullptr);
  // Saves whenever pieces arrived since the last save, back to back, until
  // told to quit; one save covers every piece before it.
  void save_loop();
  std::mutex saver_mu_;
  std::condition_variable saver_cv_;
  bool save_due_ = false, saver_quit_ = false;
  void drop_side_files();

  int pick_mirror(int slot);
  void slot_loop(int slot);
  void fetch(int slot, int mirror, Span span, bool stream);
  void release(int slot, u32 first, u32 count);
  void mirror_failure(int mirror, double opened, const std::string& err, bool for_good, bool drop_now);
  void abort_mirror(int mirror);
  bool complete_piece(int slot, int mirror, u32 p, const char* data, u32 len, const std::string& sha1);
  bool store_piece(u32 p, const char* data, u32 len, u8 source, const std::string& sha1);

  // The swarm: peers from trackers, peer exchange and VUNK_TRANSFER_EXTRA_PEER,
  // one peer-loop thread, one thread per tracker tier.
  std::string peer_id_;
  std::mutex known_mu_;
  PeerBook known_;
  std::vector<PeerAddr> known_addr_;  // by known_'s index
  // No peer connected: the trackers are asked again sooner.
  std::atomic<bool> starving_{true};
  // The last time the peer loop had a peer connected.
  std::atomic<double> peer_seen_at_{0};
  u64 via_peers_ = 0, uploaded_ = 0;
  // What the peer loop shows, under m_.
  std::vector<ConnInfo> peer_rows_;
  u32 peers_connected_ = 0, seed_count_ = 0;
  float rate_peers_ = 0, rate_up_ = 0;
  std::vector<std::string> dht_nodes_;  // "ip:port" of peers' DHT nodes (port messages)
  // Raised when the download phase ends for any reason: the DHT and UDP
  // waits poll it.
  std::atomic<bool> swarm_stop_{false};
  void peer_loop();
  void tracker_loop(size_t tier);
  void dht_loop();
  void add_peers(const std::vector<PeerAddr>& peers, const char* from);
  // Sleeps up to s seconds, waking when the run stops, fails or is over.
  void wait(double s) {
    std::unique_lock<std::mutex> lk(run_.mu);
    run_.cv.wait_for(lk, std::chrono::duration<double>(s), [&] { return stopped(); });
  }
  bool all_present();
  void control_loop();
  // The last time a mirror delivered bytes or a peer was connected.
  double source_at_ = now_s();
  u64 source_mark_ = 0;
  void publish_progress(double dt, bool log_line);
};

void Engine::fail_run(const std::string& err) {
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

void Engine::finish_failed() {
  log_("failed: %s", fail_.c_str());
  wlog("transfer: %s: failed: %s", spec_.name.c_str(), fail_.c_str());
  std::string err = fail_;
  publish([&](TransferSnapshot& s) {
    s.state = TState::Failed;
    s.label = "FAILED";
    s.error = err;
    s.rate_down = s.rate_up = s.rate_mirrors = s.rate_peers = 0;
    s.eta = -1;
    s.conns.clear();
  });
}

// Asks every mirror for its first byte at once: the answer gives the length
// and whether ranges are honoured (a 200 to a range request says they are not).
bool Engine::probe() {
  publish([](TransferSnapshot& s) { s.label = "PROBING MIRRORS"; });
  std::vector<std::thread> probes;
  std::vector<u64> lengths(mirrors_.size(), 0);
  for (size_t i = 0; i < mirrors_.size(); ++i)
    probes.emplace_back([this, i, &lengths] {
      HttpReq req;
      std::string err;
      if (!req.open(mirrors_[i].url, 0, 1, &run_.abort, kTimeoutMs, err)) {
        mirrors_[i].health.gone = true;
        mirrors_[i].error = err;
      } else {
        mirrors_[i].ranges = !req.range_ignored;
        lengths[i] = req.range_ignored ? (req.has_length ? req.length : 0) : req.range_total;
      }
    });
  for (auto& t : probes) t.join();
  if (run_.stop) return false;
  std::string last = "no sources";
  for (size_t i = 0; i < mirrors_.size(); ++i) {
    Mirror& mi = mirrors_[i];
    // A probe that fails drops the mirror for the run.
    if (mi.up() && lengths[i] == 0) mi.health.gone = true, mi.error = "size unknown";
    if (mi.up() && total_ == 0) total_ = lengths[i];
    if (mi.up() && lengths[i] != total_) mi.health.gone = true, mi.error = "size mismatch";
    if (!mi.up()) last = mi.error;
    if (mi.up())
      log_("mirror %s: %llu bytes%s", mi.url.c_str(), (unsigned long long)lengths[i], mi.ranges ? "" : ", no ranges");
    else
      log_("mirror %s dropped: %s", mi.url.c_str(), mi.error.c_str());
  }
  u64 total = total_;
  publish([&](TransferSnapshot& s) { s.total = total; });
  for (auto& mi : mirrors_)
    if (mi.up()) return true;
  fail_ = last;
  return false;
}

// SHA-256 of a whole file from `from` on (d has taken the bytes before it),
// with progress rising; false when stopped or unreadable.
bool Engine::verify_file(const std::wstring& path, Hasher& d, u64 from, std::string& sha) {
  u64 size = file_size(path);
  float p0 = size ? float(double(from) / double(size)) : 0;
  publish([&](TransferSnapshot& s) {
    s.state = TState::Checking;
    s.label = "VERIFYING SHA-256";
    s.progress = p0;
    s.rate_down = s.rate_mirrors = s.rate_peers = s.rate_up = 0;
    s.eta = -1;
    s.conns.clear();
  });
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER at;
  at.QuadPart = LONGLONG(from);
  SetFilePointerEx(h, at, nullptr, FILE_BEGIN);
  std::vector<char> buf(4u << 20);
  u64 seen = from;
  double last = now_s();
  bool ok = true;
  for (;;) {
    if (run_.stop) {
      ok = false;
      break;
    }
    DWORD got = 0;
    if (!ReadFile(h, buf.data(), DWORD(buf.size()), &got, nullptr)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    d.update(buf.data(), got);
    seen += got;
    if (now_s() - last > 0.1) {
      last = now_s();
      float p = size ? float(double(seen) / double(size)) : 0;
      publish([&](TransferSnapshot& s) { s.progress = p; });
    }
  }
  CloseHandle(h);
  if (ok) sha = hex_of(d.finish());
  return ok;
}

// Hashes the file in order while it arrives, as far as the pieces present
// reach, so the check at the end has little left to read.
void Engine::hash_ahead(Hasher& d) {
  std::vector<char> buf(psize_);
  std::string err;
  for (u32 p = 0; p < npieces_ && !hash_stop_ && !run_.stop && !failing_;) {
    bool present;
    {
      std::lock_guard<std::mutex> lk(m_);
      present = map_[p] >= kFromMirror;
    }
    if (!present) {
      run_.nap(0.02);
      continue;
    }
    u32 n = plen(p);
    if (!file_.read_at(pstart(p), buf.data(), n, err)) return;
    d.update(buf.data(), n);
    hashed_ += n;
    ++p;
  }
}

// Trusts from an earlier run only the pieces whose bytes still hash to what
// the resume file recorded: a kill or a crash may have left anything else.
void Engine::check_part(bool had_part) {
  book_.reset(npieces_);
  hashes_.assign(npieces_, std::string());
  std::string text = read_text(resume_);
  ResumeData r;
  std::string ih = has_tor_ ? hex_of(tor_.info_hash) : std::string();
  if (!had_part || !resume_parse(text, r) || r.total != total_ || r.piece_size != psize_ ||
      r.pieces != npieces_ || r.sha256 != sha_expected_ || r.infohash != ih)
    return;
  u64 claimed = 0;
  for (u32 i = 0; i < npieces_; ++i) claimed += r.have[i] ? plen(i) : 0;
  publish([&](TransferSnapshot& s) {
    s.state = TState::Checking;
    s.label = "CHECKING";
    s.progress = 0;
  });
  std::vector<char> buf(psize_);
  Hasher d(HashAlgo::sha1);
  u64 seen = 0;
  std::string err;
  for (u32 i = 0; i < npieces_ && !run_.stop; ++i) {
    std::string want = checkable(i) ? hex_of(tor_.piece_hash(first_ + i)) : r.hashes[i];
    if (!r.have[i] || want.empty()) continue;
    u32 n = plen(i);
    if (!file_.read_at(pstart(i), buf.data(), n, err)) continue;
    d.update(buf.data(), n);
    seen += n;
    if (hex_of(d.finish()) == want) {
      map_[i] = kResumed;
      hashes_[i] = r.hashes[i];
      done_ += n;
    }
    float p = claimed ? float(double(seen) / double(claimed)) : 1;
    publish([&](TransferSnapshot& s) { s.progress = p; });
  }
  // The split of what a kill lost is not known; what was kept counts as it came.
  via_mirrors_ = std::min(r.via_mirrors, done_);
  via_peers_ = std::min(r.via_peers, done_ - via_mirrors_);
  uploaded_ = r.uploaded;
  log_("resumed: %llu of %llu bytes check", (unsigned long long)done_, (unsigned long long)claimed);
}

bool Engine::save_resume(std::string* err) {
  std::lock_guard<std::mutex> s(save_mu_);
  ResumeData r;
  u64 change;
  {
    std::lock_guard<std::mutex> lk(m_);
    if (saved_change_ == change_) return true;
    change = change_;
    r.total = total_;
    r.done = done_;
    r.piece_size = psize_;
    r.pieces = npieces_;
    r.sha256 = sha_expected_;
    if (has_tor_) r.infohash = hex_of(tor_.info_hash);
    r.have.resize(npieces_);
    for (u32 i = 0; i < npieces_; ++i) r.have[i] = map_[i] >= kFromMirror;
    r.hashes = hashes_;
    r.via_mirrors = via_mirrors_;
    r.via_peers = via_peers_;
    r.uploaded = uploaded_;
  }
  std::string e;
  if (!save_atomic(resume_, resume_tmp_, resume_text(r), e)) {
    if (err) *err = e;
    return false;
  }
  std::lock_guard<std::mutex> lk(m_);
  saved_change_ = change;
  return true;
}

void Engine::save_loop() {
  std::unique_lock<std::mutex> lk(saver_mu_);
  for (;;) {
    saver_cv_.wait(lk, [&] { return save_due_ || saver_quit_; });
    if (saver_quit_) return;  // the run saves once more as it ends
    save_due_ = false;
    lk.unlock();
    save_resume();
    lk.lock();
  }
}

void Engine::drop_side_files() {
  for (const wchar_t* suffix : {L".resume", L".resume.tmp", L".torrent", L".torrent.tmp", L".edge", L".edge.tmp"})
    delete_file(part_ + suffix);
}

// The mirror a slot uses: its own (slot mod mirrors) while usable, else the
// next usable one. -1: none left for this run; -2: only ones waiting out a
// back-off.
int Engine::pick_mirror(int slot) {
  int n = int(mirrors_.size()), waiting = 0;
  double now = now_s();
  for (int k = 0; k < n; ++k) {
    int i = (slot + k) % n;
    Mirror& mi = mirrors_[i];
    if (mi.health.gone) continue;
    if (!mi.ranges && mi.stream_slot != -1 && mi.stream_slot != slot) continue;
    if (!mirror_usable(mi.health, now)) {
      ++waiting;
      continue;
    }
    return i;
  }
  return waiting ? -2 : -1;
}

void Engine::release(int slot, u32 first, u32 count) {
  for (u32 p = first; p < first + count && p < npieces_; ++p) book_.let_go(p, slot);
}

// A request to the mirror failed (under m_): a strike for the event unless
// an earlier failure counted it; a drop ends every request still open to it.
void Engine::mirror_failure(int mirror, double opened, const std::string& err, bool for_good, bool drop_now) {
  Mirror& mi = mirrors_[mirror];
  bool was_gone = mi.health.gone;
  double now = now_s();
  switch (mirror_failed(mi.health, opened, now, for_good, drop_now)) {
    case MirrorVerdict::same_event:
      return;
    case MirrorVerdict::strike:
      mi.error = err;
      log_("mirror %s: %s (strike %d)", mi.url.c_str(), err.c_str(), mi.health.strikes);
      return;
    case MirrorVerdict::dropped:
      mi.error = err;
      log_("mirror %s dropped: %s (tried again in %.0f s)", mi.url.c_str(), err.c_str(), mi.health.retry_at - now);
      break;
    case MirrorVerdict::gone:
      if (was_gone) return;
      mi.error = err;
      log_("mirror %s dropped: %s", mi.url.c_str(), err.c_str());
      break;
  }
  abort_mirror(mirror);
}

// Ends the requests still open to a dropped mirror, so nothing more of its
// data arrives.
void Engine::abort_mirror(int mirror) {
  for (Slot& sl : slots_)
    if (sl.busy && sl.mirror == mirror && !sl.mirror_cut) {
      sl.mirror_cut = true;
      sl.cut->abort();
    }
}

bool Engine::all_present() { return book_.all_in(); }

void Engine::slot_loop(int slot) {
  for (;;) {
    // A request cut by the stall rule left the slot's abort set. Whoever
    // stops the whole run sets its flag before aborting, so the check after
    // the reset cannot miss a stop.
    slots_[slot].cut->reset();
    if (stopped()) return;
    int mirror;
    Span span;
    bool stream = false;
    {
      std::lock_guard<std::mutex> lk(m_);
      if (all_present()) return;
      mirror = pick_mirror(slot);
      if (mirror == -1) return;
      if (mirror >= 0) {
        Mirror& mi = mirrors_[mirror];
        if (!mi.ranges) {
          mi.stream_slot = slot;
          // A new whole-body stream only while some piece is unclaimed.
          stream = std::find(map_.begin(), map_.end(), kMissing) != map_.end();
          if (!stream) mirror = -2;
        } else {
          span = next_span(map_, psize_, int(slots_.size()));
          for (u32 p = span.first; p < span.first + span.count; ++p) book_.claim(p, slot, now_s());
          // End game: nothing left to claim, so a copy of a piece in flight
          // elsewhere than on this mirror.
          std::vector<int> kin;
          for (size_t k = 0; k < slots_.size(); ++k)
            if (slots_[k].mirror == mirror) kin.push_back(int(k));
          int copy = span.count ? -1 : book_.copy_for(slot, nullptr, kin);
          if (copy >= 0) span = {u32(copy), 1};
        }
      }
    }
    if (mirror == -2 || (!stream && span.count == 0)) {
      // Nothing to claim: every missing piece is in flight elsewhere.
      run_.nap(0.2);
      continue;
    }
    fetch(slot, mirror, span, stream);
  }
}

// One request: a span of claimed pieces, or (stream) the whole body of a
// server that ignores ranges, keeping the pieces nobody else has.
void Engine::fetch(int slot, int mirror, Span span, bool stream) {
  const std::string url = mirrors_[mirror].url;
  u64 from = stream ? 0 : pstart(span.first);
  u64 to = stream ? total_ : pstart(span.first + span.count - 1) + plen(span.first + span.count - 1);
  HttpReq req;
  HttpAbort* cut;
  {
    std::lock_guard<std::mutex> lk(m_);
    Slot& s = slots_[slot];
    s.mirror = mirror;
    s.busy = true;
    s.stalled = s.mirror_cut = false;
    s.opened = s.last_data = now_s();
    cut = s.cut;
  }
  std::string err;
  bool ok = req.open(url, from, stream ? 0 : to - from, cut, kTimeoutMs, err);
  if (ok && !stream && req.range_ignored) {
    // The server ignores ranges after all: the body starts at byte 0.
    std::lock_guard<std::mutex> lk(m_);
    release(slot, span.first, span.count);
    Mirror& mi = mirrors_[mirror];
    mi.ranges = false;
    log_("mirror %s ignores ranges", mi.url.c_str());
    if (mi.stream_slot == -1 || mi.stream_slot == slot) {
      mi.stream_slot = slot;
      stream = true;
      from = 0;
      to = total_;
    } else {
      ok = false;
      err.clear();
    }
  }
  // Big reads: each one is a round trip to the HTTP helper thread.
  std::vector<char> piece(psize_), buf(1u << 20);
  Hasher sha1(HashAlgo::sha1);
  u64 pos = from;
  u32 p = piece_at(from), in_piece = 0;
  bool keep = false, first_of_piece = true;
  auto decide = [&]() {
    // At the start of each piece: go on with it only while it still needs us.
    std::lock_guard<std::mutex> lk(m_);
    if (stream && map_[p] == kMissing) book_.claim(p, slot, now_s());
    keep = book_.wanted_from(p, slot);
  };
  bool rest_gone = false;
  while (ok && pos < to) {
    i64 n = req.read(buf.data(), buf.size(), err);
    if (n <= 0) {
      ok = false;
      if (n == 0) err = "short body";
      break;
    }
    {
      std::lock_guard<std::mutex> lk(m_);
      Slot& s = slots_[slot];
      s.last_data = now_s();
      s.received += u64(n);
      fetched_ += u64(n);
    }
    const char* q = buf.data();
    u64 left = std::min<u64>(u64(n), to - pos);
    while (left > 0) {
      if (first_of_piece) {
        decide();
        first_of_piece = false;
      }
      u32 want = plen(p) - in_piece;
      u32 take = u32(std::min<u64>(want, left));
      if (keep) {
        memcpy(piece.data() + in_piece, q, take);
        sha1.update(q, take);
      }
      in_piece += take;
      q += take;
      left -= take;
      pos += take;
      if (in_piece == plen(p)) {
        if (keep && !complete_piece(slot, mirror, p, piece.data(), in_piece, hex_of(sha1.finish()))) {
          ok = false;
          err.clear();
          break;
        }
        if (!keep) sha1.finish();
        ++p;
        in_piece = 0;
        first_of_piece = true;
      }
    }
    if (!ok || pos >= to) break;
    // Stop early when nothing from here to the span's end needs this slot
    // any more: another copy came first (the end game) or the pieces went
    // to other sources. For a whole-body stream: when nothing after this
    // point is missing.
    std::lock_guard<std::mutex> lk(m_);
    if (keep && !first_of_piece && !book_.wanted_from(p, slot)) keep = false;
    rest_gone = true;
    u32 end = stream ? npieces_ : span.first + span.count;
    for (u32 k = p; k < end && rest_gone; ++k)
      if ((stream && map_[k] == kMissing) || book_.wanted_from(k, slot)) rest_gone = false;
    if (rest_gone) {
      log_("mirror %s: request stopped, its pieces came from other sources", url.c_str());
      break;
    }
  }
  std::lock_guard<std::mutex> lk(m_);
  Slot& s = slots_[slot];
  s.busy = false;
  if (stream) release(slot, 0, npieces_);
  else release(slot, span.first, span.count);
  if (stopped()) return;
  if (ok || rest_gone) {
    mirror_succeeded(mirrors_[mirror].health);
    return;
  }
  if (s.mirror_cut) return;  // its mirror was dropped meanwhile
  // Cut by the stall rule, or its own receive time-out came first.
  bool stalled = s.stalled || now_s() - s.last_data >= kStallS - 0.5;
  if (stalled) err = "mirror stalled";
  if (!err.empty()) {
    // A missing file stays missing; a mirror that stalls mid-body is left
    // for the others while there are any.
    int status = req.status;
    bool others = false;
    for (size_t i = 0; i < mirrors_.size(); ++i) others = others || (int(i) != mirror && mirrors_[i].up());
    mirror_failure(mirror, s.opened, err, status == 403 || status == 404 || status == 410, stalled && others);
  }
}

bool Engine::complete_piece(int slot, int mirror, u32 p, const char* data, u32 len, const std::string& sha1) {
  {
    std::lock_guard<std::mutex> lk(m_);
    if (!book_.wanted_from(p, slot)) return true;  // another copy came first
  }
  bool bad = checkable(p) && sha1 != hex_of(tor_.piece_hash(first_ + p));
  std::string head, tail;
  if (has_tor_ && !checkable(p)) {
    if (piece_edges(p, head, tail)) {
      Hasher h(HashAlgo::sha1);
      h.update(head);
      h.update(data, len);
      h.update(tail);
      bad = h.finish() != tor_.piece_hash(first_ + p);
      if (!bad) log_("piece %u checked with the edges of its neighbours", first_ + p);
    } else {
      log_("piece %u kept without its check: the neighbouring files' bytes are not to be had", first_ + p);
    }
  }
  if (bad) {
    // Bad data: the piece goes back to the pool and its mirror is demoted.
    std::lock_guard<std::mutex> lk(m_);
    book_.let_go(p, slot);
    Mirror& mi = mirrors_[mirror];
    log_("piece %u from %s failed its check", first_ + p, mi.url.c_str());
    if (++mi.bad_pieces >= kMirrorStrikes) mirror_failure(mirror, now_s(), "bad data", true, false);
    return true;
  }
  return store_piece(p, data, len, kFromMirror, sha1);
}

// Writes a checked piece's bytes of the file and records it, when it is the
// first copy of the piece to arrive: that one is final, and a later copy
// (from the end game, maybe with other bytes where nothing can check them)
// is dropped before it touches the file, so the bytes the whole-file hash
// has read stay the bytes on disk.
bool Engine::store_piece(u32 p, const char* data, u32 len, u8 source, const std::string& sha1) {
  {
    std::lock_guard<std::mutex> lk(m_);
    if (!book_.take(p)) return true;
  }
  std::string err;
  if (!file_.write_at(pstart(p), data, len, err)) {
    fail_run(err);
    return false;
  }
  {
    std::lock_guard<std::mutex> lk(m_);
    book_.stored(p, source);
    news_.push_back(p);
    // The torrent vouches for a checkable piece; for the others the resume
    // file keeps the hash a restart checks against.
    if (!checkable(p)) hashes_[p] = sha1;
    done_ += len;
    (source == kFromPeer ? via_peers_ : via_mirrors_) += len;
    ++change_;
  }
  // Recorded at once by the saver thread, so a kill loses only pieces in
  // flight; the source goes on meanwhile instead of waiting for the file.
  {
    std::lock_guard<std::mutex> lk(saver_mu_);
    save_due_ = true;
  }
  saver_cv_.notify_one();
  return true;
}

void Engine::publish_progress(double dt, bool log_line) {
  TransferSnapshot u;
  {
    std::lock_guard<std::mutex> lk(m_);
    float rate = 0;
    for (size_t i = 0; i < slots_.size(); ++i) {
      Slot& s = slots_[i];
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
    u.done = done_;
    u.via_mirrors = via_mirrors_;
    u.via_peers = via_peers_;
    u.uploaded = uploaded_;
    u.rate_mirrors = rate;
    u.rate_peers = rate_peers_;
    u.rate_up = rate_up_;
    rate += rate_peers_;
    u.rate_down = rate;
    u.conns.insert(u.conns.end(), peer_rows_.begin(), peer_rows_.end());
    u.peers_connected = peers_connected_;
    u.seeds = seed_count_;
    u.eta = rate > 1 ? double(total_ - done_) / rate : -1;
    u.piece_map = map_;
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

void Engine::control_loop() {
  double last = now_s(), last_log = last;
  source_at_ = last;
  for (;;) {
    run_.nap(0.5);
    double now = now_s();
    std::string none_left;
    {
      std::lock_guard<std::mutex> lk(m_);
      if (stopped() || all_present()) break;
      // The stall rule: a request silent for kStallS is cut; the slot strikes
      // its mirror and the pieces go back to the pool.
      for (Slot& s : slots_)
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
      for (const Slot& s : slots_) received += s.received;
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

// ---- the swarm ------------------------------------------------------------

constexpr u32 kBlock = 16384;
constexpr int kPipeline = 128;         // requests open per peer (2 MiB), across piece ends
constexpr size_t kMaxQueuedPieces = 24;  // received, waiting to be checked and written
constexpr double kConnectS = 10;       // connect and handshake
constexpr double kSilentS = 60;        // nothing received while requests are open
constexpr int kRegularUnchokes = 4;
constexpr int kPeerSource = 1 << 20;   // PieceBook source ids of peers start here
constexpr u8 kOurPexId = 1;

struct Peer {
  u32 uid = 0;
  size_t known = 0;  // its index among the known peers
  PeerAddr addr;
  std::string key;
  SOCKET sock = INVALID_SOCKET;
  enum Phase { connecting, handshaking, live } phase = connecting;
  double since = 0, last_recv = 0;
  std::string in, out;
  std::string client = "unknown";
  bool ext = false;
  int pex_id = 0;
  std::vector<bool> has;  // by torrent piece
  u32 have_count = 0;
  bool choked_us = true, interested_in_us = false, we_choke = true, we_interested = false;
  struct Fetch {
    u32 piece;  // grid piece
    std::string buf;
    u32 next_block, blocks_left;
    std::vector<bool> got;  // by block
  };
  // Pieces being fetched, oldest first: the next one is asked for while the
  // last blocks of the one before are still on their way, so the pipe never
  // drains at a piece's end.
  std::vector<Fetch> fetching;
  int open_requests = 0;
  struct Ask {
    u32 index, begin, length;
  };
  std::vector<Ask> asks;  // blocks it asked us for
  u64 got = 0, sent = 0, got_mark = 0, sent_mark = 0;
  float rate = 0, up_rate = 0;
  int strikes = 0;
  bool dead = false;
};

void Engine::add_peers(const std::vector<PeerAddr>& peers, const char* from) {
  std::lock_guard<std::mutex> lk(known_mu_);
  size_t before = known_.size();
  for (const PeerAddr& a : peers)
    if (a.port != 0 && known_.add(a.str())) known_addr_.push_back(a);
  if (known_.size() > before) log_("%zu new peers from %s", known_.size() - before, from);
}

void Engine::tracker_loop(size_t tier) {
  TrackerTier trackers(tor_.trackers[tier]);
  bool first = true;
  while (!stopped() && !trackers.urls().empty()) {
    AnnounceReq req;
    req.info_hash = tor_.info_hash;
    req.peer_id = peer_id_;
    {
      std::lock_guard<std::mutex> lk(m_);
      req.downloaded = via_peers_;
      req.uploaded = uploaded_;
      req.left = total_ - done_;
    }
    req.event = first ? AnnounceReq::started : AnnounceReq::none;
    AnnounceResp resp;
    std::string err;
    // After a failure the tier is tried again in 15 s.
    double interval = 15, min_interval = 0, last = now_s();
    if (trackers.announce(req, resp, err, &run_.abort, &swarm_stop_)) {
      first = false;
      add_peers(resp.peers, "tracker");
      interval = resp.interval;
      min_interval = resp.min_interval;
    } else if (!stopped()) {
      log_("trackers of tier %zu: %s", tier + 1, err.c_str());
    }
    while (!stopped() && !announce_due(now_s() - last, interval, min_interval, starving_)) wait(1);
  }
}

// Lookups from the DHT nodes the peers named, else from the well-known
// routers; again every five minutes (one minute after a failed one).
void Engine::dht_loop() {
  while (!stopped()) {
    std::vector<std::string> boot;
    {
      std::lock_guard<std::mutex> lk(known_mu_);
      boot = dht_nodes_;
    }
    std::vector<PeerAddr> found;
    DhtStats st;
    std::string err;
    bool ok = dht_get_peers(tor_.info_hash, boot, found, st, err, &swarm_stop_, {},
                            [this](const std::vector<PeerAddr>& v) { add_peers(v, "DHT"); });
    if (stopped()) break;
    log_("DHT lookup: %u peers, %u replies of %u queries%s%s", st.peers, st.replies, st.queries,
         ok ? "" : ", ", ok ? "" : err.c_str());
    wait(ok ? 300 : 60);
  }
}

namespace {

bool start_connect(Peer& p) {
  sockaddr_storage sa;
  int len = to_sockaddr(p.addr, &sa);
  p.sock = socket(p.addr.v6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (p.sock == INVALID_SOCKET) return false;
  u_long on = 1;
  ioctlsocket(p.sock, FIONBIO, &on);
  if (connect(p.sock, reinterpret_cast<sockaddr*>(&sa), len) != 0 && WSAGetLastError() != WSAEWOULDBLOCK) {
    closesocket(p.sock);
    p.sock = INVALID_SOCKET;
    return false;
  }
  return true;
}

}  // namespace

void Engine::peer_loop() {
  std::vector<Peer> peers;
  u32 uid = 0;
  std::vector<u16> avail(npieces_, 0);
  RateCap cap(spec_.upload_cap);
  double last_choke = 0, last_opt = 0, last_rows = now_s();
  int optimistic = -1;
  const u32 tpieces = tor_.piece_count;
  std::string err;

  auto grid_of = [&](u32 t) -> int { return t >= first_ && t < first_ + npieces_ ? int(t - first_) : -1; };
  auto servable = [&](u32 p) { return map_[p] >= kFromMirror && checkable(p); };
  auto release_peer = [&](Peer& pe) {
    std::lock_guard<std::mutex> lk(m_);
    for (const Peer::Fetch& f : pe.fetching) book_.let_go(f.piece, kPeerSource + int(pe.uid));
    pe.fetching.clear();
    pe.open_requests = 0;
  };
  // A dropped peer is tried again after a back-off, unless it broke the
  // protocol or sent bad data (ban).
  auto drop = [&](Peer& pe, const char* why, bool ban) {
    if (pe.dead) return;
    release_peer(pe);
    if (pe.phase == Peer::live) {
      for (u32 t = 0; t < tpieces && t < pe.has.size(); ++t)
        if (pe.has[t] && grid_of(t) >= 0 && avail[grid_of(t)] > 0) --avail[grid_of(t)];
      log_("peer %s (%s) dropped: %s", pe.key.c_str(), pe.client.c_str(), why);
    } else {
      log_("peer %s: %s", pe.key.c_str(), why);
    }
    closesocket(pe.sock);
    pe.dead = true;
    std::lock_guard<std::mutex> lk(known_mu_);
    known_.dropped(pe.known, now_s(), ban);
  };
  auto wants_from = [&](const Peer& pe) {
    std::lock_guard<std::mutex> lk(m_);
    for (u32 p = 0; p < npieces_; ++p)
      if (map_[p] < kFromMirror && first_ + p < pe.has.size() && pe.has[first_ + p]) return true;
    return false;
  };
  auto update_interest = [&](Peer& pe) {
    bool want = wants_from(pe);
    if (want != pe.we_interested) {
      pe.we_interested = want;
      pe.out += build_msg(want ? msg_interested : msg_not_interested);
    }
  };
  auto our_bitfield = [&]() {
    std::string bits((tpieces + 7) / 8, '\0');
    std::lock_guard<std::mutex> lk(m_);
    for (u32 p = 0; p < npieces_; ++p)
      if (servable(p)) bits[(first_ + p) / 8] |= char(0x80 >> ((first_ + p) % 8));
    return bits;
  };
  // The next piece for a peer: the rarest it has, else (end game) a copy of
  // the one in flight longest elsewhere.
  // Piece buffers go round between the loop and the helpers instead of being
  // allocated afresh: fresh ones cost page faults on the loop thread.
  std::mutex fin_mu;
  std::vector<std::string> spare;
  auto claim = [&](Peer& pe) -> bool {
    std::string buf;
    {
      std::lock_guard<std::mutex> lk(fin_mu);
      if (!spare.empty()) buf = std::move(spare.back()), spare.pop_back();
    }
    std::lock_guard<std::mutex> lk(m_);
    std::vector<bool> has(npieces_, false);
    for (u32 p = 0; p < npieces_; ++p) has[p] = first_ + p < pe.has.size() && pe.has[first_ + p];
    int me = kPeerSource + int(pe.uid);
    // Among equally rare pieces the lowest first: the whole-file hash, which
    // reads the file in order as it fills, then keeps up with the download.
    int p = pick_rarest(map_, avail, has, 0);
    if (p >= 0) book_.claim(u32(p), me, now_s());
    else p = book_.copy_for(me, &has);
    if (p < 0) return false;
    u32 len = u32(tor_.piece_size(first_ + u32(p)));
    buf.resize(len);
    u32 blocks = (len + kBlock - 1) / kBlock;
    pe.fetching.push_back({u32(p), std::move(buf), 0, blocks, std::vector<bool>(blocks, false)});
    return true;
  };
  // Checking and writing a piece runs on two helper threads, so the loop
  // goes on reading sockets meanwhile; they hand back the peers that sent
  // bad data (the pieces stored come back through news_).
  struct Done {
    u32 uid, piece;
    bool good;
  };
  std::condition_variable fin_cv;
  std::vector<std::pair<u32, std::pair<u32, std::string>>> fin_jobs;  // uid, (grid piece, bytes)
  std::vector<Done> fin_done;
  bool fin_quit = false;
  auto finisher = [&] {
    for (;;) {
      std::pair<u32, std::pair<u32, std::string>> job;
      {
        std::unique_lock<std::mutex> lk(fin_mu);
        fin_cv.wait(lk, [&] { return fin_quit || !fin_jobs.empty(); });
        if (fin_jobs.empty()) return;
        job = std::move(fin_jobs.front());
        fin_jobs.erase(fin_jobs.begin());
      }
      u32 p = job.second.first, t = first_ + p;
      const std::string& buf = job.second.second;
      int me = kPeerSource + int(job.first);
      bool wanted;
      {
        std::lock_guard<std::mutex> lk(m_);
        wanted = book_.wanted_from(p, me);
      }
      bool good = wanted && Hasher::sha1(buf) == tor_.piece_hash(t);
      if (!wanted) {
        // Another copy came first: this one is dropped unchecked.
      } else if (good) {
        // The file's part of the piece; the rest belongs to the neighbours.
        u64 ps = u64(t) * psize_, pe_end = ps + buf.size(), fend = foff_ + total_;
        u64 a = std::max(ps, foff_) - ps, b = std::min(pe_end, fend) - ps;
        if (a > 0 || b < buf.size()) {
          std::lock_guard<std::mutex> lk(edge_mu_);
          if (a > 0 && !head_known_) edge_head_ = buf.substr(0, a), head_known_ = true;
          if (b < buf.size() && !tail_known_) edge_tail_ = buf.substr(b), tail_known_ = true;
          std::string e;
          save_atomic(part_ + L".edge", part_ + L".edge.tmp", edge_head_ + edge_tail_, e);
        }
        std::string sha1 = checkable(p) ? std::string() : hex_of(Hasher::sha1(std::string_view(buf).substr(a, b - a)));
        if (!store_piece(p, buf.data() + a, u32(b - a), kFromPeer, sha1)) continue;
      } else {
        log_("piece %u from a peer failed its check", t);
        std::lock_guard<std::mutex> lk(m_);
        book_.let_go(p, me);
      }
      std::lock_guard<std::mutex> lk(fin_mu);
      if (wanted && !good) fin_done.push_back({job.first, t, good});
      if (spare.size() < 16) spare.push_back(std::move(job.second.second));
    }
  };
  std::thread finishers[2] = {std::thread(finisher), std::thread(finisher)};
  auto finish_piece = [&](Peer& pe, size_t i) {
    {
      std::lock_guard<std::mutex> lk(fin_mu);
      fin_jobs.push_back({pe.uid, {pe.fetching[i].piece, std::move(pe.fetching[i].buf)}});
    }
    fin_cv.notify_one();
    pe.fetching.erase(pe.fetching.begin() + long(i));
  };
  auto on_message = [&](Peer& pe, const PeerMsg& m) {
    switch (m.id) {
      case msg_choke:
        pe.choked_us = true;
        release_peer(pe);
        break;
      case msg_unchoke:
        pe.choked_us = false;
        break;
      case msg_interested:
        pe.interested_in_us = true;
        break;
      case msg_not_interested:
        pe.interested_in_us = false;
        break;
      case msg_have:
        if (m.index < tpieces && !pe.has[m.index]) {
          pe.has[m.index] = true;
          ++pe.have_count;
          if (grid_of(m.index) >= 0) ++avail[grid_of(m.index)];
          update_interest(pe);
        }
        break;
      case msg_bitfield:
        for (u32 t = 0; t < tpieces && t / 8 < m.payload.size(); ++t)
          if (!pe.has[t] && (u8(m.payload[t / 8]) >> (7 - t % 8) & 1)) {
            pe.has[t] = true;
            ++pe.have_count;
            if (grid_of(t) >= 0) ++avail[grid_of(t)];
          }
        update_interest(pe);
        break;
      case msg_request: {
        int p = grid_of(m.index);
        bool ok;
        {
          std::lock_guard<std::mutex> lk(m_);
          ok = p >= 0 && servable(u32(p)) && m.length > 0 && m.length <= 131072 &&
               u64(m.begin) + m.length <= tor_.piece_size(m.index);
        }
        if (ok && !pe.we_choke && pe.asks.size() < 256) pe.asks.push_back({m.index, m.begin, m.length});
        break;
      }
      case msg_cancel:
        for (size_t i = 0; i < pe.asks.size(); ++i)
          if (pe.asks[i].index == m.index && pe.asks[i].begin == m.begin) pe.asks.erase(pe.asks.begin() + long(i--));
        break;
      case msg_piece:
        for (size_t i = 0; i < pe.fetching.size(); ++i) {
          Peer::Fetch& f = pe.fetching[i];
          if (m.index != first_ + f.piece) continue;
          // Only a block asked for, whole, and once.
          u32 b = m.begin / kBlock;
          if (m.begin % kBlock == 0 && b < f.next_block && !f.got[b] &&
              m.payload.size() == std::min<u64>(kBlock, f.buf.size() - m.begin)) {
            memcpy(f.buf.data() + m.begin, m.payload.data(), m.payload.size());
            f.got[b] = true;
            pe.got += m.payload.size();
            --pe.open_requests;
            if (--f.blocks_left == 0) finish_piece(pe, i);
          }
          break;
        }
        break;
      case msg_port:
        if (m.port) {
          PeerAddr node = pe.addr;
          node.port = m.port;
          std::lock_guard<std::mutex> lk(known_mu_);
          std::string k = node.str();
          if (std::find(dht_nodes_.begin(), dht_nodes_.end(), k) == dht_nodes_.end() && dht_nodes_.size() < 64)
            dht_nodes_.push_back(k);
        }
        break;
      case msg_extended:
        if (m.ext_id == 0) {
          ExtHandshake h;
          if (parse_ext_handshake(m.payload, h, err)) {
            pe.pex_id = h.ut_pex;
            if (pe.client == "unknown" && !h.client.empty()) pe.client = h.client;
          }
        } else if (m.ext_id == kOurPexId) {
          PexMsg x;
          if (parse_pex(m.payload, x, err)) add_peers(x.added, "peer exchange");
        }
        break;
      default:
        break;  // keep-alive, port and ids we do not use
    }
  };

  while (!stopped()) {
    double now = now_s();
    // New connections, up to the limit.
    {
      std::lock_guard<std::mutex> lk(known_mu_);
      size_t open = 0;
      for (const Peer& pe : peers) open += !pe.dead;
      size_t room = size_t(std::max(1, spec_.max_peers)) - std::min(open, size_t(std::max(1, spec_.max_peers)));
      for (size_t i : known_.due(now, room)) {
        Peer pe;
        pe.known = i;
        pe.addr = known_addr_[i];
        pe.key = pe.addr.str();
        pe.uid = uid++;
        pe.since = pe.last_recv = now;
        pe.has.assign(tpieces, false);
        if (!start_connect(pe)) {
          known_.dropped(i, now, false);
          continue;
        }
        peers.push_back(std::move(pe));
      }
    }
    std::vector<WSAPOLLFD> fds;
    std::vector<size_t> which;
    for (size_t i = 0; i < peers.size(); ++i) {
      Peer& pe = peers[i];
      if (pe.dead) continue;
      WSAPOLLFD f = {};
      f.fd = pe.sock;
      f.events = POLLRDNORM;
      if (pe.phase == Peer::connecting || !pe.out.empty()) f.events |= POLLWRNORM;
      fds.push_back(f);
      which.push_back(i);
    }
    if (fds.empty()) {
      // No connection at all: the rows and rates say so at once.
      {
        std::lock_guard<std::mutex> lk(m_);
        peer_rows_.clear();
        peers_connected_ = seed_count_ = 0;
        rate_peers_ = rate_up_ = 0;
      }
      starving_ = true;
      wait(0.1);
      continue;
    }
    WSAPoll(fds.data(), ULONG(fds.size()), 100);
    now = now_s();
    for (size_t k = 0; k < fds.size(); ++k) {
      Peer& pe = peers[which[k]];
      short re = fds[k].revents;
      if (pe.phase == Peer::connecting) {
        if (re & (POLLERR | POLLHUP)) {
          drop(pe, "cannot connect", false);
          continue;
        }
        if (re & POLLWRNORM) {
          pe.phase = Peer::handshaking;
          pe.since = now;
          pe.out += build_handshake(tor_.info_hash, peer_id_);
        }
      }
      if (re & (POLLRDNORM | POLLHUP | POLLERR)) {
        // Everything the socket holds, in few calls: each one is costly
        // where sockets go through a server process (Wine).
        bool closed = false;
        for (int k = 0; k < 16; ++k) {
          size_t at = pe.in.size();
          pe.in.resize(at + (1u << 18));
          int n = recv(pe.sock, pe.in.data() + at, 1 << 18, 0);
          pe.in.resize(at + size_t(n > 0 ? n : 0));
          if (n > 0) {
            pe.last_recv = now;
            if (n < (1 << 18)) break;
            continue;
          }
          closed = n == 0 || WSAGetLastError() != WSAEWOULDBLOCK;
          break;
        }
        if (closed) {
          drop(pe, "connection closed", false);
          continue;
        }
      }
      if (pe.phase == Peer::handshaking && pe.in.size() >= kHandshakeSize) {
        Handshake h;
        if (!parse_handshake(std::string_view(pe.in).substr(0, kHandshakeSize), h, err) ||
            h.info_hash != tor_.info_hash) {
          drop(pe, "bad handshake", true);
          continue;
        }
        pe.in.erase(0, kHandshakeSize);
        pe.phase = Peer::live;
        {
          std::lock_guard<std::mutex> lk(known_mu_);
          known_.handshaken(pe.known);
        }
        pe.ext = h.extensions;
        pe.client = client_name(h.peer_id);
        if (pe.ext) pe.out += build_extended(0, build_ext_handshake(kOurPexId, "VUNK 1.0", 0, 250));
        std::string bits = our_bitfield();
        if (bits.find_first_not_of('\0') != std::string::npos) pe.out += build_bitfield(bits);
        log_("peer %s: %s", pe.key.c_str(), pe.client.c_str());
      }
      size_t used = 0;
      while (pe.phase == Peer::live && !pe.dead) {
        std::string_view rest = std::string_view(pe.in).substr(used);
        i64 size = peer_frame_size(rest);
        if (size < 0) {
          drop(pe, "frame too large", true);
          break;
        }
        if (size == 0) break;
        PeerMsg m;
        // A malformed message, or one about pieces the torrent does not
        // have, ends the connection: the peer is broken or hostile.
        if (!parse_peer_msg(rest.substr(0, size_t(size)), m, err) || !peer_msg_fits(m, tpieces, err)) {
          drop(pe, "bad message", true);
          break;
        }
        used += size_t(size);
        on_message(pe, m);
      }
      if (!pe.dead) pe.in.erase(0, used);
    }
    // Strikes for the bad pieces the helpers found.
    std::vector<Done> finished;
    {
      std::lock_guard<std::mutex> lk(fin_mu);
      finished.swap(fin_done);
    }
    for (const Done& d : finished)
      for (Peer& o : peers)
        if (!o.dead && o.uid == d.uid && ++o.strikes >= 2) drop(o, "bad data", true);
    // Pieces stored from any source: a HAVE to every peer, and the copies
    // still on their way from peers (the end game) are cancelled.
    std::vector<u32> news;
    {
      std::lock_guard<std::mutex> lk(m_);
      news.swap(news_);
    }
    if (!news.empty()) {
      std::string haves;
      for (u32 p : news)
        if (checkable(p)) haves += build_have(first_ + p);
      for (Peer& o : peers) {
        if (o.dead || o.phase != Peer::live) continue;
        o.out += haves;
        for (size_t i = 0; i < o.fetching.size();) {
          Peer::Fetch& f = o.fetching[i];
          if (std::find(news.begin(), news.end(), f.piece) == news.end()) {
            ++i;
            continue;
          }
          for (u32 b = 0; b < f.next_block; ++b)
            if (!f.got[b]) {
              o.out += build_cancel(first_ + f.piece, b * kBlock, u32(std::min<u64>(kBlock, f.buf.size() - b * kBlock)));
              --o.open_requests;
            }
          o.fetching.erase(o.fetching.begin() + long(i));
        }
      }
    }
    // Requests, uploads, time-outs, writes. While the helpers are behind, no
    // new pieces are asked for: memory stays bounded and nothing is lost.
    bool backlog;
    {
      std::lock_guard<std::mutex> lk(fin_mu);
      backlog = fin_jobs.size() >= kMaxQueuedPieces;
    }
    for (Peer& pe : peers) {
      if (pe.dead) continue;
      if (pe.phase != Peer::live && now - pe.since > kConnectS) {
        drop(pe, "no handshake", false);
        continue;
      }
      if (pe.phase != Peer::live) {
        if (!pe.out.empty()) {
          int n = send(pe.sock, pe.out.data(), int(pe.out.size()), 0);
          if (n > 0) pe.out.erase(0, size_t(n));
        }
        continue;
      }
      if (pe.open_requests > 0 && now - pe.last_recv > kSilentS) {
        drop(pe, "silent", false);
        continue;
      }
      if (!pe.choked_us && pe.we_interested) {
        size_t at = 0;  // pieces before it have every block asked for
        while (pe.open_requests < kPipeline) {
          while (at < pe.fetching.size() && u64(pe.fetching[at].next_block) * kBlock >= pe.fetching[at].buf.size()) ++at;
          if (at == pe.fetching.size() && (backlog || !claim(pe))) break;
          Peer::Fetch& f = pe.fetching[at];
          u32 begin = f.next_block * kBlock;
          u32 len = u32(std::min<u64>(kBlock, f.buf.size() - begin));
          pe.out += build_request(first_ + f.piece, begin, len);
          ++f.next_block;
          ++pe.open_requests;
        }
        if (pe.fetching.empty() && !backlog) update_interest(pe);
      }
      while (!pe.asks.empty() && pe.out.size() < (256u << 10) && cap.take(pe.asks.front().length, now)) {
        Peer::Ask a = pe.asks.front();
        pe.asks.erase(pe.asks.begin());
        std::string block(a.length, '\0');
        u32 p = u32(grid_of(a.index));
        if (!file_.read_at(pstart(p) + a.begin, block.data(), a.length, err)) continue;
        pe.out += build_piece(a.index, a.begin, block);
        pe.sent += a.length;
        std::lock_guard<std::mutex> lk(m_);
        uploaded_ += a.length;
      }
      if (!pe.out.empty()) {
        int n = send(pe.sock, pe.out.data(), int(pe.out.size()), 0);
        if (n > 0) pe.out.erase(0, size_t(n));
        else if (WSAGetLastError() != WSAEWOULDBLOCK) drop(pe, "connection closed", false);
      }
    }
    // Unchoking: the peers that give us most, and one optimistic in turn.
    if (now - last_choke >= 3) {
      last_choke = now;
      std::vector<PeerChoice> choice;
      std::vector<size_t> idx;
      for (size_t i = 0; i < peers.size(); ++i)
        if (!peers[i].dead && peers[i].phase == Peer::live) {
          choice.push_back({peers[i].rate, peers[i].interested_in_us});
          idx.push_back(i);
        }
      if (now - last_opt >= 30 || optimistic >= int(choice.size())) {
        last_opt = now;
        optimistic = choice.empty() ? -1 : int(uid % choice.size());
      }
      std::vector<int> on = choose_unchoked(choice, kRegularUnchokes, spec_.rate_unchoke, optimistic);
      for (size_t k = 0; k < idx.size(); ++k) {
        Peer& pe = peers[idx[k]];
        bool unchoke = std::find(on.begin(), on.end(), int(k)) != on.end();
        if (unchoke == !pe.we_choke) continue;
        pe.we_choke = !unchoke;
        pe.out += build_msg(unchoke ? msg_unchoke : msg_choke);
        if (!unchoke) pe.asks.clear();
      }
    }
    // Rates and the rows the snapshot shows.
    double dt = now - last_rows;
    if (dt >= 0.5) {
      last_rows = now;
      std::vector<ConnInfo> rows;
      float down = 0, up = 0;
      u32 live = 0, seeds = 0;
      for (Peer& pe : peers) {
        if (pe.dead || pe.phase != Peer::live) continue;
        pe.rate = pe.rate * 0.5f + float(double(pe.got - pe.got_mark) / dt) * 0.5f;
        pe.up_rate = pe.up_rate * 0.5f + float(double(pe.sent - pe.sent_mark) / dt) * 0.5f;
        pe.got_mark = pe.got;
        pe.sent_mark = pe.sent;
        down += pe.rate;
        up += pe.up_rate;
        ConnInfo c;
        c.kind = 0;
        c.address = pe.key;
        c.client = pe.client;
        c.rate = pe.rate;
        c.up_rate = pe.up_rate;
        c.progress = tpieces ? float(double(pe.have_count) / tpieces) : 0;
        c.choked = pe.choked_us;
        c.interested = pe.interested_in_us;
        c.id = fnv1a(pe.key);
        ++live;
        seeds += c.progress >= 0.999f;
        rows.push_back(c);
      }
      std::lock_guard<std::mutex> lk(m_);
      peer_rows_ = std::move(rows);
      peers_connected_ = live;
      starving_ = live == 0;
      seed_count_ = seeds;
      rate_peers_ = down;
      rate_up_ = up;
    }
    peers.erase(std::remove_if(peers.begin(), peers.end(), [](const Peer& pe) { return pe.dead; }), peers.end());
    for (const Peer& pe : peers)
      if (pe.phase == Peer::live) {
        peer_seen_at_ = now;
        break;
      }
  }
  {
    std::lock_guard<std::mutex> lk(fin_mu);
    fin_quit = true;
  }
  fin_cv.notify_all();
  for (std::thread& t : finishers) t.join();
  for (Peer& pe : peers) {
    release_peer(pe);
    if (!pe.dead) closesocket(pe.sock);
  }
}

// ---- the torrent and its edges, the run's phases ------------------------------

// The torrent from the side file of an earlier run, else from its URL. Picks
// the wanted file, takes the torrent's grid and adds its web seeds.
bool Engine::get_torrent(std::string& err) {
  std::wstring path = part_ + L".torrent";
  std::string data = read_text(path);
  if (data.empty() || !parse_torrent(data, tor_, err)) {
    publish([](TransferSnapshot& s) { s.label = "FETCHING TORRENT"; });
    HttpReq req;
    data.clear();
    if (!req.open(spec_.torrent, 0, 0, &run_.abort, kTimeoutMs, err) || !req.read_all(data, 16u << 20, err) ||
        !parse_torrent(data, tor_, err))
      return false;
    std::string e;
    if (!save_atomic(path, path + L".tmp", data, e)) log_("torrent not kept: %s", e.c_str());
  }
  int f = -1;
  for (size_t i = 0; i < tor_.files.size() && f < 0; ++i) {
    const std::string& fp = tor_.files[i].path;
    if (!tor_.files[i].pad && fp.substr(fp.rfind('/') + 1) == spec_.file) f = int(i);
  }
  if (f < 0 && tor_.files.size() == 1) f = 0;  // a single-file torrent under another name
  if (f < 0 || tor_.files[f].length == 0 || tor_.piece_length > (64u << 20)) {
    err = "torrent has no such file";
    return false;
  }
  const TorrentFile& tf = tor_.files[f];
  if (spec_.size && spec_.size != tf.length) {
    err = "size mismatch";
    return false;
  }
  u32 last = 0;
  tor_.file_pieces(size_t(f), first_, last);
  total_ = tf.length;
  foff_ = tf.offset;
  psize_ = u32(tor_.piece_length);
  npieces_ = last - first_ + 1;
  has_tor_ = true;
  std::string no_seeds = env("VUNK_TRANSFER_NO_WEBSEEDS");
  if (no_seeds.empty() || no_seeds == "0") {
    for (const std::string& seed : tor_.web_seeds) {
      seeds_.push_back(seed);
      Mirror mi;
      // A web seed names the file itself, or a folder that holds the
      // torrent's layout.
      mi.url = seed;
      if (!seed.empty() && seed.back() == '/') mi.url += tor_.multi ? tf.path : tor_.name;
      else if (tor_.multi) mi.url += "/" + tf.path;
      mi.host = host_of(seed);
      mirrors_.push_back(mi);
    }
  }
  log_("torrent: %u pieces of %u bytes for the file, %zu web seeds", npieces_, psize_, tor_.web_seeds.size());
  return true;
}

// Bytes [a, b) of the torrent's byte space from the web seeds: file by file,
// pad files as the zeros they stand for.
bool Engine::fetch_span(u64 a, u64 b, std::string& out) {
  out.clear();
  for (const TorrentFile& f : tor_.files) {
    u64 lo = std::max(a, f.offset), hi = std::min(b, f.offset + f.length);
    if (lo >= hi) continue;
    if (f.pad) {
      out.append(size_t(hi - lo), '\0');
      continue;
    }
    bool got = false;
    for (const std::string& seed : seeds_) {
      std::string url = seed;
      if (url.empty() || url.back() != '/') url += "/";
      url += tor_.multi ? f.path : tor_.name;
      HttpReq req;
      std::string part, err;
      if (req.open(url, lo - f.offset, hi - lo, &run_.abort, kTimeoutMs, err) && !req.range_ignored &&
          req.read_all(part, hi - lo, err) && part.size() == hi - lo) {
        out += part;
        got = true;
        break;
      }
    }
    if (!got) return false;
  }
  return out.size() == b - a;
}

// The edges piece p needs (none for an inner piece); false when one is not
// to be had.
bool Engine::piece_edges(u32 p, std::string& head, std::string& tail) {
  std::lock_guard<std::mutex> lk(edge_mu_);
  head.clear();
  tail.clear();
  u64 ps = (u64(first_) + p) * psize_;
  if (p == 0 && head_len() > 0) {
    if (!head_known_ && !fetch_span(ps, foff_, edge_head_)) return false;
    head_known_ = true;
    head = edge_head_;
  }
  if (p == npieces_ - 1 && tail_len() > 0) {
    u64 fend = foff_ + total_;
    if (!tail_known_ && !fetch_span(fend, fend + tail_len(), edge_tail_)) return false;
    tail_known_ = true;
    tail = edge_tail_;
  }
  std::string body = edge_head_ + edge_tail_, err;
  if (edge_head_.size() + edge_tail_.size() > 0 &&
      !save_atomic(part_ + L".edge", part_ + L".edge.tmp", body, err))
    log_("edges not kept: %s", err.c_str());
  return true;
}

void Engine::run() {
  sha_expected_ = lower_hex(spec_.sha256);
  total_ = spec_.size;
  for (const std::string& url : spec_.mirrors) {
    Mirror mi;
    mi.url = url;
    mi.host = host_of(url);
    mirrors_.push_back(mi);
  }
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
  auto final_ok = [&] {
    if (total_ == 0 || !file_exists(final_) || file_size(final_) != total_) return false;
    Hasher d(HashAlgo::sha256);
    if (!verify_file(final_, d, 0, sha)) return false;
    return sha_expected_.empty() || sha == sha_expected_;
  };
  bool done = final_ok();
  if (!done && !run_.stop) {
    if (mirrors_.empty() && !has_tor_) {
      fail_ = "no sources";
      return finish_failed();
    }
    if (!mirrors_.empty() && !probe() && !has_tor_) return run_.stop ? void() : finish_failed();
    if (run_.stop) return;
    done = final_ok();
  }
  if (run_.stop) return;
  if (!done) {
    if (!has_tor_) npieces_ = piece_count(total_, psize_);
    Hasher whole(HashAlgo::sha256);
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
    publish([&](TransferSnapshot& s) {
      s.state = TState::Running;
      s.label = "RECEIVING";
      s.total = total_;
      s.done = done_;
      s.via_mirrors = via_mirrors_;
      s.via_peers = via_peers_;
      s.uploaded = uploaded_;
      s.piece_size = psize_;
      s.pieces = npieces_;
      s.piece_map = map_;
      s.progress = total_ ? float(double(done_) / double(total_)) : 0;
    });
    if (!all_present()) {
      if (!mirrors_.empty()) slots_.assign(size_t(std::max(1, spec_.http_slots)), Slot());
      {
        std::lock_guard<std::mutex> lk(run_.mu);
        for (Slot& sl : slots_) {
          run_.slot_aborts.push_back(std::make_unique<HttpAbort>());
          sl.cut = run_.slot_aborts.back().get();
          if (run_.stop) sl.cut->abort();
        }
      }
      std::vector<std::thread> workers;
      std::thread hasher([this, &whole] { hash_ahead(whole); });
      {
        std::lock_guard<std::mutex> lk(saver_mu_);
        save_due_ = saver_quit_ = false;
      }
      std::thread saver([this] { save_loop(); });
      for (size_t i = 0; i < slots_.size(); ++i) workers.emplace_back([this, i] { slot_loop(int(i)); });
      if (has_tor_) {
        peer_id_ = new_peer_id();
        std::vector<PeerAddr> extra;
        std::string list = env("VUNK_TRANSFER_EXTRA_PEER");
        for (size_t a = 0; a < list.size();) {
          size_t b = list.find(',', a);
          if (b == std::string::npos) b = list.size();
          PeerAddr pa;
          if (parse_peer_addr(list.substr(a, b - a), pa)) extra.push_back(pa);
          a = b + 1;
        }
        add_peers(extra, "VUNK_TRANSFER_EXTRA_PEER");
        workers.emplace_back([this] { peer_loop(); });
        for (size_t t = 0; t < tor_.trackers.size(); ++t) workers.emplace_back([this, t] { tracker_loop(t); });
        std::string no_dht = env("VUNK_TRANSFER_NO_DHT");
        if (!tor_.priv && (no_dht.empty() || no_dht == "0")) workers.emplace_back([this] { dht_loop(); });
      }
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
      hash_stop_ = true;
      hasher.join();
    }
    save_resume();
    file_.close();
    publish_progress(0, false);
    if (failing_) return finish_failed();
    if (run_.stop) return;
    if (!all_present()) {
      fail_ = "no sources";
      return finish_failed();
    }
    log_("received %llu bytes for %llu", (unsigned long long)fetched_, (unsigned long long)total_);
    if (!verify_file(part_, whole, hashed_, sha)) {
      if (run_.stop) return;
      fail_ = "cannot read file";
      return finish_failed();
    }
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
    s.rate_down = s.rate_up = s.rate_mirrors = s.rate_peers = 0;
    s.eta = 0;
    s.conns.clear();
    for (u8& v : s.piece_map)
      if (v < kFromMirror) v = kResumed;
  });
}

}  // namespace

// ---- Transfer ---------------------------------------------------------------

Transfer::Transfer(TransferSpec spec) : spec_(std::move(spec)) {
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  final_ = path_join(spec_.dir, widen(spec_.file));
  part_ = final_ + L".part";
  snap_.total = spec_.size;
  snap_.has_torrent = !spec_.torrent.empty();
  snap_.has_mirrors = !spec_.mirrors.empty();
  u64 done = 0, total = 0;
  if (transfer_resume_info(spec_.dir, spec_.file, done, total)) {
    snap_.total = total;
    snap_.done = done;
    snap_.label = "PARTIAL";
  }
}

Transfer::~Transfer() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    ++generation_;
    if (run_) run_->halt();
  }
  if (worker_.joinable()) worker_.join();
  WSACleanup();
}

void Transfer::start() {
  std::lock_guard<std::mutex> lk(mu_);
  TState st = snap_.state;
  if (st == TState::Done || st == TState::Starting || st == TState::Running || st == TState::Checking) return;
  u64 gen = ++generation_;
  auto run = std::make_shared<TransferRun>();
  run->publish = [this, gen](const std::function<void(TransferSnapshot&)>& f) {
    std::lock_guard<std::mutex> lk(mu_);
    if (generation_ != gen) return false;
    f(snap_);
    return true;
  };
  run_ = run;
  snap_.state = TState::Starting;
  snap_.label = "STARTING";
  snap_.error.clear();
  snap_.sha256.clear();
  std::thread prev = std::move(worker_);
  worker_ = std::thread([this, run, prev = std::move(prev)]() mutable {
    if (prev.joinable()) prev.join();
    if (run->stop) return;
    Engine e(spec_, final_, part_, *run);
    e.run();
  });
}

void Transfer::pause() {
  std::lock_guard<std::mutex> lk(mu_);
  if (snap_.state == TState::Done) return;
  ++generation_;
  if (run_) run_->halt();
  snap_.state = TState::Paused;
  snap_.label = "PAUSED";
  snap_.rate_down = snap_.rate_up = snap_.rate_mirrors = snap_.rate_peers = 0;
  snap_.eta = -1;
  snap_.conns.clear();
  for (u8& v : snap_.piece_map)
    if (v == kInFlight) v = kMissing;
}

void Transfer::cancel() {
  std::lock_guard<std::mutex> lk(mu_);
  ++generation_;
  if (run_) run_->halt();
  run_.reset();
  TransferSnapshot fresh;
  fresh.state = TState::Idle;
  fresh.label = "CANCELLED";
  fresh.total = snap_.total;
  fresh.has_torrent = snap_.has_torrent;
  fresh.has_mirrors = snap_.has_mirrors;
  snap_ = fresh;
  std::wstring part = part_;
  std::thread prev = std::move(worker_);
  worker_ = std::thread([part, prev = std::move(prev)]() mutable {
    if (prev.joinable()) prev.join();
    for (const wchar_t* suffix :
         {L"", L".resume", L".resume.tmp", L".torrent", L".torrent.tmp", L".edge", L".edge.tmp"})
      delete_file(part + suffix);
  });
}

TransferSnapshot Transfer::snapshot() const {
  std::lock_guard<std::mutex> lk(mu_);
  return snap_;
}

// ---- transfer_resume_info ---------------------------------------------------

bool transfer_resume_info(const std::wstring& dir, const std::string& file, u64& done, u64& total) {
  std::wstring part = path_join(dir, widen(file)) + L".part";
  if (!file_exists(part)) return false;
  ResumeData r;
  if (!resume_parse(read_text(part + L".resume"), r)) return false;
  done = r.done;
  total = r.total;
  return true;
}

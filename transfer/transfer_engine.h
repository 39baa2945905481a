// The engine's own declarations, shared by its source files (nothing outside
// transfer/ includes this): the control of one run, the engine's log, and
// the engine of one run with the state its parts share. Which file holds
// which part:
//   transfer.cpp          Transfer, the object the user interface owns
//   transfer_run.cpp      a run and its phases, the control loop, publishing
//   transfer_torrent.cpp  the torrent, the wanted file in it, the edges
//   transfer_mirrors.cpp  mirrors: the probe, the slots and their requests
//   transfer_swarm.cpp    peers: trackers, DHT, connections, choking
//   transfer_peer.cpp     one peer: its messages, our requests, uploads
//   transfer_store.cpp    the piece store and the SHA-256 of the whole file
//   transfer_resume.cpp   the resume file
//   transfer_plan.cpp     the plain decisions, tested alone
//   transfer_io.cpp       file helpers
// transfer/DESIGN.md says what is decided and why.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bt/bt_hash.h"
#include "bt/bt_http.h"
#include "bt/bt_peer.h"
#include "bt/bt_torrent.h"
#include "transfer/transfer.h"
#include "transfer/transfer_io.h"
#include "transfer/transfer_plan.h"
#include "transfer/transfer_resume.h"

// ---- run control ----------------------------------------------------------

using Publish = std::function<bool(const std::function<void(TransferSnapshot&)>&)>;

// What the Transfer and the engine of one run share: the stop flag, the
// requests to abort, and the publishing that only the current run may do.
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

// ---- small helpers ----------------------------------------------------------

// An environment variable as UTF-8, empty when unset.
std::string engine_env(const char* name);
// Set and not "0".
bool engine_flag(const char* name);
// The host (and port) of a URL.
std::string url_host(const std::string& url);

// A download that moves no data: no rates, no estimate, no connection rows.
inline void show_idle(TransferSnapshot& s) {
  s.rate_down = s.rate_up = s.rate_mirrors = s.rate_peers = 0;
  s.eta = -1;
  s.conns.clear();
}

// VUNK_TRANSFER_LOG names a file for the engine's own, more talkative log.
class TransferLog {
 public:
  explicit TransferLog(std::string name);
  void operator()(const char* fmt, ...) __attribute__((format(gnu_printf, 2, 3)));

 private:
  std::string name_;
  std::wstring path_;
};

// ---- the engine's parts ---------------------------------------------------------

// A request that receives nothing for kStallS is cut by the control loop
// through its slot's own abort; the request's receive time-out is the same,
// so a read that fails after that long silence counts as a stall too.
constexpr double kStallS = 10;
constexpr u32 kTimeoutMs = 10000;  // connect, send and receive of one request
// The least time between two saves of the resume file while pieces arrive.
constexpr double kSaveGapS = 0.1;
// PieceBook sources: a mirror slot by its index, a peer from here on.
constexpr int kPeerSource = 1 << 20;

struct MirrorState {
  std::string url, host;
  bool ranges = true;
  MirrorHealth health;
  int bad_pieces = 0;    // pieces that failed their check
  int stream_slot = -1;  // the one slot reading a server that ignores ranges
  std::string error;     // its last failure
  bool up() const { return !health.gone && !health.dropped; }
};

struct MirrorSlot {
  int mirror = -1;
  bool busy = false;        // a request is open
  double opened = 0;        // when it was opened
  bool stalled = false;     // the control loop cut the request
  bool mirror_cut = false;  // cut because its mirror was dropped
  bool copy_cut = false;    // cut because other copies of its pieces came first
  Span span;                // what its request fetches (not for a stream)
  double last_data = 0;
  u64 received = 0;
  u64 rate_mark = 0;
  float rate = 0;
  HttpAbort* cut = nullptr;  // aborts this slot's request alone
};

class Swarm;

// ---- the engine -------------------------------------------------------------

// One run of one download: its phases on the job thread, the mirror slots,
// the swarm, the piece store and the resume file. Everything the threads
// share is under m_ unless it says otherwise.
class TransferEngine {
 public:
  TransferEngine(const TransferSpec& spec, const std::wstring& final_path, const std::wstring& part,
                 TransferRun& run);
  ~TransferEngine();
  void run();

 private:
  friend class Swarm;

  const TransferSpec& spec_;
  std::wstring final_, part_;
  TransferRun& run_;
  TransferLog log_;
  std::string sha_expected_;
  std::string fail_;
  std::atomic<bool> failing_{false};
  // over_: every piece is in, so requests still open are of no use.
  std::atomic<bool> over_{false};
  bool stopped() const { return run_.stop || failing_ || over_; }
  // Sleeps up to s seconds, waking when the run stops, fails or is over.
  void wait(double s);
  void publish(const std::function<void(TransferSnapshot&)>& f) { run_.publish(f); }

  // ---- the grid (transfer_torrent.cpp)
  // With a torrent the grid is the torrent's pieces [first_, first_ +
  // npieces_) that hold the wanted file, which starts at foff_ in the
  // torrent's byte space. Without one it is kPieceSize pieces of the file.
  u64 total_ = 0;
  u32 psize_ = kPieceSize, npieces_ = 0;
  Torrent tor_;
  bool has_tor_ = false;
  u32 first_ = 0;
  u64 foff_ = 0;
  u64 pstart(u32 p) const;
  u32 plen(u32 p) const;
  u32 piece_at(u64 off) const;
  // Whether the torrent's SHA-1 covers exactly the piece's bytes in the file
  // (a piece shared with a neighbouring file also holds bytes of that file).
  bool checkable(u32 p) const { return has_tor_ && plen(p) == tor_.piece_size(first_ + p); }
  bool get_torrent(std::string& err);

  // The bytes of the first and last piece that belong to the neighbouring
  // files ("edges"), learnt from web seeds or from whole pieces that peers
  // sent, kept in .part.edge, so those pieces can be checked against the
  // torrent like the others.
  std::vector<std::string> seeds_;
  std::mutex edge_mu_;
  std::string edge_head_, edge_tail_;
  bool head_known_ = false, tail_known_ = false;
  u32 head_len() const;
  u32 tail_len() const;
  bool fetch_span(u64 a, u64 b, std::string& out);
  bool piece_edges(u32 p, std::string& head, std::string& tail);
  // The file's bytes [a, b) of a whole torrent piece a peer sent; the rest
  // of it are edges, kept for the other piece that shares them.
  void learn_edges(u32 t, const std::string& piece, u64& a, u64& b);

  // ---- the phases and the control loop (transfer_run.cpp)
  void fail_run(const std::string& err);
  void finish_failed();
  bool final_file_ok(std::string& sha);
  void receive();
  void control_loop();
  void publish_progress(double dt, bool log_line);
  void take_counts(TransferSnapshot& s) const;
  // The last time a mirror delivered bytes or a peer was connected.
  double source_at_ = 0;
  u64 source_mark_ = 0;

  // ---- pieces (transfer_store.cpp)
  std::mutex m_;
  PartFile file_;
  // Pieces and the sources holding copies of them.
  PieceBook book_;
  // Pieces stored since the peer loop last looked: it announces them and
  // cancels the copies still on their way.
  std::vector<u32> news_;
  std::vector<std::string> hashes_;  // SHA-1 per piece where no torrent vouches for it
  u64 done_ = 0, via_mirrors_ = 0, via_peers_ = 0, uploaded_ = 0;
  // Piece bytes received from every source, copies included (no lock).
  std::atomic<u64> received_{0};
  std::atomic<u64> writing_{0};  // bytes of pieces being written now
  // by: the PieceBook source whose copy it is; from: kFromMirror or kFromPeer.
  bool store_piece(u32 p, const char* data, u32 len, int by, u8 from, const std::string& sha1);
  bool verify_file(const std::wstring& path, Hasher& d, u64 from, std::string& sha);
  void hash_whole(Hasher& d);
  std::condition_variable stored_cv_;  // with m_: a piece was stored
  std::atomic<bool> hash_stop_{false};
  std::atomic<u64> hashed_{0};  // the whole-file hash has taken bytes [0, hashed_)

  // ---- the resume file (transfer_resume.cpp)
  std::wstring resume_, resume_tmp_;
  u64 change_ = 0;  // bumped with every piece that arrives
  std::mutex save_mu_;
  u64 saved_change_ = ~0ull;
  std::mutex saver_mu_;
  std::condition_variable saver_cv_;
  bool save_due_ = false, saver_quit_ = false;
  void check_part(bool had_part);
  bool save_resume(std::string* err = nullptr);
  // Saves whenever pieces arrived since the last save, at most every
  // kSaveGapS, until told to quit; one save covers every piece before it.
  void save_loop();
  void save_soon();
  void drop_side_files();

  // ---- mirrors (transfer_mirrors.cpp)
  std::vector<MirrorState> mirrors_;
  std::vector<MirrorSlot> slots_;
  bool probe();
  int pick_mirror(int slot);
  void slot_loop(int slot);
  void fetch(int slot, int mirror, Span span, bool stream, std::vector<char>& piece);
  void release(int slot, u32 first, u32 count);
  void mirror_failure(int mirror, double opened, const std::string& err, bool for_good, bool drop_now);
  void abort_mirror(int mirror);
  void cut_copy(int slot);
  bool complete_piece(int slot, int mirror, u32 p, const char* data, u32 len, const std::string& sha1);

  // ---- the swarm (transfer_swarm.cpp, transfer_peer.cpp)
  std::string peer_id_;
  std::mutex known_mu_;  // the known peers and the DHT nodes
  std::condition_variable known_cv_;  // with known_mu_: new peers are known
  PeerBook known_;
  std::vector<PeerAddr> known_addr_;  // by known_'s index
  std::vector<std::string> dht_nodes_;  // "ip:port" of peers' DHT nodes (port messages)
  // No peer connected: the trackers are asked again sooner.
  std::atomic<bool> starving_{true};
  // The last time the peer loop had a peer connected.
  std::atomic<double> peer_seen_at_{0};
  // What the peer loop shows.
  std::vector<ConnInfo> peer_rows_;
  u32 peers_connected_ = 0, seed_count_ = 0;
  float rate_peers_ = 0, rate_up_ = 0;
  // Raised when the download phase ends for any reason: the DHT and UDP
  // waits poll it.
  std::atomic<bool> swarm_stop_{false};
  void start_swarm(std::vector<std::thread>& workers);
  void tracker_loop(size_t tier);
  void dht_loop();
  void add_peers(const std::vector<PeerAddr>& peers, const char* from);
};

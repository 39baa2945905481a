// The transfer engine: one resumable, verified download of one file from HTTP
// mirrors, web seeds and BitTorrent peers at once. The user-interface thread
// owns each Transfer and talks to it only through start, pause, cancel and
// snapshot; the engine's threads publish into the snapshot under a mutex,
// tagged with the run's generation, so a stopped run's late updates are lost.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/common.h"

enum class TState : int {
  Idle = 0,       // new, partial or cancelled: QUEUED
  Starting = 1,   // start requested: ACQUIRING
  Running = 2,    // RECEIVING
  Paused = 3,     // PAUSED
  Checking = 4,   // checking or verifying: VERIFYING SHA-256
  Done = 5,       // done and verified: VERIFIED
  Failed = 6,     // FAILED
};

struct TransferSpec {
  std::string name;                  // label in the logs
  std::vector<std::string> mirrors;  // HTTP(S) URLs of the whole file
  std::string torrent;               // URL of the .torrent, empty when none
  std::string sha256;                // expected, hexadecimal; empty: no check
  u64 size = 0;                      // bytes, 0 when unknown
  std::wstring dir;                  // destination folder
  std::string file;                  // file name inside dir
  // Tuning.
  int http_slots = 6;
  int max_peers = 40;
  bool rate_unchoke = true;          // unchoke the peers that give us most
  u64 upload_cap = 0;                // bytes per second, 0: none
  // A run that has had no source at all (no mirror delivering, no peer
  // connected) for this long fails, resumable.
  double no_source_s = 300;
};

// One row per mirror slot or peer connection.
struct ConnInfo {
  u8 kind = 0;           // 0 a peer, 1 a mirror or web seed
  std::string address;   // "ip:port" of a peer, the host of a mirror
  std::string client;    // the peer's client name, "MIRROR" for a mirror
  float rate = 0;        // bytes per second received from it
  float up_rate = 0;     // bytes per second sent to it
  float progress = 0;    // share of the file it has; 0.999 and up: a seed
  bool choked = false;   // it chokes us
  bool interested = false;
  u32 id = 0;            // FNV-1a of the address text
};

struct TransferSnapshot {
  TState state = TState::Idle;
  std::string error;
  std::string label;
  u64 total = 0;
  u64 done = 0;
  u64 via_mirrors = 0;
  u64 via_peers = 0;
  u64 uploaded = 0;
  float rate_down = 0;
  float rate_up = 0;
  float rate_mirrors = 0;
  float rate_peers = 0;
  double eta = -1;
  u32 piece_size = 0;
  u32 pieces = 0;
  // One byte per piece: 0 missing, 1 in flight, 2 from a mirror, 3 from a
  // peer, 4 already on disk when the run resumed.
  std::vector<u8> piece_map;
  std::vector<ConnInfo> conns;
  u32 peers_known = 0;
  u32 peers_connected = 0;
  u32 seeds = 0;
  bool has_torrent = false;
  bool has_mirrors = false;
  float progress = 0;
  std::string sha256;
};

struct TransferRun;  // the engine's per-run control, private to transfer.cpp

class Transfer {
 public:
  explicit Transfer(TransferSpec spec);
  ~Transfer();
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  void start();
  void pause();
  void cancel();
  TransferSnapshot snapshot() const;
  std::wstring final_path() const { return final_; }

 private:
  TransferSpec spec_;
  bool plain_ = bare_file_name(spec_.file);
  std::wstring final_, part_;
  mutable std::mutex mu_;
  TransferSnapshot snap_;
  u64 generation_ = 0;
  std::shared_ptr<TransferRun> run_;
  std::thread worker_;
};

// Whether dir\file.part and its resume file exist and parse; done and total
// are then the resume file's values.
bool transfer_resume_info(const std::wstring& dir, const std::string& file, u64& done, u64& total);

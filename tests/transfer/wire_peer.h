// A BitTorrent peer of the tests' own, written from the peer-wire protocol
// (not from the engine's code): it listens on a loopback port, takes the
// engine's connections, answers the handshake for one torrent and then
// does what its script says: advertise pieces, unchoke, serve, hold pieces
// back, stay silent, or send broken messages.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/common.h"

struct WirePeerScript {
  std::string info_hash;        // 20 raw bytes
  const std::string* data = nullptr;  // the torrent's bytes, for serving (not owned)
  u32 piece_length = 0;
  std::string bitfield;         // sent after the handshake; empty: none
  std::vector<std::string> then;  // whole messages sent after the bitfield and the unchoke
  bool unchoke = true;
  bool serve = true;            // answers requests from data
  std::set<u32> withhold;       // pieces whose requests wait for release()
};

class WirePeer {
 public:
  explicit WirePeer(WirePeerScript script);
  ~WirePeer();
  WirePeer(const WirePeer&) = delete;
  WirePeer& operator=(const WirePeer&) = delete;

  std::string address() const;  // "127.0.0.1:port"
  void release();               // the withheld pieces are served from now on

  int accepted() const { return accepted_; }
  int ended_by_engine() const { return ended_; }  // connections the engine closed
  int received(int id) const;                     // messages of that id, all connections
  u64 served() const { return served_; }          // block bytes sent

  // Whole messages, for scripts.
  static std::string msg(int id, const std::string& payload = "");
  static std::string u32be(u32 v);
  static std::string all_pieces(u32 pieces);  // a full bitfield

 private:
  struct Conn;
  void loop();
  bool step(Conn& c);

  WirePeerScript s_;
  uintptr_t listener_ = ~uintptr_t(0);
  u16 port_ = 0;
  std::atomic<bool> quit_{false}, released_{false};
  std::atomic<int> accepted_{0}, ended_{0};
  std::atomic<u64> served_{0};
  mutable std::mutex mu_;
  std::map<int, int> received_;
  std::thread thread_;
};

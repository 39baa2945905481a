// The swarm of one run: the peer connections, polled by one thread (the peer
// loop), and helper threads that check and store the pieces peers send.
// transfer_swarm.cpp holds the loop (connections, reading, choking, what the
// snapshot shows) and finding peers (trackers, DHT, peer exchange);
// transfer_peer.cpp what happens on one connection (its messages, our
// requests and the end game, uploads, the helpers).
#pragma once

#include <winsock2.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bt/bt_peer.h"
#include "transfer/transfer_engine.h"

constexpr u32 kBlock = 16384;
// Requests open per peer, across piece ends: about a second of what it
// sends us, at least 2 MiB and at most 8 MiB, so a fast peer's pipe never
// drains while a slow one holds little memory.
constexpr int kPipelineMin = 128, kPipelineMax = 512;
constexpr size_t kMaxQueuedPieces = 24;  // received, waiting to be checked and written
constexpr double kConnectS = 10;         // connect and handshake
constexpr double kSilentS = 60;          // nothing received while requests are open
constexpr int kRegularUnchokes = 4;
constexpr u8 kOurPexId = 1;
// Threads that check (SHA-1) and store whole pieces: the check is the
// slowest step of taking a piece, so several run while the loop reads on.
constexpr int kPieceHelpers = 4;

// What a peer sent that is not parsed yet: bytes [head, tail) of data. New
// bytes are received straight into the room after them, so no byte is
// zeroed or moved more than once; the buffer keeps its size.
struct InBuffer {
  std::vector<char> data;
  size_t head = 0, tail = 0;
  size_t size() const { return tail - head; }
  std::string_view view() const { return std::string_view(data.data() + head, tail - head); }
  // Room for n more bytes at the end.
  char* room(size_t n) {
    if (head > 0 && data.size() - tail < n) {
      memmove(data.data(), data.data() + head, tail - head);
      tail -= head;
      head = 0;
    }
    if (data.size() - tail < n) data.resize(tail + n);
    return data.data() + tail;
  }
  void grew(size_t n) { tail += n; }
  void consume(size_t n) {
    head += n;
    if (head == tail) head = tail = 0;
  }
};

// One connection to a peer.
struct PeerLink {
  u32 uid = 0;
  size_t known = 0;  // its index among the known peers
  PeerAddr addr;
  std::string key;
  SOCKET sock = INVALID_SOCKET;
  enum Phase { connecting, handshaking, live } phase = connecting;
  double since = 0, last_recv = 0;
  InBuffer in;
  std::string out;
  int read_size = 1 << 18;  // bytes per recv: more for a peer that fills them
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
  int source() const { return kPeerSource + int(uid); }
};

class Swarm {
 public:
  explicit Swarm(TransferEngine& e);
  ~Swarm();
  // The peer loop, until the download phase ends.
  void run();

 private:
  TransferEngine& e_;
  const u32 tpieces_;        // the torrent's pieces (peers speak in those)
  std::vector<PeerLink> peers_;
  std::vector<u16> avail_;   // by grid piece: how many connected peers have it
  u32 next_uid_ = 0;
  RateCap cap_;
  double last_choke_ = 0, last_opt_ = 0, last_rows_;
  int optimistic_ = -1;
  std::string err_;

  // transfer_swarm.cpp: the connections and the loop.
  int grid_of(u32 t) const;
  void connect_new(double now);
  bool read_socket(PeerLink& pe, double now);
  void greet(PeerLink& pe);
  void read_frames(PeerLink& pe);
  void drop(PeerLink& pe, const char* why, bool ban);
  void release(PeerLink& pe);
  void take_news();
  void take_strikes();
  void choke_round(double now);
  void publish_rows(double now);

  // transfer_peer.cpp: one connection.
  void on_message(PeerLink& pe, const PeerMsg& m);
  void on_piece(PeerLink& pe, const PeerMsg& m);
  void update_interest(PeerLink& pe);
  std::string our_bitfield();
  bool claim(PeerLink& pe);
  void send_requests(PeerLink& pe, bool backlog);
  void serve_asks(PeerLink& pe, double now);
  void cancel_fetch(PeerLink& pe, size_t i);

  // The helpers that check and store whole pieces, so the loop reads on
  // meanwhile. Piece buffers go round between the loop and the helpers
  // instead of being allocated afresh: fresh ones cost page faults on the
  // loop thread.
  struct Job {
    u32 uid, piece;  // grid piece
    std::string bytes;
  };
  struct BadPiece {
    u32 uid, piece;
  };
  std::mutex fin_mu_;
  std::condition_variable fin_cv_;
  std::deque<Job> jobs_;
  std::vector<BadPiece> bad_;
  std::vector<std::string> spare_;
  bool fin_quit_ = false;
  std::vector<std::thread> finishers_;
  void finisher();
  void finish_piece(PeerLink& pe, size_t i);
  bool backlog();
};

// The engine's plain decisions: which source gets which piece, the end
// game, mirror strikes and back-offs, which peers to connect to and when,
// which to unchoke, the upload cap. No Windows calls, so they test fast and
// alone; the engine keeps them under its lock.
#pragma once

#include <string>
#include <vector>

#include "core/common.h"

// What the piece map's bytes mean (TransferSnapshot::piece_map).
enum : u8 { kMissing = 0, kInFlight = 1, kFromMirror = 2, kFromPeer = 3, kResumed = 4 };

constexpr u32 kPieceSize = 4u << 20;  // the grid without a torrent

u32 piece_count(u64 total, u32 piece_size);

struct Span {
  u32 first = 0;
  u32 count = 0;
};
// The run of missing pieces a mirror slot claims next: from the lowest missing
// piece, consecutive, at most 16 MiB and at most the missing bytes over twice
// the slot count (at least one piece), so every slot has work on a small file;
// and near the start of the file at most its offset over the slot count,
// so the first pieces come in together and the whole-file hash, which
// reads the file in order, starts at once.
Span next_span(const std::vector<u8>& map, u32 piece_size, int slots);

// ---- pieces and their copies ------------------------------------------------

// Which pieces are missing, in flight (and which sources hold a copy), or
// in. A source is a mirror slot (its index) or a peer (an id of its own).
// Plain bookkeeping: the engine keeps it under its lock.
class PieceBook {
 public:
  void reset(u32 pieces);
  u32 size() const { return u32(map.size()); }
  // The snapshot's piece map: kMissing .. kResumed per piece.
  std::vector<u8> map;

  // A missing piece goes in flight with `source` as its one holder.
  void claim(u32 p, int source, double now);
  // The end game, for a source that found nothing missing to claim: a copy
  // of the piece in flight that it can serve (has: null for every piece)
  // and that neither it nor its kin hold (the other slots of its mirror: a
  // second copy from the same server gains nothing), the one with the
  // fewest copies and among those the one in flight longest. -1 when there
  // is none; else the source now holds that piece too.
  int copy_for(int source, const std::vector<bool>* has, const std::vector<int>& kin = {});
  bool holds(u32 p, int source) const;
  // The source gives its copy up (a failed request, a choke, a drop); with
  // no copy left the piece is missing again.
  void let_go(u32 p, int source);
  // A copy of p arrived whole (and passed its check): true when it is the
  // first, which is then final and may be written; false when another copy
  // came first, and this one is dropped before it touches the file.
  bool take(u32 p);
  bool taken(u32 p) const { return p < flight_.size() && flight_[p].taken; }
  // The sources fetching a copy of p.
  const std::vector<int>& holders(u32 p) const { return flight_[p].holders; }
  // The final copy of p is on disk; `from` is kFromMirror or kFromPeer.
  void stored(u32 p, u8 from);
  // Whether a source still needs to fetch p: it holds a copy and no copy
  // has been taken yet.
  bool wanted_from(u32 p, int source) const { return !taken(p) && holds(p, source); }
  bool all_in() const;

 private:
  struct Flight {
    double since = 0;          // when the first copy was claimed
    std::vector<int> holders;  // sources fetching a copy
    bool taken = false;        // a copy is final
  };
  std::vector<Flight> flight_;
};

// ---- mirror health ------------------------------------------------------------

// A mirror's failures and back-offs. One event at the server (a reset, a
// stall, a reload) hits every open request to it at once, and counts as one
// strike, not one per request: a request opened before the last strike was
// counted failed with that strike's event. Strikes in a row wait 1 s, then
// 2 s; the third drops the mirror, which is tried again after 10 s, 20 s,
// 40 s ... up to 5 minutes. A failure that will not mend (the file is not
// there, the data is bad, the probe failed) drops it for the run.
struct MirrorHealth {
  int strikes = 0;            // events in a row since a request went well
  double struck_at = -1e300;  // when the last strike was counted
  double retry_at = 0;        // no new request before then
  int drops = 0;              // times dropped in this run
  bool dropped = false;       // until retry_at
  bool gone = false;          // for the rest of the run
};

constexpr int kMirrorStrikes = 3;

enum class MirrorVerdict { same_event, strike, dropped, gone };
// A request opened at `opened` failed at `now`. for_good: it will not mend;
// drop_now: drop at once (a stall while other mirrors are alive).
MirrorVerdict mirror_failed(MirrorHealth& m, double opened, double now, bool for_good, bool drop_now);
// A request went well: the strikes in a row start over.
void mirror_succeeded(MirrorHealth& m);
// Whether the mirror takes a new request now; a dropped one whose back-off
// is over comes back with no strikes.
bool mirror_usable(MirrorHealth& m, double now);

// ---- the peers we know -----------------------------------------------------

// Every peer address heard of (trackers, the DHT, peer exchange, the
// extra-peer variable) and when to connect to it: at once when new; after
// a drop or a failed connection again after 5 s, 10 s, 20 s ... up to 5
// minutes (after a handshake the count starts over); never again after it
// broke the protocol or sent bad data.
class PeerBook {
 public:
  // False when the address is known already.
  bool add(const std::string& key);
  size_t size() const { return peers_.size(); }
  const std::string& key(size_t i) const { return peers_[i].key; }
  // Up to `room` peers to connect to now: the ones never tried first, then
  // those whose back-off is over, the longest waiting first. They count as
  // connected from now on.
  std::vector<size_t> due(double now, size_t room);
  void handshaken(size_t i) { peers_[i].fails = 0; }
  void dropped(size_t i, double now, bool ban);
  // When the next peer not connected may be tried; a large number when none.
  double next_try() const;

 private:
  struct Known {
    std::string key;
    int fails = 0;
    double retry_at = 0;
    bool connected = false, banned = false;
  };
  std::vector<Known> peers_;
};

// Whether a tracker is asked again now: after its interval (at most a
// minute while downloading), or sooner, 15 s after the last time and not
// before its minimum interval, while no peer is connected.
bool announce_due(double since_last, double interval, double min_interval, bool starving);

// ---- the swarm's choices -------------------------------------------------

// The next piece to ask a peer for: of the pieces it has that are missing
// and unclaimed, the one the fewest known peers have; among equals the first
// at or after `from` (wrapping), so peers starting at different points
// spread out. -1 when the peer has nothing we still need.
int pick_rarest(const std::vector<u8>& map, const std::vector<u16>& avail, const std::vector<bool>& has,
                u32 from);

struct PeerChoice {
  float rate = 0;  // bytes per second it sends us (we download) or we send it (we seed)
  bool interested = false;
};
// The peers to unchoke: up to `regular` interested peers, the fastest first
// when rate-ranked (else in the order given, which the caller rotates),
// plus `optimistic` (an index, -1 for none) when it is interested and not
// already among them.
std::vector<int> choose_unchoked(const std::vector<PeerChoice>& peers, int regular, bool rate_ranked,
                                 int optimistic);

// The upload cap: a bucket refilled at `cap` bytes per second that holds at
// most one second's worth; cap 0 lets everything through.
class RateCap {
 public:
  explicit RateCap(u64 cap) : cap_(cap), tokens_(double(cap)) {}
  bool take(u64 n, double now);

 private:
  u64 cap_;
  double tokens_;
  double last_ = -1;
};

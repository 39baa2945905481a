// Tracker announces over HTTP (compact peer lists and the full form) and
// over UDP (connect, then announce, resent on the protocol's time-outs).
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "bt/bt_peer.h"
#include "core/common.h"

class HttpAbort;

struct AnnounceReq {
  std::string url;  // http://, https:// or udp://
  std::string info_hash, peer_id;  // 20 raw bytes each
  u16 port = 0;                    // where we accept peers (0: none; 1 is sent so trackers accept it)
  u64 uploaded = 0, downloaded = 0, left = 0;
  enum Event : u8 { none = 0, completed = 1, started = 2, stopped = 3 } event = none;
  int numwant = 50;
  u32 key = 0;
  std::string tracker_id;  // from an earlier reply, sent back
};

struct AnnounceResp {
  std::vector<PeerAddr> peers;
  u32 interval = 1800, min_interval = 0;  // seconds
  i64 seeders = -1, leechers = -1;        // -1 when not told
  std::string warning, tracker_id;
};

// UDP resends: the first wait, doubled after every silent try.
struct UdpTiming {
  u32 first_wait_ms = 15000;
  int tries = 9;  // the protocol's 15 s doubling up to 3840 s
};

// One announce; stop (when given) is polled so a pause ends a UDP wait at
// once, abort ends an HTTP one. Errors: "bad tracker reply", "no UDP reply",
// "HTTP <n>", "tracker: <its reason>", "cannot resolve tracker",
// "unsupported tracker URL", "stopped".
[[nodiscard]] bool announce(const AnnounceReq& req, AnnounceResp& resp, std::string& err, HttpAbort* abort = nullptr,
                            const std::atomic<bool>* stop = nullptr, const UdpTiming& timing = {});

// One tier of trackers, as the multi-tracker rule has it: tried in order
// until one answers, and the one that answers moves to the front, so the
// next announce goes to it first. A UDP tracker gets one wait (by default
// the protocol's first, 15 s) before the next tracker of the tier is tried,
// so a dead one cannot hold the others back for the protocol's whole
// resend schedule (about two hours).
class TrackerTier {
 public:
  explicit TrackerTier(std::vector<std::string> urls) : urls_(std::move(urls)) {}
  // req.url is set from the tier; false when no tracker of the tier answered
  // (err: the last one's error) or when stopped.
  [[nodiscard]] bool announce(AnnounceReq req, AnnounceResp& resp, std::string& err, HttpAbort* abort = nullptr,
                              const std::atomic<bool>* stop = nullptr, const UdpTiming& timing = {15000, 1});
  const std::vector<std::string>& urls() const { return urls_; }
  // The tracker that answered last, empty when none has.
  const std::string& answered() const { return answered_; }

 private:
  std::vector<std::string> urls_;
  std::string answered_;
};

// ---- the pieces, apart from the network -------------------------------------
std::string announce_url(const AnnounceReq& req);
bool parse_announce_reply(std::string_view body, AnnounceResp& resp, std::string& err);
// "udp://host:port[/path]" into host and port.
bool parse_udp_tracker(std::string_view url, std::string& host, u16& port);
std::string udp_connect_packet(u32 tid);
std::string udp_announce_packet(u64 conn_id, u32 tid, const AnnounceReq& req);
// A reply to transaction tid: 0 connect (conn_id set), 1 announce (resp
// filled), -1 error or not ours (err set). v6: peers are 18 bytes each.
int parse_udp_reply(std::string_view pkt, u32 tid, u64& conn_id, AnnounceResp& resp, bool v6, std::string& err);

// DHT: the KRPC messages ping, find_node and get_peers, and a get_peers
// lookup that walks towards the info-hash from bootstrap nodes.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "bt/bt_peer.h"
#include "core/common.h"

// Well-known routers a lookup starts from when it knows no node yet.
extern const char* const kBootstrap[];
extern const size_t kBootstrapCount;

struct DhtNode {
  std::string id;  // 20 raw bytes
  PeerAddr addr;
};

struct Krpc {
  std::string t;  // transaction id
  char y = 0;     // 'q' query, 'r' reply, 'e' error
  std::string q;  // query name
  std::string id;                 // the sender's node id
  std::string target;             // find_node target or get_peers info-hash
  std::string token;
  std::vector<DhtNode> nodes;     // "nodes" (IPv4) and "nodes6"
  std::vector<PeerAddr> values;   // peers from get_peers
  int err_code = 0;
  std::string err_msg;            // cut to 200 bytes
};

std::string krpc_ping(std::string_view t, std::string_view id);
std::string krpc_find_node(std::string_view t, std::string_view id, std::string_view target);
std::string krpc_get_peers(std::string_view t, std::string_view id, std::string_view info_hash);
// A reply the way a node answers get_peers (values when it has peers, else nodes).
std::string krpc_reply(std::string_view t, std::string_view id, const std::vector<DhtNode>& nodes,
                       const std::vector<PeerAddr>& values, std::string_view token);
bool parse_krpc(std::string_view pkt, Krpc& m, std::string& err);

struct DhtStats {
  u32 queries = 0;     // sent
  u32 replies = 0;     // good replies
  u32 timeouts = 0;    // queries never answered
  u32 errors = 0;      // error replies and malformed packets
  u32 nodes_seen = 0;  // distinct nodes learned
  u32 peers = 0;       // distinct peers found
  double seconds = 0;
};

struct DhtOptions {
  u32 query_timeout_ms = 2000;
  u32 max_ms = 30000;      // the whole lookup
  size_t alpha = 8;        // queries in flight at once
  size_t max_queries = 400;
};

// Walks from the bootstrap nodes ("host:port"; kBootstrap when none are
// given) towards info_hash, asking get_peers of the closest nodes until the
// eight closest have answered (IPv4 nodes only). Peers arrive through
// on_peers (new ones only) as they come, and all of them in `peers`. False
// ("no DHT reply", "no DHT bootstrap", "stopped") when no node answered or
// stop was raised.
[[nodiscard]] bool dht_get_peers(std::string_view info_hash, const std::vector<std::string>& bootstrap,
                                 std::vector<PeerAddr>& peers, DhtStats& stats, std::string& err,
                                 const std::atomic<bool>* stop = nullptr, const DhtOptions& opt = {},
                                 const std::function<void(const std::vector<PeerAddr>&)>& on_peers = {});

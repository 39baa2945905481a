#include "bt/bt_dht.h"

#include <winsock2.h>

#include <algorithm>

#include "bt/bt_bencode.h"
#include "bt/bt_hash.h"

const char* const kBootstrap[] = {
    "router.bittorrent.com:6881",
    "dht.transmissionbt.com:6881",
    "router.utorrent.com:6881",
    "dht.libtorrent.org:25401",
};
const size_t kBootstrapCount = sizeof kBootstrap / sizeof kBootstrap[0];

namespace {

std::string query(std::string_view t, std::string_view name, BNode args) {
  BNode d = BNode::new_dict();
  d.set("a", std::move(args));
  d.set("q", BNode::of_str(name));
  d.set("t", BNode::of_str(t));
  d.set("y", BNode::of_str("q"));
  return bencode(d);
}

BNode with_id(std::string_view id) {
  BNode a = BNode::new_dict();
  a.set("id", BNode::of_str(id));
  return a;
}

std::string compact_nodes(const std::vector<DhtNode>& nodes, bool v6) {
  std::string s;
  for (const DhtNode& n : nodes)
    if (n.addr.v6 == v6 && n.id.size() == 20) s += n.id + compact_peer(n.addr);
  return s;
}

void parse_nodes(std::string_view b, bool v6, std::vector<DhtNode>& out) {
  size_t step = v6 ? 38 : 26;
  // a UDP datagram holds no more than this; more is a malformed packet
  for (size_t at = 0; at + step <= b.size() && out.size() < 64; at += step) {
    DhtNode n;
    n.id = b.substr(at, 20);
    std::vector<PeerAddr> a = parse_compact_peers(b.substr(at + 20, step - 20), v6);
    n.addr = a[0];
    out.push_back(std::move(n));
  }
}

}  // namespace

std::string krpc_ping(std::string_view t, std::string_view id) { return query(t, "ping", with_id(id)); }

std::string krpc_find_node(std::string_view t, std::string_view id, std::string_view target) {
  BNode a = with_id(id);
  a.set("target", BNode::of_str(target));
  return query(t, "find_node", std::move(a));
}

std::string krpc_get_peers(std::string_view t, std::string_view id, std::string_view info_hash) {
  BNode a = with_id(id);
  a.set("info_hash", BNode::of_str(info_hash));
  return query(t, "get_peers", std::move(a));
}

std::string krpc_reply(std::string_view t, std::string_view id, const std::vector<DhtNode>& nodes,
                       const std::vector<PeerAddr>& values, std::string_view token) {
  BNode r = with_id(id);
  if (!nodes.empty()) {
    std::string n4 = compact_nodes(nodes, false), n6 = compact_nodes(nodes, true);
    if (!n4.empty()) r.set("nodes", BNode::of_str(n4));
    if (!n6.empty()) r.set("nodes6", BNode::of_str(n6));
  }
  if (!token.empty()) r.set("token", BNode::of_str(token));
  if (!values.empty()) {
    BNode& v = r.set("values", BNode::new_list());
    for (const PeerAddr& a : values) v.add(BNode::of_str(compact_peer(a)));
  }
  BNode d = BNode::new_dict();
  d.set("r", std::move(r));
  d.set("t", BNode::of_str(t));
  d.set("y", BNode::of_str("r"));
  return bencode(d);
}

bool parse_krpc(std::string_view pkt, Krpc& out, std::string& err) {
  BNode d;
  BLimits lim;
  lim.depth = 6;
  lim.nodes = 2048;
  lim.input = 65536;
  Krpc m;
  const BNode *t, *y;
  if (!bdecode(pkt, d, err, lim) || !(t = d.get_str("t")) || !(y = d.get_str("y")) || y->s.size() != 1 ||
      t->s.size() > 64) {
    err = "bad KRPC message";
    return false;
  }
  m.t = t->s;
  m.y = y->s[0];
  const BNode* body = nullptr;
  if (m.y == 'q') {
    const BNode* q = d.get_str("q");
    body = d.get_dict("a");
    if (!q || !body) {
      err = "bad KRPC message";
      return false;
    }
    m.q = q->s.substr(0, 64);
  } else if (m.y == 'r') {
    body = d.get_dict("r");
  } else if (m.y == 'e') {
    const BNode* e = d.get_list("e");
    if (!e || e->items.size() < 2 || !e->items[0].is_int() || !e->items[1].is_str()) {
      err = "bad KRPC message";
      return false;
    }
    m.err_code = int(std::clamp<i64>(e->items[0].i, -1, 1000000));
    m.err_msg = e->items[1].s.substr(0, 200);
    out = std::move(m);
    return true;
  }
  if (!body) {
    err = "bad KRPC message";
    return false;
  }
  const BNode* id = body->get_str("id");
  if (!id || id->s.size() != 20) {
    err = "bad KRPC message";
    return false;
  }
  m.id = id->s;
  if (const BNode* v = body->get_str("target"); v && v->s.size() == 20) m.target = v->s;
  if (const BNode* v = body->get_str("info_hash"); v && v->s.size() == 20) m.target = v->s;
  if (const BNode* v = body->get_str("token")) m.token = v->s.substr(0, 64);
  if (const BNode* v = body->get_str("nodes")) parse_nodes(v->s, false, m.nodes);
  if (const BNode* v = body->get_str("nodes6")) parse_nodes(v->s, true, m.nodes);
  if (const BNode* v = body->get_list("values"))
    for (const BNode& p : v->items)
      if (p.is_str() && (p.s.size() == 6 || p.s.size() == 18) && m.values.size() < 200)
        m.values.push_back(parse_compact_peers(p.s, p.s.size() == 18)[0]);
  out = std::move(m);
  return true;
}

// ---- lookup -----------------------------------------------------------------

namespace {

struct Candidate {
  std::string id;  // empty for a bootstrap node not heard from yet
  PeerAddr addr;
  enum State { fresh, asked, answered, failed } state = fresh;
  double sent_at = 0;
  std::string tid;
};

// Whether a is closer to target than b (XOR metric); nodes without an id
// (bootstrap) come first so they are asked before anything else.
bool closer(const std::string& target, const Candidate& a, const Candidate& b) {
  if (a.id.empty() != b.id.empty()) return a.id.empty();
  for (size_t i = 0; i < 20 && i < a.id.size() && i < b.id.size(); ++i) {
    u8 x = u8(a.id[i]) ^ u8(target[i]), y = u8(b.id[i]) ^ u8(target[i]);
    if (x != y) return x < y;
  }
  return false;
}

// Routable for a lookup: not the unspecified address and not port 0. (A
// loopback node is fine: tests and local networks have them.)
bool usable(const PeerAddr& a) {
  static const u8 zero[16] = {};
  return a.port != 0 && memcmp(a.ip, zero, a.v6 ? 16 : 4) != 0;
}

}  // namespace

bool dht_get_peers(std::string_view info_hash, const std::vector<std::string>& bootstrap,
                   std::vector<PeerAddr>& peers, DhtStats& st, std::string& err, const std::atomic<bool>* stop,
                   const DhtOptions& opt, const std::function<void(const std::vector<PeerAddr>&)>& on_peers) {
  double t0 = now_s();
  st = DhtStats();
  std::string target(info_hash.substr(0, 20));
  target.resize(20, '\0');
  std::vector<Candidate> cands;
  std::vector<std::string> routers(kBootstrap, kBootstrap + kBootstrapCount);
  for (const std::string& b : bootstrap.empty() ? routers : bootstrap) {
    size_t colon = b.rfind(':');
    if (colon == std::string::npos) continue;
    std::string host = b.substr(0, colon);
    if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    int port = atoi(b.c_str() + colon + 1);
    std::vector<PeerAddr> addrs;
    if (port <= 0 || port > 65535 || !resolve_host(host, u16(port), addrs)) continue;
    for (const PeerAddr& a : addrs)
      if (!a.v6) {
        Candidate c;
        c.addr = a;
        cands.push_back(c);
      }
  }
  if (cands.empty()) {
    err = "no DHT bootstrap";
    return false;
  }
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) {
    err = "no UDP socket";
    return false;
  }
  std::string our_id(20, '\0');
  if (!random_bytes(our_id.data(), 20)) our_id = Hasher::sha1(strf("%f", now_s()));
  u16 seq = 0;
  if (!random_bytes(&seq, sizeof seq)) seq = u16(now_s() * 1000);
  const size_t K = 8, kMaxCandidates = 1000;
  bool stopped = false;
  for (;;) {
    if (stop && stop->load()) {
      stopped = true;
      break;
    }
    double now = now_s();
    if (now - t0 > opt.max_ms / 1000.0) break;
    std::stable_sort(cands.begin(), cands.end(),
                     [&](const Candidate& a, const Candidate& b) { return closer(target, a, b); });
    // Time-outs first, then new queries to the closest nodes not asked yet,
    // looking only as far as the K closest that have not failed.
    size_t in_flight = 0;
    for (Candidate& c : cands) {
      if (c.state == Candidate::asked && now - c.sent_at > opt.query_timeout_ms / 1000.0) {
        c.state = Candidate::failed;
        ++st.timeouts;
      }
      if (c.state == Candidate::asked) ++in_flight;
    }
    size_t good = 0;
    bool pending = false;
    for (Candidate& c : cands) {
      if (c.state == Candidate::failed) continue;
      if (good++ >= K) break;
      if (c.state == Candidate::fresh && in_flight < opt.alpha && st.queries < opt.max_queries) {
        c.tid = std::string(reinterpret_cast<const char*>(&seq), 2);
        ++seq;
        std::string pkt = krpc_get_peers(c.tid, our_id, target);
        sockaddr_storage ss;
        int sl = to_sockaddr(c.addr, &ss);
        sendto(s, pkt.data(), int(pkt.size()), 0, reinterpret_cast<sockaddr*>(&ss), sl);
        c.state = Candidate::asked;
        c.sent_at = now;
        ++st.queries;
        ++in_flight;
      }
      if (c.state != Candidate::answered) pending = true;
    }
    if (!pending || (in_flight == 0 && st.queries >= opt.max_queries)) break;

    std::string pkt;
    PeerAddr from;
    int r = udp_receive(uintptr_t(s), pkt, from, 100, stop);
    if (r < 0) {
      stopped = true;
      break;
    }
    if (r == 0) continue;
    Krpc m;
    std::string perr;
    auto it = std::find_if(cands.begin(), cands.end(), [&](const Candidate& c) { return c.addr == from; });
    if (it == cands.end() || it->state != Candidate::asked) continue;
    if (!parse_krpc(pkt, m, perr) || m.t != it->tid || m.y == 'q') {
      ++st.errors;
      continue;
    }
    if (m.y == 'e') {
      ++st.errors;
      it->state = Candidate::failed;
      continue;
    }
    it->state = Candidate::answered;
    it->id = m.id;
    ++st.replies;
    std::vector<PeerAddr> fresh;
    for (const PeerAddr& p : m.values)
      if (usable(p) && std::find(peers.begin(), peers.end(), p) == peers.end()) {
        peers.push_back(p);
        fresh.push_back(p);
      }
    st.peers = u32(peers.size());
    if (!fresh.empty() && on_peers) on_peers(fresh);
    for (const DhtNode& n : m.nodes) {
      if (n.addr.v6 || !usable(n.addr) || n.id == our_id || cands.size() >= kMaxCandidates) continue;
      if (std::find_if(cands.begin(), cands.end(), [&](const Candidate& c) { return c.addr == n.addr; }) !=
          cands.end())
        continue;
      Candidate c;
      c.id = n.id;
      c.addr = n.addr;
      cands.push_back(c);
      ++st.nodes_seen;
    }
  }
  closesocket(s);
  st.seconds = now_s() - t0;
  if (stopped) {
    err = "stopped";
    return false;
  }
  if (st.replies == 0) {
    err = "no DHT reply";
    return false;
  }
  return true;
}

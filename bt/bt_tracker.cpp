#include "bt/bt_tracker.h"

#include <winsock2.h>

#include <algorithm>

#include "bt/bt_bencode.h"
#include "bt/bt_hash.h"
#include "bt/bt_http.h"

namespace {

std::string url_escape(std::string_view s) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += char(c);
    } else {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    }
  }
  return out;
}

void put(std::string& s, u64 v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) s += char(v >> (8 * i));
}

u64 get(std::string_view s, size_t at, int bytes) {
  u64 v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | u8(s[at + size_t(i)]);
  return v;
}

// Remote texts reach the user's screen and the log: cut, and made printable.
std::string remote_text(std::string_view s) {
  std::string out(s.substr(0, 200));
  for (char& c : out)
    if (u8(c) < 0x20 || c == 0x7f) c = ' ';
  return out;
}

const u64 kUdpMagic = 0x41727101980ull;

}  // namespace

std::string announce_url(const AnnounceReq& r) {
  std::string u = r.url;
  u += r.url.find('?') == std::string::npos ? '?' : '&';
  u += "info_hash=" + url_escape(r.info_hash);
  u += "&peer_id=" + url_escape(r.peer_id);
  u += strf("&port=%u&uploaded=%llu&downloaded=%llu&left=%llu&compact=1&numwant=%d&key=%08x", r.port ? r.port : 1,
            (unsigned long long)r.uploaded, (unsigned long long)r.downloaded, (unsigned long long)r.left, r.numwant,
            r.key);
  static const char* const events[] = {"", "completed", "started", "stopped"};
  if (r.event != AnnounceReq::none) u += std::string("&event=") + events[r.event];
  if (!r.tracker_id.empty()) u += "&trackerid=" + url_escape(r.tracker_id);
  return u;
}

bool parse_announce_reply(std::string_view body, AnnounceResp& out, std::string& err) {
  BNode d;
  BLimits lim;
  lim.depth = 8;
  lim.nodes = 100000;
  lim.input = 4 << 20;
  if (!bdecode(body, d, err, lim) || !d.is_dict()) {
    err = "bad tracker reply";
    return false;
  }
  if (const BNode* f = d.get_str("failure reason")) {
    err = "tracker: " + remote_text(f->s);
    return false;
  }
  AnnounceResp r;
  if (const BNode* n = d.get_int("interval"); n && n->i > 0) r.interval = u32(std::min<i64>(n->i, 86400));
  if (const BNode* n = d.get_int("min interval"); n && n->i > 0) r.min_interval = u32(std::min<i64>(n->i, 86400));
  if (const BNode* n = d.get_int("complete"); n && n->i >= 0) r.seeders = n->i;
  if (const BNode* n = d.get_int("incomplete"); n && n->i >= 0) r.leechers = n->i;
  if (const BNode* n = d.get_str("warning message")) r.warning = remote_text(n->s);
  if (const BNode* n = d.get_str("tracker id")) r.tracker_id = n->s.substr(0, 200);
  const BNode* peers = d.get("peers");
  if (!peers && !d.get("peers6")) {
    err = "bad tracker reply";
    return false;
  }
  if (peers && peers->is_str()) {
    r.peers = parse_compact_peers(peers->s, false);
  } else if (peers && peers->is_list()) {
    for (const BNode& p : peers->items) {
      const BNode* ip = p.get_str("ip");
      const BNode* port = p.get_int("port");
      if (!ip || !port || port->i <= 0 || port->i > 65535 || r.peers.size() >= 2000) continue;
      PeerAddr a;
      bool v6 = ip->s.find(':') != std::string::npos;
      if (parse_peer_addr((v6 ? "[" + ip->s + "]" : ip->s) + strf(":%lld", (long long)port->i), a))
        r.peers.push_back(a);
    }
  }
  if (const BNode* p6 = d.get_str("peers6"))
    for (const PeerAddr& a : parse_compact_peers(p6->s, true)) r.peers.push_back(a);
  out = std::move(r);
  return true;
}

bool parse_udp_tracker(std::string_view url, std::string& host, u16& port) {
  if (url.substr(0, 6) != "udp://") return false;
  url.remove_prefix(6);
  url = url.substr(0, url.find('/'));
  size_t colon = url.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  std::string_view h = url.substr(0, colon), p = url.substr(colon + 1);
  if (h.size() > 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
  u32 n = 0;
  for (char c : p) {
    if (c < '0' || c > '9' || n > 65535) return false;
    n = n * 10 + u32(c - '0');
  }
  if (p.empty() || n == 0 || n > 65535 || h.empty()) return false;
  host = h;
  port = u16(n);
  return true;
}

std::string udp_connect_packet(u32 tid) {
  std::string s;
  put(s, kUdpMagic, 8);
  put(s, 0, 4);
  put(s, tid, 4);
  return s;
}

std::string udp_announce_packet(u64 conn_id, u32 tid, const AnnounceReq& r) {
  std::string s;
  put(s, conn_id, 8);
  put(s, 1, 4);
  put(s, tid, 4);
  s += r.info_hash.substr(0, 20);
  s.resize(36, '\0');
  s += r.peer_id.substr(0, 20);
  s.resize(56, '\0');
  put(s, r.downloaded, 8);
  put(s, r.left, 8);
  put(s, r.uploaded, 8);
  put(s, r.event, 4);
  put(s, 0, 4);  // our address: the one the packet comes from
  put(s, r.key, 4);
  put(s, u32(r.numwant), 4);
  put(s, r.port ? r.port : 1, 2);
  return s;
}

int parse_udp_reply(std::string_view pkt, u32 tid, u64& conn_id, AnnounceResp& resp, bool v6, std::string& err) {
  if (pkt.size() < 8 || get(pkt, 4, 4) != tid) {
    err = "bad tracker reply";
    return -1;
  }
  u32 action = u32(get(pkt, 0, 4));
  if (action == 3) {
    err = "tracker: " + remote_text(pkt.substr(8));
    return -1;
  }
  if (action == 0 && pkt.size() >= 16) {
    conn_id = get(pkt, 8, 8);
    return 0;
  }
  if (action == 1 && pkt.size() >= 20) {
    AnnounceResp r;
    r.interval = u32(std::min<u64>(std::max<u64>(get(pkt, 8, 4), 1), 86400));
    r.leechers = i64(get(pkt, 12, 4));
    r.seeders = i64(get(pkt, 16, 4));
    r.peers = parse_compact_peers(pkt.substr(20), v6);
    resp = std::move(r);
    return 1;
  }
  err = "bad tracker reply";
  return -1;
}

namespace {

bool announce_http(const AnnounceReq& req, AnnounceResp& resp, std::string& err, HttpAbort* abort) {
  HttpReq http;
  std::string body;
  if (!http.open(announce_url(req), 0, 0, abort, 15000, err) || !http.read_all(body, 4 << 20, err)) return false;
  return parse_announce_reply(body, resp, err);
}

bool announce_udp(const AnnounceReq& req, AnnounceResp& resp, std::string& err, const std::atomic<bool>* stop,
                  const UdpTiming& timing) {
  std::string host;
  u16 port;
  std::vector<PeerAddr> addrs;
  if (!parse_udp_tracker(req.url, host, port)) {
    err = "unsupported tracker URL";
    return false;
  }
  if (!resolve_host(host, port, addrs)) {
    err = "cannot resolve tracker";
    return false;
  }
  const PeerAddr& to = addrs[0];
  SOCKET s = socket(to.v6 ? AF_INET6 : AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) {
    err = "no UDP socket";
    return false;
  }
  sockaddr_storage ss;
  int sl = to_sockaddr(to, &ss);
  u64 conn_id = 0;
  bool connected = false;
  double connected_at = 0;
  u32 tid = 0;
  err = "no UDP reply";
  bool ok = false;
  for (int attempt = 0; attempt < timing.tries && !ok;) {
    // A connection id is good for a minute.
    if (connected && now_s() - connected_at > 60) connected = false;
    if (!random_bytes(&tid, sizeof tid)) tid = u32(now_s() * 1000);
    std::string pkt = connected ? udp_announce_packet(conn_id, tid, req) : udp_connect_packet(tid);
    sendto(s, pkt.data(), int(pkt.size()), 0, reinterpret_cast<sockaddr*>(&ss), sl);
    u32 wait = timing.first_wait_ms << std::min(attempt, 8);
    double until = now_s() + wait / 1000.0;
    bool answered = false;
    while (!answered) {
      double left = until - now_s();
      std::string in;
      PeerAddr from;
      int r = left > 0 ? udp_receive(uintptr_t(s), in, from, u32(left * 1000) + 1, stop) : 0;
      if (r < 0) {
        err = "stopped";
        closesocket(s);
        return false;
      }
      if (r == 0) break;
      if (!(from == to)) continue;
      std::string perr;
      u64 id = 0;
      int action = parse_udp_reply(in, tid, id, resp, to.v6, perr);
      if (action < 0 && perr.compare(0, 8, "tracker:") == 0) {
        err = perr;
        closesocket(s);
        return false;
      }
      if (action == 0 && !connected) {
        conn_id = id;
        connected = true;
        connected_at = now_s();
        answered = true;
      } else if (action == 1 && connected) {
        ok = true;
        answered = true;
      }
    }
    if (!answered) ++attempt;
  }
  closesocket(s);
  if (ok) err.clear();
  return ok;
}

}  // namespace

bool announce(const AnnounceReq& req, AnnounceResp& resp, std::string& err, HttpAbort* abort,
              const std::atomic<bool>* stop, const UdpTiming& timing) {
  if (req.url.compare(0, 7, "http://") == 0 || req.url.compare(0, 8, "https://") == 0)
    return announce_http(req, resp, err, abort);
  if (req.url.compare(0, 6, "udp://") == 0) return announce_udp(req, resp, err, stop, timing);
  err = "unsupported tracker URL";
  return false;
}

bool TrackerTier::announce(AnnounceReq req, AnnounceResp& resp, std::string& err, HttpAbort* abort,
                           const std::atomic<bool>* stop, const UdpTiming& timing) {
  err = "no tracker";
  for (size_t i = 0; i < urls_.size(); ++i) {
    if (stop && stop->load()) {
      err = "stopped";
      return false;
    }
    req.url = urls_[i];
    if (::announce(req, resp, err, abort, stop, timing)) {
      answered_ = urls_[i];
      std::rotate(urls_.begin(), urls_.begin() + long(i), urls_.begin() + long(i) + 1);
      return true;
    }
    if (err == "stopped") return false;
  }
  return false;
}

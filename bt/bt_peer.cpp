#include "bt/bt_peer.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "bt/bt_bencode.h"
#include "bt/bt_hash.h"

// ---- addresses ------------------------------------------------------------

std::string PeerAddr::str() const {
  char text[64] = "?";
  if (v6) {
    in6_addr a;
    memcpy(&a, ip, 16);
    inet_ntop(AF_INET6, &a, text, sizeof text);
    return strf("[%s]:%u", text, port);
  }
  return strf("%u.%u.%u.%u:%u", ip[0], ip[1], ip[2], ip[3], port);
}

bool parse_peer_addr(std::string_view s, PeerAddr& out) {
  PeerAddr a;
  size_t colon = s.rfind(':');
  if (colon == std::string_view::npos || colon + 1 >= s.size() || s.size() - colon > 6) return false;
  u32 port = 0;
  for (char c : s.substr(colon + 1)) {
    if (c < '0' || c > '9') return false;
    port = port * 10 + u32(c - '0');
  }
  if (port == 0 || port > 65535) return false;
  std::string host(s.substr(0, colon));
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    in6_addr v;
    if (inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &v) != 1) return false;
    memcpy(a.ip, &v, 16);
    a.v6 = true;
  } else {
    in_addr v;
    if (host.find_first_not_of("0123456789.") != std::string::npos || inet_pton(AF_INET, host.c_str(), &v) != 1)
      return false;
    memcpy(a.ip, &v, 4);
  }
  a.port = u16(port);
  out = a;
  return true;
}

std::vector<PeerAddr> parse_compact_peers(std::string_view b, bool v6, size_t max_peers) {
  size_t step = v6 ? 18 : 6, n = std::min(b.size() / step, max_peers);
  std::vector<PeerAddr> out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const u8* p = reinterpret_cast<const u8*>(b.data()) + i * step;
    PeerAddr a;
    a.v6 = v6;
    memcpy(a.ip, p, v6 ? 16 : 4);
    a.port = u16(p[step - 2] << 8 | p[step - 1]);
    out.push_back(a);
  }
  return out;
}

std::string compact_peer(const PeerAddr& a) {
  std::string s(reinterpret_cast<const char*>(a.ip), a.v6 ? 16 : 4);
  s += char(a.port >> 8);
  s += char(a.port & 255);
  return s;
}

// ---- sockets ----------------------------------------------------------------

int to_sockaddr(const PeerAddr& a, void* out) {
  memset(out, 0, sizeof(sockaddr_storage));
  if (a.v6) {
    sockaddr_in6* s = static_cast<sockaddr_in6*>(out);
    s->sin6_family = AF_INET6;
    memcpy(&s->sin6_addr, a.ip, 16);
    s->sin6_port = htons(a.port);
    return sizeof *s;
  }
  sockaddr_in* s = static_cast<sockaddr_in*>(out);
  s->sin_family = AF_INET;
  memcpy(&s->sin_addr, a.ip, 4);
  s->sin_port = htons(a.port);
  return sizeof *s;
}

PeerAddr from_sockaddr(const void* sa) {
  PeerAddr a;
  const sockaddr* s = static_cast<const sockaddr*>(sa);
  if (s->sa_family == AF_INET6) {
    const sockaddr_in6* s6 = static_cast<const sockaddr_in6*>(sa);
    a.v6 = true;
    memcpy(a.ip, &s6->sin6_addr, 16);
    a.port = ntohs(s6->sin6_port);
  } else if (s->sa_family == AF_INET) {
    const sockaddr_in* s4 = static_cast<const sockaddr_in*>(sa);
    memcpy(a.ip, &s4->sin_addr, 4);
    a.port = ntohs(s4->sin_port);
  }
  return a;
}

bool resolve_host(const std::string& host, u16 port, std::vector<PeerAddr>& out) {
  out.clear();
  addrinfo hints = {}, *res = nullptr;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0) return false;
  for (addrinfo* r = res; r; r = r->ai_next) {
    if (r->ai_family != AF_INET && r->ai_family != AF_INET6) continue;
    PeerAddr a = from_sockaddr(r->ai_addr);
    a.port = port;
    if (std::find(out.begin(), out.end(), a) == out.end()) out.push_back(a);
  }
  freeaddrinfo(res);
  return !out.empty();
}

int udp_receive(uintptr_t sock, std::string& pkt, PeerAddr& from, u32 wait_ms, const std::atomic<bool>* stop) {
  double until = now_s() + wait_ms / 1000.0;
  for (;;) {
    if (stop && stop->load()) return -1;
    double left = until - now_s();
    if (left <= 0) return 0;
    WSAPOLLFD p = {SOCKET(sock), POLLRDNORM, 0};
    int r = WSAPoll(&p, 1, int(std::min(left * 1000.0, 100.0)) + 1);
    if (r < 0) return -1;
    if (r == 0) continue;
    char buf[2048];
    sockaddr_storage ss;
    int sl = sizeof ss;
    int n = recvfrom(SOCKET(sock), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&ss), &sl);
    // An ICMP "port unreachable" from an earlier send shows up here on
    // Windows as an error; it says nothing about this wait, so keep waiting.
    if (n < 0) continue;
    pkt.assign(buf, size_t(n));
    from = from_sockaddr(&ss);
    return 1;
  }
}

// ---- messages ---------------------------------------------------------------

namespace {

const char kProtocol[] = "\x13" "BitTorrent protocol";

void put32(std::string& s, u32 v) {
  s += char(v >> 24);
  s += char(v >> 16);
  s += char(v >> 8);
  s += char(v);
}

u32 get32(std::string_view s, size_t at) {
  const u8* p = reinterpret_cast<const u8*>(s.data()) + at;
  return u32(p[0]) << 24 | u32(p[1]) << 16 | u32(p[2]) << 8 | p[3];
}

std::string frame(u8 id, size_t body) {
  std::string s;
  s.reserve(5 + body);
  put32(s, u32(body + 1));
  s += char(id);
  return s;
}

std::string three(u8 id, u32 a, u32 b, u32 c) {
  std::string s = frame(id, 12);
  put32(s, a);
  put32(s, b);
  put32(s, c);
  return s;
}

}  // namespace

std::string build_handshake(std::string_view info_hash, std::string_view peer_id) {
  std::string s(kProtocol, 20);
  std::string reserved(8, '\0');
  reserved[5] = 0x10;  // extension protocol
  s += reserved;
  s += info_hash.substr(0, 20);
  s += peer_id.substr(0, 20);
  s.resize(kHandshakeSize, '\0');
  return s;
}

bool parse_handshake(std::string_view b, Handshake& h, std::string& err) {
  if (b.size() < kHandshakeSize || b.substr(0, 20) != std::string_view(kProtocol, 20)) {
    err = "not a peer handshake";
    return false;
  }
  h.extensions = (u8(b[25]) & 0x10) != 0;
  h.info_hash = b.substr(28, 20);
  h.peer_id = b.substr(48, 20);
  return true;
}

std::string build_msg(PeerMsgId id) { return frame(id, 0); }

std::string build_keepalive() { return std::string(4, '\0'); }

std::string build_have(u32 index) {
  std::string s = frame(msg_have, 4);
  put32(s, index);
  return s;
}

std::string build_bitfield(std::string_view bits) { return frame(msg_bitfield, bits.size()).append(bits); }

std::string build_request(u32 index, u32 begin, u32 length) { return three(msg_request, index, begin, length); }

std::string build_cancel(u32 index, u32 begin, u32 length) { return three(msg_cancel, index, begin, length); }

std::string build_piece(u32 index, u32 begin, std::string_view block) {
  std::string s = frame(msg_piece, 8 + block.size());
  put32(s, index);
  put32(s, begin);
  return s.append(block);
}

std::string build_port(u16 port) {
  std::string s = frame(msg_port, 2);
  s += char(port >> 8);
  s += char(port & 255);
  return s;
}

std::string build_extended(u8 ext_id, std::string_view payload) {
  std::string s = frame(msg_extended, 1 + payload.size());
  s += char(ext_id);
  return s.append(payload);
}

i64 peer_frame_size(std::string_view buf) {
  if (buf.size() < 4) return 0;
  u32 len = get32(buf, 0);
  if (len > kMaxPeerFrame) return -1;
  return buf.size() >= 4 + u64(len) ? i64(4 + u64(len)) : 0;
}

bool parse_peer_msg(std::string_view f, PeerMsg& m, std::string& err) {
  m = PeerMsg();
  if (f.size() < 4 || get32(f, 0) != f.size() - 4) {
    err = "bad peer message";
    return false;
  }
  if (f.size() == 4) return true;  // keep-alive
  m.id = u8(f[4]);
  std::string_view body = f.substr(5);
  auto need = [&](bool ok) {
    if (!ok) err = "bad peer message";
    return ok;
  };
  switch (m.id) {
    case msg_choke:
    case msg_unchoke:
    case msg_interested:
    case msg_not_interested:
      return need(body.empty());
    case msg_have:
      if (!need(body.size() == 4)) return false;
      m.index = get32(body, 0);
      return true;
    case msg_bitfield:
      m.payload = body;
      return true;
    case msg_request:
    case msg_cancel:
      if (!need(body.size() == 12)) return false;
      m.index = get32(body, 0);
      m.begin = get32(body, 4);
      m.length = get32(body, 8);
      return true;
    case msg_piece:
      if (!need(body.size() >= 8)) return false;
      m.index = get32(body, 0);
      m.begin = get32(body, 4);
      m.payload = body.substr(8);
      m.length = u32(m.payload.size());
      return true;
    case msg_port:
      if (!need(body.size() == 2)) return false;
      m.port = u16(u8(body[0]) << 8 | u8(body[1]));
      return true;
    case msg_extended:
      if (!need(!body.empty())) return false;
      m.ext_id = u8(body[0]);
      m.payload = body.substr(1);
      return true;
    default:
      m.payload = body;
      return true;
  }
}

bool peer_msg_fits(const PeerMsg& m, u32 pieces, std::string& err) {
  bool ok = true;
  switch (m.id) {
    case msg_bitfield:
      ok = m.payload.size() == (u64(pieces) + 7) / 8 &&
           (pieces % 8 == 0 || (u8(m.payload.back()) & (0xff >> (pieces % 8))) == 0);
      break;
    case msg_have:
    case msg_request:
    case msg_cancel:
    case msg_piece:
      ok = m.index < pieces;
      break;
    default:
      break;
  }
  if (!ok) err = "bad peer message";
  return ok;
}

// ---- extension protocol and peer exchange -----------------------------------

namespace {

// Extension payloads are small dictionaries; a hostile one gets no more.
BLimits ext_limits() {
  BLimits l;
  l.depth = 8;
  l.nodes = 4096;
  l.input = kMaxPeerFrame;
  return l;
}

}  // namespace

std::string build_ext_handshake(u8 our_pex_id, std::string_view client, u16 listen_port, u32 reqq) {
  BNode d = BNode::new_dict();
  BNode& m = d.set("m", BNode::new_dict());
  if (our_pex_id) m.set("ut_pex", BNode::of_int(our_pex_id));
  if (listen_port) d.set("p", BNode::of_int(listen_port));
  if (reqq) d.set("reqq", BNode::of_int(reqq));
  if (!client.empty()) d.set("v", BNode::of_str(client));
  return bencode(d);
}

bool parse_ext_handshake(std::string_view payload, ExtHandshake& h, std::string& err) {
  BNode d;
  size_t used;
  // Some peers append bytes after the dictionary; only the dictionary counts.
  if (!bdecode_prefix(payload, d, used, err, ext_limits()) || !d.is_dict()) {
    err = "bad extension handshake";
    return false;
  }
  h = ExtHandshake();
  auto id_of = [](const BNode* n) { return n && n->i > 0 && n->i < 256 ? int(n->i) : 0; };
  if (const BNode* m = d.get_dict("m")) {
    h.ut_pex = id_of(m->get_int("ut_pex"));
    h.ut_metadata = id_of(m->get_int("ut_metadata"));
  }
  if (const BNode* v = d.get_str("v")) h.client = v->s.substr(0, 200);
  if (const BNode* p = d.get_int("p"); p && p->i > 0 && p->i < 65536) h.port = u16(p->i);
  if (const BNode* q = d.get_int("reqq"); q && q->i > 0) h.reqq = u32(std::min<i64>(q->i, 1 << 20));
  if (const BNode* y = d.get_str("yourip"); y && (y->s.size() == 4 || y->s.size() == 16)) {
    h.has_yourip = true;
    h.yourip.v6 = y->s.size() == 16;
    memcpy(h.yourip.ip, y->s.data(), y->s.size());
  }
  if (const BNode* ms = d.get_int("metadata_size"); ms && ms->i >= 0) h.metadata_size = ms->i;
  return true;
}

std::string build_pex(const PexMsg& m) {
  std::string added4, added6, flags4, flags6, dropped4, dropped6;
  for (size_t i = 0; i < m.added.size(); ++i) {
    u8 f = i < m.added_flags.size() ? m.added_flags[i] : 0;
    (m.added[i].v6 ? added6 : added4) += compact_peer(m.added[i]);
    (m.added[i].v6 ? flags6 : flags4) += char(f);
  }
  for (const PeerAddr& a : m.dropped) (a.v6 ? dropped6 : dropped4) += compact_peer(a);
  BNode d = BNode::new_dict();
  d.set("added", BNode::of_str(added4));
  d.set("added.f", BNode::of_str(flags4));
  d.set("dropped", BNode::of_str(dropped4));
  if (!added6.empty()) {
    d.set("added6", BNode::of_str(added6));
    d.set("added6.f", BNode::of_str(flags6));
  }
  if (!dropped6.empty()) d.set("dropped6", BNode::of_str(dropped6));
  return bencode(d);
}

bool parse_pex(std::string_view payload, PexMsg& m, std::string& err) {
  BNode d;
  if (!bdecode(payload, d, err, ext_limits()) || !d.is_dict()) {
    err = "bad PEX message";
    return false;
  }
  m = PexMsg();
  // More than a message may carry by the protocol's rules is cut off rather
  // than refused: the rest of the message is still good.
  const size_t kMax = 200;
  for (bool v6 : {false, true}) {
    const BNode* added = d.get_str(v6 ? "added6" : "added");
    const BNode* flags = d.get_str(v6 ? "added6.f" : "added.f");
    const BNode* dropped = d.get_str(v6 ? "dropped6" : "dropped");
    if (added) {
      std::vector<PeerAddr> peers = parse_compact_peers(added->s, v6, kMax);
      for (size_t i = 0; i < peers.size(); ++i) {
        m.added.push_back(peers[i]);
        m.added_flags.push_back(flags && i < flags->s.size() ? u8(flags->s[i]) : 0);
      }
    }
    if (dropped)
      for (const PeerAddr& a : parse_compact_peers(dropped->s, v6, kMax)) m.dropped.push_back(a);
  }
  return true;
}

// ---- clients ----------------------------------------------------------------

const ClientCode kClients[] = {
    {"AG", "Ares"},          {"AZ", "Vuze"},          {"BC", "BitComet"},    {"BI", "BiglyBT"},
    {"BT", "BitTorrent"},    {"DE", "Deluge"},        {"FD", "Free Download Manager"},
    {"FW", "FrostWire"},     {"KT", "KTorrent"},      {"LT", "libtorrent"},  {"lt", "libTorrent"},
    {"PI", "PicoTorrent"},   {"qB", "qBittorrent"},   {"TB", "Torch"},       {"TR", "Transmission"},
    {"TX", "Tixati"},        {"UM", "uTorrent Mac"},  {"UT", "uTorrent"},    {"UW", "uTorrent Web"},
    {"WW", "WebTorrent"},    {"XL", "Xunlei"},        {"BF", "BitFlu"},      {"A2", "aria2"},
    {"VU", "V.U.N.K."},
};
const size_t kClientCount = sizeof kClients / sizeof kClients[0];

namespace {

int digit36(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string client_name(std::string_view id) {
  if (id.size() >= 8 && id[0] == '-' && id[7] == '-') {
    for (size_t i = 0; i < kClientCount; ++i) {
      if (id.substr(1, 2) != kClients[i].code) continue;
      int a = digit36(id[3]), b = digit36(id[4]), c = digit36(id[5]);
      if (a < 0 || b < 0 || c < 0) return kClients[i].name;
      return strf("%s %d.%d.%d", kClients[i].name, a, b, c);
    }
    return "unknown";
  }
  // the original client: "M7-2-2--" (digits may take two places: "M7-10-1-")
  if (id.size() >= 8 && id[0] == 'M' && id[1] >= '0' && id[1] <= '9') {
    std::string v;
    for (size_t i = 1; i < 8 && (std::isdigit(u8(id[i])) || id[i] == '-'); ++i) v += id[i];
    while (!v.empty() && v.back() == '-') v.pop_back();
    for (char& c : v)
      if (c == '-') c = '.';
    return "Mainline " + v;
  }
  return "unknown";
}

std::string new_peer_id() {
  static const char chars[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string id = "-VU1000-";
  u8 r[12] = {};
  if (!random_bytes(r, sizeof r))
    for (size_t i = 0; i < sizeof r; ++i) r[i] = u8(GetTickCount() >> (i % 4 * 8)) ^ u8(i * 37);
  for (u8 b : r) id += chars[b % 62];
  return id;
}

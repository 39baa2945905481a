#include "tests/transfer/wire_peer.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <memory>

namespace {

u32 get_be(const std::string& s, size_t at) {
  return u32(u8(s[at])) << 24 | u32(u8(s[at + 1])) << 16 | u32(u8(s[at + 2])) << 8 | u8(s[at + 3]);
}

}  // namespace

struct WirePeer::Conn {
  SOCKET sock = INVALID_SOCKET;
  std::string in, out;
  bool greeted = false;
  bool closed = false;
  std::vector<std::string> held;  // requests (12-byte bodies) for withheld pieces
};

std::string WirePeer::u32be(u32 v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[size_t(i)] = char(v >> (24 - 8 * i));
  return s;
}

std::string WirePeer::msg(int id, const std::string& payload) {
  return u32be(u32(payload.size() + 1)) + char(id) + payload;
}

std::string WirePeer::all_pieces(u32 pieces) {
  std::string bits((pieces + 7) / 8, '\0');
  for (u32 i = 0; i < pieces; ++i) bits[i / 8] = char(u8(bits[i / 8]) | (0x80 >> (i % 8)));
  return bits;
}

WirePeer::WirePeer(WirePeerScript script) : s_(std::move(script)) {
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  SOCKET l = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(l, 16);
  int len = sizeof a;
  getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  u_long on = 1;
  ioctlsocket(l, FIONBIO, &on);
  listener_ = uintptr_t(l);
  thread_ = std::thread([this] { loop(); });
}

WirePeer::~WirePeer() {
  quit_ = true;
  thread_.join();
  closesocket(SOCKET(listener_));
  WSACleanup();
}

std::string WirePeer::address() const { return strf("127.0.0.1:%u", port_); }

void WirePeer::release() { released_ = true; }

int WirePeer::received(int id) const {
  std::lock_guard<std::mutex> lk(mu_);
  auto it = received_.find(id);
  return it == received_.end() ? 0 : it->second;
}

// Reads what came, answers it; false when the connection is over.
bool WirePeer::step(Conn& c) {
  if (!c.greeted) {
    if (c.in.size() < 68) return true;
    if (c.in[0] != 19 || c.in.compare(1, 19, "BitTorrent protocol") != 0 || c.in.substr(28, 20) != s_.info_hash)
      return false;
    c.in.erase(0, 68);
    c.greeted = true;
    c.out += std::string(1, char(19)) + "BitTorrent protocol" + std::string(8, '\0') + s_.info_hash +
             "-TS0001-wirepeer0000";
    if (!s_.bitfield.empty()) c.out += msg(5, s_.bitfield);
    if (s_.unchoke) c.out += msg(1);
    for (const std::string& m : s_.then) c.out += m;
  }
  auto answer = [&](const std::string& body) {
    u32 index = get_be(body, 0), begin = get_be(body, 4), length = get_be(body, 8);
    u64 at = u64(index) * s_.piece_length + begin;
    if (!s_.data || length > (1u << 17) || at + length > s_.data->size()) return;
    c.out += u32be(9 + length) + char(7) + body.substr(0, 8) + s_.data->substr(size_t(at), length);
    served_ += length;
  };
  if (released_)
    for (const std::string& body : c.held) answer(body);
  if (released_) c.held.clear();
  while (c.in.size() >= 4) {
    u32 n = get_be(c.in, 0);
    if (n > (1u << 20)) return false;
    if (c.in.size() < 4 + size_t(n)) break;
    if (n > 0) {
      int id = u8(c.in[4]);
      {
        std::lock_guard<std::mutex> lk(mu_);
        ++received_[id];
      }
      if (id == 6 && n == 13 && s_.serve) {
        std::string body = c.in.substr(5, 12);
        if (s_.withhold.count(get_be(body, 0)) && !released_) c.held.push_back(body);
        else answer(body);
      }
    }
    c.in.erase(0, 4 + size_t(n));
  }
  return true;
}

void WirePeer::loop() {
  std::vector<std::unique_ptr<Conn>> conns;
  while (!quit_) {
    SOCKET s = accept(SOCKET(listener_), nullptr, nullptr);
    if (s != INVALID_SOCKET) {
      u_long on = 1;
      ioctlsocket(s, FIONBIO, &on);
      auto c = std::make_unique<Conn>();
      c->sock = s;
      conns.push_back(std::move(c));
      ++accepted_;
    }
    std::vector<WSAPOLLFD> fds;
    for (auto& c : conns) {
      WSAPOLLFD f = {};
      f.fd = c->sock;
      f.events = POLLRDNORM | (c->out.empty() ? 0 : POLLWRNORM);
      fds.push_back(f);
    }
    if (fds.empty()) {
      Sleep(5);
      continue;
    }
    WSAPoll(fds.data(), ULONG(fds.size()), 5);
    for (size_t i = 0; i < conns.size(); ++i) {
      Conn& c = *conns[i];
      char buf[65536];
      for (;;) {
        int n = recv(c.sock, buf, sizeof buf, 0);
        if (n > 0) {
          c.in.append(buf, size_t(n));
          continue;
        }
        if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) c.closed = true;
        break;
      }
      if (c.closed) {
        ++ended_;
      } else if (!step(c)) {
        c.closed = true;  // we end it: not counted as the engine's doing
      }
      while (!c.closed && !c.out.empty()) {
        int n = send(c.sock, c.out.data(), int(std::min<size_t>(c.out.size(), 1 << 20)), 0);
        if (n > 0) {
          c.out.erase(0, size_t(n));
          continue;
        }
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
          c.closed = true;
          ++ended_;
        }
        break;
      }
    }
    for (size_t i = 0; i < conns.size();) {
      if (conns[i]->closed) {
        closesocket(conns[i]->sock);
        conns.erase(conns.begin() + long(i));
      } else {
        ++i;
      }
    }
  }
  for (auto& c : conns) closesocket(c->sock);
}

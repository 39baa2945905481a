// The swarm's loop and its peers: finding peers (trackers, the DHT, peer
// exchange, VUNK_TRANSFER_EXTRA_PEER), connecting to them up to the limit and
// again after a back-off, reading what they send, choking, and what the
// snapshot shows of them. What happens on one connection is in
// transfer_peer.cpp.
#include "transfer/transfer_swarm.h"

#include <windows.h>

#include <algorithm>

#include "bt/bt_dht.h"
#include "bt/bt_tracker.h"

// ---- finding peers ------------------------------------------------------------------

// The swarm's threads: the peer loop, one per tracker tier, one for the DHT
// (not for private torrents, nor with VUNK_TRANSFER_NO_DHT).
void TransferEngine::start_swarm(std::vector<std::thread>& workers) {
  peer_id_ = new_peer_id();
  std::vector<PeerAddr> extra;
  std::string list = engine_env("VUNK_TRANSFER_EXTRA_PEER");
  for (size_t a = 0; a < list.size();) {
    size_t b = list.find(',', a);
    if (b == std::string::npos) b = list.size();
    PeerAddr pa;
    if (parse_peer_addr(list.substr(a, b - a), pa)) extra.push_back(pa);
    a = b + 1;
  }
  add_peers(extra, "VUNK_TRANSFER_EXTRA_PEER");
  workers.emplace_back([this] { Swarm(*this).run(); });
  for (size_t t = 0; t < tor_.trackers.size(); ++t) workers.emplace_back([this, t] { tracker_loop(t); });
  if (!tor_.priv && !engine_flag("VUNK_TRANSFER_NO_DHT")) workers.emplace_back([this] { dht_loop(); });
}

void TransferEngine::add_peers(const std::vector<PeerAddr>& peers, const char* from) {
  std::lock_guard<std::mutex> lk(known_mu_);
  size_t before = known_.size();
  for (const PeerAddr& a : peers)
    if (a.port != 0 && known_.add(a.str())) known_addr_.push_back(a);
  if (known_.size() > before) {
    log_("%zu new peers from %s", known_.size() - before, from);
    known_cv_.notify_all();
  }
}

void TransferEngine::tracker_loop(size_t tier) {
  TrackerTier trackers(tor_.trackers[tier]);
  bool first = true;
  while (!stopped() && !trackers.urls().empty()) {
    AnnounceReq req;
    req.info_hash = tor_.info_hash;
    req.peer_id = peer_id_;
    {
      std::lock_guard<std::mutex> lk(m_);
      req.downloaded = via_peers_;
      req.uploaded = uploaded_;
      req.left = total_ - done_;
    }
    req.event = first ? AnnounceReq::started : AnnounceReq::none;
    AnnounceResp resp;
    std::string err;
    // After a failure the tier is tried again in 15 s.
    double interval = 15, min_interval = 0, last = now_s();
    if (trackers.announce(req, resp, err, &run_.abort, &swarm_stop_)) {
      first = false;
      add_peers(resp.peers, "tracker");
      interval = resp.interval;
      min_interval = resp.min_interval;
    } else if (!stopped()) {
      log_("trackers of tier %zu: %s", tier + 1, err.c_str());
    }
    while (!stopped() && !announce_due(now_s() - last, interval, min_interval, starving_)) wait(1);
  }
}

// Lookups from the DHT nodes the peers named, else from the well-known
// routers; again every five minutes (one minute after a failed one).
void TransferEngine::dht_loop() {
  while (!stopped()) {
    std::vector<std::string> boot;
    {
      std::lock_guard<std::mutex> lk(known_mu_);
      boot = dht_nodes_;
    }
    std::vector<PeerAddr> found;
    DhtStats st;
    std::string err;
    bool ok = dht_get_peers(tor_.info_hash, boot, found, st, err, &swarm_stop_, {},
                            [this](const std::vector<PeerAddr>& v) { add_peers(v, "DHT"); });
    if (stopped()) break;
    log_("DHT lookup: %u peers, %u replies of %u queries%s%s", st.peers, st.replies, st.queries,
         ok ? "" : ", ", ok ? "" : err.c_str());
    wait(ok ? 300 : 60);
  }
}

// ---- the loop ---------------------------------------------------------------------

namespace {

bool start_connect(PeerLink& p) {
  sockaddr_storage sa;
  int len = to_sockaddr(p.addr, &sa);
  p.sock = socket(p.addr.v6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (p.sock == INVALID_SOCKET) return false;
  u_long on = 1;
  ioctlsocket(p.sock, FIONBIO, &on);
  if (connect(p.sock, reinterpret_cast<sockaddr*>(&sa), len) != 0 && WSAGetLastError() != WSAEWOULDBLOCK) {
    closesocket(p.sock);
    p.sock = INVALID_SOCKET;
    return false;
  }
  return true;
}

}  // namespace

Swarm::Swarm(TransferEngine& e)
    : e_(e), tpieces_(e.tor_.piece_count), avail_(e.npieces_, 0), cap_(e.spec_.upload_cap), last_rows_(now_s()) {
  for (int i = 0; i < kPieceHelpers; ++i) finishers_.emplace_back([this] { finisher(); });
}

Swarm::~Swarm() {
  {
    std::lock_guard<std::mutex> lk(fin_mu_);
    fin_quit_ = true;
  }
  fin_cv_.notify_all();
  for (std::thread& t : finishers_) t.join();
  for (PeerLink& pe : peers_) {
    release(pe);
    if (!pe.dead) closesocket(pe.sock);
  }
}

int Swarm::grid_of(u32 t) const {
  return t >= e_.first_ && t < e_.first_ + e_.npieces_ ? int(t - e_.first_) : -1;
}

void Swarm::run() {
  while (!e_.stopped()) {
    double now = now_s();
    connect_new(now);
    std::vector<WSAPOLLFD> fds;
    std::vector<size_t> which;
    for (size_t i = 0; i < peers_.size(); ++i) {
      PeerLink& pe = peers_[i];
      if (pe.dead) continue;
      WSAPOLLFD f = {};
      f.fd = pe.sock;
      f.events = POLLRDNORM;
      if (pe.phase == PeerLink::connecting || !pe.out.empty()) f.events |= POLLWRNORM;
      fds.push_back(f);
      which.push_back(i);
    }
    if (fds.empty()) {
      // No connection at all: the rows and rates say so at once.
      {
        std::lock_guard<std::mutex> lk(e_.m_);
        e_.peer_rows_.clear();
        e_.peers_connected_ = e_.seed_count_ = 0;
        e_.rate_peers_ = e_.rate_up_ = 0;
      }
      e_.starving_ = true;
      // New peers (the first tracker answer, say) are connected at once
      // rather than at the next round.
      std::unique_lock<std::mutex> lk(e_.known_mu_);
      size_t known = e_.known_.size();
      e_.known_cv_.wait_for(lk, std::chrono::milliseconds(100),
                            [&] { return e_.known_.size() != known || e_.stopped(); });
      continue;
    }
    WSAPoll(fds.data(), ULONG(fds.size()), 100);
    now = now_s();
    for (size_t k = 0; k < fds.size(); ++k) {
      PeerLink& pe = peers_[which[k]];
      short re = fds[k].revents;
      if (pe.phase == PeerLink::connecting) {
        if (re & (POLLERR | POLLHUP)) {
          drop(pe, "cannot connect", false);
          continue;
        }
        if (re & POLLWRNORM) {
          pe.phase = PeerLink::handshaking;
          pe.since = now;
          pe.out += build_handshake(e_.tor_.info_hash, e_.peer_id_);
        }
      }
      if ((re & (POLLRDNORM | POLLHUP | POLLERR)) && !read_socket(pe, now)) {
        drop(pe, "connection closed", false);
        continue;
      }
      if (pe.phase == PeerLink::handshaking && pe.in.size() >= kHandshakeSize) greet(pe);
      read_frames(pe);
    }
    take_strikes();
    take_news();
    // Requests, uploads, time-outs, writes. While the helpers are behind, no
    // new pieces are asked for: memory stays bounded and nothing is lost.
    bool behind = backlog();
    for (PeerLink& pe : peers_) {
      if (pe.dead) continue;
      if (pe.phase != PeerLink::live && now - pe.since > kConnectS) {
        drop(pe, "no handshake", false);
        continue;
      }
      if (pe.phase == PeerLink::live) {
        if (pe.open_requests > 0 && now - pe.last_recv > kSilentS) {
          drop(pe, "silent", false);
          continue;
        }
        send_requests(pe, behind);
        serve_asks(pe, now);
      }
      if (!pe.out.empty()) {
        int n = send(pe.sock, pe.out.data(), int(pe.out.size()), 0);
        if (n > 0) pe.out.erase(0, size_t(n));
        else if (pe.phase == PeerLink::live && WSAGetLastError() != WSAEWOULDBLOCK) drop(pe, "connection closed", false);
      }
    }
    choke_round(now);
    publish_rows(now);
    peers_.erase(std::remove_if(peers_.begin(), peers_.end(), [](const PeerLink& pe) { return pe.dead; }),
                 peers_.end());
    for (const PeerLink& pe : peers_)
      if (pe.phase == PeerLink::live) {
        e_.peer_seen_at_ = now;
        break;
      }
  }
}

// New connections to the known peers that are due, up to the limit.
void Swarm::connect_new(double now) {
  std::lock_guard<std::mutex> lk(e_.known_mu_);
  size_t open = 0;
  for (const PeerLink& pe : peers_) open += !pe.dead;
  size_t limit = size_t(std::max(1, e_.spec_.max_peers));
  for (size_t i : e_.known_.due(now, limit - std::min(open, limit))) {
    PeerLink pe;
    pe.known = i;
    pe.addr = e_.known_addr_[i];
    pe.key = pe.addr.str();
    pe.uid = next_uid_++;
    pe.since = pe.last_recv = now;
    pe.has.assign(tpieces_, false);
    if (!start_connect(pe)) {
      e_.known_.dropped(i, now, false);
      continue;
    }
    peers_.push_back(std::move(pe));
  }
}

// Everything the socket holds, in few calls: each one is costly where
// sockets go through a server process (Wine). False when it closed.
bool Swarm::read_socket(PeerLink& pe, double now) {
  for (int k = 0; k < 8; ++k) {
    int n = recv(pe.sock, pe.in.room(size_t(pe.read_size)), pe.read_size, 0);
    if (n > 0) {
      pe.in.grew(size_t(n));
      pe.last_recv = now;
      if (n < pe.read_size) return true;
      // A peer that fills its reads gets bigger ones (fewer calls).
      pe.read_size = 1 << 20;
      continue;
    }
    return n != 0 && WSAGetLastError() == WSAEWOULDBLOCK;
  }
  return true;
}

// The peer's handshake: the right torrent, or the connection ends for good.
void Swarm::greet(PeerLink& pe) {
  Handshake h;
  if (!parse_handshake(pe.in.view().substr(0, kHandshakeSize), h, err_) ||
      h.info_hash != e_.tor_.info_hash) {
    drop(pe, "bad handshake", true);
    return;
  }
  pe.in.consume(kHandshakeSize);
  pe.phase = PeerLink::live;
  {
    std::lock_guard<std::mutex> lk(e_.known_mu_);
    e_.known_.handshaken(pe.known);
  }
  pe.ext = h.extensions;
  pe.client = client_name(h.peer_id);
  if (pe.ext) pe.out += build_extended(0, build_ext_handshake(kOurPexId, "VUNK 1.0", 0, 250));
  std::string bits = our_bitfield();
  if (bits.find_first_not_of('\0') != std::string::npos) pe.out += build_bitfield(bits);
  e_.log_("peer %s: %s", pe.key.c_str(), pe.client.c_str());
}

void Swarm::read_frames(PeerLink& pe) {
  size_t used = 0;
  while (pe.phase == PeerLink::live && !pe.dead) {
    std::string_view rest = pe.in.view().substr(used);
    i64 size = peer_frame_size(rest);
    if (size < 0) {
      drop(pe, "frame too large", true);
      return;
    }
    if (size == 0) break;
    PeerMsg m;
    // A malformed message, or one about pieces the torrent does not
    // have, ends the connection: the peer is broken or hostile.
    if (!parse_peer_msg(rest.substr(0, size_t(size)), m, err_) || !peer_msg_fits(m, tpieces_, err_)) {
      drop(pe, "bad message", true);
      return;
    }
    used += size_t(size);
    on_message(pe, m);
  }
  if (!pe.dead) pe.in.consume(used);
}

// The pieces a peer was fetching go back to the others.
void Swarm::release(PeerLink& pe) {
  std::lock_guard<std::mutex> lk(e_.m_);
  for (const PeerLink::Fetch& f : pe.fetching) e_.book_.let_go(f.piece, pe.source());
  pe.fetching.clear();
  pe.open_requests = 0;
}

// A dropped peer is tried again after a back-off, unless it broke the
// protocol or sent bad data (ban).
void Swarm::drop(PeerLink& pe, const char* why, bool ban) {
  if (pe.dead) return;
  release(pe);
  if (pe.phase == PeerLink::live) {
    for (u32 t = 0; t < tpieces_ && t < pe.has.size(); ++t)
      if (pe.has[t] && grid_of(t) >= 0 && avail_[grid_of(t)] > 0) --avail_[grid_of(t)];
    e_.log_("peer %s (%s) dropped: %s", pe.key.c_str(), pe.client.c_str(), why);
  } else {
    e_.log_("peer %s: %s", pe.key.c_str(), why);
  }
  closesocket(pe.sock);
  pe.dead = true;
  std::lock_guard<std::mutex> lk(e_.known_mu_);
  e_.known_.dropped(pe.known, now_s(), ban);
}

// Strikes for the bad pieces the helpers found: two and the peer goes.
void Swarm::take_strikes() {
  std::vector<BadPiece> bad;
  {
    std::lock_guard<std::mutex> lk(fin_mu_);
    bad.swap(bad_);
  }
  for (const BadPiece& b : bad)
    for (PeerLink& pe : peers_)
      if (!pe.dead && pe.uid == b.uid && ++pe.strikes >= 2) drop(pe, "bad data", true);
}

// Pieces stored from any source: a HAVE to every peer, and the copies still
// on their way from peers (the end game) are cancelled.
void Swarm::take_news() {
  std::vector<u32> news;
  {
    std::lock_guard<std::mutex> lk(e_.m_);
    news.swap(e_.news_);
  }
  if (news.empty()) return;
  std::string haves;
  for (u32 p : news)
    if (e_.checkable(p)) haves += build_have(e_.first_ + p);
  for (PeerLink& pe : peers_) {
    if (pe.dead || pe.phase != PeerLink::live) continue;
    pe.out += haves;
    for (size_t i = 0; i < pe.fetching.size();) {
      if (std::find(news.begin(), news.end(), pe.fetching[i].piece) == news.end()) ++i;
      else cancel_fetch(pe, i);
    }
  }
}

// ---- choking and the rows --------------------------------------------------------

// Every 3 s: the four interested peers that send us most (or the first four
// in turn), and one optimistic peer that changes every 30 s.
void Swarm::choke_round(double now) {
  if (now - last_choke_ < 3) return;
  last_choke_ = now;
  std::vector<PeerChoice> choice;
  std::vector<size_t> idx;
  for (size_t i = 0; i < peers_.size(); ++i)
    if (!peers_[i].dead && peers_[i].phase == PeerLink::live) {
      choice.push_back({peers_[i].rate, peers_[i].interested_in_us});
      idx.push_back(i);
    }
  if (now - last_opt_ >= 30 || optimistic_ >= int(choice.size())) {
    last_opt_ = now;
    optimistic_ = choice.empty() ? -1 : int(next_uid_ % choice.size());
  }
  std::vector<int> on = choose_unchoked(choice, kRegularUnchokes, e_.spec_.rate_unchoke, optimistic_);
  for (size_t k = 0; k < idx.size(); ++k) {
    PeerLink& pe = peers_[idx[k]];
    bool unchoke = std::find(on.begin(), on.end(), int(k)) != on.end();
    if (unchoke == !pe.we_choke) continue;
    pe.we_choke = !unchoke;
    pe.out += build_msg(unchoke ? msg_unchoke : msg_choke);
    if (!unchoke) pe.asks.clear();
  }
}

// Rates and the rows the snapshot shows, twice a second.
void Swarm::publish_rows(double now) {
  double dt = now - last_rows_;
  if (dt < 0.5) return;
  last_rows_ = now;
  std::vector<ConnInfo> rows;
  float down = 0, up = 0;
  u32 live = 0, seeds = 0;
  for (PeerLink& pe : peers_) {
    if (pe.dead || pe.phase != PeerLink::live) continue;
    pe.rate = pe.rate * 0.5f + float(double(pe.got - pe.got_mark) / dt) * 0.5f;
    pe.up_rate = pe.up_rate * 0.5f + float(double(pe.sent - pe.sent_mark) / dt) * 0.5f;
    pe.got_mark = pe.got;
    pe.sent_mark = pe.sent;
    down += pe.rate;
    up += pe.up_rate;
    ConnInfo c;
    c.kind = 0;
    c.address = pe.key;
    c.client = pe.client;
    c.rate = pe.rate;
    c.up_rate = pe.up_rate;
    c.progress = tpieces_ ? float(double(pe.have_count) / tpieces_) : 0;
    c.choked = pe.choked_us;
    c.interested = pe.interested_in_us;
    c.id = fnv1a(pe.key);
    ++live;
    seeds += c.progress >= 0.999f;
    rows.push_back(c);
  }
  std::lock_guard<std::mutex> lk(e_.m_);
  e_.peer_rows_ = std::move(rows);
  e_.peers_connected_ = live;
  e_.starving_ = live == 0;
  e_.seed_count_ = seeds;
  e_.rate_peers_ = down;
  e_.rate_up_ = up;
}

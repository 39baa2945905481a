// One peer connection: the messages it sends us, the pieces we ask it for
// (the rarest first, copies in the end game, cancels once another copy is
// in), the blocks it asks us for, and the helper threads that check a whole
// piece against the torrent and store it.
#include <windows.h>

#include <algorithm>

#include "transfer/transfer_swarm.h"

// ---- its messages ---------------------------------------------------------------

void Swarm::on_message(PeerLink& pe, const PeerMsg& m) {
  switch (m.id) {
    case msg_choke:
      // Requests open when a peer chokes us are dropped by it.
      pe.choked_us = true;
      release(pe);
      break;
    case msg_unchoke:
      pe.choked_us = false;
      break;
    case msg_interested:
      pe.interested_in_us = true;
      break;
    case msg_not_interested:
      pe.interested_in_us = false;
      break;
    case msg_have:
      if (!pe.has[m.index]) {
        pe.has[m.index] = true;
        ++pe.have_count;
        if (grid_of(m.index) >= 0) ++avail_[grid_of(m.index)];
        update_interest(pe);
      }
      break;
    case msg_bitfield:
      for (u32 t = 0; t < tpieces_; ++t)
        if (!pe.has[t] && (u8(m.payload[t / 8]) >> (7 - t % 8) & 1)) {
          pe.has[t] = true;
          ++pe.have_count;
          if (grid_of(t) >= 0) ++avail_[grid_of(t)];
        }
      update_interest(pe);
      break;
    case msg_request: {
      int p = grid_of(m.index);
      bool ok;
      {
        std::lock_guard<std::mutex> lk(e_.m_);
        ok = p >= 0 && e_.book_.map[u32(p)] >= kFromMirror && e_.checkable(u32(p)) && m.length > 0 &&
             m.length <= 131072 && u64(m.begin) + m.length <= e_.tor_.piece_size(m.index);
      }
      if (ok && !pe.we_choke && pe.asks.size() < 256) pe.asks.push_back({m.index, m.begin, m.length});
      break;
    }
    case msg_cancel:
      for (size_t i = 0; i < pe.asks.size(); ++i)
        if (pe.asks[i].index == m.index && pe.asks[i].begin == m.begin) pe.asks.erase(pe.asks.begin() + long(i--));
      break;
    case msg_piece:
      on_piece(pe, m);
      break;
    case msg_port:
      if (m.port) {
        PeerAddr node = pe.addr;
        node.port = m.port;
        std::lock_guard<std::mutex> lk(e_.known_mu_);
        std::string k = node.str();
        if (std::find(e_.dht_nodes_.begin(), e_.dht_nodes_.end(), k) == e_.dht_nodes_.end() &&
            e_.dht_nodes_.size() < 64)
          e_.dht_nodes_.push_back(k);
      }
      break;
    case msg_extended:
      if (m.ext_id == 0) {
        ExtHandshake h;
        if (parse_ext_handshake(m.payload, h, err_)) {
          pe.pex_id = h.ut_pex;
          if (pe.client == "unknown" && !h.client.empty()) pe.client = h.client;
        }
      } else if (m.ext_id == kOurPexId) {
        PexMsg x;
        if (parse_pex(m.payload, x, err_)) e_.add_peers(x.added, "peer exchange");
      }
      break;
    default:
      break;  // keep-alive and ids we do not use
  }
}

// A block of a piece we fetch from it: only one asked for, whole, and once.
// Others (late ones after a cancel, say) are ignored.
void Swarm::on_piece(PeerLink& pe, const PeerMsg& m) {
  for (size_t i = 0; i < pe.fetching.size(); ++i) {
    PeerLink::Fetch& f = pe.fetching[i];
    if (m.index != e_.first_ + f.piece) continue;
    u32 b = m.begin / kBlock;
    if (m.begin % kBlock == 0 && b < f.next_block && !f.got[b] &&
        m.payload.size() == std::min<u64>(kBlock, f.buf.size() - m.begin)) {
      memcpy(f.buf.data() + m.begin, m.payload.data(), m.payload.size());
      f.got[b] = true;
      pe.got += m.payload.size();
      e_.received_ += m.payload.size();
      --pe.open_requests;
      if (--f.blocks_left == 0) finish_piece(pe, i);
    }
    return;
  }
}

void Swarm::update_interest(PeerLink& pe) {
  bool want = false;
  {
    std::lock_guard<std::mutex> lk(e_.m_);
    for (u32 p = 0; p < e_.npieces_ && !want; ++p)
      want = e_.book_.map[p] < kFromMirror && e_.first_ + p < pe.has.size() && pe.has[e_.first_ + p];
  }
  if (want != pe.we_interested) {
    pe.we_interested = want;
    pe.out += build_msg(want ? msg_interested : msg_not_interested);
  }
}

// The pieces we can serve: in, and checked against the torrent.
std::string Swarm::our_bitfield() {
  std::string bits((tpieces_ + 7) / 8, '\0');
  std::lock_guard<std::mutex> lk(e_.m_);
  for (u32 p = 0; p < e_.npieces_; ++p)
    if (e_.book_.map[p] >= kFromMirror && e_.checkable(p))
      bits[(e_.first_ + p) / 8] |= char(0x80 >> ((e_.first_ + p) % 8));
  return bits;
}

// ---- our requests ------------------------------------------------------------------

// The next piece to fetch from a peer: the rarest it has (among equals the
// lowest, so the whole-file hash, which reads the file in order as it
// fills, keeps up), else, in the end game, a copy of the one in flight
// longest elsewhere.
bool Swarm::claim(PeerLink& pe) {
  std::string buf;
  {
    std::lock_guard<std::mutex> lk(fin_mu_);
    if (!spare_.empty()) buf = std::move(spare_.back()), spare_.pop_back();
  }
  std::lock_guard<std::mutex> lk(e_.m_);
  std::vector<bool> has(e_.npieces_, false);
  for (u32 p = 0; p < e_.npieces_; ++p) has[p] = e_.first_ + p < pe.has.size() && pe.has[e_.first_ + p];
  int p = pick_rarest(e_.book_.map, avail_, has, 0);
  if (p >= 0) e_.book_.claim(u32(p), pe.source(), now_s());
  else p = e_.book_.copy_for(pe.source(), &has);
  if (p < 0) return false;
  u32 len = u32(e_.tor_.piece_size(e_.first_ + u32(p)));
  buf.resize(len);
  u32 blocks = (len + kBlock - 1) / kBlock;
  pe.fetching.push_back({u32(p), std::move(buf), 0, blocks, std::vector<bool>(blocks, false)});
  return true;
}

// Keeps the peer's pipeline of requests open, across piece ends.
void Swarm::send_requests(PeerLink& pe, bool behind) {
  if (pe.choked_us || !pe.we_interested) return;
  size_t at = 0;  // pieces before it have every block asked for
  int pipeline = std::clamp(int(pe.rate / kBlock), kPipelineMin, kPipelineMax);
  while (pe.open_requests < pipeline) {
    while (at < pe.fetching.size() && u64(pe.fetching[at].next_block) * kBlock >= pe.fetching[at].buf.size()) ++at;
    if (at == pe.fetching.size() && (behind || !claim(pe))) break;
    PeerLink::Fetch& f = pe.fetching[at];
    u32 begin = f.next_block * kBlock;
    u32 len = u32(std::min<u64>(kBlock, f.buf.size() - begin));
    pe.out += build_request(e_.first_ + f.piece, begin, len);
    ++f.next_block;
    ++pe.open_requests;
  }
  if (pe.fetching.empty() && !behind) update_interest(pe);
}

// Another copy of the piece is in: the blocks still asked for are cancelled.
void Swarm::cancel_fetch(PeerLink& pe, size_t i) {
  PeerLink::Fetch& f = pe.fetching[i];
  for (u32 b = 0; b < f.next_block; ++b)
    if (!f.got[b]) {
      pe.out += build_cancel(e_.first_ + f.piece, b * kBlock, u32(std::min<u64>(kBlock, f.buf.size() - b * kBlock)));
      --pe.open_requests;
    }
  pe.fetching.erase(pe.fetching.begin() + long(i));
}

// ---- uploads -----------------------------------------------------------------------

// The blocks it asked for, while its send buffer is short and the upload cap
// allows.
void Swarm::serve_asks(PeerLink& pe, double now) {
  while (!pe.asks.empty() && pe.out.size() < (256u << 10) && cap_.take(pe.asks.front().length, now)) {
    PeerLink::Ask a = pe.asks.front();
    pe.asks.erase(pe.asks.begin());
    std::string block(a.length, '\0');
    u32 p = u32(grid_of(a.index));
    if (!e_.file_.read_at(e_.pstart(p) + a.begin, block.data(), a.length, err_)) continue;
    pe.out += build_piece(a.index, a.begin, block);
    pe.sent += a.length;
    std::lock_guard<std::mutex> lk(e_.m_);
    e_.uploaded_ += a.length;
  }
}

// ---- the helpers ---------------------------------------------------------------------

void Swarm::finish_piece(PeerLink& pe, size_t i) {
  {
    std::lock_guard<std::mutex> lk(fin_mu_);
    jobs_.push_back({pe.uid, pe.fetching[i].piece, std::move(pe.fetching[i].buf)});
  }
  fin_cv_.notify_one();
  pe.fetching.erase(pe.fetching.begin() + long(i));
}

bool Swarm::backlog() {
  std::lock_guard<std::mutex> lk(fin_mu_);
  return jobs_.size() >= kMaxQueuedPieces;
}

// Checks a whole piece against the torrent and stores the file's part of it;
// a copy that comes after another is dropped unchecked, a bad one goes back
// to the others and counts against its peer.
void Swarm::finisher() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lk(fin_mu_);
      fin_cv_.wait(lk, [&] { return fin_quit_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    u32 p = job.piece, t = e_.first_ + p;
    int source = kPeerSource + int(job.uid);
    bool wanted;
    {
      std::lock_guard<std::mutex> lk(e_.m_);
      wanted = e_.book_.wanted_from(p, source);
    }
    bool good = wanted && Hasher::sha1(job.bytes) == e_.tor_.piece_hash(t);
    if (good) {
      u64 a, b;
      e_.learn_edges(t, job.bytes, a, b);
      std::string sha1 = e_.checkable(p) ? std::string() : hex_of(Hasher::sha1(std::string_view(job.bytes).substr(a, b - a)));
      if (!e_.store_piece(p, job.bytes.data() + a, u32(b - a), source, kFromPeer, sha1)) continue;
    } else if (wanted) {
      e_.log_("piece %u from a peer failed its check", t);
      std::lock_guard<std::mutex> lk(e_.m_);
      e_.book_.let_go(p, source);
    }
    std::lock_guard<std::mutex> lk(fin_mu_);
    if (wanted && !good) bad_.push_back({job.uid, t});
    if (spare_.size() < 16) spare_.push_back(std::move(job.bytes));
  }
}

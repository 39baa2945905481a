#include "transfer/transfer_plan.h"

#include <algorithm>
#include <cstdlib>

u32 piece_count(u64 total, u32 piece_size) {
  return piece_size == 0 ? 0 : u32((total + piece_size - 1) / piece_size);
}

Span next_span(const std::vector<u8>& map, u32 piece_size, int slots) {
  Span s;
  u32 n = u32(map.size()), missing = 0;
  for (u8 v : map) missing += v == kMissing;
  if (missing == 0) return s;
  u64 ways = u64(slots > 0 ? slots : 1);
  u32 i = 0;
  while (map[i] != kMissing) ++i;
  u64 cap = std::min<u64>({(u64(missing) * piece_size) / (2 * ways), 16u << 20, u64(i) * piece_size / ways});
  u32 most = u32(cap / piece_size);
  if (most < 1) most = 1;
  s.first = i;
  while (i < n && map[i] == kMissing && s.count < most) ++i, ++s.count;
  return s;
}

void PieceBook::reset(u32 pieces) {
  map.assign(pieces, kMissing);
  flight_.assign(pieces, Flight());
}

void PieceBook::claim(u32 p, int source, double now) {
  map[p] = kInFlight;
  flight_[p] = Flight();
  flight_[p].since = now;
  flight_[p].holders.push_back(source);
}

int PieceBook::copy_for(int source, const std::vector<bool>* has, const std::vector<int>& kin) {
  int best = -1;
  for (u32 p = 0; p < size(); ++p) {
    const Flight& f = flight_[p];
    if (map[p] != kInFlight || f.taken || holds(p, source) || (has && (p >= has->size() || !(*has)[p]))) continue;
    bool kin_holds = false;
    for (int k : kin) kin_holds = kin_holds || holds(p, k);
    if (kin_holds) continue;
    if (best < 0) {
      best = int(p);
      continue;
    }
    const Flight& b = flight_[u32(best)];
    if (f.holders.size() < b.holders.size() || (f.holders.size() == b.holders.size() && f.since < b.since))
      best = int(p);
  }
  if (best >= 0) flight_[u32(best)].holders.push_back(source);
  return best;
}

bool PieceBook::holds(u32 p, int source) const {
  const std::vector<int>& h = flight_[p].holders;
  return std::find(h.begin(), h.end(), source) != h.end();
}

void PieceBook::let_go(u32 p, int source) {
  std::vector<int>& h = flight_[p].holders;
  auto at = std::find(h.begin(), h.end(), source);
  if (at == h.end()) return;
  h.erase(at);
  if (h.empty() && map[p] == kInFlight && !flight_[p].taken) map[p] = kMissing;
}

bool PieceBook::take(u32 p) {
  if (map[p] >= kFromMirror || flight_[p].taken) return false;
  flight_[p].taken = true;
  return true;
}

void PieceBook::stored(u32 p, u8 from) {
  map[p] = from;
  flight_[p].holders.clear();
}

bool PieceBook::all_in() const {
  for (u8 v : map)
    if (v < kFromMirror) return false;
  return true;
}

MirrorVerdict mirror_failed(MirrorHealth& m, double opened, double now, bool for_good, bool drop_now) {
  if (m.gone) return MirrorVerdict::gone;
  if (for_good) {
    m.gone = true;
    return MirrorVerdict::gone;
  }
  if (m.dropped || opened <= m.struck_at) return MirrorVerdict::same_event;
  m.struck_at = now;
  if (drop_now || ++m.strikes >= kMirrorStrikes) {
    m.dropped = true;
    m.strikes = 0;
    ++m.drops;
    m.retry_at = now + std::min(300.0, 10.0 * double(1 << std::min(m.drops - 1, 5)));
    return MirrorVerdict::dropped;
  }
  m.retry_at = now + double(1 << (m.strikes - 1));
  return MirrorVerdict::strike;
}

void mirror_succeeded(MirrorHealth& m) { m.strikes = 0; }

bool mirror_usable(MirrorHealth& m, double now) {
  if (m.gone || m.retry_at > now) return false;
  m.dropped = false;
  return true;
}

bool PeerBook::add(const std::string& key) {
  for (const Known& k : peers_)
    if (k.key == key) return false;
  Known k;
  k.key = key;
  k.retry_at = -1;  // never tried: before every retry
  peers_.push_back(k);
  return true;
}

std::vector<size_t> PeerBook::due(double now, size_t room) {
  std::vector<size_t> ready;
  for (size_t i = 0; i < peers_.size(); ++i)
    if (!peers_[i].connected && !peers_[i].banned && peers_[i].retry_at <= now) ready.push_back(i);
  std::stable_sort(ready.begin(), ready.end(),
                   [&](size_t a, size_t b) { return peers_[a].retry_at < peers_[b].retry_at; });
  if (ready.size() > room) ready.resize(room);
  for (size_t i : ready) peers_[i].connected = true;
  return ready;
}

void PeerBook::dropped(size_t i, double now, bool ban) {
  Known& k = peers_[i];
  k.connected = false;
  k.banned = k.banned || ban;
  ++k.fails;
  k.retry_at = now + std::min(300.0, 5.0 * double(1 << std::min(k.fails - 1, 6)));
}

double PeerBook::next_try() const {
  double next = 1e300;
  for (const Known& k : peers_)
    if (!k.connected && !k.banned) next = std::min(next, k.retry_at);
  return next;
}

bool announce_due(double since_last, double interval, double min_interval, bool starving) {
  if (since_last >= std::min(interval, 60.0) && since_last >= min_interval) return true;
  return starving && since_last >= std::max(15.0, min_interval);
}

int pick_rarest(const std::vector<u8>& map, const std::vector<u16>& avail, const std::vector<bool>& has,
                u32 from) {
  u32 n = u32(map.size());
  int best = -1;
  for (u32 k = 0; k < n; ++k) {
    u32 i = (from + k) % n;
    if (map[i] != kMissing || i >= has.size() || !has[i]) continue;
    if (best < 0 || avail[i] < avail[u32(best)]) best = int(i);
  }
  return best;
}

std::vector<int> choose_unchoked(const std::vector<PeerChoice>& peers, int regular, bool rate_ranked,
                                 int optimistic) {
  std::vector<int> order;
  for (size_t i = 0; i < peers.size(); ++i)
    if (peers[i].interested) order.push_back(int(i));
  if (rate_ranked)
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return peers[a].rate > peers[b].rate; });
  if (int(order.size()) > regular) order.resize(size_t(regular > 0 ? regular : 0));
  if (optimistic >= 0 && size_t(optimistic) < peers.size() && peers[optimistic].interested &&
      std::find(order.begin(), order.end(), optimistic) == order.end())
    order.push_back(optimistic);
  return order;
}

bool RateCap::take(u64 n, double now) {
  if (cap_ == 0) return true;
  if (last_ >= 0) tokens_ = std::min(double(cap_), tokens_ + (now - last_) * double(cap_));
  last_ = now;
  if (tokens_ < double(n)) return false;
  tokens_ -= double(n);
  return true;
}

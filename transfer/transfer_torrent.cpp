// The torrent of a download: fetching it (or reading the copy an earlier run
// kept), finding the wanted file in it and taking its piece grid, and the
// bytes of the neighbouring files that share the first and last piece (the
// edges), without which those two pieces cannot be checked.
#include <windows.h>

#include <algorithm>

#include "transfer/transfer_engine.h"

// ---- the grid ----------------------------------------------------------------

u64 TransferEngine::pstart(u32 p) const {
  if (!has_tor_) return u64(p) * psize_;
  u64 s = (u64(first_) + p) * psize_;
  return s > foff_ ? s - foff_ : 0;
}

u32 TransferEngine::plen(u32 p) const {
  u64 end = has_tor_ ? (u64(first_) + p + 1) * psize_ - foff_ : u64(p + 1) * psize_;
  return u32(std::min(end, total_) - pstart(p));
}

u32 TransferEngine::piece_at(u64 off) const {
  return has_tor_ ? u32((foff_ + off) / psize_ - first_) : u32(off / psize_);
}

// The torrent from the side file of an earlier run, else from its URL. Picks
// the wanted file, takes the torrent's grid and adds its web seeds.
bool TransferEngine::get_torrent(std::string& err) {
  std::wstring path = part_ + L".torrent";
  std::string data = read_text(path);
  if (data.empty() || !parse_torrent(data, tor_, err)) {
    publish([](TransferSnapshot& s) { s.label = "FETCHING TORRENT"; });
    HttpReq req;
    data.clear();
    if (!req.open(spec_.torrent, 0, 0, &run_.abort, kTimeoutMs, err) || !req.read_all(data, 16u << 20, err) ||
        !parse_torrent(data, tor_, err))
      return false;
    std::string e;
    if (!save_atomic(path, path + L".tmp", data, e)) log_("torrent not kept: %s", e.c_str());
  }
  int f = -1;
  for (size_t i = 0; i < tor_.files.size() && f < 0; ++i) {
    const std::string& fp = tor_.files[i].path;
    if (!tor_.files[i].pad && fp.substr(fp.rfind('/') + 1) == spec_.file) f = int(i);
  }
  if (f < 0 && tor_.files.size() == 1) f = 0;  // a single-file torrent under another name
  if (f < 0 || tor_.files[f].length == 0 || tor_.piece_length > (64u << 20)) {
    err = "torrent has no such file";
    return false;
  }
  const TorrentFile& tf = tor_.files[f];
  if (spec_.size && spec_.size != tf.length) {
    err = "size mismatch";
    return false;
  }
  u32 last = 0;
  tor_.file_pieces(size_t(f), first_, last);
  total_ = tf.length;
  foff_ = tf.offset;
  psize_ = u32(tor_.piece_length);
  npieces_ = last - first_ + 1;
  has_tor_ = true;
  if (!engine_flag("VUNK_TRANSFER_NO_WEBSEEDS")) {
    for (const std::string& seed : tor_.web_seeds) {
      seeds_.push_back(seed);
      MirrorState mi;
      // A web seed names the file itself, or a folder that holds the
      // torrent's layout.
      mi.url = seed;
      if (!seed.empty() && seed.back() == '/') mi.url += tor_.multi ? tf.path : tor_.name;
      else if (tor_.multi) mi.url += "/" + tf.path;
      mi.host = url_host(seed);
      mirrors_.push_back(mi);
    }
  }
  log_("torrent: %u pieces of %u bytes for the file, %zu web seeds", npieces_, psize_, tor_.web_seeds.size());
  return true;
}

// ---- the edges -------------------------------------------------------------------

u32 TransferEngine::head_len() const { return has_tor_ ? u32(foff_ - u64(first_) * psize_) : 0; }

u32 TransferEngine::tail_len() const {
  if (!has_tor_) return 0;
  u64 end = std::min(tor_.total, (u64(first_) + npieces_) * psize_);
  return u32(end - (foff_ + total_));
}

// Bytes [a, b) of the torrent's byte space from the web seeds: file by file,
// pad files as the zeros they stand for.
bool TransferEngine::fetch_span(u64 a, u64 b, std::string& out) {
  out.clear();
  for (const TorrentFile& f : tor_.files) {
    u64 lo = std::max(a, f.offset), hi = std::min(b, f.offset + f.length);
    if (lo >= hi) continue;
    if (f.pad) {
      out.append(size_t(hi - lo), '\0');
      continue;
    }
    bool got = false;
    for (const std::string& seed : seeds_) {
      std::string url = seed;
      if (url.empty() || url.back() != '/') url += "/";
      url += tor_.multi ? f.path : tor_.name;
      HttpReq req;
      std::string part, err;
      if (req.open(url, lo - f.offset, hi - lo, &run_.abort, kTimeoutMs, err) && !req.range_ignored &&
          req.read_all(part, hi - lo, err) && part.size() == hi - lo) {
        out += part;
        got = true;
        break;
      }
    }
    if (!got) return false;
  }
  return out.size() == b - a;
}

// The edges piece p needs (none for an inner piece); false when one is not
// to be had.
bool TransferEngine::piece_edges(u32 p, std::string& head, std::string& tail) {
  std::lock_guard<std::mutex> lk(edge_mu_);
  head.clear();
  tail.clear();
  u64 ps = (u64(first_) + p) * psize_;
  if (p == 0 && head_len() > 0) {
    if (!head_known_ && !fetch_span(ps, foff_, edge_head_)) return false;
    head_known_ = true;
    head = edge_head_;
  }
  if (p == npieces_ - 1 && tail_len() > 0) {
    u64 fend = foff_ + total_;
    if (!tail_known_ && !fetch_span(fend, fend + tail_len(), edge_tail_)) return false;
    tail_known_ = true;
    tail = edge_tail_;
  }
  std::string body = edge_head_ + edge_tail_, err;
  if (edge_head_.size() + edge_tail_.size() > 0 &&
      !save_atomic(part_ + L".edge", part_ + L".edge.tmp", body, err))
    log_("edges not kept: %s", err.c_str());
  return true;
}

void TransferEngine::learn_edges(u32 t, const std::string& piece, u64& a, u64& b) {
  u64 ps = u64(t) * psize_, pe_end = ps + piece.size(), fend = foff_ + total_;
  a = std::max(ps, foff_) - ps;
  b = std::min(pe_end, fend) - ps;
  if (a == 0 && b == piece.size()) return;
  std::lock_guard<std::mutex> lk(edge_mu_);
  if (a > 0 && !head_known_) edge_head_ = piece.substr(0, a), head_known_ = true;
  if (b < piece.size() && !tail_known_) edge_tail_ = piece.substr(b), tail_known_ = true;
  std::string e;
  save_atomic(part_ + L".edge", part_ + L".edge.tmp", edge_head_ + edge_tail_, e);
}

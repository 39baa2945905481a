// The mirror slots: the probe of every mirror, which mirror and which run of
// pieces a slot takes, the range request that fetches them (or the whole
// body of a server that ignores ranges), what a failure costs the mirror,
// and the check of each piece that arrives.
#include <windows.h>

#include <algorithm>
#include <thread>

#include "transfer/transfer_engine.h"

// Asks every mirror for its first byte at once: the answer gives the length
// and whether ranges are honoured (a 200 to a range request says they are not).
bool TransferEngine::probe() {
  publish([](TransferSnapshot& s) { s.label = "PROBING MIRRORS"; });
  std::vector<std::thread> probes;
  std::vector<u64> lengths(mirrors_.size(), 0);
  for (size_t i = 0; i < mirrors_.size(); ++i)
    probes.emplace_back([this, i, &lengths] {
      HttpReq req;
      std::string err;
      if (!req.open(mirrors_[i].url, 0, 1, &run_.abort, kTimeoutMs, err)) {
        mirrors_[i].health.gone = true;
        mirrors_[i].error = err;
      } else {
        mirrors_[i].ranges = !req.range_ignored;
        lengths[i] = req.range_ignored ? (req.has_length ? req.length : 0) : req.range_total;
      }
    });
  for (auto& t : probes) t.join();
  if (run_.stop) return false;
  std::string last = "no sources";
  for (size_t i = 0; i < mirrors_.size(); ++i) {
    MirrorState& mi = mirrors_[i];
    // A probe that fails drops the mirror for the run.
    if (mi.up() && lengths[i] == 0) mi.health.gone = true, mi.error = "size unknown";
    if (mi.up() && total_ == 0) total_ = lengths[i];
    if (mi.up() && lengths[i] != total_) mi.health.gone = true, mi.error = "size mismatch";
    if (!mi.up()) last = mi.error;
    if (mi.up())
      log_("mirror %s: %llu bytes%s", mi.url.c_str(), (unsigned long long)lengths[i], mi.ranges ? "" : ", no ranges");
    else
      log_("mirror %s dropped: %s", mi.url.c_str(), mi.error.c_str());
  }
  u64 total = total_;
  publish([&](TransferSnapshot& s) { s.total = total; });
  for (auto& mi : mirrors_)
    if (mi.up()) return true;
  fail_ = last;
  return false;
}

// The mirror a slot uses: its own (slot mod mirrors) while usable, else the
// next usable one. -1: none left for this run; -2: only ones waiting out a
// back-off.
int TransferEngine::pick_mirror(int slot) {
  int n = int(mirrors_.size()), waiting = 0;
  double now = now_s();
  for (int k = 0; k < n; ++k) {
    int i = (slot + k) % n;
    MirrorState& mi = mirrors_[i];
    if (mi.health.gone) continue;
    if (!mi.ranges && mi.stream_slot != -1 && mi.stream_slot != slot) continue;
    if (!mirror_usable(mi.health, now)) {
      ++waiting;
      continue;
    }
    return i;
  }
  return waiting ? -2 : -1;
}

void TransferEngine::slot_loop(int slot) {
  // The slot's piece buffer lives as long as the slot: a fresh one for each
  // request would cost page faults on every piece.
  std::vector<char> piece(psize_);
  for (;;) {
    // A request cut by the stall rule left the slot's abort set. Whoever
    // stops the whole run sets its flag before aborting, so the check after
    // the reset cannot miss a stop.
    slots_[slot].cut->reset();
    if (stopped()) return;
    int mirror;
    Span span;
    bool stream = false;
    {
      std::lock_guard<std::mutex> lk(m_);
      if (book_.all_in()) return;
      mirror = pick_mirror(slot);
      if (mirror == -1) return;
      if (mirror >= 0) {
        MirrorState& mi = mirrors_[mirror];
        if (!mi.ranges) {
          mi.stream_slot = slot;
          // A new whole-body stream only while some piece is unclaimed.
          stream = std::find(book_.map.begin(), book_.map.end(), kMissing) != book_.map.end();
          if (!stream) mirror = -2;
        } else {
          span = next_span(book_.map, psize_, int(slots_.size()));
          for (u32 p = span.first; p < span.first + span.count; ++p) book_.claim(p, slot, now_s());
          // End game: nothing left to claim, so a copy of a piece in flight
          // elsewhere than on this mirror.
          std::vector<int> kin;
          for (size_t k = 0; k < slots_.size(); ++k)
            if (slots_[k].mirror == mirror) kin.push_back(int(k));
          int copy = span.count ? -1 : book_.copy_for(slot, nullptr, kin);
          if (copy >= 0) span = {u32(copy), 1};
        }
      }
    }
    if (mirror == -2 || (!stream && span.count == 0)) {
      // Nothing to claim: every missing piece is in flight elsewhere.
      run_.nap(0.2);
      continue;
    }
    fetch(slot, mirror, span, stream, piece);
  }
}

// One request: a span of claimed pieces, or (stream) the whole body of a
// server that ignores ranges, keeping the pieces nobody else has.
void TransferEngine::fetch(int slot, int mirror, Span span, bool stream, std::vector<char>& piece) {
  const std::string url = mirrors_[mirror].url;
  u64 from = stream ? 0 : pstart(span.first);
  u64 to = stream ? total_ : pstart(span.first + span.count - 1) + plen(span.first + span.count - 1);
  HttpReq req;
  HttpAbort* cut;
  {
    std::lock_guard<std::mutex> lk(m_);
    MirrorSlot& s = slots_[slot];
    s.mirror = mirror;
    s.busy = true;
    s.stalled = s.mirror_cut = s.copy_cut = false;
    s.span = stream ? Span() : span;
    s.opened = s.last_data = now_s();
    cut = s.cut;
  }
  std::string err;
  bool ok = req.open(url, from, stream ? 0 : to - from, cut, kTimeoutMs, err);
  if (ok && !stream && req.range_ignored) {
    // The server ignores ranges after all: the body starts at byte 0.
    std::lock_guard<std::mutex> lk(m_);
    release(slot, span.first, span.count);
    slots_[slot].span = Span();
    MirrorState& mi = mirrors_[mirror];
    mi.ranges = false;
    log_("mirror %s ignores ranges", mi.url.c_str());
    if (mi.stream_slot == -1 || mi.stream_slot == slot) {
      mi.stream_slot = slot;
      stream = true;
      from = 0;
      to = total_;
    } else {
      ok = false;
      err.clear();
    }
  }
  // Big reads straight into the piece they belong to: up to 1 MiB, never
  // past the piece's end.
  std::vector<char> scratch;
  Hasher sha1(HashAlgo::sha1);
  u64 pos = from;
  u32 p = piece_at(from), in_piece = 0;
  bool keep = false;
  bool rest_gone = false;
  while (ok && pos < to) {
    if (in_piece == 0) {
      // At the start of each piece: go on with it only while it still needs us.
      std::lock_guard<std::mutex> lk(m_);
      if (stream && book_.map[p] == kMissing) book_.claim(p, slot, now_s());
      keep = book_.wanted_from(p, slot);
    }
    u32 want = u32(std::min<u64>(plen(p) - in_piece, to - pos));
    char* into = piece.data() + in_piece;
    if (!keep) {
      want = std::min<u32>(want, 1u << 20);
      scratch.resize(want);
      into = scratch.data();
    }
    i64 n = req.read(into, want, err);
    if (n <= 0) {
      ok = false;
      if (n == 0) err = "short body";
      break;
    }
    {
      std::lock_guard<std::mutex> lk(m_);
      MirrorSlot& s = slots_[slot];
      s.last_data = now_s();
      s.received += u64(n);
      received_ += u64(n);
    }
    if (keep) sha1.update(into, size_t(n));
    in_piece += u32(n);
    pos += u64(n);
    if (in_piece == plen(p)) {
      std::string digest = hex_of(sha1.finish());
      if (keep && !complete_piece(slot, mirror, p, piece.data(), in_piece, digest)) {
        ok = false;
        err.clear();
        break;
      }
      ++p;
      in_piece = 0;
    }
    if (!ok || pos >= to) break;
    // Stop early when nothing from here to the span's end needs this slot
    // any more: another copy came first (the end game) or the pieces went
    // to other sources. For a whole-body stream: when nothing after this
    // point is missing.
    std::lock_guard<std::mutex> lk(m_);
    if (keep && in_piece > 0 && !book_.wanted_from(p, slot)) keep = false;
    rest_gone = true;
    u32 end = stream ? npieces_ : span.first + span.count;
    for (u32 k = p; k < end && rest_gone; ++k)
      if ((stream && book_.map[k] == kMissing) || book_.wanted_from(k, slot)) rest_gone = false;
    if (rest_gone) break;
  }
  std::lock_guard<std::mutex> lk(m_);
  MirrorSlot& s = slots_[slot];
  s.busy = false;
  s.span = Span();
  if (s.copy_cut && !ok) rest_gone = true;
  if (rest_gone) log_("mirror %s: request stopped, its pieces came from other sources", url.c_str());
  if (stream) release(slot, 0, npieces_);
  else release(slot, span.first, span.count);
  if (stopped()) return;
  if (ok || rest_gone) {
    mirror_succeeded(mirrors_[mirror].health);
    return;
  }
  if (s.mirror_cut) return;  // its mirror was dropped meanwhile
  // Cut by the stall rule, or its own receive time-out came first.
  bool stalled = s.stalled || now_s() - s.last_data >= kStallS - 0.5;
  if (stalled) err = "mirror stalled";
  if (!err.empty()) {
    // A missing file stays missing; a mirror that stalls mid-body is left
    // for the others while there are any.
    int status = req.status;
    bool others = false;
    for (size_t i = 0; i < mirrors_.size(); ++i) others = others || (int(i) != mirror && mirrors_[i].up());
    mirror_failure(mirror, s.opened, err, status == 403 || status == 404 || status == 410, stalled && others);
  }
}

void TransferEngine::release(int slot, u32 first, u32 count) {
  for (u32 p = first; p < first + count && p < npieces_; ++p) book_.let_go(p, slot);
}

// A request to the mirror failed (under m_): a strike for the event unless
// an earlier failure counted it; a drop ends every request still open to it.
void TransferEngine::mirror_failure(int mirror, double opened, const std::string& err, bool for_good, bool drop_now) {
  MirrorState& mi = mirrors_[mirror];
  bool was_gone = mi.health.gone;
  double now = now_s();
  switch (mirror_failed(mi.health, opened, now, for_good, drop_now)) {
    case MirrorVerdict::same_event:
      return;
    case MirrorVerdict::strike:
      mi.error = err;
      log_("mirror %s: %s (strike %d)", mi.url.c_str(), err.c_str(), mi.health.strikes);
      return;
    case MirrorVerdict::dropped:
      mi.error = err;
      log_("mirror %s dropped: %s (tried again in %.0f s)", mi.url.c_str(), err.c_str(), mi.health.retry_at - now);
      break;
    case MirrorVerdict::gone:
      if (was_gone) return;
      mi.error = err;
      log_("mirror %s dropped: %s", mi.url.c_str(), err.c_str());
      break;
  }
  abort_mirror(mirror);
}

// Another copy of a piece this slot fetches came first (under m_): when
// nothing else its request carries is still wanted from it, the request
// ends now rather than when its next read returns.
void TransferEngine::cut_copy(int slot) {
  MirrorSlot& sl = slots_[slot];
  if (!sl.busy || sl.span.count == 0 || sl.copy_cut) return;
  for (u32 k = sl.span.first; k < sl.span.first + sl.span.count; ++k)
    if (book_.wanted_from(k, slot)) return;
  sl.copy_cut = true;
  sl.cut->abort();
}

// Ends the requests still open to a dropped mirror, so nothing more of its
// data arrives.
void TransferEngine::abort_mirror(int mirror) {
  for (MirrorSlot& sl : slots_)
    if (sl.busy && sl.mirror == mirror && !sl.mirror_cut) {
      sl.mirror_cut = true;
      sl.cut->abort();
    }
}

bool TransferEngine::complete_piece(int slot, int mirror, u32 p, const char* data, u32 len, const std::string& sha1) {
  {
    std::lock_guard<std::mutex> lk(m_);
    if (!book_.wanted_from(p, slot)) return true;  // another copy came first
  }
  bool bad = checkable(p) && sha1 != hex_of(tor_.piece_hash(first_ + p));
  std::string head, tail;
  if (has_tor_ && !checkable(p)) {
    if (piece_edges(p, head, tail)) {
      Hasher h(HashAlgo::sha1);
      h.update(head);
      h.update(data, len);
      h.update(tail);
      bad = h.finish() != tor_.piece_hash(first_ + p);
      if (!bad) log_("piece %u checked with the edges of its neighbours", first_ + p);
    } else {
      log_("piece %u kept without its check: the neighbouring files' bytes are not to be had", first_ + p);
    }
  }
  if (bad) {
    // Bad data: the piece goes back to the pool and its mirror is demoted.
    std::lock_guard<std::mutex> lk(m_);
    book_.let_go(p, slot);
    MirrorState& mi = mirrors_[mirror];
    log_("piece %u from %s failed its check", first_ + p, mi.url.c_str());
    if (++mi.bad_pieces >= kMirrorStrikes) mirror_failure(mirror, now_s(), "bad data", true, false);
    return true;
  }
  return store_piece(p, data, len, slot, kFromMirror, sha1);
}

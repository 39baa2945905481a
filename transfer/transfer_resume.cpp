// The resume file: its text, and the engine's side of it (the check of an
// earlier run's pieces, the saver thread, the side files). Also
// transfer_resume_info, which the media store asks before any run.
#include "transfer/transfer_resume.h"

#include "transfer/transfer_engine.h"

namespace {

bool is_hex(const std::string& s) {
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

}  // namespace

// ---- the text ------------------------------------------------------------------

std::string resume_text(const ResumeData& r) {
  std::string s = "VUNK-TRANSFER 1\n";
  s += strf("total=%llu\ndone=%llu\npiece_size=%u\npieces=%u\n", (unsigned long long)r.total,
            (unsigned long long)r.done, r.piece_size, r.pieces);
  s += "sha256=" + r.sha256 + "\ninfohash=" + r.infohash + "\nhave=";
  for (u32 i = 0; i < r.pieces; i += 4) {
    int nib = 0;
    for (u32 b = 0; b < 4; ++b) nib = nib << 1 | (i + b < r.pieces && r.have[i + b]);
    s += "0123456789abcdef"[nib];
  }
  s += strf("\nvia_mirrors=%llu\nvia_peers=%llu\nuploaded=%llu\n", (unsigned long long)r.via_mirrors,
            (unsigned long long)r.via_peers, (unsigned long long)r.uploaded);
  for (u32 i = 0; i < r.pieces && i < r.hashes.size(); ++i)
    if (r.have[i] && !r.hashes[i].empty()) s += strf("hash=%u ", i) + r.hashes[i] + "\n";
  return s;
}

// A decimal number filling the whole text, without wrapping.
static bool parse_u64(const std::string& s, u64& v) {
  if (s.empty() || s.size() > 19) return false;
  v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + u64(c - '0');
  }
  return true;
}

bool resume_parse(const std::string& text, ResumeData& r) {
  r = ResumeData();
  size_t at = 0;
  bool first = true, got_total = false, got_done = false;
  u64 piece_size = 0, pieces = 0;
  std::string have;
  std::vector<std::pair<u64, std::string>> hashes;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (first) {
      if (line != "VUNK-TRANSFER 1") return false;
      first = false;
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), val = line.substr(eq + 1);
    bool ok = true;
    if (key == "total") ok = got_total = parse_u64(val, r.total);
    else if (key == "done") ok = got_done = parse_u64(val, r.done);
    else if (key == "piece_size") ok = parse_u64(val, piece_size) && piece_size <= 0x80000000u;
    else if (key == "pieces") ok = parse_u64(val, pieces) && pieces <= 0xffffffffu;
    else if (key == "sha256") ok = is_hex(r.sha256 = val);
    else if (key == "infohash") ok = is_hex(r.infohash = val);
    else if (key == "have") ok = is_hex(have = val);
    else if (key == "via_mirrors") ok = parse_u64(val, r.via_mirrors);
    else if (key == "via_peers") ok = parse_u64(val, r.via_peers);
    else if (key == "uploaded") ok = parse_u64(val, r.uploaded);
    else if (key == "hash") {
      size_t sp = val.find(' ');
      u64 i = 0;
      ok = sp != std::string::npos && parse_u64(val.substr(0, sp), i) && val.size() - sp - 1 == 40 &&
           is_hex(val.substr(sp + 1));
      if (ok) hashes.emplace_back(i, val.substr(sp + 1));
    }
    if (!ok) return false;
  }
  r.piece_size = u32(piece_size);
  r.pieces = u32(pieces);
  if (first || !got_total || !got_done || r.done > r.total) return false;
  // A grid that is not the one the total implies, or a bitmap of another
  // length, belongs to no download this engine could have written.
  // (One more piece than the total implies: a file that starts inside a
  // torrent piece shared with the file before it.)
  if (r.piece_size == 0 || r.pieces < piece_count(r.total, r.piece_size) ||
      r.pieces > piece_count(r.total, r.piece_size) + 1)
    return false;
  if (have.size() != (r.pieces + 3) / 4) return false;
  r.have.assign(r.pieces, false);
  for (u32 i = 0; i < r.pieces; ++i) {
    char c = have[i / 4];
    int nib = c <= '9' ? c - '0' : c - 'a' + 10;
    r.have[i] = (nib >> (3 - i % 4)) & 1;
  }
  r.hashes.assign(r.pieces, std::string());
  for (auto& h : hashes) {
    if (h.first >= r.pieces) return false;
    r.hashes[h.first] = h.second;
  }
  return true;
}


// ---- the engine's side ------------------------------------------------------------

// Trusts from an earlier run only the pieces whose bytes still hash to what
// the resume file recorded: a kill or a crash may have left anything else.
void TransferEngine::check_part(bool had_part) {
  book_.reset(npieces_);
  hashes_.assign(npieces_, std::string());
  std::string text = read_text(resume_);
  ResumeData r;
  std::string ih = has_tor_ ? hex_of(tor_.info_hash) : std::string();
  if (!had_part || !resume_parse(text, r) || r.total != total_ || r.piece_size != psize_ ||
      r.pieces != npieces_ || r.sha256 != sha_expected_ || r.infohash != ih)
    return;
  u64 claimed = 0;
  for (u32 i = 0; i < npieces_; ++i) claimed += r.have[i] ? plen(i) : 0;
  publish([&](TransferSnapshot& s) {
    s.state = TState::Checking;
    s.label = "CHECKING";
    s.progress = 0;
  });
  std::vector<char> buf(psize_);
  Hasher d(HashAlgo::sha1);
  u64 seen = 0;
  std::string err;
  for (u32 i = 0; i < npieces_ && !run_.stop; ++i) {
    std::string want = checkable(i) ? hex_of(tor_.piece_hash(first_ + i)) : r.hashes[i];
    if (!r.have[i] || want.empty()) continue;
    u32 n = plen(i);
    if (!file_.read_at(pstart(i), buf.data(), n, err)) continue;
    d.update(buf.data(), n);
    seen += n;
    if (hex_of(d.finish()) == want) {
      book_.map[i] = kResumed;
      hashes_[i] = r.hashes[i];
      done_ += n;
    }
    float p = claimed ? float(double(seen) / double(claimed)) : 1;
    publish([&](TransferSnapshot& s) { s.progress = p; });
  }
  // The split of what a kill lost is not known; what was kept counts as it came.
  via_mirrors_ = std::min(r.via_mirrors, done_);
  via_peers_ = std::min(r.via_peers, done_ - via_mirrors_);
  uploaded_ = r.uploaded;
  log_("resumed: %llu of %llu bytes check", (unsigned long long)done_, (unsigned long long)claimed);
}

bool TransferEngine::save_resume(std::string* err) {
  std::lock_guard<std::mutex> s(save_mu_);
  ResumeData r;
  u64 change;
  {
    std::lock_guard<std::mutex> lk(m_);
    if (saved_change_ == change_) return true;
    change = change_;
    r.total = total_;
    r.done = done_;
    r.piece_size = psize_;
    r.pieces = npieces_;
    r.sha256 = sha_expected_;
    if (has_tor_) r.infohash = hex_of(tor_.info_hash);
    r.have.resize(npieces_);
    for (u32 i = 0; i < npieces_; ++i) r.have[i] = book_.map[i] >= kFromMirror;
    r.hashes = hashes_;
    r.via_mirrors = via_mirrors_;
    r.via_peers = via_peers_;
    r.uploaded = uploaded_;
  }
  std::string e;
  if (!save_atomic(resume_, resume_tmp_, resume_text(r), e)) {
    if (err) *err = e;
    return false;
  }
  std::lock_guard<std::mutex> lk(m_);
  saved_change_ = change;
  return true;
}

void TransferEngine::save_loop() {
  std::unique_lock<std::mutex> lk(saver_mu_);
  for (;;) {
    saver_cv_.wait(lk, [&] { return save_due_ || saver_quit_; });
    if (saver_quit_) return;  // the run saves once more as it ends
    save_due_ = false;
    lk.unlock();
    save_resume();
    lk.lock();
    // Each save flushes a file to the disk, and a flush holds up the part
    // file's writes meanwhile (the file system commits its journal): saved
    // after every piece, a fast download from mirrors received about a
    // quarter slower. A save covers every piece before it, so a short gap
    // between saves costs a kill only the pieces of that moment.
    saver_cv_.wait_for(lk, std::chrono::duration<double>(kSaveGapS), [&] { return saver_quit_; });
  }
}

// Asks the saver thread for a save: a kill then loses only the pieces in
// flight, and the source goes on meanwhile instead of waiting for the file.
void TransferEngine::save_soon() {
  {
    std::lock_guard<std::mutex> lk(saver_mu_);
    save_due_ = true;
  }
  saver_cv_.notify_one();
}

void TransferEngine::drop_side_files() {
  for (const wchar_t* suffix : {L".resume", L".resume.tmp", L".torrent", L".torrent.tmp", L".edge", L".edge.tmp"})
    delete_file(part_ + suffix);
}

// ---- before any run ------------------------------------------------------------

bool transfer_resume_info(const std::wstring& dir, const std::string& file, u64& done, u64& total) {
  std::wstring part = path_join(dir, widen(file)) + L".part";
  if (!file_exists(part)) return false;
  ResumeData r;
  if (!resume_parse(read_text(part + L".resume"), r)) return false;
  done = r.done;
  total = r.total;
  return true;
}

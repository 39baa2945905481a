// The piece store and the whole-file check: a piece's first copy written to
// the part file (later copies dropped), the SHA-256 of the file taken in
// order while it fills, and the SHA-256 of a whole file with its progress.
#include <windows.h>

#include <deque>
#include <thread>

#include "transfer/transfer_engine.h"

// Writes a checked piece's bytes of the file and records it, when it is the
// first copy of the piece to arrive: that one is final, and a later copy
// (from the end game, maybe with other bytes where nothing can check them)
// is dropped before it touches the file, so the bytes the whole-file hash
// has read stay the bytes on disk.
bool TransferEngine::store_piece(u32 p, const char* data, u32 len, int by, u8 from, const std::string& sha1) {
  {
    std::lock_guard<std::mutex> lk(m_);
    if (!book_.take(p)) return true;
  }
  std::string err;
  bool all_in;
  // A piece is written only while the disk has room for it and for the side
  // files after it: a full disk then leaves no half piece, and the resume
  // file can still record what came before.
  // (Pieces being written by other threads count as taken.)
  u64 pending = writing_ += len;
  bool room = disk_has_room(part_, pending + (1u << 20));
  bool wrote = room && file_.write_at(pstart(p), data, len, err);
  writing_ -= len;
  if (!wrote) {
    fail_run(room ? err : "disk full");
    return false;
  }
  {
    std::lock_guard<std::mutex> lk(m_);
    // The other copies on their way are cancelled: the peers' by the peer
    // loop (news_), the mirror slots' here.
    std::vector<int> others = book_.holders(p);
    book_.stored(p, from);
    news_.push_back(p);
    stored_cv_.notify_all();
    for (int h : others)
      if (h != by && h < kPeerSource) cut_copy(h);
    // The torrent vouches for a checkable piece; for the others the resume
    // file keeps the hash a restart checks against.
    if (!checkable(p)) hashes_[p] = sha1;
    done_ += len;
    (from == kFromPeer ? via_peers_ : via_mirrors_) += len;
    ++change_;
    all_in = book_.all_in();
  }
  save_soon();
  if (all_in) {
    // The receiving phase ends now, not at the control loop's next round.
    log_("every piece is in");
    over_ = true;
    std::lock_guard<std::mutex> lk(run_.mu);
    run_.cv.notify_all();
  }
  return true;
}

// ---- the whole-file hash -----------------------------------------------------------

// The whole-file SHA-256, taken in order while the file fills and finished
// once it is whole. A reader thread reads the file in 4 MiB chunks as far
// as the pieces present reach, a few chunks ahead, so this thread only
// hashes: the hash, the slowest step of a verified download here, never
// waits for the disk. Ends when the file is hashed (hashed_ == total_),
// told to stop (hash_stop_), or when the run stops or fails.
void TransferEngine::hash_whole(Hasher& d) {
  constexpr u32 kChunk = 4u << 20;
  constexpr size_t kAhead = 3;
  std::mutex ring_mu;
  std::condition_variable ring_cv;
  std::deque<std::pair<std::vector<char>, u32>> full;
  std::vector<std::vector<char>> spare(kAhead, std::vector<char>(kChunk));
  bool reader_done = false;
  auto quit = [&] { return hash_stop_ || run_.stop || failing_; };
  std::thread reader([&] {
    std::string err;
    u64 pos = hashed_, front = 0;
    u32 next = 0;  // the first piece not known to be in
    while (pos < total_ && !quit()) {
      {
        std::unique_lock<std::mutex> lk(m_);
        for (;;) {
          while (next < npieces_ && book_.map[next] >= kFromMirror) front = pstart(next) + plen(next), ++next;
          if (front > pos || quit()) break;
          stored_cv_.wait_for(lk, std::chrono::milliseconds(50));
        }
      }
      if (quit()) break;
      std::vector<char> buf;
      {
        std::unique_lock<std::mutex> lk(ring_mu);
        ring_cv.wait(lk, [&] { return !spare.empty() || quit(); });
        if (spare.empty()) break;
        buf = std::move(spare.back());
        spare.pop_back();
      }
      u32 n = u32(std::min<u64>(kChunk, front - pos));
      if (!file_.read_at(pos, buf.data(), n, err)) {
        fail_run(err);
        break;
      }
      pos += n;
      std::lock_guard<std::mutex> lk(ring_mu);
      full.emplace_back(std::move(buf), n);
      ring_cv.notify_all();
    }
    std::lock_guard<std::mutex> lk(ring_mu);
    reader_done = true;
    ring_cv.notify_all();
  });
  double busy = 0, t0 = now_s();
  for (;;) {
    std::pair<std::vector<char>, u32> chunk;
    {
      std::unique_lock<std::mutex> lk(ring_mu);
      ring_cv.wait(lk, [&] { return !full.empty() || reader_done; });
      if (full.empty()) break;
      chunk = std::move(full.front());
      full.pop_front();
    }
    double t = now_s();
    d.update(chunk.first.data(), chunk.second);
    busy += now_s() - t;
    hashed_ += chunk.second;
    std::lock_guard<std::mutex> lk(ring_mu);
    spare.push_back(std::move(chunk.first));
    ring_cv.notify_all();
  }
  reader.join();
  // Where the whole-file hash loses time: it is the bound of a verified
  // download here, so every second it waits is a second of the download.
  log_("whole-file hash: %.2f s hashing, %.2f s waiting for bytes in order", busy, now_s() - t0 - busy);
}

// SHA-256 of a whole file from `from` on (d has taken the bytes before it),
// with progress rising; false when stopped or unreadable.
bool TransferEngine::verify_file(const std::wstring& path, Hasher& d, u64 from, std::string& sha) {
  u64 size = file_size(path);
  float p0 = size ? float(double(from) / double(size)) : 0;
  publish([&](TransferSnapshot& s) {
    s.state = TState::Checking;
    s.label = "VERIFYING SHA-256";
    s.progress = p0;
    show_idle(s);
  });
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER at;
  at.QuadPart = LONGLONG(from);
  SetFilePointerEx(h, at, nullptr, FILE_BEGIN);
  std::vector<char> buf(4u << 20);
  u64 seen = from;
  double last = now_s();
  bool ok = true;
  for (;;) {
    if (run_.stop) {
      ok = false;
      break;
    }
    DWORD got = 0;
    if (!ReadFile(h, buf.data(), DWORD(buf.size()), &got, nullptr)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    d.update(buf.data(), got);
    seen += got;
    if (now_s() - last > 0.1) {
      last = now_s();
      float p = size ? float(double(seen) / double(size)) : 0;
      publish([&](TransferSnapshot& s) { s.progress = p; });
    }
  }
  CloseHandle(h);
  if (ok) sha = hex_of(d.finish());
  return ok;
}

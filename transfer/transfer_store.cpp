// The piece store and the whole-file check: a piece's first copy written to
// the part file (later copies dropped), the SHA-256 of the file taken in
// order while it fills, and the SHA-256 of a whole file with its progress.
#include <windows.h>

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
  if (!file_.write_at(pstart(p), data, len, err)) {
    fail_run(err);
    return false;
  }
  {
    std::lock_guard<std::mutex> lk(m_);
    // The other copies on their way are cancelled: the peers' by the peer
    // loop (news_), the mirror slots' here.
    std::vector<int> others = book_.holders(p);
    book_.stored(p, from);
    news_.push_back(p);
    for (int h : others)
      if (h != by && h < kPeerSource) cut_copy(h);
    // The torrent vouches for a checkable piece; for the others the resume
    // file keeps the hash a restart checks against.
    if (!checkable(p)) hashes_[p] = sha1;
    done_ += len;
    (from == kFromPeer ? via_peers_ : via_mirrors_) += len;
    ++change_;
  }
  save_soon();
  return true;
}

// Hashes the file in order while it arrives, as far as the pieces present
// reach, so the check at the end has little left to read.
void TransferEngine::hash_ahead(Hasher& d) {
  std::vector<char> buf(psize_);
  std::string err;
  for (u32 p = 0; p < npieces_ && !hash_stop_ && !run_.stop && !failing_;) {
    bool present;
    {
      std::lock_guard<std::mutex> lk(m_);
      present = book_.map[p] >= kFromMirror;
    }
    if (!present) {
      run_.nap(0.02);
      continue;
    }
    u32 n = plen(p);
    if (!file_.read_at(pstart(p), buf.data(), n, err)) return;
    d.update(buf.data(), n);
    hashed_ += n;
    ++p;
  }
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

#include "transfer/transfer_io.h"

#include <windows.h>
#include <bcrypt.h>
#include <winhttp.h>
#include <winioctl.h>

#include "core/http.h"

// ---- the part file -------------------------------------------------------

std::string io_error(const char* what) {
  DWORD e = GetLastError();
  if (e == ERROR_DISK_FULL || e == ERROR_HANDLE_DISK_FULL) return "disk full";
  return what;
}

bool PartFile::open(const std::wstring& path, u64 length, std::string& err) {
  close();
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    err = io_error("cannot create file");
    return false;
  }
  // Sparse, so a fresh download takes no room for bytes it has not received
  // yet; a file system without sparse files still works, only fuller.
  DWORD ret = 0;
  DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ret, nullptr);
  LARGE_INTEGER at;
  at.QuadPart = LONGLONG(length);
  if (!SetFilePointerEx(h, at, nullptr, FILE_BEGIN) || !SetEndOfFile(h)) {
    err = io_error("cannot create file");
    CloseHandle(h);
    return false;
  }
  h_ = h;
  return true;
}

bool PartFile::write_at(u64 offset, const void* data, size_t n, std::string& err) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    OVERLAPPED ov = {};
    ov.Offset = DWORD(offset);
    ov.OffsetHigh = DWORD(offset >> 32);
    DWORD chunk = DWORD(n > (1u << 30) ? (1u << 30) : n), wrote = 0;
    if (!WriteFile(HANDLE(h_), p, chunk, &wrote, &ov) || wrote == 0) {
      err = io_error("cannot write file");
      return false;
    }
    p += wrote;
    offset += wrote;
    n -= wrote;
  }
  return true;
}

bool PartFile::read_at(u64 offset, void* data, size_t n, std::string& err) {
  char* p = static_cast<char*>(data);
  while (n > 0) {
    OVERLAPPED ov = {};
    ov.Offset = DWORD(offset);
    ov.OffsetHigh = DWORD(offset >> 32);
    DWORD chunk = DWORD(n > (1u << 30) ? (1u << 30) : n), got = 0;
    if (!ReadFile(HANDLE(h_), p, chunk, &got, &ov) || got == 0) {
      err = "cannot read file";
      return false;
    }
    p += got;
    offset += got;
    n -= got;
  }
  return true;
}

void PartFile::close() {
  if (h_) CloseHandle(HANDLE(h_));
  h_ = nullptr;
}

bool save_atomic(const std::wstring& path, const std::wstring& tmp, const std::string& body,
                 std::string& err) {
  HANDLE h = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    err = io_error("cannot write file");
    return false;
  }
  DWORD wrote = 0;
  bool ok = WriteFile(h, body.data(), DWORD(body.size()), &wrote, nullptr) && wrote == body.size();
  if (!ok) err = io_error("cannot write file");
  CloseHandle(h);
  if (ok && !MoveFileExW(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    err = io_error("cannot write file");
    ok = false;
  }
  if (!ok) DeleteFileW(tmp.c_str());
  return ok;
}

bool delete_file(const std::wstring& path) {
  return DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

std::string read_text(const std::wstring& path) {
  std::string text;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return text;
  char buf[65536];
  DWORD got = 0;
  while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0 && text.size() < (64u << 20))
    text.append(buf, got);
  CloseHandle(h);
  return text;
}

// ---- hashing -------------------------------------------------------------

Digest::Digest(bool sha256) : sha256_(sha256) {
  BCRYPT_ALG_HANDLE alg = nullptr;
  if (BCryptOpenAlgorithmProvider(&alg, sha256 ? BCRYPT_SHA256_ALGORITHM : BCRYPT_SHA1_ALGORITHM,
                                  nullptr, 0) == 0)
    alg_ = alg;
  reset();
}

Digest::~Digest() {
  if (h_) BCryptDestroyHash(BCRYPT_HASH_HANDLE(h_));
  if (alg_) BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE(alg_), 0);
}

void Digest::reset() {
  if (h_) BCryptDestroyHash(BCRYPT_HASH_HANDLE(h_));
  h_ = nullptr;
  BCRYPT_HASH_HANDLE h = nullptr;
  if (alg_ && BCryptCreateHash(BCRYPT_ALG_HANDLE(alg_), &h, nullptr, 0, nullptr, 0, 0) == 0) h_ = h;
}

void Digest::add(const void* data, size_t n) {
  const UCHAR* p = static_cast<const UCHAR*>(data);
  while (h_ && n > 0) {
    ULONG chunk = ULONG(n > (1u << 30) ? (1u << 30) : n);
    BCryptHashData(BCRYPT_HASH_HANDLE(h_), const_cast<UCHAR*>(p), chunk, 0);
    p += chunk;
    n -= chunk;
  }
}

std::string Digest::hex() {
  UCHAR out[32];
  ULONG len = sha256_ ? 32 : 20;
  std::string s;
  if (h_ && BCryptFinishHash(BCRYPT_HASH_HANDLE(h_), out, len, 0) == 0) {
    for (ULONG i = 0; i < len; ++i) s += strf("%02x", out[i]);
  }
  reset();
  return s;
}

// ---- range requests ------------------------------------------------------

bool RequestSet::add(RangeGet* r) {
  std::lock_guard<std::mutex> lk(mu_);
  if (aborted_) return false;
  open_.insert(r);
  return true;
}

void RequestSet::remove(RangeGet* r) {
  std::lock_guard<std::mutex> lk(mu_);
  open_.erase(r);
}

void RequestSet::abort_all() {
  std::lock_guard<std::mutex> lk(mu_);
  aborted_ = true;
  for (RangeGet* r : open_) r->abort();
}

bool RequestSet::aborted() const {
  std::lock_guard<std::mutex> lk(mu_);
  return aborted_;
}

RangeGet::~RangeGet() {
  if (registered_) set_.remove(this);
  std::lock_guard<std::mutex> lk(mu_);
  close_handles();
}

void RangeGet::close_handles() {
  if (req_) WinHttpCloseHandle(HINTERNET(req_));
  if (conn_) WinHttpCloseHandle(HINTERNET(conn_));
  req_ = conn_ = nullptr;
}

void RangeGet::abort() {
  std::lock_guard<std::mutex> lk(mu_);
  aborted_ = true;
  close_handles();
}

bool RangeGet::open(const std::string& url, u64 from, u64 to, u32 timeout_ms, std::string& err) {
  err = "connection failed";
  if (!registered_) {
    if (!set_.add(this)) return false;
    registered_ = true;
  }
  UrlParts p;
  if (!crack_url(url, p) || !http_session()) {
    err = "bad URL";
    return false;
  }
  HINTERNET conn = WinHttpConnect(HINTERNET(http_session()), p.host.c_str(), p.port, 0);
  if (!conn) return false;
  HINTERNET req = WinHttpOpenRequest(conn, L"GET", p.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                     WINHTTP_DEFAULT_ACCEPT_TYPES, p.https ? WINHTTP_FLAG_SECURE : 0);
  {
    std::lock_guard<std::mutex> lk(mu_);
    conn_ = conn;
    req_ = req;
    if (aborted_ || !req) {
      close_handles();
      return false;
    }
  }
  int t = int(timeout_ms);
  WinHttpSetTimeouts(req, t, t, t, t);
  DWORD head_timeout = timeout_ms;
  WinHttpSetOption(req, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &head_timeout, sizeof head_timeout);
  std::wstring range;
  if (to > from) range = widen(strf("Range: bytes=%llu-%llu", (unsigned long long)from, (unsigned long long)(to - 1)));
  else if (from > 0) range = widen(strf("Range: bytes=%llu-", (unsigned long long)from));
  if (!WinHttpSendRequest(req, range.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : range.c_str(),
                          range.empty() ? 0 : DWORD(-1L), WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !WinHttpReceiveResponse(req, nullptr))
    return false;
  DWORD status = 0, len = sizeof status;
  WinHttpQueryHeaders(req, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                      &status, &len, WINHTTP_NO_HEADER_INDEX);
  status_ = int(status);
  if (status_ != 200 && status_ != 206) {
    err = strf("HTTP %d", status_);
    return false;
  }
  wchar_t text[128];
  len = sizeof text;
  if (status_ == 206 && WinHttpQueryHeaders(req, WINHTTP_QUERY_CONTENT_RANGE, WINHTTP_HEADER_NAME_BY_INDEX,
                                            text, &len, WINHTTP_NO_HEADER_INDEX)) {
    const wchar_t* slash = wcschr(text, L'/');
    if (slash) full_ = _wcstoui64(slash + 1, nullptr, 10);
  } else if (status_ == 200 && WinHttpQueryHeaders(req, WINHTTP_QUERY_CONTENT_LENGTH,
                                                   WINHTTP_HEADER_NAME_BY_INDEX, text, &len,
                                                   WINHTTP_NO_HEADER_INDEX)) {
    full_ = _wcstoui64(text, nullptr, 10);
  }
  return true;
}

long RangeGet::read(char* buf, size_t n) {
  HINTERNET req;
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (aborted_ || !req_) return -1;
    req = HINTERNET(req_);
  }
  DWORD got = 0;
  if (!WinHttpReadData(req, buf, DWORD(n), &got)) return -1;
  std::lock_guard<std::mutex> lk(mu_);
  return aborted_ ? -1 : long(got);
}

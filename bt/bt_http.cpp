#include "bt/bt_http.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <thread>

#include "core/http.h"

bool HttpAbort::add(void* request) {
  std::lock_guard<std::mutex> lock(mu_);
  if (aborted_) return false;
  open_.push_back(request);
  return true;
}

bool HttpAbort::remove(void* request) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = std::find(open_.begin(), open_.end(), request);
  if (it == open_.end()) return false;
  open_.erase(it);
  return true;
}

void HttpAbort::abort() {
  std::lock_guard<std::mutex> lock(mu_);
  aborted_ = true;
  // Closing a request handle wakes a call blocked on it where the system
  // allows (the request's caller leaves on the aborted flag anyway); the
  // owner learns through remove that the handle is gone.
  for (void* h : open_) WinHttpCloseHandle(h);
  open_.clear();
}

bool HttpAbort::aborted() const {
  std::lock_guard<std::mutex> lock(mu_);
  return aborted_;
}

void HttpAbort::reset() {
  std::lock_guard<std::mutex> lock(mu_);
  aborted_ = false;
}

static bool parse_u64(std::string_view& v, u64& out) {
  size_t i = 0;
  u64 n = 0;
  while (i < v.size() && v[i] >= '0' && v[i] <= '9') {
    if (n > (~u64(0) - 9) / 10) return false;
    n = n * 10 + u64(v[i] - '0');
    ++i;
  }
  if (i == 0) return false;
  out = n;
  v.remove_prefix(i);
  return true;
}

bool parse_content_range(std::string_view v, u64& first, u64& last, u64& total) {
  while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
  while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
  if (v.size() < 6 || _strnicmp(v.data(), "bytes ", 6) != 0) return false;
  v.remove_prefix(6);
  u64 a, b, t = 0;
  if (!parse_u64(v, a) || v.empty() || v.front() != '-') return false;
  v.remove_prefix(1);
  if (!parse_u64(v, b) || v.empty() || v.front() != '/') return false;
  v.remove_prefix(1);
  if (v == "*") {
    v = {};
  } else if (!parse_u64(v, t) || b >= t) {
    return false;
  }
  if (!v.empty() || b < a) return false;
  first = a;
  last = b;
  total = t;
  return true;
}

static std::string header_text(HINTERNET req, DWORD which) {
  wchar_t text[256];
  DWORD len = sizeof text;
  if (!WinHttpQueryHeaders(req, which, WINHTTP_HEADER_NAME_BY_INDEX, text, &len, WINHTTP_NO_HEADER_INDEX))
    return {};
  return narrow(std::wstring_view(text, len / sizeof(wchar_t)));
}

// What a request and its I/O thread share. The thread owns the handles and
// closes them when it is told to quit, after any call still under way, so
// an abandoned call never writes into memory its caller has freed; it never
// touches the HttpAbort, which may end with its run before the call does.
// The body is read ahead: while the caller takes the bytes of one read, the
// thread is already in the next one, so what the caller does with them
// (checking, writing) overlaps the network. The thread reads into `next`,
// which the caller touches only between calls; the two buffers go round
// between them, so no read allocates or clears memory.
struct HttpIo {
  std::mutex mu;
  std::condition_variable cv;
  enum Op { idle, send, read, quit } op = idle;
  bool done = false;
  bool abandoned = false;  // a call was left running: the request is unusable
  HINTERNET conn = nullptr, req = nullptr;
  HttpAbort* abort = nullptr;
  std::wstring range;
  BOOL ok = FALSE;
  std::string next;
  DWORD want = 0;  // what the read asks for
  DWORD got = 0;
};

static void io_thread(std::shared_ptr<HttpIo> io) {
  std::unique_lock<std::mutex> lock(io->mu);
  for (;;) {
    io->cv.wait(lock, [&] { return io->op != HttpIo::idle && !io->done; });
    if (io->op == HttpIo::quit) break;
    HttpIo::Op op = io->op;
    HINTERNET req = io->req;
    char* into = io->next.data();
    DWORD want = io->want;
    lock.unlock();
    BOOL ok;
    DWORD got = 0;
    if (op == HttpIo::send) {
      const std::wstring& range = io->range;
      ok = WinHttpSendRequest(req, range.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : range.c_str(),
                              range.empty() ? 0 : DWORD(-1L), WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
           WinHttpReceiveResponse(req, nullptr);
    } else {
      ok = WinHttpReadData(req, into, want, &got);
    }
    lock.lock();
    io->ok = ok;
    io->got = std::min(got, want);
    io->done = true;
    io->cv.notify_all();
    if (io->op == HttpIo::quit) break;
  }
  // close took the request out of the run's registry already (the registry
  // may be gone by now), or left it null when abort had closed it
  if (io->req) WinHttpCloseHandle(io->req);
  if (io->conn) WinHttpCloseHandle(io->conn);
  io->req = io->conn = nullptr;
}

// Starts a call on the I/O thread.
static void io_start(HttpIo& io, HttpIo::Op op) {
  std::lock_guard<std::mutex> lock(io.mu);
  io.op = op;
  io.done = false;
  io.cv.notify_all();
}

// Waits for the call started last; false when it failed or the run was
// aborted first (the call is then left to finish on its own).
static bool io_wait(HttpIo& io, HttpAbort* abort) {
  std::unique_lock<std::mutex> lock(io.mu);
  while (!io.done) {
    if (abort && abort->aborted()) {
      io.abandoned = true;
      return false;
    }
    io.cv.wait_for(lock, std::chrono::milliseconds(50));
  }
  io.op = HttpIo::idle;
  io.done = false;
  return io.ok;
}

bool HttpReq::open(const std::string& url, u64 from, u64 len, HttpAbort* abort, u32 timeout_ms,
                   std::string& err) {
  close();
  status = 0;
  has_length = range_ignored = false;
  length = range_first = range_last = range_total = received = 0;
  UrlParts p;
  if (!crack_url(url, p)) {
    err = "bad URL";
    return false;
  }
  HINTERNET session = http_session();
  if (!session) {
    err = "no HTTP session";
    return false;
  }
  HINTERNET conn = WinHttpConnect(session, p.host.c_str(), p.port, 0);
  HINTERNET req = conn ? WinHttpOpenRequest(conn, L"GET", p.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                            WINHTTP_DEFAULT_ACCEPT_TYPES, p.https ? WINHTTP_FLAG_SECURE : 0)
                       : nullptr;
  if (!req) {
    err = "cannot connect";
    if (conn) WinHttpCloseHandle(conn);
    return false;
  }
  if (abort && !abort->add(req)) {
    err = "aborted";
    WinHttpCloseHandle(req);
    WinHttpCloseHandle(conn);
    return false;
  }
  int t = int(timeout_ms);
  WinHttpSetTimeouts(req, t, t, t, t);
  DWORD head_timeout = timeout_ms;
  WinHttpSetOption(req, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &head_timeout, sizeof head_timeout);
  io_ = std::make_shared<HttpIo>();
  io_->conn = conn;
  io_->req = req;
  io_->abort = abort;
  abort_ = abort;
  if (len > 0)
    io_->range = widen(strf("Range: bytes=%llu-%llu", (unsigned long long)from, (unsigned long long)(from + len - 1)));
  std::thread(io_thread, io_).detach();
  io_start(*io_, HttpIo::send);
  if (!io_wait(*io_, abort)) {
    err = abort && abort->aborted() ? "aborted" : "no HTTP reply";
    close();
    return false;
  }
  DWORD code = 0, size = sizeof code;
  WinHttpQueryHeaders(req, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                      &code, &size, WINHTTP_NO_HEADER_INDEX);
  status = int(code);
  if (status != 200 && status != 206) {
    err = strf("HTTP %d", status);
    close();
    return false;
  }
  std::string cl = header_text(req, WINHTTP_QUERY_CONTENT_LENGTH);
  std::string_view clv = cl;
  has_length = !cl.empty() && parse_u64(clv, length) && clv.empty();
  if (!has_length) length = 0;
  if (status == 200) {
    range_ignored = len > 0;
    return true;
  }
  // A 206 must describe exactly the range asked for (the server may cut the
  // end at the end of the file); anything else would put bytes at the wrong
  // offset of the caller's file.
  if (!parse_content_range(header_text(req, WINHTTP_QUERY_CONTENT_RANGE), range_first, range_last, range_total) ||
      len == 0 || range_first != from || range_last > from + len - 1 ||
      (has_length && length != range_last - range_first + 1)) {
    err = "bad Content-Range";
    close();
    return false;
  }
  if (!has_length) {
    has_length = true;
    length = range_last - range_first + 1;
  }
  return true;
}

// Each read of the I/O thread asks for this much (WinHTTP fills it before it
// returns, unless the body ends): few round trips to the thread.
constexpr DWORD kReadAhead = 1u << 20;

void HttpReq::read_ahead() {
  if (io_->next.size() < kReadAhead) io_->next.resize(kReadAhead);
  io_->want = has_length ? DWORD(std::min<u64>(kReadAhead, length - fetched_)) : kReadAhead;
  io_start(*io_, HttpIo::read);
  ahead_ = true;
}

i64 HttpReq::read(void* buf, size_t cap, std::string& err) {
  if (!io_) {
    err = "not open";
    return -1;
  }
  if ((abort_ && abort_->aborted()) || io_->abandoned) {
    err = "aborted";
    return -1;
  }
  if (has_length && received >= length) return 0;
  if (held_at_ == held_len_) {
    if (!ahead_) read_ahead();
    ahead_ = false;
    if (!io_wait(*io_, abort_)) {
      err = abort_ && abort_->aborted() ? "aborted" : "HTTP read failed";
      return -1;
    }
    DWORD got = io_->got;
    if (got == 0) {
      // a connection closed early can look like a plain end of body
      if (has_length && received < length) {
        err = "body cut short";
        return -1;
      }
      return 0;
    }
    held_.swap(io_->next);
    held_at_ = 0;
    held_len_ = got;
    fetched_ += got;
    if (!has_length || fetched_ < length) read_ahead();
  }
  size_t n = std::min(cap, held_len_ - held_at_);
  memcpy(buf, held_.data() + held_at_, n);
  held_at_ += n;
  received += n;
  return i64(n);
}

bool HttpReq::read_all(std::string& out, u64 max_bytes, std::string& err) {
  char buf[65536];
  for (;;) {
    i64 n = read(buf, sizeof buf, err);
    if (n < 0) return false;
    if (n == 0) return true;
    if (out.size() + u64(n) > max_bytes) {
      err = "body too large";
      return false;
    }
    out.append(buf, size_t(n));
  }
}

void HttpReq::close() {
  if (io_) {
    std::lock_guard<std::mutex> lock(io_->mu);
    if (io_->abort && !io_->abort->remove(io_->req)) io_->req = nullptr;
    io_->abort = nullptr;
    io_->op = HttpIo::quit;
    io_->done = false;
    io_->cv.notify_all();
  }
  io_.reset();
  abort_ = nullptr;
  held_.clear();
  held_at_ = held_len_ = 0;
  fetched_ = 0;
  ahead_ = false;
}

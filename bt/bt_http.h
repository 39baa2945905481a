// One HTTP GET at a time through the shared WinHTTP session, with an optional
// byte range, and the registry that lets another thread end open requests.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/common.h"

// The open requests of one run. abort closes them all from any thread, so a
// worker blocked in a read returns at once; requests opened afterwards fail
// until reset starts the next run.
class HttpAbort {
 public:
  // false (nothing added) once abort has run
  bool add(void* request);
  // true when the request was still open, so the caller closes it itself;
  // false when abort closed it already
  bool remove(void* request);
  void abort();
  bool aborted() const;
  void reset();

 private:
  mutable std::mutex mu_;
  std::vector<void*> open_;
  bool aborted_ = false;
};

// "bytes FIRST-LAST/TOTAL" (TOTAL may be "*", giving 0); false when malformed.
bool parse_content_range(std::string_view v, u64& first, u64& last, u64& total);

class HttpReq {
 public:
  HttpReq() = default;
  ~HttpReq() { close(); }
  HttpReq(const HttpReq&) = delete;
  HttpReq& operator=(const HttpReq&) = delete;

  // Sends a GET and waits for the response head. With len > 0 it asks for
  // bytes [from, from + len). A 200 to a ranged request is not an error:
  // range_ignored is set and the body starts at byte 0 of the file.
  // Any status other than 200 and 206 fails with "HTTP <status>".
  [[nodiscard]] bool open(const std::string& url, u64 from, u64 len, HttpAbort* abort, u32 timeout_ms,
                          std::string& err);
  // Up to cap bytes of the body: the count, 0 at its end, -1 on failure.
  // The next bytes are read ahead meanwhile.
  i64 read(void* buf, size_t cap, std::string& err);
  // The rest of the body, failing when it is longer than max_bytes.
  [[nodiscard]] bool read_all(std::string& out, u64 max_bytes, std::string& err);
  void close();

  int status = 0;
  bool has_length = false;  // Content-Length was given
  u64 length = 0;           // body length when has_length
  bool range_ignored = false;
  u64 range_first = 0, range_last = 0, range_total = 0;  // from Content-Range on a 206
  u64 received = 0;

 private:
  // The blocking WinHTTP calls run on a thread of the request's own, so a
  // caller can leave a stalled call the moment its run is aborted, even
  // where closing the handle does not wake that call.
  std::shared_ptr<struct HttpIo> io_;
  HttpAbort* abort_ = nullptr;
  // Bytes [held_at_, held_len_) of held_ came from the last read and are not
  // taken yet; fetched_ counts the body bytes the reads returned; ahead_: the
  // next read is under way.
  std::string held_;
  size_t held_at_ = 0, held_len_ = 0;
  u64 fetched_ = 0;
  bool ahead_ = false;
  void read_ahead();
};

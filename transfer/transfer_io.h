// The engine's file, hashing and range-request helpers. Kept apart from the
// engine's decisions so the decisions read as plain logic.
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "core/common.h"

// ---- the part file -------------------------------------------------------
// A sparse file of fixed length written and read at explicit offsets, so any
// number of threads may write their pieces at once without a shared position.
class PartFile {
 public:
  PartFile() = default;
  ~PartFile() { close(); }
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;

  // Opens (creating when missing) and sets the length; a longer file is cut.
  bool open(const std::wstring& path, u64 length, std::string& err);
  bool write_at(u64 offset, const void* data, size_t n, std::string& err);
  bool read_at(u64 offset, void* data, size_t n, std::string& err);
  void close();
  bool is_open() const { return h_ != nullptr; }

 private:
  void* h_ = nullptr;
};

// "disk full" for the two Windows codes that mean it, else `what`.
std::string io_error(const char* what);
// Replaces `path` by `body` through `path`.tmp and a rename, so a reader finds
// either the old or the new file whole.
bool save_atomic(const std::wstring& path, const std::wstring& tmp, const std::string& body,
                 std::string& err);
bool delete_file(const std::wstring& path);
// A small text file whole (at most 64 MiB); empty when missing or unreadable.
std::string read_text(const std::wstring& path);

// ---- hashing -------------------------------------------------------------
class Digest {
 public:
  explicit Digest(bool sha256);
  ~Digest();
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;
  void add(const void* data, size_t n);
  // Lower-case hexadecimal; the object can be fed anew afterwards.
  std::string hex();

 private:
  void* alg_ = nullptr;
  void* h_ = nullptr;
  bool sha256_;
  void reset();
};

// ---- range requests ------------------------------------------------------
class RangeGet;

// Every open request of one run; abort_all closes them from another thread,
// so blocked reads end at once, and refuses requests opened afterwards.
class RequestSet {
 public:
  bool add(RangeGet* r);
  void remove(RangeGet* r);
  void abort_all();
  bool aborted() const;

 private:
  mutable std::mutex mu_;
  std::set<RangeGet*> open_;
  bool aborted_ = false;
};

class RangeGet {
 public:
  explicit RangeGet(RequestSet& set) : set_(set) {}
  ~RangeGet();
  RangeGet(const RangeGet&) = delete;
  RangeGet& operator=(const RangeGet&) = delete;

  // GET with "Range: bytes=from-(to-1)"; to == 0 asks for the whole body.
  // False with err ("connection failed", "HTTP %d") when no usable answer.
  bool open(const std::string& url, u64 from, u64 to, u32 timeout_ms, std::string& err);
  int status() const { return status_; }
  // The length of the whole resource: the total of Content-Range on a 206,
  // Content-Length on a 200; 0 when the answer does not say.
  u64 full_length() const { return full_; }
  // Bytes read into buf, 0 at the end of the body, -1 on a failure or abort.
  long read(char* buf, size_t n);
  // Closes the request from any thread; a blocked read returns -1.
  void abort();

 private:
  RequestSet& set_;
  std::mutex mu_;
  void* conn_ = nullptr;
  void* req_ = nullptr;
  bool aborted_ = false;
  bool registered_ = false;
  int status_ = 0;
  u64 full_ = 0;
  void close_handles();
};

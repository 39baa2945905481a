// The engine's file helpers. Kept apart from the
// engine's decisions so the decisions read as plain logic.
#pragma once

#include <mutex>
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
  // Writes take turns here: the file system lets one writer at a time into
  // a file anyway, and writers that wait for it there spin (from peers, with
  // several helpers writing, a fifth of the write time went to spinning).
  std::mutex write_mu_;
};

// Whether the volume that holds `path` has `bytes` free (true when that
// cannot be told).
bool disk_has_room(const std::wstring& path, u64 bytes);
// "disk full" for the two Windows codes that mean it, else `what`.
std::string io_error(const char* what);
// Replaces `path` by `body` through `path`.tmp and a rename, so a reader finds
// either the old or the new file whole.
bool save_atomic(const std::wstring& path, const std::wstring& tmp, const std::string& body,
                 std::string& err);
bool delete_file(const std::wstring& path);
// A small text file whole (at most 64 MiB); empty when missing or unreadable.
std::string read_text(const std::wstring& path);

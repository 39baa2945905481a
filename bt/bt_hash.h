// Hashing and random bytes over the system's cryptography provider (bcrypt).
#pragma once

#include <string>
#include <string_view>

#include "core/common.h"

enum class HashAlgo : u8 { sha1, sha256 };

// Incremental SHA-1 or SHA-256. One object hashes one stream at a time; after
// finish it is ready for the next stream. Not shared between threads.
class Hasher {
 public:
  explicit Hasher(HashAlgo algo = HashAlgo::sha1);
  ~Hasher();
  Hasher(const Hasher&) = delete;
  Hasher& operator=(const Hasher&) = delete;

  bool ok() const { return hash_ != nullptr; }
  size_t digest_size() const { return algo_ == HashAlgo::sha1 ? 20 : 32; }
  void update(const void* data, size_t n);
  void update(std::string_view s) { update(s.data(), s.size()); }
  // The raw digest (20 or 32 bytes); empty when the provider failed.
  std::string finish();

  static std::string sha1(std::string_view s);
  static std::string sha256(std::string_view s);

 private:
  void restart();
  HashAlgo algo_;
  void* hash_ = nullptr;  // BCRYPT_HASH_HANDLE
  bool failed_ = false;
};

// Bytes from the system random generator; false when it failed.
[[nodiscard]] bool random_bytes(void* out, size_t n);
std::string hex_of(std::string_view raw);
// Lower- or upper-case hex into raw bytes; false on odd length or a non-hex digit.
bool unhex(std::string_view hex, std::string& raw);

#include "bt/bt_hash.h"

#include <windows.h>
#include <bcrypt.h>

namespace {

// One provider per algorithm for the life of the program: opening one costs
// far more than hashing a block, and a provider may be used from any thread.
BCRYPT_ALG_HANDLE provider(HashAlgo algo) {
  static BCRYPT_ALG_HANDLE sha1 = [] {
    BCRYPT_ALG_HANDLE h = nullptr;
    return BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA1_ALGORITHM, nullptr, 0) >= 0 ? h : nullptr;
  }();
  static BCRYPT_ALG_HANDLE sha256 = [] {
    BCRYPT_ALG_HANDLE h = nullptr;
    return BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA256_ALGORITHM, nullptr, 0) >= 0 ? h : nullptr;
  }();
  return algo == HashAlgo::sha1 ? sha1 : sha256;
}

}  // namespace

Hasher::Hasher(HashAlgo algo) : algo_(algo) { restart(); }

Hasher::~Hasher() {
  if (hash_) BCryptDestroyHash(hash_);
}

void Hasher::restart() {
  if (hash_) BCryptDestroyHash(hash_);
  hash_ = nullptr;
  failed_ = false;
  BCRYPT_ALG_HANDLE alg = provider(algo_);
  BCRYPT_HASH_HANDLE h = nullptr;
  if (alg && BCryptCreateHash(alg, &h, nullptr, 0, nullptr, 0, 0) >= 0) hash_ = h;
}

void Hasher::update(const void* data, size_t n) {
  const u8* p = static_cast<const u8*>(data);
  while (hash_ && n > 0) {
    // bcrypt takes 32-bit lengths
    ULONG step = ULONG(n > 0x40000000 ? 0x40000000 : n);
    if (BCryptHashData(hash_, const_cast<PUCHAR>(p), step, 0) < 0) failed_ = true;
    p += step;
    n -= step;
  }
}

std::string Hasher::finish() {
  std::string out(digest_size(), '\0');
  if (!hash_ || BCryptFinishHash(hash_, reinterpret_cast<PUCHAR>(out.data()), ULONG(out.size()), 0) < 0 ||
      failed_)
    out.clear();
  restart();
  return out;
}

std::string Hasher::sha1(std::string_view s) {
  Hasher h(HashAlgo::sha1);
  h.update(s);
  return h.finish();
}

std::string Hasher::sha256(std::string_view s) {
  Hasher h(HashAlgo::sha256);
  h.update(s);
  return h.finish();
}

bool random_bytes(void* out, size_t n) {
  u8* p = static_cast<u8*>(out);
  while (n > 0) {
    ULONG step = ULONG(n > 0x40000000 ? 0x40000000 : n);
    if (BCryptGenRandom(nullptr, p, step, BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) return false;
    p += step;
    n -= step;
  }
  return true;
}

std::string hex_of(std::string_view raw) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(raw.size() * 2);
  for (unsigned char c : raw) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

bool unhex(std::string_view hex, std::string& raw) {
  if (hex.size() % 2) return false;
  auto nib = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out(hex.size() / 2, '\0');
  for (size_t i = 0; i < out.size(); ++i) {
    int hi = nib(hex[2 * i]), lo = nib(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = char(hi << 4 | lo);
  }
  raw = std::move(out);
  return true;
}

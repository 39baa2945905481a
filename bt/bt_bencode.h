// Bencode values: decoding with limits, encoding, and the byte span each
// decoded value came from (the info-hash is taken over the info
// dictionary's bytes exactly as they were received).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/common.h"

struct BNode {
  enum Type : u8 { none, integer, string, list, dict };
  Type type = none;
  i64 i = 0;
  std::string s;
  std::vector<BNode> items;                           // list
  std::vector<std::pair<std::string, BNode>> fields;  // dict, in input order
  size_t begin = 0, end = 0;                          // byte span in the decoded input

  BNode() = default;
  static BNode of_int(i64 v);
  static BNode of_str(std::string_view v);
  static BNode new_list();
  static BNode new_dict();

  bool is_int() const { return type == integer; }
  bool is_str() const { return type == string; }
  bool is_list() const { return type == list; }
  bool is_dict() const { return type == dict; }
  // The value under key, or null (also when this is not a dictionary).
  const BNode* get(std::string_view key) const;
  const BNode* get_int(std::string_view key) const;
  const BNode* get_str(std::string_view key) const;
  const BNode* get_list(std::string_view key) const;
  const BNode* get_dict(std::string_view key) const;
  // Sets key, keeping the keys sorted as encoding requires.
  BNode& set(std::string_view key, BNode v);
  BNode& add(BNode v);
};

struct BLimits {
  u32 depth = 64;         // nesting of lists and dictionaries
  size_t nodes = 1 << 20;  // values in all (each costs about 120 bytes)
  size_t input = 64u << 20;
};

// Decodes exactly one value filling all of `in`.
[[nodiscard]] bool bdecode(std::string_view in, BNode& out, std::string& err, const BLimits& lim = {});
// Decodes one value at the start of `in`; `used` gets its length (peer
// messages carry raw bytes after a bencoded dictionary).
[[nodiscard]] bool bdecode_prefix(std::string_view in, BNode& out, size_t& used, std::string& err,
                                  const BLimits& lim = {});
std::string bencode(const BNode& v);

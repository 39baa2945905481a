#include "bt/bt_bencode.h"

#include <algorithm>

BNode BNode::of_int(i64 v) {
  BNode n;
  n.type = integer;
  n.i = v;
  return n;
}

BNode BNode::of_str(std::string_view v) {
  BNode n;
  n.type = string;
  n.s = v;
  return n;
}

BNode BNode::new_list() {
  BNode n;
  n.type = list;
  return n;
}

BNode BNode::new_dict() {
  BNode n;
  n.type = dict;
  return n;
}

const BNode* BNode::get(std::string_view key) const {
  if (type != dict) return nullptr;
  for (const auto& f : fields)
    if (f.first == key) return &f.second;
  return nullptr;
}

const BNode* BNode::get_int(std::string_view key) const {
  const BNode* n = get(key);
  return n && n->type == integer ? n : nullptr;
}

const BNode* BNode::get_str(std::string_view key) const {
  const BNode* n = get(key);
  return n && n->type == string ? n : nullptr;
}

const BNode* BNode::get_list(std::string_view key) const {
  const BNode* n = get(key);
  return n && n->type == list ? n : nullptr;
}

const BNode* BNode::get_dict(std::string_view key) const {
  const BNode* n = get(key);
  return n && n->type == dict ? n : nullptr;
}

BNode& BNode::set(std::string_view key, BNode v) {
  auto it = std::lower_bound(fields.begin(), fields.end(), key,
                             [](const std::pair<std::string, BNode>& f, std::string_view k) { return f.first < k; });
  if (it != fields.end() && it->first == key) {
    it->second = std::move(v);
    return it->second;
  }
  return fields.insert(it, {std::string(key), std::move(v)})->second;
}

BNode& BNode::add(BNode v) {
  items.push_back(std::move(v));
  return items.back();
}

namespace {

struct Decoder {
  std::string_view in;
  size_t at = 0;
  size_t nodes = 0;
  const BLimits& lim;
  std::string err;

  bool fail(const char* e) {
    if (err.empty()) err = e;
    return false;
  }

  // digits up to `stop`; the value may not exceed max
  bool number(char stop, u64 max, u64& out) {
    size_t start = at;
    u64 n = 0;
    while (at < in.size() && in[at] >= '0' && in[at] <= '9') {
      u64 d = u64(in[at] - '0');
      if (n > (max - d) / 10) return fail("bencode number too large");
      n = n * 10 + d;
      ++at;
    }
    if (at == start) return fail(at >= in.size() ? "truncated bencode" : "bad bencode number");
    if (at - start > 1 && in[start] == '0') return fail("bad bencode number");
    if (at >= in.size() || in[at] != stop) return fail(at >= in.size() ? "truncated bencode" : "bad bencode number");
    ++at;
    out = n;
    return true;
  }

  bool str(std::string& out) {
    u64 len;
    if (!number(':', ~u64(0) / 2, len)) return false;
    if (len > in.size() - at) return fail("truncated bencode");
    out.assign(in.data() + at, size_t(len));
    at += size_t(len);
    return true;
  }

  bool value(BNode& n, u32 depth) {
    if (++nodes > lim.nodes) return fail("bencode too large");
    if (at >= in.size()) return fail("truncated bencode");
    n.begin = at;
    char c = in[at];
    if (c == 'i') {
      ++at;
      bool neg = at < in.size() && in[at] == '-';
      if (neg) ++at;
      u64 v;
      if (!number('e', neg ? u64(1) << 63 : (u64(1) << 63) - 1, v)) return false;
      if (neg && v == 0) return fail("bad bencode number");
      n.type = BNode::integer;
      n.i = neg ? i64(0 - v) : i64(v);
    } else if (c >= '0' && c <= '9') {
      n.type = BNode::string;
      if (!str(n.s)) return false;
    } else if (c == 'l' || c == 'd') {
      if (depth >= lim.depth) return fail("bencode nested too deep");
      ++at;
      n.type = c == 'l' ? BNode::list : BNode::dict;
      for (;;) {
        if (at >= in.size()) return fail("truncated bencode");
        if (in[at] == 'e') break;
        if (c == 'l') {
          n.items.emplace_back();
          if (!value(n.items.back(), depth + 1)) return false;
        } else {
          std::string key;
          if (in[at] < '0' || in[at] > '9') return fail("bad bencode key");
          if (!str(key)) return false;
          n.fields.emplace_back(std::move(key), BNode());
          if (!value(n.fields.back().second, depth + 1)) return false;
        }
      }
      ++at;
    } else {
      return fail("not bencode");
    }
    n.end = at;
    return true;
  }
};

void encode_to(const BNode& v, std::string& out) {
  switch (v.type) {
    case BNode::integer:
      out += 'i';
      out += std::to_string(v.i);
      out += 'e';
      break;
    case BNode::string:
      out += std::to_string(v.s.size());
      out += ':';
      out += v.s;
      break;
    case BNode::list:
      out += 'l';
      for (const BNode& n : v.items) encode_to(n, out);
      out += 'e';
      break;
    case BNode::dict:
      out += 'd';
      for (const auto& f : v.fields) {
        out += std::to_string(f.first.size());
        out += ':';
        out += f.first;
        encode_to(f.second, out);
      }
      out += 'e';
      break;
    case BNode::none:
      break;
  }
}

}  // namespace

bool bdecode_prefix(std::string_view in, BNode& out, size_t& used, std::string& err, const BLimits& lim) {
  if (in.size() > lim.input) {
    err = "bencode too large";
    return false;
  }
  Decoder d{in, 0, 0, lim, {}};
  BNode n;
  if (!d.value(n, 0)) {
    err = d.err;
    return false;
  }
  used = d.at;
  out = std::move(n);
  return true;
}

bool bdecode(std::string_view in, BNode& out, std::string& err, const BLimits& lim) {
  size_t used = 0;
  BNode n;
  if (!bdecode_prefix(in, n, used, err, lim)) return false;
  if (used != in.size()) {
    err = "data after bencode";
    return false;
  }
  out = std::move(n);
  return true;
}

std::string bencode(const BNode& v) {
  std::string out;
  encode_to(v, out);
  return out;
}

#include "core/json.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>

const JVal& JVal::operator[](const std::string& key) const {
  static const JVal none;
  auto it = o.find(key);
  return it == o.end() ? none : it->second;
}

static bool is_ws(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

static bool is_num_byte(char c) {
  return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
}

// The longest leading part of run that reads as a decimal number: optional
// sign, digits with an optional point, optional exponent. 0 when none does.
static size_t number_prefix(std::string_view run) {
  size_t i = 0, digits = 0;
  if (i < run.size() && (run[i] == '+' || run[i] == '-')) ++i;
  while (i < run.size() && run[i] >= '0' && run[i] <= '9') ++i, ++digits;
  if (i < run.size() && run[i] == '.') {
    ++i;
    while (i < run.size() && run[i] >= '0' && run[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return 0;
  if (i < run.size() && (run[i] == 'e' || run[i] == 'E')) {
    size_t j = i + 1;
    if (j < run.size() && (run[j] == '+' || run[j] == '-')) ++j;
    size_t k = j;
    while (k < run.size() && run[k] >= '0' && run[k] <= '9') ++k;
    if (k > j) i = k;
  }
  return i;
}

// Reads up to four bytes as hex, stopping at the first non-hex byte.
static bool hex4(std::string_view t, size_t at, unsigned& code) {
  code = 0;
  int got = 0;
  for (int k = 0; k < 4; ++k) {
    char c = t[at + k];
    int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
            : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (v < 0) break;
    code = code * 16 + unsigned(v);
    ++got;
  }
  return got > 0;
}

static void put_utf8(std::string& out, unsigned c) {
  if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | (c >> 6));
    out += char(0x80 | (c & 0x3F));
  } else if (c > 0xFFFF) {
    out += char(0xF0 | ((c >> 18) & 0x07));
    out += char(0x80 | ((c >> 12) & 0x3F));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  } else {
    out += char(0xE0 | (c >> 12));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  }
}

bool JParser::string(std::string& out) {
  if (pos >= text.size() || text[pos] != '"') return false;
  ++pos;
  if (pos >= text.size()) return false;
  if (text[pos] == '"') {
    ++pos;
    return true;
  }
  for (;;) {
    char c = text[pos++];
    if (c != '\\') {
      out += c;
    } else {
      if (pos >= text.size()) return false;
      char e = text[pos++];
      switch (e) {
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          if (pos + 4 > text.size()) return false;
          unsigned code;
          if (!hex4(text, pos, code)) return false;
          pos += 4;
          if (code >= 0xD800 && code <= 0xDBFF && pos + 6 <= text.size() && text[pos] == '\\' &&
              text[pos + 1] == 'u') {
            unsigned second;
            if (!hex4(text, pos + 2, second)) return false;
            pos += 6;
            code = (code - 0xD800) * 1024 + second + 0x2400;
          }
          put_utf8(out, code);
          break;
        }
        default: out += e; break;
      }
    }
    if (pos >= text.size()) return false;
    if (text[pos] == '"') {
      ++pos;
      return true;
    }
  }
}

double json_number(std::string_view num) {
  // The C runtime's conversion takes time quadratic in the digits it is
  // given. 800 significant digits decide the rounding of any double; a
  // sticky 1 stands for every non-zero digit dropped after them.
  constexpr size_t kKeep = 800;
  constexpr long long kExpCap = 1000000000;
  std::string digits;
  long long exp10 = 0;
  bool neg = false, point = false, sticky = false;
  size_t i = 0;
  if (i < num.size() && (num[i] == '+' || num[i] == '-')) neg = num[i++] == '-';
  for (; i < num.size(); ++i) {
    const char c = num[i];
    if (c == '.') {
      point = true;
      continue;
    }
    if (c < '0' || c > '9') break;
    if (digits.empty() && c == '0') {
      if (point) --exp10;
    } else if (digits.size() < kKeep) {
      digits += c;
      if (point) --exp10;
    } else {
      sticky = sticky || c != '0';
      if (!point) ++exp10;
    }
  }
  if (i < num.size() && (num[i] == 'e' || num[i] == 'E')) {
    ++i;
    bool eneg = false;
    if (i < num.size() && (num[i] == '+' || num[i] == '-')) eneg = num[i++] == '-';
    long long e = 0;
    for (; i < num.size() && num[i] >= '0' && num[i] <= '9'; ++i) e = std::min(e * 10 + (num[i] - '0'), kExpCap);
    exp10 += eneg ? -e : e;
  }
  if (digits.empty()) return neg ? -0.0 : 0.0;
  if (sticky) {
    digits += '1';
    --exp10;
  }
  const std::string text = (neg ? "-" : "") + digits + "e" + std::to_string(exp10);
  return strtod(text.c_str(), nullptr);
}

bool JParser::value(JVal& v) {
  // A reader on the user-interface thread must not throw: running out of
  // memory fails the read like malformed text does, and a failed read keeps
  // nothing of what it had built.
  try {
    if (parse(v)) return true;
  } catch (const std::exception&) {
  }
  v = JVal();
  return false;
}

bool JParser::parse(JVal& v) {
  if (++values > kMaxValues) return false;
  auto skip = [&] {
    while (pos < text.size() && is_ws(text[pos])) ++pos;
    return pos < text.size();
  };
  if (pos >= text.size() || !skip()) return false;
  char c = text[pos];
  if (c == '{' || c == '[') {
    // Deep nesting from a hostile peer must fail, not exhaust the stack.
    if (depth >= kMaxDepth) return false;
    ++depth;
    struct Leave {
      int& d;
      ~Leave() { --d; }
    } leave{depth};
    ++pos;
    if (c == '{') {
      v.kind = 5;
      if (!skip()) return false;
      if (text[pos] == '}') {
        ++pos;
        return true;
      }
      for (;;) {
        if (!skip()) return false;
        std::string key;
        if (!string(key)) return false;
        if (!skip() || text[pos] != ':') return false;
        ++pos;
        if (!parse(v.o[key])) return false;
        if (!skip()) return false;
        if (text[pos] == ',') {
          ++pos;
          continue;
        }
        if (text[pos] == '}') {
          ++pos;
          return true;
        }
        return false;
      }
    }
    v.kind = 4;
    if (!skip()) return false;
    if (text[pos] == ']') {
      ++pos;
      return true;
    }
    for (;;) {
      v.a.emplace_back();
      if (!parse(v.a.back())) return false;
      if (!skip()) return false;
      if (text[pos] == ',') {
        ++pos;
        continue;
      }
      if (text[pos] == ']') {
        ++pos;
        return true;
      }
      return false;
    }
  }
  if (c == '"') {
    v.kind = 3;
    return string(v.s);
  }
  std::string_view rest = text.substr(pos);
  if (rest.substr(0, 4) == "true") {
    v.kind = 1;
    v.b = true;
    pos += 4;
    return true;
  }
  if (rest.substr(0, 5) == "false") {
    v.kind = 1;
    v.b = false;
    pos += 5;
    return true;
  }
  if (rest.substr(0, 4) == "null") {
    v.kind = 0;
    pos += 4;
    return true;
  }
  size_t end = pos;
  while (end < text.size() && is_num_byte(text[end])) ++end;
  std::string_view run = text.substr(pos, end - pos);
  pos = end;
  size_t len = number_prefix(run);
  if (len == 0) return false;
  // Beyond the range of a double fails; an underflow keeps what the
  // conversion gives, 0 or the nearest subnormal.
  double d = json_number(run.substr(0, len));
  if (std::isinf(d)) return false;
  v.kind = 2;
  v.n = d;
  return true;
}

// A seeded, time-bounded fuzz pass over what the program reads from others:
// JSON and QMP lines, command lines, machine.ini values and PPM headers.
// VUNK_FUZZ_SEED repeats a run; VUNK_FUZZ_SECONDS sets each target's time.
// Every case must end quickly, throw nothing, and keep the round trips; a QMP
// line is taken exactly when the reader's grammar (written again here from
// its description) reads it as an object with an event or an answer, and no
// line longer than the client's receive cap is ever taken.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>

#include "core/json.h"
#include "machines/cmdline.h"
#include "machines/library.h"
#include "machines/qmp.h"
#include "tests/fleet/fleet_test_util.h"
#include "tests/gfx/gfx_test.h"
#include "tests/support/test_support.h"

namespace {

struct Fuzz {
  std::mt19937_64 rng;
  double end, last = 0;
  int cases = 0;
  explicit Fuzz(const char* target) {
    const std::string seed = env_str("VUNK_FUZZ_SEED"), secs = env_str("VUNK_FUZZ_SECONDS");
    const u64 s = seed.empty() ? 20261207 : strtoull(seed.c_str(), nullptr, 10);
    rng.seed(s ^ std::hash<std::string>()(target));
    end = now_s() + (secs.empty() ? 1.5 : atof(secs.c_str()));
    printf("fuzz %s: seed %llu\n", target, (unsigned long long)s);
  }
  // The next case, while time is left; each one must take under a second.
  bool next() {
    const double t = now_s();
    if (cases++ > 0) {
      EXPECT_LT(t - last, 1.0) << "case " << cases - 1 << " was slow";
    }
    last = t;
    return t < end && !::testing::Test::HasFailure();
  }
  size_t below(size_t n) { return n ? size_t(rng() % n) : 0; }
  // Random bytes drawn mostly from the given alphabet.
  std::string bytes(size_t max, std::string_view alphabet) {
    std::string s(below(max + 1), '\0');
    for (char& c : s) c = below(8) ? alphabet[below(alphabet.size())] : char(rng());
    return s;
  }
  // A mutation of one of the seeds: bytes flipped, cut, repeated, spliced.
  std::string mutate(const std::vector<std::string>& seeds) {
    std::string s = seeds[below(seeds.size())];
    for (size_t k = below(6); k-- > 0 && !s.empty();) {
      const size_t at = below(s.size());
      switch (below(5)) {
        case 0: s[at] = char(rng()); break;
        case 1: s.erase(at, below(16)); break;
        case 2: s.insert(at, s.substr(below(s.size()), below(64))); break;
        case 3: s.insert(at, std::string(below(4096), "9[{\"e-."[below(7)])); break;
        default: s.insert(at, seeds[below(seeds.size())]);
      }
    }
    return s;
  }
};

std::vector<std::string> json_seeds() {
  std::vector<std::string> seeds = {"{\"return\": {}}", "[1, -2.5e3, true, null, \"\\u00e9\\ud83d\\ude00\"]",
                                    "{\"error\": {\"class\": \"GenericError\", \"desc\": \"x\"}}", "1e-400"};
  for (const char* f : {"qmp-greeting.json", "qmp-event-stop.json", "qemu-img-info-chain.json"})
    seeds.push_back(read_bytes(src_path(std::string("tests/core/data/") + f)));
  return seeds;
}

}  // namespace

TEST(Fuzz, JsonAndQuotedStrings) {
  Fuzz f("json");
  const auto seeds = json_seeds();
  while (f.next()) {
    const std::string text = f.mutate(seeds);
    JVal v;
    JParser p{text};
    if (p.value(v)) {
      EXPECT_LE(p.pos, text.size());
    }
    // Any bytes quoted for a command read back unchanged.
    const std::string raw = f.bytes(64, "ab\"\\\x01\x1f\xc3\xa9 ");
    const std::string quoted = json_quote(raw);
    JParser q{quoted};
    JVal back;
    ASSERT_TRUE(q.value(back) && back.kind == 3) << quoted;
    EXPECT_EQ(back.s, raw);
  }
}

namespace {

// What a QMP line holds, read by the reader's grammar as the JSON reader's
// own description gives it (lenient: signed, bare-point and zero-led
// numbers, raw control bytes and any escaped byte in strings, words matched
// as prefixes), written apart from the program's reader. `sure` is false
// where that description leaves the outcome to the implementer (a Unicode
// escape whose first byte is not a hex digit).
struct LineOracle {
  std::string_view t;
  size_t p = 0;
  int depth = 0;
  bool sure = true;
  std::map<std::string, int> keys;  // top-level members and how often
  std::string event;                // the "event" member when a plain string

  static bool ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
  void skip() {
    while (p < t.size() && ws(t[p])) ++p;
  }
  static bool hex(char c) { return isxdigit((unsigned char)c) != 0; }

  // The string at p; raw receives its bytes between the quotes, escapes kept.
  bool string(std::string* raw) {
    if (p >= t.size() || t[p] != '"') return false;
    const size_t start = ++p;
    if (p >= t.size()) return false;
    while (t[p] != '"') {
      if (t[p] == '\\') {
        if (++p >= t.size()) return false;
        if (t[p] == 'u') {
          if (p + 4 >= t.size()) return false;
          if (!hex(t[p + 1])) sure = false;
          const bool high = hex(t[p + 1]) && std::strtoul(std::string(t.substr(p + 1, 4)).c_str(), nullptr, 16) >= 0xD800 &&
                            std::strtoul(std::string(t.substr(p + 1, 4)).c_str(), nullptr, 16) <= 0xDBFF;
          p += 4;
          if (high && p + 6 < t.size() && t[p + 1] == '\\' && t[p + 2] == 'u') {
            if (!hex(t[p + 3])) sure = false;
            p += 6;
          }
        }
      }
      if (++p >= t.size()) return false;
    }
    if (raw) *raw = std::string(t.substr(start, p - start));
    ++p;
    return true;
  }

  bool number() {
    size_t end = p;
    while (end < t.size() && (isdigit((unsigned char)t[end]) || (t[end] && strchr("+-.eE", t[end])))) ++end;
    const std::string run(t.substr(p, end - p));
    p = end;
    // The longest leading decimal number: sign, digits with a point, exponent.
    size_t i = 0, digits = 0;
    if (i < run.size() && (run[i] == '+' || run[i] == '-')) ++i;
    while (i < run.size() && isdigit((unsigned char)run[i])) ++i, ++digits;
    if (i < run.size() && run[i] == '.') {
      ++i;
      while (i < run.size() && isdigit((unsigned char)run[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    size_t len = i;
    if (i < run.size() && (run[i] == 'e' || run[i] == 'E')) {
      size_t j = i + 1;
      if (j < run.size() && (run[j] == '+' || run[j] == '-')) ++j;
      size_t k = j;
      while (k < run.size() && isdigit((unsigned char)run[k])) ++k;
      if (k > j) len = k;
    }
    return std::isfinite(std::strtod(run.substr(0, len).c_str(), nullptr));
  }

  bool value(bool top = false) {
    skip();
    if (p >= t.size()) return false;
    const char c = t[p];
    if (c == '{' || c == '[') {
      if (++depth > 512) return false;
      ++p;
      skip();
      if (p >= t.size()) return false;
      if (t[p] == (c == '{' ? '}' : ']')) {
        ++p, --depth;
        return true;
      }
      for (;;) {
        std::string key;
        if (c == '{') {
          skip();
          if (!string(&key)) return false;
          skip();
          if (p >= t.size() || t[p] != ':') return false;
          ++p;
          skip();
          if (top && key == "event" && p < t.size() && t[p] == '"') {
            const size_t at = p;
            std::string raw;
            if (string(&raw) && raw.find('\\') == std::string::npos) event = raw;
            p = at;
          }
        }
        if (!value()) return false;
        if (top) ++keys[key];
        skip();
        if (p >= t.size()) return false;
        if (t[p] == ',') {
          ++p;
          continue;
        }
        if (t[p] == (c == '{' ? '}' : ']')) {
          ++p, --depth;
          return true;
        }
        return false;
      }
    }
    if (c == '"') return string(nullptr);
    for (const char* word : {"true", "false", "null"})
      if (t.substr(p, strlen(word)) == word) {
        p += strlen(word);
        return true;
      }
    return number();
  }

  // True when the line's first value is an object (top-level keys noted).
  bool object(std::string_view line) {
    t = line;
    skip();
    return p < t.size() && t[p] == '{' && value(true);
  }
};

// Bytes as hex, for a failure message that shows exactly what was fed.
std::string hex_of(const std::string& s) {
  std::string out;
  for (unsigned char c : s) out += strf("%02x", c);
  return out;
}

}  // namespace

// Every line the client takes (as an event, an answer or the handshake's
// end) is an object the reader's grammar reads, with the member that makes
// it one; every such line is taken; a greeting is never taken as an answer.
TEST(Fuzz, QmpLines) {
  Fuzz f("qmp");
  const auto seeds = json_seeds();
  Qmp q;  // no socket: whatever a line asks to send goes nowhere
  std::string took;  // what the last line did
  q.on_event = [&](const std::string& name, const JVal&) { took += "event:" + name + ";"; };
  q.on_ready = [&] { took += "ready;"; };
  int events = 0, answers = 0, unsure = 0;
  while (f.next()) {
    while (q.replies.size() < 4) q.replies.push_back([&](bool, const JVal&) { took += "answer;"; });
    q.ready = f.below(2);
    const bool was_ready = q.ready, was_greeted = q.greeted;
    const std::string line = f.mutate(seeds);
    took.clear();
    q.line(line);

    LineOracle o;
    const bool obj = o.object(line);
    if (!o.sure) {
      ++unsure;
      continue;
    }
    std::string want;
    if (obj && o.keys.count("QMP")) {
      EXPECT_EQ(q.greeted, true);
    } else if (obj && o.keys.count("event")) {
      want = "event:" + (o.keys["event"] == 1 && !o.event.empty() ? o.event : "?") + ";";
      ++events;
    } else if (obj && (o.keys.count("error") || o.keys.count("return"))) {
      want = was_ready ? "answer;" : "ready;";
      ++answers;
    }
    if (want.find('?') != std::string::npos) {
      EXPECT_EQ(took.rfind("event:", 0), 0u) << line;  // a name the oracle does not decode
    } else {
      EXPECT_EQ(took, want) << (obj ? "object " : "not an object ") << hex_of(line);
    }
    if (!obj || !o.keys.count("QMP")) EXPECT_EQ(q.greeted, was_greeted) << line;
    if (obj && o.keys.count("QMP")) q.greeted = false;
  }
  printf("qmp: %d events, %d answers, %d lines the description leaves open\n", events, answers, unsure);
}

// Lines around the receive limit, through a real socket in chunks of random
// size: one of up to Qmp::kMaxRx bytes is handled, a longer one never is and
// closes the link.
TEST(Fuzz, QmpLinesNoLongerThanTheLimit) {
  Fuzz f("qmp-limit");
  const size_t cap = Qmp::kMaxRx;
  const size_t lengths[] = {cap - 1, cap, cap + 1, cap + 2 + f.below(40000)};
  for (size_t len : lengths) {
    // An event whose line (before its LF) is exactly len bytes.
    const std::string head = "{\"event\":\"LONG\",\"data\":{\"pad\":\"", tail = "\"}}";
    const std::string long_line = head + std::string(len - head.size() - tail.size(), 'a') + tail + "\n";
    const std::string stream = "{\"event\":\"BEFORE\"}\r\n" + long_line + "{\"event\":\"AFTER\"}\n";
    std::vector<size_t> cuts;
    for (size_t at = 0; at < stream.size(); at += 4096 + f.below(2u << 20)) cuts.push_back(at);
    cuts.push_back(stream.size());
    ScriptedPeer peer([&](PeerConn& c, ScriptedPeer&) {
      if (!c.handshake()) return false;
      for (size_t i = 0; i + 1 < cuts.size(); ++i)
        if (!c.send_text(stream.substr(cuts[i], cuts[i + 1] - cuts[i]))) return true;  // closed by the client
      std::string l;
      return !c.read_line(l, 10);
    });
    Qmp q;
    track_qmp(&q);
    std::vector<std::string> seen;
    int closes = 0;
    q.on_event = [&](const std::string& name, const JVal&) { seen.push_back(name); };
    q.on_close = [&] { ++closes; };
    q.open(test_main_window(), peer.port);
    const bool fits = len <= cap;
    const std::vector<std::string> want =
        fits ? std::vector<std::string>{"BEFORE", "LONG", "AFTER"} : std::vector<std::string>{"BEFORE"};
    ASSERT_TRUE(pump_until([&] { return fits ? seen.size() == 3 : closes > 0; }, 60)) << len;
    EXPECT_EQ(seen, want) << len;
    EXPECT_EQ(closes, fits ? 0 : 1) << len;
    q.close();
    untrack_qmp(&q);
  }
}

TEST(Fuzz, CommandLinesRoundTrip) {
  Fuzz f("cmdline");
  while (f.next()) {
    std::vector<std::wstring> args;
    for (size_t n = f.below(8); n-- > 0;) args.push_back(widen(f.bytes(24, "ab -=,\"\\\t:")));
    for (auto& a : args)
      for (auto& c : a)
        if (c == 0 || c == 0xFFFD) c = L'x';  // a NUL cannot travel in a command line
    std::vector<std::wstring> back;
    const std::wstring exe = L"C:\\Program Files\\q\\qemu.exe";
    ASSERT_TRUE(split_cmdline(join_cmdline(exe, args), back));
    ASSERT_EQ(back.size(), args.size() + 1);
    EXPECT_EQ(back[0], exe);
    EXPECT_EQ(std::vector<std::wstring>(back.begin() + 1, back.end()), args);
    parse_qemu_argv(back);
    split_extra(f.bytes(64, "-drive file=a,,b \"\\"));
  }
}

TEST(Fuzz, MachineIniValuesRoundTrip) {
  Fuzz f("ini");
  const std::wstring dir = test_dir("fuzz-ini");
  while (f.next()) {
    Machine m;
    m.dir = dir;
    // Text without line ends or NULs (they end a value in any INI file), valid UTF-8.
    auto text = [&] { return narrow(widen(f.bytes(40, " \t\x1a\"'=[];#ab\xc3\xa9"))); };
    m.name = text();
    m.extra = text();
    for (std::string* s : {&m.name, &m.extra})
      for (char& c : *s)
        if (c == '\r' || c == '\n' || c == 0) c = 'x';
    m.profile = "linux-x64";
    ASSERT_TRUE(m.save());
    Machine back;
    ASSERT_TRUE(back.load(dir));
    EXPECT_EQ(back.name, m.name);
    EXPECT_EQ(back.extra, m.extra);
  }
  remove_tree(dir);
}

TEST(Fuzz, PpmHeaders) {
  ASSERT_TRUE(gfx_ready());
  Fuzz f("ppm");
  TestSurface t(8, 8, D2D1_COLOR_F{0, 0, 0, 1}, false);
  ASSERT_TRUE(t.created);
  const std::wstring file = path_join(test_dir("fuzz-ppm"), L"x.ppm");
  const std::vector<std::string> seeds = {"P6 2 1 255\n\xff\0\0\0\0\xff", "P6\n16384 16384\n255\n",
                                          "P6 4294967298 1 255\n", "P6 3 3 65535 ", "P6 1 1 255\n\x01\x02\x03"};
  while (f.next()) {
    const std::string bytes = f.mutate(seeds);
    ASSERT_TRUE(write_bytes(file, bytes));
    ComPtr<ID2D1Bitmap1> bmp = t.s.load_ppm(file);
    if (bmp) {
      EXPECT_LE(u64(bmp->GetPixelSize().width) * bmp->GetPixelSize().height * 3, bytes.size());
    }
  }
  remove_tree(path_dir(file));
}

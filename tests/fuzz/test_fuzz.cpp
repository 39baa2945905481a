// A seeded, time-bounded fuzz pass over what the program reads from others:
// JSON and QMP lines, command lines, machine.ini values and PPM headers.
// VUNK_FUZZ_SEED repeats a run; VUNK_FUZZ_SECONDS sets each target's time.
// Every case must end quickly, throw nothing, and keep the round trips.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>

#include "core/json.h"
#include "machines/cmdline.h"
#include "machines/library.h"
#include "machines/qmp.h"
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

TEST(Fuzz, QmpLines) {
  Fuzz f("qmp");
  const auto seeds = json_seeds();
  Qmp q;  // no socket: whatever a line asks to send goes nowhere
  int events = 0, answers = 0;
  q.on_event = [&](const std::string&, const JVal&) { ++events; };
  while (f.next()) {
    if (q.replies.size() < 4) q.replies.push_back([&](bool, const JVal&) { ++answers; });
    q.ready = f.below(2);
    q.line(f.mutate(seeds));
  }
  printf("qmp: %d events, %d answers\n", events, answers);
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

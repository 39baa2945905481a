// Seeded mutations of real inputs for every parser: each must return a value
// or a short lower-case error, within bounded time and memory. The seed is
// printed; VUNK_FUZZ_SEED repeats a run.
#include <gtest/gtest.h>
#include <windows.h>
#include <psapi.h>

#include <functional>
#include <random>

#include "bt/bt_bencode.h"
#include "bt/bt_dht.h"
#include "bt/bt_peer.h"
#include "bt/bt_torrent.h"
#include "bt/bt_tracker.h"
#include "tests/bt/bt_test_util.h"
#include "tests/support/test_support.h"

namespace {

struct Mutator {
  std::mt19937 rng;
  size_t pick(size_t n) { return n ? std::uniform_int_distribution<size_t>(0, n - 1)(rng) : 0; }

  // Half the time the value tree is changed and encoded again, so the input
  // stays bencode and reaches the checks behind the decoder.
  std::string mutate(std::string s) {
    BNode root;
    std::string err;
    if (pick(2) && bdecode(s, root, err)) {
      for (int i = 0; i < 3; ++i) mutate_tree(root);
      return bencode(root);
    }
    for (int i = 0, steps = 1 + int(pick(4)); i < steps; ++i) {
      size_t at = pick(s.size() + 1), d = s.find_first_of("0123456789", at);
      static const char* const numbers[] = {"99999999999999999999", "4294967295", "-1", "0"};
      switch (pick(6)) {
        case 0: if (!s.empty()) s[pick(s.size())] ^= char(1 + pick(255)); break;
        case 1: s.insert(at, std::string(1 + pick(8), char(pick(256)))); break;
        case 2: s.erase(at, pick(64)); break;
        case 3: s.insert(at, s.substr(pick(s.size() + 1), pick(32))); break;
        case 4: if (d != std::string::npos) s.replace(d, 1, numbers[pick(4)]); break;
        default: s.insert(at, std::string(1 + pick(100), pick(2) ? 'l' : 'd')); break;
      }
    }
    return s;
  }

  void mutate_tree(BNode& n) {
    if (n.is_list() && !n.items.empty() && pick(3)) return mutate_tree(n.items[pick(n.items.size())]);
    if (n.is_dict() && !n.fields.empty() && pick(4)) return mutate_tree(n.fields[pick(n.fields.size())].second);
    static const i64 ints[] = {-1, 0, 1, 255, 65536, i64(1) << 31, i64(1) << 62, -(i64(1) << 62)};
    static const char* const strs[] = {"..", "", "C:", "CON", "a/b", "\\x"};
    switch (pick(5)) {
      case 0: n = BNode::of_int(ints[pick(8)]); break;
      case 1: n = BNode::of_str(pick(2) ? std::string(pick(100), char(pick(256))) : strs[pick(6)]); break;
      case 2: if (!n.fields.empty()) n.fields.erase(n.fields.begin() + long(pick(n.fields.size()))); break;
      case 3: if (!n.items.empty()) n.items.push_back(n.items[pick(n.items.size())]); break;
      default: {
        BNode list = BNode::new_list();
        list.add(n);
        n = std::move(list);
      }
    }
  }
};

// Short, lower case, capitals only in acronyms; a tracker's own text may
// follow "tracker: ".
bool plain_error(const std::string& e) {
  if (e.empty() || e.size() > 230) return false;
  if (e.compare(0, 9, "tracker: ") == 0) return true;
  for (size_t i = 0; i < e.size(); ++i) {
    bool up = e[i] >= 'A' && e[i] <= 'Z';
    bool next_up = i + 1 < e.size() && e[i + 1] >= 'A' && e[i + 1] <= 'Z';
    bool prev_up = i > 0 && e[i - 1] >= 'A' && e[i - 1] <= 'Z';
    if (up && !next_up && !prev_up) return false;
  }
  return true;
}

template <class T, class F>
std::string refusal(F parse) {
  T value;
  std::string err;
  return parse(value, err) ? std::string() : err;
}

TEST(Fuzz, EveryParserSurvivesMutatedInput) {
  std::string seed_text = env_str("VUNK_FUZZ_SEED");
  u32 seed = seed_text.empty() ? 20261207u : u32(strtoul(seed_text.c_str(), nullptr, 10));
  printf("fuzz seed %u\n", seed);
  Mutator mut{std::mt19937(seed)};
  using Parse = std::function<std::string(const std::string&)>;
  struct Target {
    const char* name;
    std::vector<std::string> seeds;
    Parse parse;
  } targets[] = {
      {"torrent",
       {fixture_file("lt-single.torrent"), fixture_file("lt-multi.torrent"), fixture_file("mk-multi.torrent")},
       [](const std::string& in) { return refusal<Torrent>([&](auto& v, auto& e) { return parse_torrent(in, v, e); }); }},
      {"tracker reply",
       {"d8:intervali900e5:peers12:abcdefghijkl6:peers618:abcdefghijklmnopqre", "d5:peersld2:ip7:1.2.3.44:porti80eee",
        "d14:failure reason4:nopee"},
       [](const std::string& in) {
         return refusal<AnnounceResp>([&](auto& v, auto& e) { return parse_announce_reply(in, v, e); });
       }},
      {"UDP tracker reply",
       {std::string("\0\0\0\x01\0\0\0\x07\0\0\x07\x08\0\0\0\x02\0\0\0\x01\x7f\0\0\x01\x1a\xe1", 26),
        std::string("\0\0\0\0\0\0\0\x07\x01\x02\x03\x04\x05\x06\x07\x08", 16)},
       [](const std::string& in) {
         u64 c;
         return refusal<AnnounceResp>([&](auto& v, auto& e) { return parse_udp_reply(in, 7, c, v, in.size() & 1, e) >= 0; });
       }},
      {"KRPC",
       {krpc_reply("aa", std::string(20, 'n'), {{std::string(20, 'a'), PeerAddr()}}, {PeerAddr()}, "tok"),
        krpc_get_peers("aa", std::string(20, 'i'), std::string(20, 'h')),
        "d1:eli201e23:A Generic Error Ocurrede1:t2:aa1:y1:ee"},
       [](const std::string& in) { return refusal<Krpc>([&](auto& v, auto& e) { return parse_krpc(in, v, e); }); }},
      {"peer messages",
       {build_have(3) + build_bitfield("\xff\x0f") + build_request(1, 2, 16384) + build_piece(1, 0, "data") +
        build_extended(1, "d5:added6:abcdefe")},
       [](const std::string& in) {
         // framed the way a connection frames its stream
         std::string_view rest = in;
         for (i64 n; (n = peer_frame_size(rest)) != 0; rest.remove_prefix(size_t(n))) {
           if (n < 0) return std::string("peer frame too large");
           std::string err = refusal<PeerMsg>([&](auto& v, auto& e) { return parse_peer_msg(rest.substr(0, size_t(n)), v, e); });
           if (!err.empty()) return err;
         }
         return std::string();
       }},
      {"extension messages",
       {build_ext_handshake(1, "V.U.N.K. 1.0", 6881, 250), "d5:added12:abcdefghijkl7:added.f2:ab7:dropped0:e",
        build_handshake(std::string(20, 'i'), std::string(20, 'p'))},
       [](const std::string& in) {
         std::string errs[] = {
             refusal<ExtHandshake>([&](auto& v, auto& e) { return parse_ext_handshake(in, v, e); }),
             refusal<PexMsg>([&](auto& v, auto& e) { return parse_pex(in, v, e); }),
             refusal<Handshake>([&](auto& v, auto& e) { return parse_handshake(in, v, e); })};
         for (const std::string& e : errs)
           if (e.empty() || !plain_error(e)) return e;
         return errs[0];
       }},
  };

  PROCESS_MEMORY_COUNTERS before = {sizeof before}, after = {sizeof after};
  GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before);
  double t0 = now_s();
  for (Target& t : targets) {
    ASSERT_FALSE(t.seeds[0].empty()) << t.name;
    int refused = 0;
    for (int i = 0; i < 3000; ++i) {
      std::string err = t.parse(mut.mutate(t.seeds[mut.pick(t.seeds.size())]));
      refused += !err.empty();
      EXPECT_TRUE(err.empty() || plain_error(err)) << t.name << ": \"" << err << "\"";
    }
    printf("%-20s 3000 mutated inputs, %d refused\n", t.name, refused);
  }
  GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after);
  double took = now_s() - t0;
  size_t grew = after.PeakWorkingSetSize - before.PeakWorkingSetSize;
  printf("fuzz pass: %.2f s, peak memory grew by %zu KiB\n", took, grew / 1024);
  EXPECT_LT(took, 60.0);
  EXPECT_LT(grew, size_t(256) << 20);
}

}  // namespace

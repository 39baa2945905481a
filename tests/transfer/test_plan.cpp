// The resume file's text and the mirror slots' piece runs.
#include <gtest/gtest.h>

#include "transfer/transfer_plan.h"
#include "transfer/transfer_resume.h"

namespace {

ResumeData sample() {
  ResumeData r;
  r.total = 10 * 4194304ull + 123;
  r.piece_size = 4194304;
  r.pieces = 11;
  r.done = 2 * 4194304ull + 123;
  r.sha256 = std::string(64, 'a');
  r.have.assign(11, false);
  r.have[0] = r.have[10] = r.have[5] = true;
  r.hashes.assign(11, std::string());
  r.hashes[0] = std::string(40, '1');
  r.hashes[10] = std::string(40, 'f');
  r.via_mirrors = 7;
  return r;
}

TEST(ResumeFile, RoundTripKeepsEveryField) {
  ResumeData r = sample(), back;
  std::string text = resume_text(r);
  EXPECT_EQ(text.rfind("VUNK-TRANSFER 1\n", 0), 0u);
  ASSERT_TRUE(resume_parse(text, back));
  EXPECT_EQ(back.total, r.total);
  EXPECT_EQ(back.done, r.done);
  EXPECT_EQ(back.pieces, 11u);
  EXPECT_EQ(back.have, r.have);
  EXPECT_EQ(back.hashes[0], r.hashes[0]);
  EXPECT_EQ(back.hashes[10], r.hashes[10]);
  EXPECT_TRUE(back.hashes[5].empty());  // present without a recorded hash
  EXPECT_EQ(back.sha256, r.sha256);
  EXPECT_EQ(back.via_mirrors, 7u);
  // Windows line ends and keys this version does not know are read past.
  std::string crlf;
  for (char c : text + "later_key=1\n") crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_TRUE(resume_parse(crlf, back));
}

TEST(ResumeFile, RefusesTextsThatDisagreeWithThemselves) {
  std::string good = resume_text(sample());
  auto with = [&](const std::string& from, const std::string& to) {
    std::string t = good;
    size_t at = t.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return t.replace(at, from.size(), to);
  };
  const std::string cases[] = {
      "",
      with("VUNK-TRANSFER 1", "VUNK-TRANSFER 2"),
      with("done=8388731", "done=99999999999"),             // more done than total
      with("pieces=11", "pieces=13"),                       // not the grid of the total
      with("piece_size=4194304", "piece_size=0"),
      with("have=", "have=0"),                              // bitmap of another length
      with("have=8", "have=g"),                             // not hexadecimal
      with("total=", "total=99999999999999999999999"),     // would wrap
      with("hash=10 ", "hash=11 "),                         // a piece past the end
      with("hash=0 1111111111", "hash=0 111111111"),        // a short hash
      with("done=", "dome="),                               // done missing
  };
  ResumeData r;
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) EXPECT_FALSE(resume_parse(cases[i], r)) << i;
}

// n pieces, the first `in` of them in.
std::vector<u8> with_in(size_t n, size_t in) {
  std::vector<u8> map(n, kMissing);
  std::fill(map.begin(), map.begin() + long(in), kFromMirror);
  return map;
}

TEST(PiecePlan, SpansShareTheMissingPiecesAmongSlots) {
  const u32 P = 4194304;
  struct Case {
    std::vector<u8> map;
    int slots;
    u32 first, count;
  } cases[] = {
      {std::vector<u8>(64, kMissing), 6, 0, 1},       // the start of the file: one piece each
      {with_in(64, 12), 6, 12, 2},                    // 48 MiB in: 8 MiB runs
      {with_in(128, 24), 6, 24, 4},                   // 96 MiB of 512 in: 16 MiB runs
      {with_in(1000, 600), 6, 600, 4},                // never more than 16 MiB
      {std::vector<u8>(6, kMissing), 6, 0, 1},        // small file: one piece each
      {{kFromMirror, kInFlight, kMissing, kMissing, kResumed, kMissing}, 1, 2, 1},  // missing/2 caps
      {{kFromMirror, kInFlight, kMissing, kMissing, kResumed, kMissing, kMissing, kMissing}, 1, 2, 2},
      {{kFromMirror, kFromPeer, kInFlight}, 2, 0, 0},  // nothing left to claim
  };
  for (const Case& c : cases) {
    Span s = next_span(c.map, P, c.slots);
    EXPECT_EQ(s.first, c.first);
    EXPECT_EQ(s.count, c.count) << c.map.size();
  }
  EXPECT_EQ(piece_count(10 * u64(P) + 1, P), 11u);
  EXPECT_EQ(fnv1a("127.0.0.1:6881"), fnv1a("127.0.0.1:6881"));
  EXPECT_EQ(fnv1a(""), 2166136261u);
}

TEST(PiecePlan, EndGameCopiesTheLongestWaitingPieceWithFewestCopies) {
  // Five pieces: 0 in, 1 claimed by a silent peer at t=1, 2 by slot 0 at
  // t=5, 3 by slot 1 at t=3, 4 missing.
  const int peer = 100;
  PieceBook b;
  b.reset(5);
  b.map[0] = kFromMirror;
  b.claim(1, peer, 1);
  b.claim(2, 0, 5);
  b.claim(3, 1, 3);
  // Slot 2 is idle: the piece in flight longest first, then the next
  // longest, once every piece has two copies the oldest again.
  EXPECT_EQ(b.copy_for(2, nullptr), 1);
  EXPECT_EQ(b.copy_for(3, nullptr), 3);
  EXPECT_EQ(b.copy_for(4, nullptr), 2);
  EXPECT_EQ(b.copy_for(5, nullptr), 1);
  EXPECT_EQ(b.copy_for(2, nullptr), 3);  // not 1 again: slot 2 holds it
  // A slot does not copy what another slot of its mirror fetches.
  EXPECT_EQ(b.copy_for(7, nullptr, {1, 4, 5}), -1);  // 1 held by 5, 2 by 4, 3 by 1
  // A peer copies only what it has.
  std::vector<bool> has = {true, false, true, false, true};
  EXPECT_EQ(b.copy_for(peer + 1, &has), 2);
  EXPECT_EQ(b.copy_for(peer + 1, &has), -1);
  // The first copy that arrives is final; later ones are dropped.
  EXPECT_TRUE(b.wanted_from(1, 2));
  EXPECT_TRUE(b.take(1));
  EXPECT_FALSE(b.take(1));
  EXPECT_FALSE(b.wanted_from(1, 5));
  EXPECT_EQ(b.map[1], kInFlight);  // until it is written
  b.stored(1, kFromMirror);
  EXPECT_EQ(b.map[1], kFromMirror);
  EXPECT_FALSE(b.take(1));
  EXPECT_EQ(b.copy_for(6, nullptr), 3);  // of 2 and 3 (three copies each) the older; 1 is in
  // A piece whose every holder lets go is missing again, not before.
  b.let_go(3, 1);
  EXPECT_EQ(b.map[3], kInFlight);
  for (int source : {3, 2, 6}) b.let_go(3, source);
  EXPECT_EQ(b.map[3], kMissing);
  EXPECT_FALSE(b.all_in());
  for (u32 p : {2u, 3u, 4u}) {
    if (b.map[p] == kMissing) b.claim(p, 0, 9);
    ASSERT_TRUE(b.take(p));
    b.stored(p, kFromPeer);
  }
  EXPECT_TRUE(b.all_in());
}

TEST(MirrorPlan, OneEventIsOneStrikeAndADroppedMirrorComesBack) {
  MirrorHealth m;
  // Six requests opened at 0-1 s all fail with one reset at 5 s: one strike.
  EXPECT_EQ(mirror_failed(m, 0.5, 5.0, false, false), MirrorVerdict::strike);
  for (double opened : {0.0, 0.2, 0.9, 1.0, 4.9}) EXPECT_EQ(mirror_failed(m, opened, 5.0, false, false), MirrorVerdict::same_event);
  EXPECT_EQ(m.strikes, 1);
  EXPECT_FALSE(mirror_usable(m, 5.9));  // 1 s back-off
  EXPECT_TRUE(mirror_usable(m, 6.0));
  // The requests opened after it fail again: strike 2 (2 s), strike 3 drops.
  EXPECT_EQ(mirror_failed(m, 6.0, 6.1, false, false), MirrorVerdict::strike);
  EXPECT_EQ(mirror_failed(m, 6.05, 6.2, false, false), MirrorVerdict::same_event);
  EXPECT_FALSE(mirror_usable(m, 8.0));
  EXPECT_TRUE(mirror_usable(m, 8.1));
  EXPECT_EQ(mirror_failed(m, 8.1, 8.2, false, false), MirrorVerdict::dropped);
  EXPECT_EQ(mirror_failed(m, 8.15, 9.0, false, false), MirrorVerdict::same_event);  // already dropped
  EXPECT_FALSE(mirror_usable(m, 18.1));
  EXPECT_TRUE(mirror_usable(m, 18.2));  // tried again after 10 s, strikes forgotten
  EXPECT_EQ(m.strikes, 0);
  // A success in between starts the strikes over.
  EXPECT_EQ(mirror_failed(m, 18.2, 19, false, false), MirrorVerdict::strike);
  mirror_succeeded(m);
  EXPECT_EQ(m.strikes, 0);
  // Dropped again at once (a stall beside other mirrors): 20 s this time,
  // and never more than 5 minutes however often.
  EXPECT_EQ(mirror_failed(m, 30, 31, false, true), MirrorVerdict::dropped);
  EXPECT_FALSE(mirror_usable(m, 50.9));
  EXPECT_TRUE(mirror_usable(m, 51));
  for (int i = 0; i < 10; ++i) {
    double t = 1000.0 * (i + 1);
    EXPECT_TRUE(mirror_usable(m, t));
    EXPECT_EQ(mirror_failed(m, t, t, false, true), MirrorVerdict::dropped);
    EXPECT_LE(m.retry_at - t, 300.0);
  }
  EXPECT_EQ(m.retry_at - 10000.0, 300.0);
  // A missing file or bad data: gone for the run.
  EXPECT_EQ(mirror_failed(m, 20000, 20000, true, false), MirrorVerdict::gone);
  EXPECT_FALSE(mirror_usable(m, 1e9));
}

TEST(SwarmPlan, DroppedPeersAreTriedAgainAfterABackOff) {
  PeerBook b;
  EXPECT_TRUE(b.add("a:1"));
  EXPECT_TRUE(b.add("b:1"));
  EXPECT_FALSE(b.add("a:1"));
  EXPECT_TRUE(b.add("c:1"));
  EXPECT_EQ(b.due(0, 2), (std::vector<size_t>{0, 1}));  // room for two
  EXPECT_EQ(b.due(0, 5), (std::vector<size_t>{2}));     // the others are connected
  // a breaks off; c broke the protocol; b's connection fails twice.
  b.dropped(0, 10, false);
  b.dropped(2, 10, true);
  b.dropped(1, 10, false);
  EXPECT_EQ(b.next_try(), 15);
  EXPECT_TRUE(b.due(14.9, 5).empty());
  EXPECT_EQ(b.due(15, 5), (std::vector<size_t>{0, 1}));
  b.dropped(1, 15, false);  // again: 10 s
  b.handshaken(0);
  b.dropped(0, 16, false);  // after a handshake the back-off starts over: 5 s
  EXPECT_EQ(b.due(21, 5), (std::vector<size_t>{0}));
  EXPECT_EQ(b.due(25, 5), (std::vector<size_t>{1}));
  EXPECT_EQ(b.next_try(), 1e300);  // c never again
  // New peers come before those waiting out a back-off.
  for (int i = 0; i < 8; ++i) b.dropped(1, 100, false);
  EXPECT_EQ(b.due(1e6, 5), (std::vector<size_t>{1}));  // the back-off never passes 5 minutes
  b.dropped(1, 1e6, false);
  EXPECT_DOUBLE_EQ(b.next_try(), 1e6 + 300);
  b.add("d:1");
  EXPECT_EQ(b.due(2e6, 5), (std::vector<size_t>{3, 1}));
}

TEST(SwarmPlan, TrackersAreAskedSoonerWhileNoPeerIsConnected) {
  EXPECT_FALSE(announce_due(59, 1800, 0, false));
  EXPECT_TRUE(announce_due(60, 1800, 0, false));   // at most a minute apart
  EXPECT_TRUE(announce_due(30, 30, 0, false));
  EXPECT_FALSE(announce_due(60, 1800, 120, false));  // never before the tracker's minimum
  EXPECT_FALSE(announce_due(14, 1800, 0, true));
  EXPECT_TRUE(announce_due(15, 1800, 0, true));
  EXPECT_FALSE(announce_due(20, 1800, 30, true));
}

TEST(SwarmPlan, RarestMissingPieceThePeerHas) {
  const u8 M = kMissing, F = kInFlight, D = kFromPeer;
  struct Case {
    std::vector<u8> map;
    std::vector<u16> avail;
    std::vector<bool> has;
    u32 from;
    int want;
  } cases[] = {
      {{M, M, M, M}, {3, 1, 2, 1}, {true, true, true, true}, 0, 1},   // rarest, first among equals
      {{M, M, M, M}, {3, 1, 2, 1}, {true, true, true, true}, 2, 3},   // ... counted from `from`
      {{M, D, F, M}, {3, 1, 1, 2}, {true, true, true, false}, 0, 0},  // had, in flight, not held: skipped
      {{D, F, M}, {1, 1, 1}, {true, true, false}, 0, -1},             // nothing for us
      {{M, M}, {1, 1}, {true}, 1, 0},                                 // a short bitfield is not a crash
  };
  for (const Case& c : cases) EXPECT_EQ(pick_rarest(c.map, c.avail, c.has, c.from), c.want);
}

TEST(SwarmPlan, UnchokeTheFastestInterestedPeersAndOneOptimistic) {
  std::vector<PeerChoice> peers = {{10, true}, {50, false}, {30, true}, {20, true}, {5, true}};
  EXPECT_EQ(choose_unchoked(peers, 2, true, -1), (std::vector<int>{2, 3}));
  EXPECT_EQ(choose_unchoked(peers, 2, true, 4), (std::vector<int>{2, 3, 4}));
  EXPECT_EQ(choose_unchoked(peers, 2, true, 1), (std::vector<int>{2, 3}));  // not interested
  EXPECT_EQ(choose_unchoked(peers, 2, false, 2), (std::vector<int>{0, 2}));
  EXPECT_EQ(choose_unchoked(peers, 9, true, 0), (std::vector<int>{2, 3, 0, 4}));
}

TEST(SwarmPlan, UploadCapAllowsItsRateAndNoBurstAboveASecond) {
  RateCap none(0);
  EXPECT_TRUE(none.take(u64(1) << 40, 0));
  RateCap cap(1000);
  EXPECT_TRUE(cap.take(600, 0.0));
  EXPECT_FALSE(cap.take(600, 0.1));  // 400 + 100 left
  EXPECT_TRUE(cap.take(500, 0.1));
  EXPECT_FALSE(cap.take(1, 0.1));
  EXPECT_FALSE(cap.take(1001, 100));  // a long pause refills one second only
  EXPECT_TRUE(cap.take(1000, 100));
}

}  // namespace

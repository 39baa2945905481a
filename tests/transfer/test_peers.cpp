// Downloads from peers: real libtorrent seeders and leechers (found through
// opentracker or named directly), and peers of the tests' own that
// misbehave on purpose (wire_peer.h), beside real nginx mirrors.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "tests/support/test_support.h"
#include "tests/transfer/wire_peer.h"
#include "tests/transfer/xfer_test_util.h"
#include "transfer/transfer.h"

namespace {

// Whether one line of the engine's log holds both texts.
bool logged(const std::wstring& log, const std::string& a, const std::string& b) {
  std::string text = read_bytes(log);
  for (size_t at = text.find(a); at != std::string::npos; at = text.find(a, at + 1)) {
    size_t end = text.find('\n', at);
    if (text.substr(at, end == std::string::npos ? std::string::npos : end - at).find(b) != std::string::npos)
      return true;
  }
  return false;
}

// A peer with every piece of mid.bin that serves whatever it is asked.
WirePeerScript seeder_script(const Torrent& tor) {
  WirePeerScript s;
  s.info_hash = tor.info_hash;
  s.data = &fixture_bytes("mid.bin");
  s.piece_length = u32(tor.piece_length);
  s.bitfield = WirePeer::all_pieces(tor.piece_count);
  return s;
}

std::wstring peer_list(std::initializer_list<const WirePeer*> peers) {
  std::string list;
  for (const WirePeer* p : peers) list += (list.empty() ? "" : ",") + p->address();
  return widen(list);
}

TEST(Peers, MalformedMessagesEndTheConnection) {
  std::wstring dir = test_dir("xfer-hostile");
  std::wstring log = path_join(dir, L"engine.log");
  ScopedEnv log_env(L"VUNK_TRANSFER_LOG", log);
  Torrent tor = fixture_torrent("mid-quiet.torrent");
  const u32 n = tor.piece_count;
  WirePeerScript long_bits = seeder_script(tor), bad_have = seeder_script(tor), bad_piece = seeder_script(tor);
  long_bits.bitfield += '\0';  // one byte more than the torrent's pieces need
  bad_have.bitfield.clear();
  bad_have.then = {WirePeer::msg(4, WirePeer::u32be(n))};  // a piece past the last
  bad_piece.then = {WirePeer::msg(7, WirePeer::u32be(n) + WirePeer::u32be(0) + "block")};
  // The good peer holds its last piece back until the hostile ones are seen to.
  WirePeerScript good = seeder_script(tor);
  good.withhold = {n - 1};
  WirePeer p1(long_bits), p2(bad_have), p3(bad_piece), ok(good);
  ScopedEnv peers(L"VUNK_TRANSFER_EXTRA_PEER", peer_list({&p1, &p2, &p3, &ok}));
  TransferSpec spec = spec_for(dir, "mid.bin", {});
  spec.torrent = nginx(0, "mid-quiet.torrent");
  Transfer t(spec);
  t.start();
  for (WirePeer* p : {&p1, &p2, &p3}) {
    EXPECT_TRUE(wait_until([&] { return p->ended_by_engine() > 0; }, 30)) << p->address();
    EXPECT_TRUE(logged(log, "peer " + p->address() + " (", "dropped: bad message")) << p->address();
  }
  EXPECT_EQ(t.snapshot().state, TState::Running);
  ok.release();
  TransferSnapshot s = wait_for(t, settled, 60);
  ASSERT_EQ(s.state, TState::Done) << s.error;
  EXPECT_EQ(s.via_peers, s.total);
  EXPECT_TRUE(same_file(t.final_path(), fixture("www/mid.bin")));
  // Dropped for what they sent, they are not asked again.
  for (WirePeer* p : {&p1, &p2, &p3}) EXPECT_EQ(p->accepted(), 1) << p->address();
  EXPECT_EQ(ok.ended_by_engine(), 1);
  remove_tree(dir);
}

// A peer that advertises every piece, unchokes and then sends nothing holds
// the pieces it was asked for; the mirror's idle slots take copies of them,
// so the download ends about when the mirror alone would have.
TEST(Peers, ASilentPeerHoldsNothingBack) {
  Torrent tor = fixture_torrent("mid-quiet.torrent");
  auto run = [&](const WirePeer* peer, std::wstring& log) {
    std::wstring dir = test_dir("xfer-silent");
    log = path_join(dir, L"engine.log");
    ScopedEnv log_env(L"VUNK_TRANSFER_LOG", log);
    ScopedEnv peers(L"VUNK_TRANSFER_EXTRA_PEER", peer ? widen(peer->address()) : std::wstring());
    // 16 MiB/s from the mirror: 3 s for the file.
    TransferSpec spec = spec_for(dir, "mid.bin", {faulty("slow8388608", "mid.bin")});
    spec.torrent = nginx(0, "mid-quiet.torrent");
    spec.http_slots = 2;
    Transfer t(spec);
    double t0 = now_s();
    t.start();
    TransferSnapshot s = wait_for(t, settled, 120);
    double took = now_s() - t0;
    EXPECT_EQ(s.state, TState::Done) << s.error;
    EXPECT_TRUE(same_file(t.final_path(), fixture("www/mid.bin")));
    log = path_join(test_dir("xfer-silent-log"), L"engine.log");
    CopyFileW(path_join(dir, L"engine.log").c_str(), log.c_str(), FALSE);
    remove_tree(dir);
    return took;
  };
  std::wstring log;
  double alone = run(nullptr, log);
  WirePeerScript silent;
  silent.info_hash = tor.info_hash;
  silent.bitfield = WirePeer::all_pieces(tor.piece_count);
  silent.serve = false;
  WirePeer peer(silent);
  double beside = run(&peer, log);
  // (Its requests are cancelled when another copy is in while the run goes
  // on; when that copy is the last piece the connection simply ends.)
  EXPECT_GT(peer.received(6), 0) << "the engine never asked the silent peer";
  EXPECT_LT(beside, alone + 3) << "alone " << alone << " s, beside the silent peer " << beside << " s\n"
                               << read_bytes(log);
}

// The only peer, a libtorrent seeder (alone in its swarm), is killed during
// the download and started again on the same port: the engine tries it
// again after a back-off and the download completes.
TEST(Peers, AKilledSeederIsReconnected) {
  std::wstring dir = test_dir("xfer-reconnect");
  std::wstring log = path_join(dir, L"engine.log");
  ScopedEnv log_env(L"VUNK_TRANSFER_LOG", log);
  const std::string seeder = strf("127.0.0.1:%d", fixture_port(11));
  ASSERT_EQ(swarm_control("solo/start"), "ok");
  ScopedEnv peers(L"VUNK_TRANSFER_EXTRA_PEER", widen(seeder));
  TransferSpec spec = spec_for(dir, "mid.bin", {});
  spec.torrent = nginx(0, "mid-solo.torrent");  // its tracker is dead: the seeder is the only source
  Transfer t(spec);
  t.start();
  TransferSnapshot s = wait_for(t, [](const TransferSnapshot& s) { return s.done >= s.total / 4 || settled(s); }, 60);
  ASSERT_EQ(s.state, TState::Running) << s.error;
  ASSERT_EQ(swarm_control("solo/stop"), "ok");
  s = wait_for(t, [](const TransferSnapshot& s) { return s.peers_connected == 0 || settled(s); }, 30);
  EXPECT_EQ(s.label, "WAITING FOR PEERS") << read_bytes(log);
  u64 done_while_down = s.done;
  ASSERT_EQ(swarm_control("solo/start"), "ok");
  s = wait_for(t, settled, 90);
  ASSERT_EQ(s.state, TState::Done) << s.error << "\n" << read_bytes(log);
  EXPECT_LT(done_while_down, s.total);
  EXPECT_EQ(s.via_peers, s.total);
  EXPECT_TRUE(same_file(t.final_path(), fixture("www/mid.bin")));
  EXPECT_TRUE(logged(log, "peer " + seeder + " (", "dropped: connection closed")) << read_bytes(log);
  remove_tree(dir);
}

// No mirror, and no peer to be had: the run fails once it has had no source
// for no_source_s, and what it had stays for a later run.
TEST(Peers, ARunWithoutAnySourceFailsResumable) {
  std::wstring dir = test_dir("xfer-nosource");
  std::wstring log = path_join(dir, L"engine.log");
  ScopedEnv log_env(L"VUNK_TRANSFER_LOG", log);
  // A peer that gives a few pieces, then goes away for good.
  Torrent tor = fixture_torrent("mid-quiet.torrent");
  WirePeerScript few = seeder_script(tor);
  for (u32 p = 4; p < tor.piece_count; ++p) few.withhold.insert(p);
  auto peer = std::make_unique<WirePeer>(few);
  ScopedEnv peers(L"VUNK_TRANSFER_EXTRA_PEER", widen(peer->address()));
  TransferSpec spec = spec_for(dir, "mid.bin", {});
  spec.torrent = nginx(0, "mid-quiet.torrent");
  spec.no_source_s = 3;
  Transfer t(spec);
  t.start();
  TransferSnapshot s = wait_for(t, [](const TransferSnapshot& s) { return s.done >= 4u << 20 || settled(s); }, 30);
  ASSERT_EQ(s.state, TState::Running) << s.error;
  double gone = now_s();
  peer.reset();
  s = wait_for(t, settled, 60);
  EXPECT_EQ(s.state, TState::Failed);
  EXPECT_EQ(s.error, "no sources");
  EXPECT_GT(now_s() - gone, 3.0) << read_bytes(log);
  u64 done = 0, total = 0;
  EXPECT_TRUE(transfer_resume_info(dir, "mid.bin", done, total));
  EXPECT_EQ(done, 4u << 20);
  EXPECT_EQ(total, size_of("mid.bin"));
  remove_tree(dir);
}

// A libtorrent leecher that knows no one but us gets pieces from us while
// we download. The only seeder (a peer of the tests' own) holds its last
// piece back until the leecher has them, so the download cannot end first
// however busy the machine is.
TEST(Peers, UploadsToALibtorrentLeecherWhileDownloading) {
  std::wstring dir = test_dir("xfer-upload");
  ASSERT_EQ(swarm_control("lonely/start"), "ok");
  Torrent tor = fixture_torrent("mid-quiet.torrent");
  WirePeerScript gated = seeder_script(tor);
  gated.withhold = {tor.piece_count - 1};
  WirePeer seeder(gated);
  const std::string leecher = strf("127.0.0.1:%d", fixture_port(10));
  ScopedEnv peers(L"VUNK_TRANSFER_EXTRA_PEER", widen(seeder.address() + "," + leecher));
  TransferSpec spec = spec_for(dir, "mid.bin", {});
  spec.torrent = nginx(0, "mid-quiet.torrent");
  Transfer t(spec);
  t.start();
  bool saw_leecher = false;
  EXPECT_TRUE(wait_until([&] {
    TransferSnapshot s = t.snapshot();
    for (const ConnInfo& c : s.conns) saw_leecher = saw_leecher || (c.address == leecher && c.client.find("libtorrent") == 0);
    return s.uploaded > 0 && std::stoull("0" + swarm_control("lonely/done")) > 0;
  }, 120)) << "uploaded " << t.snapshot().uploaded << ", the leecher has " << swarm_control("lonely/done");
  EXPECT_TRUE(saw_leecher);
  seeder.release();
  TransferSnapshot s = wait_for(t, settled, 60);
  ASSERT_EQ(s.state, TState::Done) << s.error;
  EXPECT_GT(s.uploaded, 0u);
  EXPECT_TRUE(same_file(t.final_path(), fixture("www/mid.bin")));
  remove_tree(dir);
}

// The torrent's only tier names a UDP tracker that never answers before
// the live opentracker: the engine waits out one time-out (15 s) and asks
// the next, and the libtorrent seeders it names deliver the file.
TEST(Peers, ADeadUdpTrackerGivesWayToTheNextOfItsTier) {
  std::wstring dir = test_dir("xfer-tier");
  std::wstring log = path_join(dir, L"engine.log");
  ScopedEnv log_env(L"VUNK_TRANSFER_LOG", log);
  TransferSpec spec = spec_for(dir, "mid.bin", {});
  spec.torrent = nginx(0, "mid-tier.torrent");
  Transfer t(spec);
  t.start();
  TransferSnapshot s = wait_for(t, settled, 90);
  ASSERT_EQ(s.state, TState::Done) << s.error;
  EXPECT_EQ(s.via_peers, s.total);
  EXPECT_TRUE(same_file(t.final_path(), fixture("www/mid.bin")));
  EXPECT_TRUE(logged(log, "new peers from tracker", "")) << read_bytes(log);
  remove_tree(dir);
}

}  // namespace

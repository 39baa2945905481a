// A get_peers lookup through a small DHT of libtorrent sessions on
// loopback, and KRPC messages in their wire form.
#include <gtest/gtest.h>
#include <winsock2.h>

#include <thread>

#include "bt/bt_dht.h"
#include "bt/bt_torrent.h"
#include "tests/bt/bt_test_util.h"

namespace {

TEST(Dht, LibtorrentNodesReturnTheSeeder) {
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  ASSERT_EQ(fixture_value("dht_ok"), "1") << "the seeder never announced into the DHT";
  Torrent t;
  std::string err;
  ASSERT_TRUE(parse_torrent(fixture_file("lt-single.torrent"), t, err)) << err;
  PeerAddr seeder;
  ASSERT_TRUE(parse_peer_addr(fixture_value("seeder"), seeder));
  // Nodes that share one loopback address do not route to each other in
  // libtorrent, so every node is a bootstrap node here; the walk over
  // several hops is shown by the scripted nodes below.
  std::vector<std::string> bootstrap = {"no-such-router.invalid:6881"};
  std::string nodes = fixture_value("dht_nodes");
  for (size_t at = 0; at < nodes.size();) {
    size_t end = std::min(nodes.find(',', at), nodes.size());
    bootstrap.push_back(nodes.substr(at, end - at));
    at = end + 1;
  }
  std::vector<PeerAddr> peers, streamed;
  DhtStats st;
  DhtOptions opt;
  opt.max_ms = 10000;
  ASSERT_TRUE(dht_get_peers(t.info_hash, bootstrap, peers, st, err, nullptr, opt,
                            [&](const std::vector<PeerAddr>& p) { streamed.insert(streamed.end(), p.begin(), p.end()); }))
      << err;
  EXPECT_NE(std::find(peers.begin(), peers.end(), seeder), peers.end());
  EXPECT_EQ(streamed, peers);
  EXPECT_EQ(st.peers, peers.size());
  EXPECT_EQ(st.replies, 3u);
  printf("DHT lookup against libtorrent: %u queries, %u replies, %u peers in %.2f s\n", st.queries, st.replies,
         st.peers, st.seconds);
}

TEST(Dht, LookupWalksTowardsTheTarget) {
  Torrent t;
  std::string err;
  ASSERT_TRUE(parse_torrent(fixture_file("lt-single.torrent"), t, err)) << err;
  PeerAddr seeder;
  ASSERT_TRUE(parse_peer_addr(fixture_value("seeder"), seeder));
  std::vector<PeerAddr> peers;
  DhtStats st;
  DhtOptions opt;
  opt.query_timeout_ms = 500;
  // entry node -> next hop (+ a silent node) -> last hop with the peer (+ a node that errs)
  ASSERT_TRUE(dht_get_peers(t.info_hash, {fixture_value("dht_chain")}, peers, st, err, nullptr, opt)) << err;
  EXPECT_EQ(peers, std::vector<PeerAddr>{seeder});
  EXPECT_EQ(st.queries, 5u);
  EXPECT_EQ(st.replies, 3u);
  EXPECT_EQ(st.timeouts, 1u);
  EXPECT_EQ(st.errors, 1u);
  EXPECT_EQ(st.nodes_seen, 4u);
  EXPECT_LT(st.seconds, 2.0);
}

TEST(Dht, SilenceAndStop) {
  std::vector<PeerAddr> peers;
  DhtStats st;
  std::string err;
  DhtOptions quick;
  quick.query_timeout_ms = 300;
  EXPECT_FALSE(dht_get_peers(std::string(20, 'x'), {"127.0.0.1:9"}, peers, st, err, nullptr, quick));
  EXPECT_EQ(err, "no DHT reply");
  EXPECT_EQ(st.timeouts, 1u);
  EXPECT_FALSE(dht_get_peers(std::string(20, 'x'), {"nowhere", "no-such-router.invalid:1"}, peers, st, err));
  EXPECT_EQ(err, "no DHT bootstrap");

  std::atomic<bool> stop{false};
  std::thread stopper([&] {
    Sleep(200);
    stop = true;
  });
  double t0 = now_s();
  EXPECT_FALSE(dht_get_peers(std::string(20, 'x'), {"127.0.0.1:9"}, peers, st, err, &stop));
  stopper.join();
  EXPECT_EQ(err, "stopped");
  EXPECT_LT(now_s() - t0, 1.0);
}

TEST(Krpc, WireFormsBothWays) {
  // the protocol's own examples
  EXPECT_EQ(krpc_ping("aa", "abcdefghij0123456789"), "d1:ad2:id20:abcdefghij0123456789e1:q4:ping1:t2:aa1:y1:qe");
  EXPECT_EQ(krpc_find_node("aa", "abcdefghij0123456789", "mnopqrstuvwxyz123456"),
            "d1:ad2:id20:abcdefghij01234567896:target20:mnopqrstuvwxyz123456e1:q9:find_node1:t2:aa1:y1:qe");
  EXPECT_EQ(krpc_get_peers("aa", "abcdefghij0123456789", "mnopqrstuvwxyz123456"),
            "d1:ad2:id20:abcdefghij01234567899:info_hash20:mnopqrstuvwxyz123456e1:q9:get_peers1:t2:aa1:y1:qe");
  Krpc m;
  std::string err;
  ASSERT_TRUE(parse_krpc("d1:rd2:id20:abcdefghij01234567895:token8:aoeusnth6:valuesl6:axje.u6:idhtnmee1:t2:aa1:y1:re",
                         m, err))
      << err;
  EXPECT_EQ(m.y, 'r');
  EXPECT_EQ(m.t, "aa");
  EXPECT_EQ(m.token, "aoeusnth");
  ASSERT_EQ(m.values.size(), 2u);
  EXPECT_EQ(m.values[0].str(), "97.120.106.101:11893");
  ASSERT_TRUE(parse_krpc("d1:eli201e23:A Generic Error Ocurrede1:t2:aa1:y1:ee", m, err));
  EXPECT_EQ(m.y, 'e');
  EXPECT_EQ(m.err_code, 201);
  EXPECT_EQ(m.err_msg, "A Generic Error Ocurred");
  ASSERT_TRUE(parse_krpc(krpc_get_peers("t1", std::string(20, 'i'), std::string(20, 'h')), m, err));
  EXPECT_EQ(m.q, "get_peers");
  EXPECT_EQ(m.target, std::string(20, 'h'));

  // nodes in both families and peers survive a reply's round trip
  PeerAddr a4, a6, p;
  ASSERT_TRUE(parse_peer_addr("10.1.2.3:6881", a4));
  ASSERT_TRUE(parse_peer_addr("[2001:db8::7]:51413", a6));
  ASSERT_TRUE(parse_peer_addr("192.168.1.9:1", p));
  std::vector<DhtNode> nodes = {{std::string(20, 'a'), a4}, {std::string(20, 'b'), a6}};
  ASSERT_TRUE(parse_krpc(krpc_reply("xy", std::string(20, 'n'), nodes, {p}, "tok"), m, err)) << err;
  ASSERT_EQ(m.nodes.size(), 2u);
  EXPECT_EQ(m.nodes[0].id, std::string(20, 'a'));
  EXPECT_EQ(m.nodes[0].addr, a4);
  EXPECT_EQ(m.nodes[1].addr, a6);
  EXPECT_EQ(m.values, std::vector<PeerAddr>{p});

  for (const char* bad : {"", "de", "d1:t2:aa1:y1:re", "d1:rd2:id3:abce1:t2:aa1:y1:re", "d1:t2:aa1:y1:qe",
                          "d1:eli201ee1:t2:aa1:y1:ee", "d1:ei201e1:t2:aa1:y1:ee", "d1:t2:aa1:y2:rre", "li1ee"})
    EXPECT_FALSE(parse_krpc(bad, m, err)) << bad;
}

}  // namespace

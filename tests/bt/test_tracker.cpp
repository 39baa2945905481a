// HTTP and UDP announces to opentracker on loopback (which knows the
// libtorrent seeder), and tracker replies from the protocol's wire forms.
#include <gtest/gtest.h>
#include <winsock2.h>

#include <thread>

#include "bt/bt_hash.h"
#include "bt/bt_torrent.h"
#include "bt/bt_tracker.h"
#include "tests/bt/bt_test_util.h"

namespace {

AnnounceReq request_for(const std::string& url, const std::string& info_hash) {
  AnnounceReq r;
  r.url = url;
  r.info_hash = info_hash;
  r.peer_id = new_peer_id();
  r.port = 40001;
  r.left = 3000000;
  r.event = AnnounceReq::started;
  return r;
}

// The torrent the fixture's tracker knows a seeder of.
void seeded_torrent(Torrent& t) {
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  std::string err;
  ASSERT_TRUE(parse_torrent(fixture_file("lt-single.torrent"), t, err)) << err;
  ASSERT_EQ(fixture_value("tracker_ok"), "1") << "the seeder never reached the tracker";
}

TEST(Tracker, OpentrackerReturnsTheSeederOverHttpAndUdp) {
  Torrent t;
  std::string err;
  ASSERT_NO_FATAL_FAILURE(seeded_torrent(t));
  ASSERT_EQ(t.trackers.size(), 2u);
  PeerAddr seeder;
  ASSERT_TRUE(parse_peer_addr(fixture_value("seeder"), seeder));
  for (const auto& tier : t.trackers) {
    AnnounceResp resp;
    ASSERT_TRUE(announce(request_for(tier[0], t.info_hash), resp, err)) << tier[0] << ": " << err;
    EXPECT_NE(std::find(resp.peers.begin(), resp.peers.end(), seeder), resp.peers.end()) << tier[0];
    EXPECT_GT(resp.interval, 0u);
    EXPECT_GE(resp.seeders, 1) << tier[0];
  }
  // a torrent the tracker does not serve: over HTTP its own reason comes
  // back; over UDP this tracker stays silent
  AnnounceResp resp;
  EXPECT_FALSE(announce(request_for(t.trackers[0][0], std::string(20, 'x')), resp, err));
  EXPECT_EQ(err.substr(0, 9), "tracker: ") << err;
  EXPECT_FALSE(announce(request_for(t.trackers[1][0], std::string(20, 'x')), resp, err, nullptr, nullptr,
                        UdpTiming{200, 2}));
  EXPECT_EQ(err, "no UDP reply");
}

TEST(Tracker, ADeadUdpTrackerGivesWayToTheNextOfItsTier) {
  Torrent t;
  std::string err;
  ASSERT_NO_FATAL_FAILURE(seeded_torrent(t));
  const std::string dead = "udp://127.0.0.1:9/announce", live = t.trackers[0][0];
  TrackerTier tier({dead, live});
  AnnounceResp resp;
  double t0 = now_s();
  ASSERT_TRUE(tier.announce(request_for("", t.info_hash), resp, err, nullptr, nullptr, UdpTiming{300, 1})) << err;
  EXPECT_LT(now_s() - t0, 3.0);  // one wait for the dead one, not its resend schedule
  EXPECT_EQ(tier.answered(), live);
  EXPECT_GE(resp.seeders, 1);
  // The tracker that answered comes first from now on.
  EXPECT_EQ(tier.urls(), (std::vector<std::string>{live, dead}));
  t0 = now_s();
  ASSERT_TRUE(tier.announce(request_for("", t.info_hash), resp, err, nullptr, nullptr, UdpTiming{300, 1})) << err;
  EXPECT_LT(now_s() - t0, 0.3);
  // A tier where nobody answers gives the last one's error.
  TrackerTier none({dead, "udp://127.0.0.1:9/other"});
  EXPECT_FALSE(none.announce(request_for("", t.info_hash), resp, err, nullptr, nullptr, UdpTiming{100, 1}));
  EXPECT_EQ(err, "no UDP reply");
}

TEST(Tracker, SilentUdpTrackerAndStop) {
  // a port where nothing listens: resends on the doubling schedule, then gives up
  AnnounceResp resp;
  std::string err;
  AnnounceReq req = request_for("udp://127.0.0.1:9/announce", std::string(20, 'i'));
  double t0 = now_s();
  EXPECT_FALSE(announce(req, resp, err, nullptr, nullptr, UdpTiming{100, 3}));
  double took = now_s() - t0;
  EXPECT_EQ(err, "no UDP reply");
  EXPECT_GT(took, 0.65);
  EXPECT_LT(took, 2.0);

  std::atomic<bool> stop{false};
  std::thread stopper([&] {
    Sleep(300);
    stop = true;
  });
  t0 = now_s();
  EXPECT_FALSE(announce(req, resp, err, nullptr, &stop));
  stopper.join();
  EXPECT_EQ(err, "stopped");
  EXPECT_LT(now_s() - t0, 1.0);

  for (const char* bad : {"udp://127.0.0.1/announce", "udp://:80", "wss://x/announce", "udp://h:99999/"})
    EXPECT_FALSE(announce(request_for(bad, std::string(20, 'i')), resp, err)) << bad;
  EXPECT_FALSE(announce(request_for("udp://no-such-host.invalid:80/", std::string(20, 'i')), resp, err));
  EXPECT_EQ(err, "cannot resolve tracker");
}

TEST(Tracker, HttpRepliesInEveryForm) {
  struct Case {
    std::string body;
    bool ok;
    std::string peers_or_err;
  } cases[] = {
      {std::string("d8:intervali900e5:peers12:") + std::string("\x0a\0\0\x01\x1a\xe1\x7f\0\0\x01\0\x50", 12) + "e",
       true, "10.0.0.1:6881 127.0.0.1:80"},
      {"d5:peersld2:ip8:10.0.0.24:porti99eed2:ip3:::14:porti1eed2:ip4:host4:porti1eed2:ip7:1.2.3.44:porti0eeee",
       true, "10.0.0.2:99 [::1]:1"},
      {std::string("d6:peers618:") + std::string("\x20\x01\x0d\xb8\0\0\0\0\0\0\0\0\0\0\0\x01\x1a\xe1", 18) + "e", true,
       "[2001:db8::1]:6881"},
      {"d5:peers0:e", true, ""},
      {"d14:failure reason8:not\x01here" "e", false, "tracker: not here"},
      {"d14:failure reason300:" + std::string(300, 'r') + "e", false, "tracker: " + std::string(200, 'r')},
      {"<html>busy</html>", false, "bad tracker reply"},
      {"d8:intervali5ee", false, "bad tracker reply"},
      {"", false, "bad tracker reply"},
  };
  for (const Case& c : cases) {
    AnnounceResp r;
    std::string err;
    EXPECT_EQ(parse_announce_reply(c.body, r, err), c.ok) << c.body;
    std::string got;
    for (const PeerAddr& a : r.peers) got += (got.empty() ? "" : " ") + a.str();
    EXPECT_EQ(c.ok ? got : err, c.peers_or_err) << c.body;
  }

  AnnounceReq req;
  req.url = "http://t.example/announce?passkey=ab";
  req.info_hash = std::string("\x00\xff" "aZ-._~ %", 10) + std::string(10, '\x12');
  req.peer_id = "-VU1000-abcdefghijkl";
  req.port = 6881;
  req.left = 5;
  req.event = AnnounceReq::stopped;
  EXPECT_EQ(announce_url(req),
            "http://t.example/announce?passkey=ab&info_hash=%00%FFaZ-._~%20%25%12%12%12%12%12%12%12%12%12%12"
            "&peer_id=-VU1000-abcdefghijkl&port=6881&uploaded=0&downloaded=0&left=5&compact=1&numwant=50"
            "&key=00000000&event=stopped");
}

TEST(Tracker, UdpPacketsBothWays) {
  AnnounceReq req = request_for("udp://x:1", std::string(20, 'h'));
  req.key = 0x01020304;
  std::string a = udp_announce_packet(0x1122334455667788ull, 0xabcdef01, req);
  ASSERT_EQ(a.size(), 98u);
  EXPECT_EQ(a.substr(0, 16), std::string("\x11\x22\x33\x44\x55\x66\x77\x88\0\0\0\x01\xab\xcd\xef\x01", 16));
  EXPECT_EQ(a.substr(16, 20), req.info_hash);
  EXPECT_EQ(a.substr(80, 4), std::string("\0\0\0\x02", 4));  // started
  EXPECT_EQ(a.substr(96, 2), "\x9c\x41");                     // port 40001
  EXPECT_EQ(udp_connect_packet(7), std::string("\0\0\x04\x17\x27\x10\x19\x80\0\0\0\0\0\0\0\x07", 16));

  struct Case {
    std::string pkt;
    int action;
    const char* what;
  } cases[] = {
      {std::string("\0\0\0\0\0\0\0\x07\x01\x02\x03\x04\x05\x06\x07\x08", 16), 0, ""},
      {std::string("\0\0\0\x01\0\0\0\x07\0\0\x07\x08\0\0\0\x02\0\0\0\x01\x7f\0\0\x01\x1a\xe1\x01", 27), 1,
       "127.0.0.1:6881"},
      {std::string("\0\0\0\x03\0\0\0\x07gone", 12), -1, "tracker: gone"},
      {std::string("\0\0\0\0\0\0\0\x08\x01\x02\x03\x04\x05\x06\x07\x08", 16), -1, "bad tracker reply"},
      {std::string("\0\0\0\x01\0\0\0\x07\0\0", 10), -1, "bad tracker reply"},
      {"", -1, "bad tracker reply"},
  };
  for (const Case& c : cases) {
    u64 conn = 0;
    AnnounceResp r;
    std::string err;
    EXPECT_EQ(parse_udp_reply(c.pkt, 7, conn, r, false, err), c.action) << c.what;
    if (c.action == 0) {
      EXPECT_EQ(conn, 0x0102030405060708ull);
    }
    if (c.action == 1) {
      ASSERT_EQ(r.peers.size(), 1u);
      EXPECT_EQ(r.peers[0].str(), c.what);
      EXPECT_EQ(r.interval, 0x708u);
      EXPECT_EQ(r.seeders, 1);
    }
    if (c.action < 0) {
      EXPECT_EQ(err, c.what);
    }
  }
}

}  // namespace

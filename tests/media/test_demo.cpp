// The demonstration transfer data: the figures a busy download shows in the
// screenshots, worked out by hand from the golden-ratio scatter.
#include <gtest/gtest.h>

#include <cmath>

#include "media/media.h"

namespace {

struct Counts {
  int missing = 0, flight = 0, mirror = 0, peer = 0, other = 0;
};

Counts count(const TransferSnapshot& s) {
  Counts c;
  for (u8 v : s.piece_map) {
    if (v == 0) ++c.missing;
    else if (v == 1) ++c.flight;
    else if (v == 2) ++c.mirror;
    else if (v == 3) ++c.peer;
    else ++c.other;
  }
  return c;
}

MediaItem sized(u64 size, const char* torrent = "") {
  MediaItem m;
  m.distro = "UBUNTU";
  m.file = "demo.iso";
  m.size = size;
  m.torrent = torrent;
  return m;
}

}  // namespace

TEST(DemoData, UnknownSizeAt38Seconds) {
  TransferSnapshot s = demo_snapshot(sized(0, "http://x/demo.iso.torrent"), 38);
  EXPECT_EQ(s.state, TState::Running);
  EXPECT_EQ(s.total, 2147483648ull);
  EXPECT_EQ(s.pieces, 512u);
  ASSERT_EQ(s.piece_map.size(), 512u);
  Counts c = count(s);
  EXPECT_EQ(c.mirror, 84);
  EXPECT_EQ(c.peer, 58);
  EXPECT_EQ(c.flight, 7);
  EXPECT_EQ(c.missing, 363);
  EXPECT_EQ(c.other, 0);
  EXPECT_EQ(s.done, 142ull * 4194304);
  EXPECT_EQ(s.via_mirrors, 369266524ull);  // 0.62 of 595591168, truncated
  EXPECT_EQ(s.via_mirrors + s.via_peers, s.done);
  EXPECT_EQ(s.uploaded, 76000000ull);
  EXPECT_EQ(s.rate_down, s.rate_mirrors + s.rate_peers);
  EXPECT_NEAR(s.rate_mirrors, 31000000 + 6000000 * std::sin(26.6), 8);
  EXPECT_NEAR(s.eta, (2147483648.0 - 595591168.0) / s.rate_down, 1e-3);
  EXPECT_EQ(s.peers_known, 63u);
  EXPECT_EQ(s.peers_connected, 24u);
  EXPECT_EQ(s.seeds, 17u);
  EXPECT_TRUE(s.has_torrent);
  EXPECT_TRUE(s.has_mirrors);
  EXPECT_EQ(s.label, "DEMO DATA  //  TRACKER + DHT  //  63 PEERS  //  24 CONNECTED");
}

TEST(DemoData, ConnectionRows) {
  TransferSnapshot s = demo_snapshot(sized(0), 38);
  ASSERT_EQ(s.conns.size(), 30u);
  int mirrors = 0;
  for (size_t i = 0; i < 6; ++i) {
    mirrors += s.conns[i].kind;
    EXPECT_EQ(s.conns[i].client, "MIRROR");
    EXPECT_EQ(s.conns[i].id, 1000 + i);
    EXPECT_FLOAT_EQ(s.conns[i].rate, s.rate_mirrors / 6);
  }
  EXPECT_EQ(mirrors, 6);  // the radar adds the kinds up
  // Peer 0: u = 0 (a partial peer with no rate, sending to us, choking us).
  const ConnInfo& p0 = s.conns[6];
  EXPECT_EQ(p0.kind, 0);
  EXPECT_EQ(p0.client, "qBittorrent 5.0");
  EXPECT_EQ(p0.rate, 0);
  EXPECT_EQ(p0.up_rate, 400000);
  EXPECT_EQ(p0.progress, 0);
  EXPECT_TRUE(p0.choked);
  EXPECT_EQ(p0.id, 77u);
  // Peer 1: 2654435761 >> 9 = 5184444, so u = 0.444; a seed.
  const ConnInfo& p1 = s.conns[7];
  EXPECT_EQ(p1.client, "Transmission 4.0");
  EXPECT_NEAR(p1.rate, s.rate_peers * 0.444f * 0.444f / 6, 1);
  EXPECT_EQ(p1.up_rate, 0);
  EXPECT_EQ(p1.progress, 1.0f);
  EXPECT_FALSE(p1.choked);
  EXPECT_EQ(p1.id, 208u);
  // Peer 3 has a third of the file's pieces only when i is a multiple of 3.
  EXPECT_LT(s.conns[6 + 3].progress, 1.0f);
  EXPECT_TRUE(s.conns[6 + 7].choked);
}

TEST(DemoData, StartAndEnd) {
  TransferSnapshot s0 = demo_snapshot(sized(0), 0);
  EXPECT_EQ(s0.done, 0u);
  Counts c0 = count(s0);
  EXPECT_EQ(c0.mirror + c0.peer, 0);
  EXPECT_GT(c0.flight, 0);
  EXPECT_EQ(s0.piece_map[0], 1);  // the mirrors' first piece is on its way

  // Five million bytes: two pieces, the last one short.
  for (double t : {140.0, 500.0}) {
    TransferSnapshot s = demo_snapshot(sized(5000000), t);
    EXPECT_EQ(s.pieces, 2u);
    Counts c = count(s);
    EXPECT_EQ(c.mirror + c.peer, 2);
    EXPECT_EQ(s.done, 5000000u);
    EXPECT_EQ(s.eta, 0);
  }
  EXPECT_FALSE(demo_snapshot(sized(5000000), 10).has_torrent);
  EXPECT_EQ(demo_snapshot(sized(5000000), 10).conns.size(), 30u);
}

TEST(DemoData, SameInputSameSnapshotAndJob) {
  MediaItem m = sized(3000000000ull, "t");
  TransferSnapshot a = demo_snapshot(m, 61.5), b = demo_snapshot(m, 61.5);
  EXPECT_EQ(a.piece_map, b.piece_map);
  EXPECT_EQ(a.done, b.done);
  EXPECT_EQ(a.rate_down, b.rate_down);
  EXPECT_EQ(a.eta, b.eta);

  size_t before = g_media.jobs.size();
  MediaJob& j = add_demo_job(m, 38, TState::Paused);
  ASSERT_EQ(g_media.jobs.size(), before + 1);
  EXPECT_EQ(&j, g_media.jobs.back().get());
  EXPECT_EQ(j.snap.state, TState::Paused);
  EXPECT_EQ(j.snap.done, demo_snapshot(m, 38).done);
  EXPECT_FALSE(j.transfer);
  EXPECT_TRUE(j.started);
  EXPECT_TRUE(j.launch_after.empty());
  EXPECT_TRUE(j.hist_down.empty());
  // The store's tick and scheduler leave a job without a Transfer alone.
  g_media.tick();
  EXPECT_EQ(j.snap.state, TState::Paused);
  g_media.jobs.clear();
}

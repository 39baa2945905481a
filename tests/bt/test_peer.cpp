// Peer wire against a libtorrent seeder on loopback, and the messages,
// addresses, peer exchange and client names on their own.
#include <gtest/gtest.h>
#include <winsock2.h>

#include "bt/bt_hash.h"
#include "bt/bt_peer.h"
#include "bt/bt_torrent.h"
#include "tests/bt/bt_test_util.h"

namespace {

// A blocking TCP connection with a receive time-out, reading whole frames.
struct Wire {
  SOCKET s = INVALID_SOCKET;
  std::string in;
  explicit Wire(const PeerAddr& to) {
    sockaddr_storage ss;
    int sl = to_sockaddr(to, &ss);
    s = socket(to.v6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
    DWORD ms = 10000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
    if (connect(s, reinterpret_cast<sockaddr*>(&ss), sl) != 0) s = INVALID_SOCKET;
  }
  ~Wire() { closesocket(s); }
  bool send_all(const std::string& b) { return send(s, b.data(), int(b.size()), 0) == int(b.size()); }
  bool fill(size_t n) {
    char buf[65536];
    while (in.size() < n) {
      int got = recv(s, buf, sizeof buf, 0);
      if (got <= 0) return false;
      in.append(buf, size_t(got));
    }
    return true;
  }
  // The next frame, or an empty string when the peer went quiet or away.
  std::string frame() {
    for (;;) {
      i64 size = peer_frame_size(in);
      if (size < 0) return {};
      if (size > 0) {
        std::string f = in.substr(0, size_t(size));
        in.erase(0, size_t(size));
        return f;
      }
      if (!fill(in.size() + 1)) return {};
    }
  }
};

TEST(PeerWire, PieceFromLibtorrentSeeder) {
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  Torrent t;
  std::string err;
  ASSERT_TRUE(parse_torrent(fixture_file("lt-single.torrent"), t, err)) << err;
  PeerAddr seeder;
  ASSERT_TRUE(parse_peer_addr(fixture_value("seeder"), seeder));
  Wire w(seeder);
  ASSERT_NE(w.s, INVALID_SOCKET);
  std::string our_id = new_peer_id();
  ASSERT_TRUE(w.send_all(build_handshake(t.info_hash, our_id)));
  ASSERT_TRUE(w.fill(kHandshakeSize));
  Handshake h;
  ASSERT_TRUE(parse_handshake(w.in, h, err)) << err;
  w.in.erase(0, kHandshakeSize);
  EXPECT_EQ(h.info_hash, t.info_hash);
  EXPECT_TRUE(h.extensions);
  EXPECT_EQ(client_name(h.peer_id).substr(0, 11), "libtorrent ") << h.peer_id;
  ASSERT_TRUE(w.send_all(build_extended(0, build_ext_handshake(1, "V.U.N.K. 1.0", 0, 250)) +
                         build_msg(msg_interested)));

  // ask for the first and the last (short) piece once unchoked
  const u32 wanted[] = {0, t.piece_count - 1};
  std::string got[2];
  bool unchoked = false, have_all = false;
  ExtHandshake ext;
  size_t blocks_left = 0;
  while (true) {
    std::string f = w.frame();
    ASSERT_FALSE(f.empty()) << "the seeder went quiet";
    PeerMsg m;
    ASSERT_TRUE(parse_peer_msg(f, m, err)) << err;
    if (m.id == msg_extended && m.ext_id == 0) {
      ASSERT_TRUE(parse_ext_handshake(m.payload, ext, err)) << err;
    } else if (m.id == msg_bitfield) {
      ASSERT_EQ(m.payload.size(), (t.piece_count + 7) / 8);
      have_all = true;
      for (u32 i = 0; i < t.piece_count; ++i) have_all &= (u8(m.payload[i / 8]) >> (7 - i % 8) & 1) != 0;
    } else if (m.id == msg_unchoke && !unchoked) {
      unchoked = true;
      for (u32 p : wanted) {
        for (u32 at = 0; at < t.piece_size(p); at += 16384) {
          ASSERT_TRUE(w.send_all(build_request(p, at, u32(std::min<u64>(16384, t.piece_size(p) - at)))));
          ++blocks_left;
        }
      }
    } else if (m.id == msg_piece) {
      int slot = m.index == wanted[0] ? 0 : 1;
      ASSERT_EQ(m.begin, got[slot].size());
      got[slot] += m.payload;
      if (--blocks_left == 0) break;
    }
  }
  EXPECT_TRUE(have_all);
  EXPECT_GT(ext.ut_pex, 0);
  EXPECT_NE(ext.client.find("libtorrent"), std::string::npos) << ext.client;
  std::string file = fixture_file("www/data.bin");
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(got[i], file.substr(size_t(wanted[i]) * t.piece_length, t.piece_size(wanted[i])));
    EXPECT_EQ(Hasher::sha1(got[i]), t.piece_hash(wanted[i]));
  }
}

TEST(PeerWire, MessagesRoundTrip) {
  struct Case {
    std::string wire;
    int id;
    u32 index, begin, length;
    std::string payload;
  } cases[] = {
      {build_keepalive(), -1, 0, 0, 0, ""},
      {build_msg(msg_choke), 0, 0, 0, 0, ""},
      {build_msg(msg_not_interested), 3, 0, 0, 0, ""},
      {build_have(0x01020304), 4, 0x01020304, 0, 0, ""},
      {build_bitfield("\xff\x80"), 5, 0, 0, 0, "\xff\x80"},
      {build_request(7, 16384, 16384), 6, 7, 16384, 16384, ""},
      {build_piece(9, 32768, "block"), 7, 9, 32768, 5, "block"},
      {build_cancel(1, 2, 3), 8, 1, 2, 3, ""},
      {build_extended(3, "d1:xi1ee"), 20, 0, 0, 0, "d1:xi1ee"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(peer_frame_size(c.wire), i64(c.wire.size()));
    EXPECT_EQ(peer_frame_size(c.wire.substr(0, c.wire.size() - 1)), 0);
    PeerMsg m;
    std::string err;
    ASSERT_TRUE(parse_peer_msg(c.wire, m, err)) << err;
    EXPECT_EQ(m.id, c.id);
    EXPECT_EQ(m.index, c.index);
    EXPECT_EQ(m.begin, c.begin);
    EXPECT_EQ(m.length, c.length);
    EXPECT_EQ(m.payload, c.payload);
  }
  PeerMsg m;
  std::string err;
  ASSERT_TRUE(parse_peer_msg(build_port(6881), m, err));
  EXPECT_EQ(m.port, 6881);

  // lengths that do not match the message are refused, oversized frames flagged
  for (std::string bad : {std::string("\0\0\0\x02\x00\x00", 6), std::string("\0\0\0\x04\x04\0\0\0", 8),
                          std::string("\0\0\0\x0c\x06\0\0\0\0\0\0\0\0\0\0\0", 16), std::string("\0\0\0\x01\x14", 5),
                          std::string("\0\0\0\x05\x07\0\0\0\0", 9), std::string("\0\0\0\x09", 4)})
    EXPECT_FALSE(parse_peer_msg(bad, m, err)) << bad.size();
  EXPECT_EQ(peer_frame_size(std::string("\0\x04\0\x01", 4)), -1);
  Handshake h;
  EXPECT_FALSE(parse_handshake("GET / HTTP/1.1\r\n" + std::string(60, ' '), h, err));
}

TEST(PeerWire, MessagesThatDoNotFitTheTorrent) {
  // A torrent of 10 pieces: bitfields are two bytes with the last six bits spare.
  struct Case {
    std::string wire;
    bool fits;
  } cases[] = {
      {build_bitfield(std::string("\xff\xc0", 2)), true},
      {build_bitfield(std::string("\xff\xc1", 2)), false},  // a spare bit set
      {build_bitfield(std::string("\xff", 1)), false},       // too short
      {build_bitfield(std::string("\xff\xc0\0", 3)), false},  // too long
      {build_have(9), true},
      {build_have(10), false},
      {build_request(10, 0, 16384), false},
      {build_cancel(10, 0, 16384), false},
      {build_piece(9, 0, "x"), true},
      {build_piece(0xffffffffu, 0, "x"), false},
      {build_msg(msg_unchoke), true},
  };
  for (const Case& c : cases) {
    PeerMsg m;
    std::string err;
    ASSERT_TRUE(parse_peer_msg(c.wire, m, err));
    EXPECT_EQ(peer_msg_fits(m, 10, err), c.fits) << m.id << " " << m.index;
  }
  // Sixteen pieces fill two bytes exactly.
  PeerMsg m;
  std::string err;
  ASSERT_TRUE(parse_peer_msg(build_bitfield("\xff\xff"), m, err));
  EXPECT_TRUE(peer_msg_fits(m, 16, err));
}

TEST(PeerExchange, WireFormAndRoundTrip) {
  // two IPv4 peers, the second a seed (flag 2), one IPv6 peer, one dropped
  std::string wire = std::string("d5:added12:") + std::string("\x0a\0\0\x01\x1a\xe1\x7f\0\0\x01\0\x50", 12) +
                     "7:added.f2:" + std::string("\0\x02", 2) + "6:added618:" +
                     std::string("\x20\x01\x0d\xb8\0\0\0\0\0\0\0\0\0\0\0\x01\x1a\xe1", 18) +
                     "7:dropped6:" + std::string("\xc0\xa8\0\x01\0\x01", 6) + "e";
  PexMsg m;
  std::string err;
  ASSERT_TRUE(parse_pex(wire, m, err)) << err;
  ASSERT_EQ(m.added.size(), 3u);
  EXPECT_EQ(m.added[0].str(), "10.0.0.1:6881");
  EXPECT_EQ(m.added[1].str(), "127.0.0.1:80");
  EXPECT_EQ(m.added[2].str(), "[2001:db8::1]:6881");
  EXPECT_EQ(m.added_flags, (std::vector<u8>{0, 2, 0}));
  ASSERT_EQ(m.dropped.size(), 1u);
  EXPECT_EQ(m.dropped[0].str(), "192.168.0.1:1");
  PexMsg back;
  ASSERT_TRUE(parse_pex(build_pex(m), back, err)) << err;
  EXPECT_EQ(back.added, m.added);
  EXPECT_EQ(back.added_flags, m.added_flags);
  EXPECT_EQ(back.dropped, m.dropped);
  for (const char* bad : {"", "le", "d5:added", "i1e"}) EXPECT_FALSE(parse_pex(bad, m, err)) << bad;

  ExtHandshake e;
  ASSERT_TRUE(parse_ext_handshake(build_ext_handshake(5, "x", 6881, 100), e, err));
  EXPECT_EQ(e.ut_pex, 5);
  EXPECT_EQ(e.port, 6881);
  EXPECT_EQ(e.reqq, 100u);
  ASSERT_TRUE(parse_ext_handshake(std::string("d1:md6:ut_pexi300ee1:pi-5e6:yourip4:\x7f\0\0\x01" "e", 41), e, err));
  EXPECT_EQ(e.ut_pex, 0);  // not a usable message id
  EXPECT_EQ(e.port, 0);
  EXPECT_TRUE(e.has_yourip);
}

TEST(PeerAddr, TextAndCompactForms) {
  struct Case {
    const char* text;
    bool ok;
  } cases[] = {{"1.2.3.4:6881", true},    {"[::1]:80", true},   {"[2001:db8::ff]:65535", true},
               {"1.2.3.4:0", false},      {"1.2.3.4:65536", false}, {"1.2.3:5", false}, {"host:80", false},
               {"::1:80", false},         {"1.2.3.4", false},   {"[::1]:", false}};
  for (const Case& c : cases) {
    PeerAddr a;
    EXPECT_EQ(parse_peer_addr(c.text, a), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(a.str(), c.text);
      std::vector<PeerAddr> back = parse_compact_peers(compact_peer(a), a.v6);
      ASSERT_EQ(back.size(), 1u);
      EXPECT_EQ(back[0], a);
    }
  }
  EXPECT_EQ(parse_compact_peers(std::string(13, 'x'), false).size(), 2u);  // partial entry ignored
  EXPECT_EQ(parse_compact_peers(std::string(600, 'x'), false, 10).size(), 10u);
}

TEST(PeerId, ClientNames) {
  struct Case {
    const char* id;
    const char* name;
  } cases[] = {
      {"-qB4520-abcdefghijkl", "qBittorrent 4.5.2"}, {"-TR3000-abcdefghijkl", "Transmission 3.0.0"},
      {"-DE13F0-abcdefghijkl", "Deluge 1.3.15"},     {"-LT2080-abcdefghijkl", "libtorrent 2.0.8"},
      {"-UT355W-abcdefghijkl", "uTorrent 3.5.5"},    {"-ZZ1000-abcdefghijkl", "unknown"},
      {"M7-2-2--abcdefghijkl", "Mainline 7.2.2"},    {"-qB4\x01" "00-abcdefghijkl", "qBittorrent"},
      {"", "unknown"},                               {"\xff\xff\xff\xff\xff\xff\xff\xff", "unknown"},
  };
  for (const Case& c : cases) EXPECT_EQ(client_name(c.id), c.name) << c.id;
  std::string ours = new_peer_id();
  EXPECT_EQ(ours.size(), 20u);
  EXPECT_EQ(client_name(ours), "V.U.N.K. 1.0.0");
  EXPECT_NE(new_peer_id(), ours);
}

}  // namespace

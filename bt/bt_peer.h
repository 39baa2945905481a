// Peer wire: addresses, the handshake, every message of the base protocol
// and the extension protocol with peer exchange, and client names from
// peer ids. Building and parsing only: the engine owns the sockets.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/common.h"

// ---- addresses ------------------------------------------------------------
struct PeerAddr {
  u8 ip[16] = {};  // IPv4 uses the first 4 bytes
  u16 port = 0;
  bool v6 = false;

  std::string str() const;  // "1.2.3.4:5" or "[::1]:5"
  bool operator==(const PeerAddr& o) const = default;
};

// Numeric "a.b.c.d:port" or "[v6]:port".
bool parse_peer_addr(std::string_view s, PeerAddr& a);
// Compact peers: 6 bytes each (IPv4) or 18 (IPv6), address then port, both
// in network order. A trailing partial entry is ignored; at most max_peers.
std::vector<PeerAddr> parse_compact_peers(std::string_view b, bool v6, size_t max_peers = 2000);
std::string compact_peer(const PeerAddr& a);

// ---- sockets (Winsock must be started by the caller) -------------------------
// A PeerAddr as a sockaddr in `out` (a sockaddr_storage); its length.
int to_sockaddr(const PeerAddr& a, void* out);
PeerAddr from_sockaddr(const void* sa);
// The addresses of a host name or numeric address; false when it has none.
bool resolve_host(const std::string& host, u16 port, std::vector<PeerAddr>& out);
// Waits up to wait_ms for a datagram on a UDP socket, polling stop every
// 100 ms: 1 with the datagram, 0 on time-out, -1 when stopped or on error.
int udp_receive(uintptr_t sock, std::string& pkt, PeerAddr& from, u32 wait_ms, const std::atomic<bool>* stop);

// ---- messages ---------------------------------------------------------------
enum PeerMsgId : u8 {
  msg_choke = 0,
  msg_unchoke = 1,
  msg_interested = 2,
  msg_not_interested = 3,
  msg_have = 4,
  msg_bitfield = 5,
  msg_request = 6,
  msg_piece = 7,
  msg_cancel = 8,
  msg_port = 9,
  msg_extended = 20,
};

constexpr size_t kHandshakeSize = 68;
// Bigger frames than this end the connection: a 16 KiB block or a bitfield
// for two million pieces fits.
constexpr u32 kMaxPeerFrame = 1 << 18;

struct Handshake {
  std::string info_hash;  // 20 raw bytes
  std::string peer_id;    // 20 raw bytes
  bool extensions = false;
};

std::string build_handshake(std::string_view info_hash, std::string_view peer_id);
bool parse_handshake(std::string_view b, Handshake& h, std::string& err);

struct PeerMsg {
  int id = -1;  // -1 keep-alive; ids this side does not know are kept, for the caller to ignore
  u32 index = 0, begin = 0, length = 0;  // have, request, piece, cancel
  u16 port = 0;                          // port
  u8 ext_id = 0;                         // extended
  std::string_view payload;              // bitfield, piece block, extended payload (points into the frame)
};

std::string build_msg(PeerMsgId id);  // choke, unchoke, interested, not interested
std::string build_keepalive();
std::string build_have(u32 index);
std::string build_bitfield(std::string_view bits);
std::string build_request(u32 index, u32 begin, u32 length);
std::string build_cancel(u32 index, u32 begin, u32 length);
std::string build_piece(u32 index, u32 begin, std::string_view block);
std::string build_port(u16 port);
std::string build_extended(u8 ext_id, std::string_view payload);

// The size of the complete frame at the start of buf (length prefix
// included), 0 when more bytes are needed, -1 when it is larger than
// kMaxPeerFrame.
i64 peer_frame_size(std::string_view buf);
// One whole frame as peer_frame_size measured it.
bool parse_peer_msg(std::string_view frame, PeerMsg& m, std::string& err);
// Whether a parsed message fits a torrent of `pieces` pieces: a bitfield of
// exactly one bit per piece (rounded up to whole bytes, the spare bits
// clear), and have, request, cancel and piece naming a piece that exists.
// A peer that sends one that does not is broken or hostile.
bool peer_msg_fits(const PeerMsg& m, u32 pieces, std::string& err);

// ---- extension protocol and peer exchange -----------------------------------
struct ExtHandshake {
  int ut_pex = 0;       // the peer's id for ut_pex, 0 when it has none
  int ut_metadata = 0;  // the peer's id for ut_metadata
  std::string client;   // "v", cut to 200 bytes
  u16 port = 0;         // "p", its listening port
  u32 reqq = 0;         // queued requests it accepts
  bool has_yourip = false;
  PeerAddr yourip;
  i64 metadata_size = -1;
};

std::string build_ext_handshake(u8 our_pex_id, std::string_view client, u16 listen_port, u32 reqq);
bool parse_ext_handshake(std::string_view payload, ExtHandshake& h, std::string& err);

struct PexMsg {
  std::vector<PeerAddr> added;
  std::vector<u8> added_flags;  // one per added peer (0 when the peer sent none)
  std::vector<PeerAddr> dropped;
};

std::string build_pex(const PexMsg& m);
bool parse_pex(std::string_view payload, PexMsg& m, std::string& err);

// ---- clients ----------------------------------------------------------------
struct ClientCode {
  const char* code;  // two letters of an "-XX1234-" peer id
  const char* name;
};
extern const ClientCode kClients[];
extern const size_t kClientCount;

// "qBittorrent 4.5.2", "Mainline 7.2.2", or "unknown".
std::string client_name(std::string_view peer_id);
// Our own peer id: "-VU1000-" and 12 random characters.
std::string new_peer_id();

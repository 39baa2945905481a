// The QMP client against a scripted server on loopback: what real QEMU does
// not do on demand (split packets, odd answers, garbage, endless lines, a
// peer that stops reading).
#include <gtest/gtest.h>

#include <memory>

#include "tests/fleet/fleet_test_util.h"

namespace {

// A client wired to the test window, with counters on its callbacks.
struct Client {
  Qmp q;
  int readies = 0;
  int closes = 0;
  std::vector<std::pair<std::string, JVal>> events;
  Client() {
    track_qmp(&q);
    q.on_ready = [this] { ++readies; };
    q.on_close = [this] { ++closes; };
    q.on_event = [this](const std::string& e, const JVal& d) { events.emplace_back(e, d); };
  }
  ~Client() { untrack_qmp(&q); }
  void open(int port) { q.open(test_main_window(), port); }
};

// Waits until the test window's queue holds a Winsock notification of this
// kind for socket s (for FD_CLOSE: the peer's hang-up has reached this side),
// leaving every queued notification in place and in its order.
bool notice_queued(SOCKET s, int event, double timeout_s = 10) {
  const double end = now_s() + timeout_s;
  for (;;) {
    std::vector<MSG> held;
    bool seen = false;
    MSG m;
    while (PeekMessageW(&m, test_main_window(), WM_QMP, WM_QMP, PM_REMOVE)) {
      held.push_back(m);
      seen = seen || (SOCKET(m.wParam) == s && WSAGETSELECTEVENT(m.lParam) == event);
    }
    for (const MSG& h : held) PostMessageW(h.hwnd, h.message, h.wParam, h.lParam);
    if (seen) return true;
    if (now_s() >= end) return false;
    Sleep(10);
  }
}

// Waits without handling any window message (a scripted peer for the test,
// or the test for a peer) until done() holds; done() at the end.
bool wait_for(const std::function<bool()>& done, double timeout_s = 10) {
  const double end = now_s() + timeout_s;
  while (!done() && now_s() < end) Sleep(5);
  return done();
}

}  // namespace

TEST(Qmp, HandshakeAcrossPacketsWithAnErrorAnswerAndQueuedCommandsFirst) {
  std::atomic<bool> half_read{false};
  ScriptedPeer peer([&](PeerConn& c, ScriptedPeer& p) {
    const std::string g = std::string(kGreeting) + "\r\n";
    std::string l;
    // The rest of the greeting only once the client holds the first part.
    if (!c.send_text(g.substr(0, 20)) || !wait_for([&] { return half_read.load(); })) return false;
    return c.send_text(g.substr(20)) && p.note_next(c) &&
           c.send_text("{\"error\": {\"class\": \"CommandNotFound\", \"desc\": \"x\"}}\n") && p.note_next(c) &&
           // The queued command's answer, then a greeting again: no new handshake.
           c.send_text("{\"return\": {\"status\": \"running\", \"running\": true}}\r\n" + g) && p.note_next(c) &&
           c.send_text("{\"return\": {}}\r\n") && !c.read_line(l, 1);
  });
  Client cl;
  Answer status, cont;
  cl.q.cmd("query-status", "", status.fn());  // queued before the link exists
  cl.open(peer.port);
  ASSERT_TRUE(pump_until([&] { return cl.q.rx.size() == 20; }));
  EXPECT_FALSE(cl.q.greeted);
  half_read = true;
  ASSERT_TRUE(pump_until([&] { return status.calls > 0; }));
  EXPECT_TRUE(status.ok);
  EXPECT_EQ(status.value["status"].s, "running");  // its own answer, not the handshake's
  // The second greeting came in the same write as that answer: read and
  // passed over before the next command goes out.
  ASSERT_TRUE(pump_until([&] {
    u_long waiting = 1;
    return ioctlsocket(cl.q.sock, FIONREAD, &waiting) == 0 && waiting == 0 && cl.q.rx.empty();
  }));
  cl.q.cmd("cont", "", cont.fn());
  ASSERT_TRUE(pump_until([&] { return cont.calls > 0; }));
  EXPECT_TRUE(cont.ok);
  EXPECT_EQ(cl.readies, 1);  // the error answer to the handshake counts as its end
  EXPECT_EQ(peer.seen(), (std::vector<std::string>{"{\"execute\":\"qmp_capabilities\"}",
                                                   "{\"execute\":\"query-status\"}", "{\"execute\":\"cont\"}"}));
}

TEST(Qmp, EndlessLineIsCappedAndClosesTheLink) {
  ScriptedPeer peer([](PeerConn& c, ScriptedPeer&) {
    std::string l;
    if (!c.handshake() || !c.read_line(l)) return false;
    std::string chunk(1 << 20, 'x');
    for (int i = 0; i < 24; ++i)
      if (!c.send_text(chunk)) return true;  // cut off by the client
    return !c.read_line(l, 10);
  });
  Client cl;
  Answer a;
  cl.q.cmd("query-status", "", a.fn());
  cl.open(peer.port);
  ASSERT_TRUE(pump_until([&] { return a.calls > 0; }, 30));
  EXPECT_FALSE(a.ok);
  EXPECT_EQ(a.value.kind, 0);
  EXPECT_EQ(cl.closes, 1);
  EXPECT_EQ(cl.q.sock, INVALID_SOCKET);
  EXPECT_TRUE(cl.q.rx.empty());
  ASSERT_TRUE(pump_until([&] { return peer.finished.load(); }, 15));
  EXPECT_TRUE(peer.script_ok);
}

TEST(Qmp, SlowButSteadyReaderHoldsOneSendAtMostTheStallLimit) {
  std::atomic<bool> release{false};
  ScriptedPeer peer([&](PeerConn& c, ScriptedPeer&) {
    if (!c.handshake()) return false;
    char buf[65536];
    while (!release && recv(c.s, buf, sizeof buf, 0) > 0) Sleep(20);  // about 3 MiB/s
    return true;
  });
  Client cl;
  cl.open(peer.port);
  ASSERT_TRUE(pump_until([&] { return cl.q.ready; }));
  Answer first, big;
  cl.q.cmd("query-status", "", first.fn());
  const std::string args = "{\"pad\":\"" + std::string(64u << 20, 'a') + "\"}";
  const double t0 = now_s();
  cl.q.cmd("huge", args, big.fn());  // inside send until the limit
  const double took = now_s() - t0;
  release = true;
  EXPECT_GE(took, Qmp::kSendStall);
  // Without the limit the 64 MiB would take about 20 s at this pace; the
  // margin is for a busy machine, where copying and the last send are slow.
  EXPECT_LT(took, Qmp::kSendStall + 5);
  EXPECT_EQ(first.calls + big.calls, 2);
  EXPECT_FALSE(first.ok || big.ok);
  EXPECT_EQ(cl.closes, 1);
  EXPECT_EQ(cl.q.sock, INVALID_SOCKET);
}

TEST(Qmp, CloseFailsSentThenQueuedInOrderAndARefusedConnectFailsToo) {
  ScriptedPeer peer([](PeerConn& c, ScriptedPeer& p) {
    std::string l;
    return c.handshake() && p.note_next(c) && p.note_next(c) && p.note_next(c) && !c.read_line(l, 10);
  });
  Client cl;
  cl.open(peer.port);
  ASSERT_TRUE(pump_until([&] { return cl.q.ready; }));
  std::vector<std::string> order;
  auto rec = [&](const char* tag) {
    return [&order, tag](bool ok, const JVal& v) {
      order.push_back(std::string(tag) + (ok ? "+" : "-") + (v.kind == 0 ? "" : "?"));
    };
  };
  for (const char* c : {"a", "b", "c"}) cl.q.cmd(c, "", rec(c));
  ASSERT_TRUE(pump_until([&] { return peer.seen().size() == 3; }));
  // Two commands still waiting for a handshake, as after a reconnect.
  cl.q.pending.emplace_back(qmp_command_text("d", ""), rec("d"));
  cl.q.pending.emplace_back(qmp_command_text("e", ""), rec("e"));
  cl.q.close();
  EXPECT_EQ(order, (std::vector<std::string>{"a-", "b-", "c-", "d-", "e-"}));
  EXPECT_EQ(cl.closes, 1);
  EXPECT_TRUE(cl.q.pending.empty() && cl.q.replies.empty());
  EXPECT_FALSE(cl.q.ready || cl.q.greeted);
  cl.q.close();  // already closed: nothing more
  EXPECT_EQ(cl.closes, 1);
  EXPECT_EQ(order.size(), 5u);

  Answer w;
  cl.q.cmd("query-status", "", w.fn());
  cl.open(unused_port());  // nobody listens there
  ASSERT_TRUE(pump_until([&] { return w.calls > 0; }));
  EXPECT_FALSE(w.ok);
  EXPECT_EQ(cl.closes, 2);
}

TEST(Qmp, ClientDestroyedByAReplyHandlerStopsMidBatch) {
  ScriptedPeer peer([](PeerConn& c, ScriptedPeer&) {
    std::string l1, l2, l;
    return c.handshake() && c.read_line(l1) && c.read_line(l2) &&
           c.send_text("{\"return\": 1}\r\n{\"return\": 2}\r\n") && !c.read_line(l, 2);
  });
  auto q = std::make_unique<Qmp>();
  track_qmp(q.get());
  q->open(test_main_window(), peer.port);
  ASSERT_TRUE(pump_until([&] { return q->ready; }));
  int first = 0, second = 0, closes = 0;
  q->on_close = [&] { ++closes; };
  Qmp* raw = q.get();
  q->cmd("one", "", [&](bool, const JVal&) {
    ++first;
    untrack_qmp(raw);
    q.reset();
  });
  q->cmd("two", "", [&](bool, const JVal&) { ++second; });
  ASSERT_TRUE(pump_until([&] { return first > 0; }));
  pump_for(0.3);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second + closes, 0);  // neither the rest of the batch nor a close
}

TEST(Qmp, NotificationsLeftForAClosedSocketDoNotReachTheNextLink) {
  std::atomic<bool> ready_seen{false};
  ScriptedPeer first([&](PeerConn& c, ScriptedPeer&) {
    return c.handshake() && wait_for([&] { return ready_seen.load(); });  // then hangs up
  });
  ScriptedPeer second(serve_like_qemu);
  Client cl;
  cl.open(first.port);
  ASSERT_TRUE(pump_until([&] { return cl.q.ready; }));
  ready_seen = true;
  // The hang-up is queued as a notification, not yet handled.
  ASSERT_TRUE(notice_queued(cl.q.sock, FD_CLOSE));
  const SOCKET old = cl.q.sock;
  cl.q.close();
  // Winsock hands the same value out again; a stale FD_CLOSE for the old link
  // must not close the new one. Lower free values are taken first so that the
  // new link gets the old value.
  std::vector<SOCKET> hold;
  for (int i = 0; i < 64; ++i) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == old || s == INVALID_SOCKET) {
      closesocket(s);
      break;
    }
    hold.push_back(s);
  }
  cl.open(second.port);
  for (SOCKET s : hold) closesocket(s);
  EXPECT_EQ(cl.q.sock, old);
  Answer a;
  cl.q.cmd("query-status", "", a.fn());
  ASSERT_TRUE(pump_until([&] { return a.calls > 0; }));
  EXPECT_TRUE(a.ok);
}

TEST(Qmp, HandlerThatReopensWhileTheOldLinkEndsKeepsTheNewLink) {
  ScriptedPeer first([](PeerConn& c, ScriptedPeer& p) {
    return c.handshake() && p.note_next(c) && c.send_text("{\"return\": {}}\r\n");  // then hangs up
  });
  ScriptedPeer second(serve_like_qemu);
  Client cl;
  cl.open(first.port);
  ASSERT_TRUE(pump_until([&] { return cl.q.ready; }));
  Answer reopened;
  cl.q.cmd("reopen", "", [&](bool, const JVal&) {
    cl.open(second.port);
    cl.q.cmd("query-status", "", reopened.fn());
  });
  // The answer and the end of the stream arrive in one read: the peer has
  // hung up and its answer waits on this side before the client reads. (On
  // loopback the hang-up lands with the data; Winsock tells of it only once
  // the data is read.)
  ASSERT_TRUE(wait_for([&] {
    u_long waiting = 0;
    return first.finished && ioctlsocket(cl.q.sock, FIONREAD, &waiting) == 0 && waiting >= 16;
  }));
  ASSERT_TRUE(pump_until([&] { return reopened.calls > 0; }));
  EXPECT_TRUE(reopened.ok);
  EXPECT_NE(cl.q.sock, INVALID_SOCKET);
  EXPECT_EQ(cl.closes, 1);
}

// QMP client: connect, greeting, capabilities handshake, commands answered in
// the order they were sent, events in between, and a close that answers every
// waiting command with failure.
#include "machines/qmp.h"

#include <vector>

#include "core/common.h"

namespace {

// Winsock is started once for the process; the fleet never shuts it down.
bool winsock_up() {
  static const bool ok = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ok;
}

// Stops and closes a socket and takes its notifications that are already
// queued out of the window's queue: Winsock reuses socket values at once, and
// a stale FD_CLOSE would otherwise close the next link that got the same one.
void shut(SOCKET s, HWND wnd) {
  WSAAsyncSelect(s, wnd, 0, 0);
  closesocket(s);
  if (!wnd) return;
  std::vector<MSG> others;
  MSG m;
  while (PeekMessageW(&m, wnd, WM_QMP, WM_QMP, PM_REMOVE))
    if (SOCKET(m.wParam) != s) others.push_back(m);
  for (const MSG& o : others) PostMessageW(wnd, WM_QMP, o.wParam, o.lParam);
}

}  // namespace

std::string json_quote(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      out += strf("\\u%04x", c);
    } else {
      out += char(c);
    }
  }
  out += '"';
  return out;
}

std::string qmp_command_text(const std::string& name, const std::string& args) {
  std::string text = "{\"execute\":" + json_quote(name);
  if (!args.empty()) text += ",\"arguments\":" + args;
  text += "}";
  return text;
}

Qmp::~Qmp() {
  *alive_ = false;
  drop();
}

void Qmp::open(HWND window, int port) {
  // Only a live connection is dropped here: commands queued while the link
  // was down wait for this one.
  if (sock != INVALID_SOCKET) close();
  ++gen;
  wnd = window;
  if (!winsock_up()) return;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return;
  sock = s;
  opened = now_s();
  // Without notifications the socket would stay blocking on this thread.
  if (WSAAsyncSelect(sock, wnd, WM_QMP, FD_READ | FD_CONNECT | FD_CLOSE) != 0) {
    wlog("QMP: no socket notifications (error %d), link failed", WSAGetLastError());
    close();
    return;
  }
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(u16(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
      WSAGetLastError() != WSAEWOULDBLOCK)
    close();
}

void Qmp::close() {
  const bool was_open = sock != INVALID_SOCKET;
  if (was_open) shut(sock, wnd);
  ++gen;
  sock = INVALID_SOCKET;
  ready = false;
  greeted = false;
  rx.clear();
  // Taken out first: a callback may queue new commands (they wait for the
  // next connection) or even destroy this client.
  std::deque<QmpReply> sent;
  sent.swap(replies);
  std::deque<std::pair<std::string, QmpReply>> queued;
  queued.swap(pending);
  auto alive = alive_;
  static const JVal null_value;
  for (auto& cb : sent)
    if (cb) cb(false, null_value);
  for (auto& item : queued)
    if (item.second) item.second(false, null_value);
  if (!*alive) return;
  if (was_open && on_close) {
    auto cb = on_close;  // the callback may replace itself
    cb();
  }
}

void Qmp::drop() {
  on_event = nullptr;
  on_ready = nullptr;
  on_close = nullptr;
  replies.clear();
  pending.clear();
  if (sock != INVALID_SOCKET) shut(sock, wnd);
  ++gen;
  sock = INVALID_SOCKET;
  ready = false;
  greeted = false;
  rx.clear();
}

void Qmp::cmd(const std::string& name, const std::string& args, QmpReply callback) {
  if (!waiting()) waiting_since = now_s();
  pending.emplace_back(qmp_command_text(name, args), std::move(callback));
  if (ready && sock != INVALID_SOCKET) flush();
}

void Qmp::flush() {
  auto alive = alive_;
  while (ready && sock != INVALID_SOCKET && !pending.empty()) {
    // The callback moves to replies before the line goes out, so a send that
    // closes the link answers it like every other waiting command.
    std::string text = std::move(pending.front().first);
    replies.push_back(std::move(pending.front().second));
    pending.pop_front();
    send_raw(text);
    if (!*alive) return;
  }
}

void Qmp::send_raw(const std::string& text) {
  if (sock == INVALID_SOCKET) return;
  const std::string out = text + "\r\n";
  size_t done = 0;
  const double start = now_s();
  while (done < out.size()) {
    int n = send(sock, out.data() + done, int(std::min<size_t>(out.size() - done, 1 << 20)), 0);
    if (n > 0) {
      done += size_t(n);
    } else if (WSAGetLastError() != WSAEWOULDBLOCK) {
      return;  // the close answers the callback
    }
    if (done == out.size()) break;
    const double t = now_s();
    if (t - start > kSendStall) {
      wlog("QMP: peer took %u of %u bytes in %.1f s, closing the link", unsigned(done), unsigned(out.size()),
           t - start);
      close();
      return;
    }
    if (n <= 0) Sleep(1);
  }
}

void Qmp::on_socket(LPARAM lparam) {
  const int event = WSAGETSELECTEVENT(lparam);
  const int error = WSAGETSELECTERROR(lparam);
  if (event == FD_CONNECT) {
    if (error != 0) close();
    return;
  }
  if (event == FD_CLOSE && sock == INVALID_SOCKET) return;
  if ((event != FD_READ && event != FD_CLOSE) || sock == INVALID_SOCKET) return;

  auto alive = alive_;
  const unsigned link = gen;
  // Every whole line was handled before: a line end can only be in what
  // arrives now (so a long line is not searched again on every read).
  size_t from = rx.size();
  char buf[16384];
  int n = 0;
  for (;;) {
    n = recv(sock, buf, sizeof buf, 0);
    if (n <= 0) break;
    rx.append(buf, size_t(n));
    // Leave the rest for the next notification (Winsock posts FD_READ again
    // while data remains) once the buffer is at its cap.
    if (rx.size() > kMaxRx) break;
  }
  // Lines that arrived before the peer hung up are still handled (the answer
  // to "quit" comes right before the end), then the link is closed; FD_CLOSE
  // takes the same road, since data may still wait when it arrives.
  while (!rx.empty() && gen == link) {
    const size_t lf = rx.find('\n', from);
    from = 0;
    // A line longer than the cap is never handled, whether or not its end
    // came in the same read that crossed the cap: the link closes below.
    if (lf == std::string::npos || lf > kMaxRx) break;
    std::string text = rx.substr(0, lf);
    rx.erase(0, lf + 1);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (!text.empty()) line(text);
    if (!*alive) return;
  }
  // A handler may have closed this link and opened the next one.
  if (gen != link) return;
  if (n == 0 || event == FD_CLOSE) {
    close();
    return;
  }
  if (rx.size() > kMaxRx) {
    wlog("QMP: a line of more than %u bytes, closing the link", unsigned(kMaxRx));
    close();
  }
}

void Qmp::line(std::string_view text) {
  JParser p{text};
  while (p.pos < text.size() && (text[p.pos] == ' ' || text[p.pos] == '\t' ||
                                 text[p.pos] == '\r' || text[p.pos] == '\n'))
    ++p.pos;
  JVal v;
  if (!p.value(v) || v.kind != 5) return;
  if (v.o.count("QMP")) {
    if (greeted) return;
    greeted = true;
    send_raw("{\"execute\":\"qmp_capabilities\"}");
    return;
  }
  if (v.o.count("event")) {
    if (on_event) {
      const JVal& name = v["event"];
      auto cb = on_event;
      cb(name.kind == 3 ? name.s : std::string(), v["data"]);
    }
    return;
  }
  const bool is_error = v.o.count("error") != 0;
  if (!is_error && !v.o.count("return")) return;
  if (!ready) {
    // The handshake's answer, whatever it says.
    ready = true;
    auto alive = alive_;
    if (on_ready) {
      auto cb = on_ready;
      cb();
      if (!*alive) return;
    }
    if (ready && sock != INVALID_SOCKET) flush();
    return;
  }
  if (replies.empty()) return;
  QmpReply cb = std::move(replies.front());
  replies.pop_front();
  if (cb) {
    if (is_error)
      cb(false, v["error"]);
    else
      cb(true, v["return"]);
  }
}

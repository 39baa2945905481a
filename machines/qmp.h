// A minimal, non-blocking client of the QEMU Machine Protocol: JSON lines
// over a loopback TCP socket whose notifications arrive as a window message
// on the user-interface thread.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "core/json.h"

// Socket notifications: wParam is the socket, lParam the selection word.
constexpr UINT WM_QMP = WM_APP + 21;

// Answer of one command: (true, "return" member) or (false, "error" member,
// or a null value when the link went down before the answer).
using QmpReply = std::function<void(bool ok, const JVal& value)>;

struct Qmp {
  std::function<void(const std::string& event, const JVal& data)> on_event;
  std::function<void()> on_ready;
  std::function<void()> on_close;

  SOCKET sock = INVALID_SOCKET;
  HWND wnd = nullptr;
  std::string rx;
  bool ready = false;
  bool greeted = false;
  double opened = 0;
  double waiting_since = 0;  // when the oldest waiting command was given
  // Tells links apart: a handler may close and reopen the link while a read
  // of the old one is handled, and Winsock reuses socket values at once.
  unsigned gen = 0;
  std::deque<std::pair<std::string, QmpReply>> pending;
  std::deque<QmpReply> replies;

  // A peer that never ends a line would otherwise grow rx without limit, and
  // one that reads slowly would hold the user-interface thread in send: one
  // send spends at most kSendStall seconds.
  static constexpr size_t kMaxRx = 16u << 20;
  static constexpr double kSendStall = 2.0;

  Qmp() = default;
  Qmp(const Qmp&) = delete;
  Qmp& operator=(const Qmp&) = delete;
  // Drops the link without calling anything back (see drop).
  ~Qmp();

  void open(HWND window, int port);
  // Drops the link and fails everything waiting: sent commands first, then
  // queued ones; on_close runs when an open socket was closed.
  void close();
  // Drops the link and forgets every callback without calling any: for an
  // owner that is going away and whose callbacks may point into it.
  void drop();
  void cmd(const std::string& name, const std::string& args, QmpReply callback);
  void on_socket(LPARAM lparam);
  void line(std::string_view text);
  void send_raw(const std::string& text);
  void flush();
  bool waiting() const { return !pending.empty() || !replies.empty(); }

 private:
  // Set false by the destructor, so a handler that destroys this client in a
  // callback stops the loops that were running on it.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// text as a JSON string: quote and backslash escaped, bytes below 0x20 as
// \u00XX, every other byte unchanged.
std::string json_quote(std::string_view text);
// The command line sent for one command (without its line end).
std::string qmp_command_text(const std::string& name, const std::string& args);

// The log goes beside the running program, and the other test programs share
// this build folder. So each case runs in a copy of this program, alone in a
// folder of its own: the parent copies, starts and judges; the LogChild cases
// do the logging and checking inside the copy.
#include <gtest/gtest.h>
#include <windows.h>

#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "core/common.h"
#include "machines/proc.h"
#include "tests/support/test_support.h"

namespace {

const wchar_t kChildName[] = L"logtest.exe";
const size_t kLimit = 2097152;

std::wstring self_path() {
  wchar_t self[1024];
  return std::wstring(self, GetModuleFileNameW(nullptr, self, 1024));
}

// Runs one LogChild case in a copy of this program, its output captured so
// that its own summary lines do not mix with ours.
void run_child(const char* name) {
  std::wstring dir = test_dir("log");
  std::wstring exe = path_join(dir, kChildName);
  ASSERT_TRUE(CopyFileW(self_path().c_str(), exe.c_str(), FALSE));
  std::string text;
  if (!run_capture(quote_arg(exe) + L" --gtest_also_run_disabled_tests --gtest_filter=LogChild.DISABLED_" +
                       widen(name), text, 120000) ||
      text.find("[  PASSED  ] 1 test") == std::string::npos) {
    std::string shown;  // indented, so its summary lines are not counted as ours
    for (char c : "  | " + text) shown += c == '\n' ? std::string("\n  | ") : std::string(1, c);
    ADD_FAILURE() << "log case " << name << " failed:\n" << shown;
  }
  remove_tree(dir);
}

// The LogChild cases write beside the program: only ever inside a copy.
bool in_copy() { return lower_w(path_leaf(self_path())) == kChildName; }

std::wstring log_file() { return path_join(exe_dir(), L"vunk.log"); }

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  for (size_t at = 0, end; at < text.size(); at = end + 2) {
    end = text.find("\r\n", at);
    out.push_back(text.substr(at, end - at));  // to the end when there is no CR LF: a cut line
    if (end == std::string::npos) break;
  }
  return out;
}

// One line without its CR LF: the time stamp, two spaces, the message.
bool parse_line(const std::string& line, std::string& msg) {
  static const std::regex re(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}  ([^\r\n]*)$)");
  std::smatch m;
  if (!std::regex_match(line, m, re)) return false;
  msg = m[1];
  return true;
}

// The message of the log's only line; "" when it holds another count of lines.
std::string only_message() {
  std::vector<std::string> lines = lines_of(read_bytes(log_file()));
  std::string msg;
  return lines.size() == 1 && parse_line(lines[0], msg) ? msg : "";
}

// 8 threads x 500 lines of varied length, each message naming its thread and
// number and carrying a padding that the check can recompute.
void log_from_threads() {
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 500; ++i) wlog("thread %d line %03d %s.", t, i, std::string((i * 7 + t) % 90, 'x').c_str());
    });
  for (auto& th : threads) th.join();
}

// Every one of the 4000 lines present once, whole and in the line format.
void expect_all_lines(const std::string& text) {
  std::set<std::pair<int, int>> seen;
  int bad = 0;
  for (const std::string& line : lines_of(text)) {
    std::string msg;
    int t = -1, i = -1, pad = -1;
    if (!parse_line(line, msg) || sscanf(msg.c_str(), "thread %d line %d %n", &t, &i, &pad) != 2 || pad < 0 ||
        msg.substr(pad) != std::string((i * 7 + t) % 90, 'x') + "." || !seen.insert({t, i}).second) {
      if (++bad < 5) ADD_FAILURE() << "bad or repeated line: " << line.substr(0, 200);
    }
  }
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(seen.size(), 4000u);
}

}  // namespace

TEST(Log, LinesAndRotation) { run_child("Lines"); }
TEST(Log, ManyThreads) { run_child("Threads"); }

TEST(LogChild, DISABLED_Lines) {
  if (!in_copy()) GTEST_SKIP();
  ASSERT_FALSE(file_exists(log_file()));
  wlog("first %s %d %zu %.1f", "call", -3, size_t(7), 2.5);
  std::string text = read_bytes(log_file());
  ASSERT_GE(text.size(), 2u);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  EXPECT_EQ(only_message(), "first call -3 7 2.5") << text;

  // a 3000-byte expansion keeps its first 2047 bytes
  std::string big;
  for (int i = 0; i < 3000; ++i) big += char('a' + i % 26);
  wlog("%s", big.c_str());
  std::vector<std::string> lines = lines_of(read_bytes(log_file()));
  std::string msg;
  ASSERT_EQ(lines.size(), 2u);
  ASSERT_TRUE(parse_line(lines[1], msg));
  EXPECT_EQ(msg, big.substr(0, 2047));

  // a log held without write sharing drops the line quietly
  u64 size = file_size(log_file());
  HANDLE h = CreateFileW(log_file().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  wlog("dropped");
  CloseHandle(h);
  EXPECT_EQ(file_size(log_file()), size);

  // exactly at the limit: appended to, the older generation untouched
  std::wstring older = log_file() + L".1";
  ASSERT_TRUE(write_bytes(older, "older generation\r\n"));
  ASSERT_TRUE(write_bytes(log_file(), std::string(kLimit, 'L')));
  wlog("at the limit");
  text = read_bytes(log_file());
  ASSERT_GT(text.size(), kLimit);
  EXPECT_EQ(text.substr(0, kLimit), std::string(kLimit, 'L'));
  ASSERT_TRUE(parse_line(text.substr(kLimit, text.size() - kLimit - 2), msg));
  EXPECT_EQ(msg, "at the limit");
  EXPECT_EQ(read_bytes(older), "older generation\r\n");

  // one byte more: moved over the older generation, a fresh log with one line
  ASSERT_TRUE(write_bytes(log_file(), std::string(kLimit + 1, 'M')));
  wlog("fresh");
  EXPECT_EQ(read_bytes(older), std::string(kLimit + 1, 'M'));
  EXPECT_EQ(only_message(), "fresh");
}

TEST(LogChild, DISABLED_Threads) {
  if (!in_copy()) GTEST_SKIP();
  log_from_threads();
  expect_all_lines(read_bytes(log_file()));

  // Starting just under the limit, the threads cross it together: exactly one
  // of them may move the log, or the fresh log would be carried over the old.
  std::string prefill = std::string(kLimit - 2000, 'P') + "\r\n";
  ASSERT_TRUE(write_bytes(log_file(), prefill));
  log_from_threads();
  std::string old = read_bytes(log_file() + L".1");
  ASSERT_GT(old.size(), kLimit);
  EXPECT_EQ(old.substr(0, prefill.size()), prefill);
  expect_all_lines(old.substr(prefill.size()) + read_bytes(log_file()));
}

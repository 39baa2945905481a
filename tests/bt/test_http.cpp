// HttpReq against nginx (a real range-capable mirror) and the core fixture
// server (a server that ignores Range, stalls, drops the connection).
#include <gtest/gtest.h>

#include <windows.h>

#include <thread>

#include "bt/bt_http.h"
#include "tests/bt/bt_test_util.h"

namespace {

struct Got {
  bool ok = false;
  std::string err, body;
  int status = 0;
  bool ignored = false;
  u64 first = 0, last = 0, total = 0;
};

Got get(const std::string& url, u64 from, u64 len, HttpAbort* abort = nullptr) {
  Got g;
  HttpReq r;
  g.ok = r.open(url, from, len, abort, 10000, g.err) && r.read_all(g.body, 1 << 26, g.err);
  g.status = r.status;
  g.ignored = r.range_ignored;
  g.first = r.range_first;
  g.last = r.range_last;
  g.total = r.range_total;
  return g;
}

TEST(HttpReq, RangesFromNginxAreExact) {
  std::string url = fixture_value("mirror");
  std::string data = fixture_file("www/data.bin");
  ASSERT_EQ(data.size(), 3000000u);
  struct Case {
    u64 from, len, want_len;
  } cases[] = {
      {0, 1, 1}, {0, 16384, 16384}, {1234567, 262144, 262144}, {2999999, 1, 1},
      {2999000, 5000, 1000},  // past the end: the server cuts it at the end of the file
  };
  for (const Case& c : cases) {
    Got g = get(url, c.from, c.len);
    ASSERT_TRUE(g.ok) << g.err;
    EXPECT_EQ(g.status, 206);
    EXPECT_FALSE(g.ignored);
    EXPECT_EQ(g.body, data.substr(c.from, c.want_len)) << c.from;
    EXPECT_EQ(g.first, c.from);
    EXPECT_EQ(g.last, c.from + c.want_len - 1);
    EXPECT_EQ(g.total, data.size());
  }
  Got whole = get(url, 0, 0);
  ASSERT_TRUE(whole.ok) << whole.err;
  EXPECT_EQ(whole.status, 200);
  EXPECT_EQ(whole.body, data);
}

// Small reads of a range and of the whole file: the body is read ahead in
// 1 MiB calls, so the whole file takes several, each handed out in pieces.
TEST(HttpReq, ReadsInPiecesUpToTheRangeEnd) {
  std::string data = fixture_file("www/data.bin");
  for (u64 from : {u64(100), u64(0)}) {
    u64 len = from ? 10000 : 0;
    HttpReq r;
    std::string err;
    ASSERT_TRUE(r.open(fixture_value("mirror"), from, len, nullptr, 10000, err)) << err;
    std::string body;
    char buf[7777];
    i64 n;
    while ((n = r.read(buf, sizeof buf, err)) > 0) body.append(buf, size_t(n));
    EXPECT_EQ(n, 0) << err;
    EXPECT_TRUE(body == data.substr(from, len ? len : data.size())) << from << ": " << body.size() << " bytes";
  }
}

TEST(HttpReq, FailuresAndIgnoredRanges) {
  std::string mirror = fixture_value("mirror");
  std::string core = core_http_base();
  // a server that answers a ranged GET with the whole file
  Got ignored = get(core + "/bytes/5000", 100, 50);
  ASSERT_TRUE(ignored.ok) << ignored.err;
  EXPECT_EQ(ignored.status, 200);
  EXPECT_TRUE(ignored.ignored);
  EXPECT_EQ(ignored.body.size(), 5000u);

  struct Case {
    std::string url;
    u64 from, len;
    const char* err;
  } cases[] = {
      {mirror, 3000000, 10, "HTTP 416"},
      {mirror + ".missing", 0, 0, "HTTP 404"},
      {core + "/drop/100000", 0, 0, ""},  // either read error or cut short
      {"ftp://127.0.0.1/x", 0, 0, "bad URL"},
      {"http://127.0.0.1:1/x", 0, 0, "no HTTP reply"},
  };
  for (const Case& c : cases) {
    Got g = get(c.url, c.from, c.len);
    EXPECT_FALSE(g.ok) << c.url;
    if (*c.err) EXPECT_EQ(g.err, c.err) << c.url;
    else EXPECT_TRUE(g.err == "body cut short" || g.err == "HTTP read failed") << g.err;
  }
}

// The time from abort to the blocked call's return, with the request that
// blocked given by `path` on the core fixture server (which stalls 30 s).
double abort_delay(const std::string& path, bool in_read, std::string& err) {
  HttpAbort abort;
  double aborted_at = 0;
  std::thread t([&] {
    Sleep(400);
    aborted_at = now_s();
    abort.abort();
  });
  HttpReq r;
  bool ok = r.open(core_http_base() + path, 0, 0, &abort, 60000, err);
  if (ok && in_read) {
    std::string body;
    ok = r.read_all(body, 1 << 20, err);
  }
  double returned = now_s();
  t.join();
  return ok ? -1 : returned - aborted_at;
}

TEST(HttpAbort, EndsStalledRequestsAtOnce) {
  std::string err;
  double in_body = abort_delay("/stall-body/30", true, err);
  EXPECT_EQ(err, "aborted");
  EXPECT_GE(in_body, 0);
  EXPECT_LT(in_body, 1.0);
  double in_head = abort_delay("/stall/30", false, err);
  EXPECT_EQ(err, "aborted");
  EXPECT_GE(in_head, 0);
  EXPECT_LT(in_head, 1.0);
  printf("abort ended a stalled body read in %.3f s, a stalled head in %.3f s\n", in_body, in_head);

  // after an abort no request of the run opens, until the next run
  HttpAbort abort;
  abort.abort();
  HttpReq r;
  EXPECT_FALSE(r.open(fixture_value("mirror"), 0, 10, &abort, 5000, err));
  EXPECT_EQ(err, "aborted");
  abort.reset();
  EXPECT_TRUE(r.open(fixture_value("mirror"), 0, 10, &abort, 5000, err)) << err;
}

TEST(ContentRange, ParsesAndRejects) {
  u64 a, b, t;
  ASSERT_TRUE(parse_content_range("bytes 0-99/1000", a, b, t));
  EXPECT_EQ(a, 0u);
  EXPECT_EQ(b, 99u);
  EXPECT_EQ(t, 1000u);
  ASSERT_TRUE(parse_content_range(" BYTES 5-5/*", a, b, t));
  EXPECT_EQ(t, 0u);
  for (const char* bad : {"", "bytes", "bytes 5-4/10", "bytes 0-10/10", "bytes -1/10", "bytes 0-1/",
                          "items 0-1/2", "bytes 0-99999999999999999999/1", "bytes 0-1/2x"})
    EXPECT_FALSE(parse_content_range(bad, a, b, t)) << bad;
}

}  // namespace

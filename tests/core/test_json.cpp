#include <gtest/gtest.h>

#include <cstring>

#include "core/json.h"
#include "tests/support/test_support.h"

namespace {

// Reads one value from text; pos tells where the reader stopped.
bool parse(std::string_view text, JVal& v, size_t* pos = nullptr) {
  JParser p{text};
  bool ok = p.value(v);
  if (pos) *pos = p.pos;
  return ok;
}

bool parses(std::string_view text) {
  JVal v;
  return parse(text, v);
}

double number(std::string_view text, size_t* pos = nullptr) {
  JVal v;
  EXPECT_TRUE(parse(text, v, pos)) << text;
  EXPECT_EQ(v.kind, 2) << text;
  return v.n;
}

std::string str(std::string_view text) {
  JVal v;
  EXPECT_TRUE(parse(text, v)) << text;
  EXPECT_EQ(v.kind, 3) << text;
  return v.s;
}

// A whole captured document: blanks around the value, nothing else behind it.
JVal document(const char* name) {
  std::string text = read_bytes(src_path(std::string("tests/core/data/") + name));
  EXPECT_FALSE(text.empty()) << name;
  JVal v;
  JParser p{text};
  EXPECT_TRUE(p.value(v)) << name;
  while (p.pos < text.size() && strchr(" \t\r\n", text[p.pos])) ++p.pos;
  EXPECT_EQ(p.pos, text.size()) << name;
  return v;
}

}  // namespace

TEST(Json, ContainersAndWords) {
  for (const char* t : {"{}", "{ }", "{\r\n\t}", " \n{}"}) {
    JVal v;
    ASSERT_TRUE(parse(t, v)) << t;
    EXPECT_EQ(v.kind, 5);
    EXPECT_TRUE(v.o.empty());
  }
  for (const char* t : {"[]", "[ ]", "[\n]"}) {
    JVal v;
    ASSERT_TRUE(parse(t, v)) << t;
    EXPECT_EQ(v.kind, 4);
    EXPECT_TRUE(v.a.empty());
  }
  JVal v;
  ASSERT_TRUE(parse(R"( {"a" : [1, true, false, null, "s", {"b": {}}], "c": -2.5e1} )", v));
  ASSERT_EQ(v.kind, 5);
  ASSERT_EQ(v["a"].a.size(), 6u);
  EXPECT_EQ(v["a"].a[0].n, 1);
  EXPECT_EQ(v["a"].a[1].kind, 1);
  EXPECT_TRUE(v["a"].a[1].b);
  EXPECT_FALSE(v["a"].a[2].b);
  EXPECT_EQ(v["a"].a[2].kind, 1);
  EXPECT_EQ(v["a"].a[3].kind, 0);
  EXPECT_EQ(v["a"].a[4].s, "s");
  EXPECT_EQ(v["a"].a[5]["b"].kind, 5);
  EXPECT_EQ(v["c"].n, -25);

  // trailing commas and missing separators fail
  for (const char* t : {"[1,]", "{\"a\":1,}", "[1 2]", "{\"a\" 1}", "{\"a\":1 \"b\":2}", "{a:1}", "[", "[1",
                        "{\"a\":", "{\"a\"", "", "   ", "}", "]", "tru", "nul", "fals", "x"})
    EXPECT_FALSE(parses(t)) << t;

  // words are prefixes: the enclosing level judges what follows
  size_t pos = 0;
  ASSERT_TRUE(parse("truex", v = JVal(), &pos));
  EXPECT_EQ(v.kind, 1);
  EXPECT_TRUE(v.b);
  EXPECT_EQ(pos, 4u);
  EXPECT_FALSE(parses("[truex]"));
  ASSERT_TRUE(parse("nullnull", v = JVal(), &pos));
  EXPECT_EQ(pos, 4u);
  ASSERT_TRUE(parse("  false ,", v = JVal(), &pos));
  EXPECT_EQ(pos, 7u);
}

TEST(Json, RepeatedKeys) {
  JVal v;
  ASSERT_TRUE(parse(R"({"a":1,"a":2})", v));
  EXPECT_EQ(v.o.size(), 1u);
  EXPECT_EQ(v["a"].n, 2);
  ASSERT_TRUE(parse(R"({"a":"x","a":"y"})", v = JVal()));
  EXPECT_EQ(v["a"].s, "xy");
  ASSERT_TRUE(parse(R"({"a":[1],"a":[2,3]})", v = JVal()));
  EXPECT_EQ(v["a"].a.size(), 3u);
  ASSERT_TRUE(parse(R"({"a":{"p":1,"q":1},"a":{"q":2,"r":3}})", v = JVal()));
  EXPECT_EQ(v["a"].o.size(), 3u);
  EXPECT_EQ(v["a"]["q"].n, 2);
  EXPECT_EQ(v["a"]["r"].n, 3);
  // members are ordered by key bytes
  ASSERT_TRUE(parse(R"({"b":1,"a":2,"B":3})", v = JVal()));
  std::string keys;
  for (auto& [k, m] : v.o) keys += k;
  EXPECT_EQ(keys, "Bab");
}

TEST(Json, Numbers) {
  EXPECT_EQ(number("-5"), -5);
  EXPECT_EQ(number("+5"), 5);
  EXPECT_EQ(number(".5"), 0.5);
  EXPECT_EQ(number("5."), 5);
  EXPECT_EQ(number("007"), 7);
  EXPECT_EQ(number("1e3"), 1000);
  EXPECT_EQ(number("2E+2"), 200);
  EXPECT_EQ(number("25e-1"), 2.5);
  EXPECT_EQ(number("18446744073709551616"), 18446744073709551616.0);
  size_t pos = 0;
  EXPECT_EQ(number("1.2.3", &pos), 1.2);
  EXPECT_EQ(pos, 5u);
  EXPECT_EQ(number("1-2", &pos), 1);
  EXPECT_EQ(pos, 3u);
  EXPECT_EQ(number("1e", &pos), 1);
  EXPECT_EQ(pos, 2u);
  EXPECT_EQ(number("12,", &pos), 12);
  EXPECT_EQ(pos, 2u);
  for (const char* t : {"-", "e5", "+.", "+", ".", "E", "-e1", "1e999", "-1e999"}) EXPECT_FALSE(parses(t)) << t;
  EXPECT_FALSE(parses("1" + std::string(400, '0')));
  // an underflow reads as zero, not as a failure
  EXPECT_EQ(number("1e-999"), 0);
  EXPECT_EQ(number("-1e-999"), 0);
  EXPECT_GT(number("4e-320"), 0);  // a subnormal is kept
  JVal v;
  ASSERT_TRUE(parse("[1e-999, 3]", v));
  EXPECT_EQ(v.a[1].n, 3);
}

TEST(Json, Strings) {
  EXPECT_EQ(str(R"("")"), "");
  EXPECT_EQ(str(R"("a\"b\\c\/d\qe")"), "a\"b\\c/dqe");
  EXPECT_EQ(str(R"("\b\f\n\r\t")"), "\b\f\n\r\t");
  EXPECT_EQ(str(R"("\u00e9\u00E9")"), "\xC3\xA9\xC3\xA9");
  EXPECT_EQ(str(R"("\u0041\u07FF\u0800")"), "A\xDF\xBF\xE0\xA0\x80");
  EXPECT_EQ(str(R"("\uD83D\uDE00")"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(str(R"("\uD83D")"), "\xED\xA0\xBD");
  EXPECT_EQ(str(R"("\uD83Dx")"), "\xED\xA0\xBDx");
  EXPECT_EQ(str(R"("\uDE00")"), "\xED\xB8\x80");
  // a hex run shorter than four bytes converts what it has, consuming all four
  EXPECT_EQ(str(R"("\u41zzQ")"), "AQ");
  EXPECT_EQ(str("\"tab\there\nline\x01\xFF\""), "tab\there\nline\x01\xFF");
  for (const char* t : {"\"", "\"abc", "\"abc\\", "\"\\u12", "\"\\u123", "\"\\u1234", "\"\\uzzzz\"",
                        "\"\\uD83D\\uzzzz\"", "\"a\\\""})
    EXPECT_FALSE(parses(t)) << t;
  // string() appends to what the caller holds
  std::string out = "pre:";
  JParser p{R"("x\ty" rest)"};
  ASSERT_TRUE(p.string(out));
  EXPECT_EQ(out, "pre:x\ty");
  EXPECT_EQ(p.pos, 6u);
  JParser q{"x"};
  EXPECT_FALSE(q.string(out));
}

TEST(Json, MissingMembersGiveOneSharedNull) {
  JVal v;
  ASSERT_TRUE(parse(R"({"n":3,"a":[1],"o":{"k":"v"}})", v));
  const JVal& a = v["missing"];
  const JVal& b = v["n"]["k"];
  const JVal& c = v["a"]["0"];
  EXPECT_EQ(a.kind, 0);
  EXPECT_EQ(&a, &b);
  EXPECT_EQ(&a, &c);
  EXPECT_EQ(&a, &v["o"]["k"]["deeper"]);
  EXPECT_EQ(v["o"]["k"].s, "v");
  JVal fresh;
  EXPECT_EQ(&fresh["x"], &a);
  EXPECT_TRUE(v.o.count("missing") == 0);
}

TEST(Json, DeepNestingFailsCleanly) {
  // 512 levels are read; one more, or a hostile 100000, fail without
  // running the stack out
  std::string ok = std::string(512, '[') + std::string(512, ']');
  JVal v;
  ASSERT_TRUE(parse(ok, v));
  std::string over = std::string(513, '[') + std::string(513, ']');
  EXPECT_FALSE(parses(over));
  EXPECT_FALSE(parses(std::string(100000, '[')));
  EXPECT_FALSE(parses(std::string(100000, '[') + std::string(100000, ']')));
  std::string objs;
  for (int i = 0; i < 100000; ++i) objs += "{\"a\":";
  EXPECT_FALSE(parses(objs));
  // the limit is on depth, not on count: many shallow containers are fine
  std::string wide = "[";
  for (int i = 0; i < 5000; ++i) wide += i ? ",[[1]]" : "[[1]]";
  wide += "]";
  ASSERT_TRUE(parse(wide, v = JVal()));
  EXPECT_EQ(v.a.size(), 5000u);
  // a parser reused after a deep failure starts from depth zero again
  JParser p{over};
  JVal w;
  EXPECT_FALSE(p.value(w));
  p.pos = 1;
  w = JVal();
  EXPECT_TRUE(p.value(w));
}

TEST(Json, QemuQmpTexts) {
  JVal g = document("qmp-greeting.json");
  EXPECT_EQ(g["QMP"]["version"]["qemu"]["major"].n, 7);
  EXPECT_EQ(g["QMP"]["version"]["qemu"]["minor"].n, 2);
  EXPECT_EQ(g["QMP"]["version"]["package"].kind, 3);
  ASSERT_EQ(g["QMP"]["capabilities"].a.size(), 1u);
  EXPECT_EQ(g["QMP"]["capabilities"].a[0].s, "oob");

  JVal st = document("qmp-query-status.json");
  EXPECT_EQ(st["return"]["status"].s, "running");
  EXPECT_EQ(st["return"]["running"].kind, 1);
  EXPECT_TRUE(st["return"]["running"].b);
  EXPECT_FALSE(st["return"]["singlestep"].b);
  EXPECT_EQ(st["error"].kind, 0);

  JVal stop = document("qmp-event-stop.json");
  EXPECT_EQ(stop["event"].s, "STOP");
  EXPECT_GT(stop["timestamp"]["seconds"].n, 1.6e9);
  EXPECT_EQ(stop["timestamp"]["microseconds"].kind, 2);
  EXPECT_EQ(stop["data"].kind, 0);

  JVal down = document("qmp-event-shutdown.json");
  EXPECT_EQ(down["event"].s, "SHUTDOWN");
  EXPECT_EQ(down["data"]["reason"].s, "host-qmp-quit");
  EXPECT_EQ(down["data"]["guest"].kind, 1);
}

TEST(Json, QemuImgInfo) {
  JVal info = document("qemu-img-info.json");
  EXPECT_EQ(info["format"].s, "qcow2");
  EXPECT_EQ(u64(info["virtual-size"].n), 2147483648ull);
  EXPECT_GT(u64(info["actual-size"].n), 0u);
  EXPECT_EQ(info["format-specific"]["data"]["compat"].s, "1.1");
  EXPECT_EQ(info["format-specific"]["data"]["corrupt"].kind, 1);
  EXPECT_EQ(info["backing-filename"].kind, 0);

  JVal chain = document("qemu-img-info-chain.json");
  ASSERT_EQ(chain.kind, 4);
  ASSERT_EQ(chain.a.size(), 2u);
  EXPECT_EQ(chain.a[0]["backing-filename"].s, "base.qcow2");
  EXPECT_EQ(chain.a[0]["backing-filename-format"].s, "qcow2");
  EXPECT_EQ(u64(chain.a[1]["virtual-size"].n), 67108864u);
  EXPECT_EQ(chain.a[1]["filename"].s, "base.qcow2");
}

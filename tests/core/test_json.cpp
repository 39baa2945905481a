#include <gtest/gtest.h>

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

}  // namespace

TEST(Json, Numbers) {
  // text, value, where the reader stops
  const struct {
    const char* text;
    double want;
    size_t pos;
  } good[] = {{"-5", -5, 2},    {"+5", 5, 2},       {".5", 0.5, 2},     {"5.", 5, 2},
              {"007", 7, 3},    {"1e3", 1000, 3},   {"25e-1", 2.5, 5},  {"1.2.3", 1.2, 5},
              {"1-2", 1, 3},    {"1e", 1, 2},       {"12,", 12, 2},
              {"1e-999", 0, 6}, {"-1e-999", 0, 7},  // an underflow reads as zero, not as a failure
              {"18446744073709551616", 18446744073709551616.0, 20}};
  for (auto& c : good) {
    JVal v;
    size_t pos = 0;
    EXPECT_TRUE(parse(c.text, v, &pos) && v.kind == 2) << c.text;
    EXPECT_EQ(v.n, c.want) << c.text;
    EXPECT_EQ(pos, c.pos) << c.text;
  }
  JVal v;
  ASSERT_TRUE(parse("4e-320", v));
  EXPECT_GT(v.n, 0);  // a subnormal is kept
  for (const char* t : {"-", "e5", "+.", "+", ".", "-e1", "1e999", "-1e999"}) EXPECT_FALSE(parses(t)) << t;
  EXPECT_FALSE(parses("1" + std::string(400, '0')));
}

TEST(Json, Strings) {
  const struct {
    const char* text;
    const char* want;
  } good[] = {{R"("")", ""},
              {R"("a\"b\\c\/d\qe")", "a\"b\\c/dqe"},
              {R"("\b\f\n\r\t")", "\b\f\n\r\t"},
              {R"("\u00e9\u00E9")", "\xC3\xA9\xC3\xA9"},
              {R"("\u0041\u07FF\u0800")", "A\xDF\xBF\xE0\xA0\x80"},
              {R"("\uD83D\uDE00")", "\xF0\x9F\x98\x80"},
              {R"("\uD83D")", "\xED\xA0\xBD"},
              {R"("\uD83Dx")", "\xED\xA0\xBDx"},
              {R"("\uDE00")", "\xED\xB8\x80"},
              {R"("\u41zzQ")", "AQ"},  // a short hex run converts what it has, consuming all four
              {"\"tab\there\nline\x01\xFF\"", "tab\there\nline\x01\xFF"}};
  for (auto& c : good) {
    JVal v;
    EXPECT_TRUE(parse(c.text, v) && v.kind == 3) << c.text;
    EXPECT_EQ(v.s, c.want) << c.text;
  }
  for (const char* t : {"\"", "\"abc", "\"abc\\", "\"\\u12", "\"\\u123", "\"\\u1234", "\"\\uzzzz\"",
                        "\"\\uD83D\\uzzzz\"", "\"a\\\""})
    EXPECT_FALSE(parses(t)) << t;
  // string() appends to what the caller holds
  std::string out = "pre:";
  JParser p{R"("x\ty" rest)"};
  ASSERT_TRUE(p.string(out));
  EXPECT_EQ(out, "pre:x\ty");
  EXPECT_EQ(p.pos, 6u);
}

TEST(Json, DeepNestingFailsCleanly) {
  // 512 levels are read; one more, or a hostile 100000, fail without
  // running the stack out
  JVal v;
  ASSERT_TRUE(parse(std::string(512, '[') + std::string(512, ']'), v));
  EXPECT_FALSE(parses(std::string(513, '[') + std::string(513, ']')));
  EXPECT_FALSE(parses(std::string(100000, '[') + std::string(100000, ']')));
  std::string objs;
  for (int i = 0; i < 100000; ++i) objs += "{\"a\":";
  EXPECT_FALSE(parses(objs));
  // the limit is on depth, not on count
  std::string wide = "[[[1]]";
  for (int i = 1; i < 5000; ++i) wide += ",[[1]]";
  ASSERT_TRUE(parse(wide + "]", v = JVal()));
  EXPECT_EQ(v.a.size(), 5000u);
}

TEST(Json, HostileNumbersAndArraysAreBoundedAndFailCleanly) {
  // A million significant digits or exponent digits: linear work, and still
  // the correctly rounded value (the dropped tail decides a halfway case).
  const double t0 = now_s();
  const std::string digits(1000000, '3');
  const struct {
    std::string text;
    bool ok;
    double want;
  } cases[] = {
      {"0." + digits, true, 1.0 / 3},
      {digits + "e-999999", true, 10.0 / 3},
      {"9007199254740993." + std::string(1000, '0'), true, 9007199254740992.0},
      {"9007199254740993." + std::string(1000, '0') + "1", true, 9007199254740994.0},
      {"1e-" + std::string(1000000, '9'), true, 0},
      {"1e" + std::string(1000000, '9'), false, 0},
  };
  for (auto& c : cases) {
    JVal v;
    EXPECT_EQ(parse(c.text, v), c.ok) << c.text.substr(0, 40);
    if (c.ok) {
      EXPECT_EQ(v.n, c.want) << c.text.substr(0, 40);
    }
  }
  EXPECT_LT(now_s() - t0, 2.0);

  // A 16 MiB line of small values fails inside a bounded amount of memory.
  std::string arr = "[0";
  while (arr.size() < (16u << 20)) arr += ",0";
  arr += "]";
  JVal v;
  EXPECT_FALSE(parse(arr, v));
  EXPECT_TRUE(v.a.empty());
  std::string fine = "[0";
  for (int i = 0; i < 200000; ++i) fine += ",0";
  EXPECT_TRUE(parse(fine + "]", v = JVal()));
}

// Bencode decoding and encoding, with the limits hostile input runs into.
#include <gtest/gtest.h>

#include "bt/bt_bencode.h"

namespace {

TEST(Bencode, ValidInputsRoundTrip) {
  const char* inputs[] = {"i0e", "i-42e", "i9223372036854775807e", "i-9223372036854775808e", "0:", "4:spam",
                          "le", "de", "l4:spami7ee", "d3:cow3:moo4:spaml1:a1:bee", "d1:ad1:bld1:cleeeee"};
  for (const char* in : inputs) {
    BNode n;
    std::string err;
    ASSERT_TRUE(bdecode(in, n, err)) << in << ": " << err;
    EXPECT_EQ(bencode(n), in);
    EXPECT_EQ(n.begin, 0u);
    EXPECT_EQ(n.end, strlen(in));
  }
}

TEST(Bencode, SpansAndLookups) {
  std::string in = "d4:infod6:lengthi5e4:name1:xe3:numi-3e1:s3:abce";
  BNode n;
  std::string err;
  ASSERT_TRUE(bdecode(in, n, err)) << err;
  const BNode* info = n.get_dict("info");
  ASSERT_TRUE(info);
  EXPECT_EQ(in.substr(info->begin, info->end - info->begin), "d6:lengthi5e4:name1:xe");
  EXPECT_EQ(n.get_int("num")->i, -3);
  EXPECT_EQ(n.get_str("s")->s, "abc");
  EXPECT_FALSE(n.get_str("num"));  // wrong type reads as absent
  EXPECT_FALSE(n.get("missing"));

  // a prefix leaves the rest to the caller
  size_t used = 0;
  ASSERT_TRUE(bdecode_prefix("d1:ai1ee\x01\x02rest", n, used, err));
  EXPECT_EQ(used, 8u);

  // built values encode with sorted keys, whatever order they were set in
  BNode d = BNode::new_dict();
  d.set("zz", BNode::of_int(1));
  d.set("a", BNode::of_str("x"));
  d.set("m", BNode::new_list()).add(BNode::of_int(-7));
  d.set("zz", BNode::of_int(2));
  EXPECT_EQ(bencode(d), "d1:a1:x1:mli-7ee2:zzi2ee");
}

TEST(Bencode, MalformedInputsGiveShortErrors) {
  struct Case {
    std::string in;
    const char* err;
  } cases[] = {
      {"", "truncated bencode"},
      {"x", "not bencode"},
      {"i", "truncated bencode"},
      {"ie", "bad bencode number"},
      {"i-0e", "bad bencode number"},
      {"i03e", "bad bencode number"},
      {"i1-e", "bad bencode number"},
      {"i9223372036854775808e", "bencode number too large"},
      {"i-9223372036854775809e", "bencode number too large"},
      {"5:abc", "truncated bencode"},
      {"99999999999999999999:", "bencode number too large"},
      {"4294967296:x", "truncated bencode"},
      {"-1:", "not bencode"},
      {"l", "truncated bencode"},
      {"li1e", "truncated bencode"},
      {"di1ei2ee", "bad bencode key"},
      {"d1:ae", "not bencode"},
      {"i1ei2e", "data after bencode"},
      {std::string(65, 'l') + std::string(65, 'e'), "bencode nested too deep"},
  };
  for (const Case& c : cases) {
    BNode n;
    std::string err;
    EXPECT_FALSE(bdecode(c.in, n, err)) << c.in;
    EXPECT_EQ(err, c.err) << c.in;
  }
  // deep nesting within the limit is fine; beyond it nothing recurses further
  BNode n;
  std::string err;
  EXPECT_TRUE(bdecode(std::string(64, 'l') + std::string(64, 'e'), n, err)) << err;
  EXPECT_FALSE(bdecode(std::string(1000000, 'l'), n, err));
  BLimits small;
  small.nodes = 3;
  EXPECT_FALSE(bdecode("li1ei2ei3ee", n, err, small));
  EXPECT_EQ(err, "bencode too large");
}

}  // namespace

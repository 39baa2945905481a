// Hasher against published digests and against sha1sum/sha256sum of the
// fixture's data file.
#include <gtest/gtest.h>

#include "bt/bt_hash.h"
#include "tests/bt/bt_test_util.h"

namespace {

std::string hex_digest(HashAlgo algo, const std::string& data, size_t step) {
  Hasher h(algo);
  for (size_t at = 0; at < data.size(); at += step) h.update(data.data() + at, std::min(step, data.size() - at));
  return hex_of(h.finish());
}

TEST(Hasher, KnownDigestsWholeAndInPieces) {
  struct Case {
    HashAlgo algo;
    std::string data;
    const char* hex;
  } cases[] = {
      {HashAlgo::sha1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {HashAlgo::sha1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {HashAlgo::sha1, std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
      {HashAlgo::sha256, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {HashAlgo::sha256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {HashAlgo::sha256, std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    for (size_t step : {size_t(1) << 30, size_t(1), size_t(63), size_t(4096)}) {
      if (step == 1 && c.data.size() > 1000) continue;
      EXPECT_EQ(hex_digest(c.algo, c.data, step), c.hex) << c.data.size() << " step " << step;
    }
  }
  // one object hashes one stream after another
  Hasher h(HashAlgo::sha1);
  h.update("xyz");
  h.finish();
  h.update("abc");
  EXPECT_EQ(hex_of(h.finish()), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Hasher, MatchesCoreutilsOnTheFixtureFile) {
  std::string data = fixture_file("www/data.bin");
  ASSERT_EQ(data.size(), 3000000u);
  EXPECT_EQ(hex_digest(HashAlgo::sha1, data, 65536), fixture_value("data_sha1"));
  EXPECT_EQ(hex_digest(HashAlgo::sha256, data, 100003), fixture_value("data_sha256"));
}

TEST(Hex, RoundTripAndRejects) {
  std::string raw;
  ASSERT_TRUE(unhex("00ff7Fa0", raw));
  EXPECT_EQ(raw, std::string("\x00\xff\x7f\xa0", 4));
  EXPECT_EQ(hex_of(raw), "00ff7fa0");
  for (const char* bad : {"0", "0g", "zz", "1 "}) EXPECT_FALSE(unhex(bad, raw)) << bad;
}

}  // namespace

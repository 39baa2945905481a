#include <gtest/gtest.h>

#include "core/common.h"

TEST(HumanBytes, WorkedOutputs) {
  EXPECT_EQ(human_bytes(0), "0B");
  EXPECT_EQ(human_bytes(1023), "1023B");
  EXPECT_EQ(human_bytes(1024), "1.0K");
  EXPECT_EQ(human_bytes(1536), "1.5K");
  EXPECT_EQ(human_bytes(10239), "10.0K");
  EXPECT_EQ(human_bytes(10240), "10K");
  EXPECT_EQ(human_bytes(1048575), "1024K");
  EXPECT_EQ(human_bytes(1048576), "1.0M");
  EXPECT_EQ(human_bytes(734003200), "700M");
  EXPECT_EQ(human_bytes(5368709120ull), "5.0G");
  EXPECT_EQ(human_bytes(1ull << 60), "1048576T");
}

#include <gtest/gtest.h>

#include "core/json.h"

TEST(Json, EmptyObject) {
  JVal v;
  JParser p{"{ }"};
  ASSERT_TRUE(p.value(v));
  EXPECT_EQ(v.kind, 5);
}

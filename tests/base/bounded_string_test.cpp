#include "base/bounded_string.h"

#include <gtest/gtest.h>

TEST(BoundedString, Smoke) {
  PathBuffer path;
  EXPECT_TRUE(BoundedCopy(path.text, PATH_CAPACITY, L"abc"));
  EXPECT_EQ(3u, BoundedLength(path.text, PATH_CAPACITY));
}

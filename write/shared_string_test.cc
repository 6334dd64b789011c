#include "write/shared_string.h"

#include <string>

#include <gtest/gtest.h>

namespace tarnix {
namespace {

TEST(SharedStringTest, SharedStringDropsOneLeadingZeroByteFromTheArgument) {
  std::string marked("\0\0ab", 4);
  EXPECT_EQ(*MakeSharedString(marked), std::string("\0ab", 3));
  EXPECT_EQ(marked, std::string("\0ab", 3));
  std::string empty;
  EXPECT_EQ(*MakeSharedString(empty), "");
}

}  // namespace
}  // namespace tarnix

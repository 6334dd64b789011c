#include "platform/util/strings.h"

#include <gtest/gtest.h>

#include <array>

#include "platform/testdata/echo.pb.h"

namespace orv {
namespace {

TEST(StringsTest, FormatsHexAndMessages) {
  EXPECT_EQ("a-7-x", string_format("%s-%d-%c", "a", 7, 'x'));
  EXPECT_EQ("", string_format("%s", ""));
  std::string long_text(5000, 'z');
  EXPECT_EQ(long_text + "!", string_format("%s!", long_text.c_str()));

  std::array<uint8_t, 4> bytes = {0x00, 0x0f, 0xa0, 0xff};
  EXPECT_EQ("000fa0ff", hex_string(bytes));
  EXPECT_EQ("", hex_string(std::string()));
  EXPECT_EQ("4142", hex_string(std::string("AB")));

  tarnix_test::EchoRequest request;
  request.set_text("t");
  request.set_count(3);
  EXPECT_EQ("text: \"t\" count: 3", proto::ToString(request));
}

}  // namespace
}  // namespace orv

#include "platform/net/endpoint.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace orv {
namespace net {
namespace {

TEST(EndpointTest, AcceptsTheThreeFormsOnly) {
  EXPECT_EQ("127.0.0.1:50051", Endpoint("127.0.0.1:50051").address());
  EXPECT_EQ("localhost:0", Endpoint("localhost:0").address());
  EXPECT_EQ("[::1]:8080", Endpoint("[::1]:8080").address());
  EXPECT_TRUE(Endpoint("unix:/tmp/x.sock").is_unix());
  for (const char* bad : {"", "host", "host:", ":80", "host:99999", "host:8x", "[::1]",
                          "[]:80", "::1:80", "unix:"}) {
    EXPECT_THROW(Endpoint{bad}, std::invalid_argument) << bad;
  }
}

}  // namespace
}  // namespace net
}  // namespace orv

#include "server/rpc_status.h"

#include <gtest/gtest.h>

namespace tarnix {
namespace {

// Every code reaches the client under its own name, with its text.
TEST(RpcStatusTest, EveryCodeKeepsItsNameAndText) {
  for (int code = Status::kOk; code <= Status::kUnimplemented; ++code) {
    const Status status(static_cast<Status::Code>(code), code == 0 ? "" : "text");
    const orv::rpc::AppStatus rpc = ToAppStatus(status);
    EXPECT_EQ(orv::rpc::StatusCodeName(rpc.code()), StatusCodeName(status.code()));
    EXPECT_EQ(rpc.message(), status.message());
  }
}

}  // namespace
}  // namespace tarnix

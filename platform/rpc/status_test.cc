#include "platform/rpc/status.h"

#include <grpcpp/support/status_code_enum.h>
#include <gtest/gtest.h>

namespace orv {
namespace rpc {
namespace {

TEST(StatusTest, CodesMatchGrpcAndTextsRead) {
  EXPECT_EQ(0, SUCCESS.code());
  EXPECT_EQ(grpc::StatusCode::INVALID_ARGUMENT, INVALID_ARGUMENT.code());
  EXPECT_EQ(grpc::StatusCode::NOT_FOUND, NOT_FOUND.code());
  EXPECT_EQ(grpc::StatusCode::ALREADY_EXISTS, ALREADY_EXISTS.code());
  EXPECT_EQ(grpc::StatusCode::PERMISSION_DENIED, PERMISSION_DENIED.code());
  EXPECT_EQ(grpc::StatusCode::UNAUTHENTICATED, UNAUTHENTICATED.code());
  EXPECT_EQ(grpc::StatusCode::RESOURCE_EXHAUSTED, RESOURCE_EXHAUSTED.code());
  EXPECT_EQ(grpc::StatusCode::FAILED_PRECONDITION, FAILED_PRECONDITION.code());
  EXPECT_EQ(grpc::StatusCode::ABORTED, ABORTED.code());
  EXPECT_EQ(grpc::StatusCode::INTERNAL, INTERNAL.code());
  EXPECT_EQ(grpc::StatusCode::DATA_LOSS, DATA_LOSS.code());

  AppStatus ok = SUCCESS;
  EXPECT_TRUE(ok.ok());
  EXPECT_EQ("", ok.message());
  AppStatus failed = NOT_FOUND("no such thing");
  EXPECT_EQ(kNotFound, failed.code());
  EXPECT_EQ("no such thing", failed.message());
  EXPECT_EQ("NOT_FOUND: no such thing", failed.ToString());
  EXPECT_NE(failed, AppStatus(SUCCESS));

  EXPECT_EQ("OK", Status().ToString());
  EXPECT_EQ("CANCELLED: gone", Status(kCancelled, "gone").ToString());
  EXPECT_EQ("CODE_99: x", Status(99, "x").ToString());
}

}  // namespace
}  // namespace rpc
}  // namespace orv

#include "util/status.h"

#include <gtest/gtest.h>

namespace tarnix {
namespace {

TEST(StatusTest, OkAndErrorsReadAsClientsSeeThem) {
  EXPECT_TRUE(Status().ok());
  EXPECT_EQ(Status::OK().ToString(), "OK");
  const Status missing = Status::NotFound("no such object");
  EXPECT_FALSE(missing.ok());
  EXPECT_EQ(missing.code(), Status::kNotFound);
  EXPECT_EQ(missing.ToString(), "NOT_FOUND: no such object");
  EXPECT_EQ(Status::FailedPrecondition("x").ToString(), "FAILED_PRECONDITION: x");
  EXPECT_EQ(Status::DataLoss("y").ToString(), "DATA_LOSS: y");
  EXPECT_NE(missing, Status::NotFound("another text"));
}

}  // namespace
}  // namespace tarnix

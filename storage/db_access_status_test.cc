#include "storage/db_access_status.h"

#include <gtest/gtest.h>

namespace tarnix {
namespace {

TEST(DbAccessStatusTest, StorageCodesMapToClientCodes) {
  EXPECT_EQ(DbAccessStatus().ToStatus(), Status());
  EXPECT_EQ(DbAccessStatus(DbAccessCode::NO_OPEN_DATABASE, "x").ToStatus(),
            Status::Internal("LevelDB error: x"));
  EXPECT_EQ(DbAccessStatus(DbAccessCode::CORRUPTION, "bad block").ToStatus(),
            Status::DataLoss("LevelDB error: bad block"));
  EXPECT_EQ(DbAccessStatus(DbAccessCode::IO_ERROR, "disk").ToStatus(),
            Status::FailedPrecondition("LevelDB error: disk"));
  EXPECT_EQ(DbAccessStatus(DbAccessCode::NOT_FOUND, "").ToStatus(),
            Status::FailedPrecondition("LevelDB error: "));
}

}  // namespace
}  // namespace tarnix

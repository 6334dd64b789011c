#include "write/status_helpers.h"

#include <gtest/gtest.h>

#include "storage/db_access_status.h"

namespace tarnix {
namespace {

TEST(StatusHelpersTest, StorageCodesMapToClientCodes) {
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

TEST(StatusHelpersTest, SharedStringDropsOneLeadingZeroByteFromTheArgument) {
  std::string marked("\0\0ab", 4);
  EXPECT_EQ(*MakeSharedString(marked), std::string("\0ab", 3));
  EXPECT_EQ(marked, std::string("\0ab", 3));
  std::string empty;
  EXPECT_EQ(*MakeSharedString(empty), "");
}

}  // namespace
}  // namespace tarnix

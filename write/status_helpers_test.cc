#include "write/status_helpers.h"

#include <gtest/gtest.h>

namespace tarnix {
namespace {

TEST(StatusHelpersTest, StorageCodesMapToRpcCodes) {
  EXPECT_EQ(StatusFromDbAccessStatus(DbAccessStatus()), orv::rpc::AppStatus());
  EXPECT_EQ(StatusFromDbAccessStatus(DbAccessStatus(DbAccessCode::NO_OPEN_DATABASE, "x")),
            orv::rpc::INTERNAL("LevelDB error: x"));
  EXPECT_EQ(StatusFromDbAccessStatus(DbAccessStatus(DbAccessCode::CORRUPTION, "bad block")),
            orv::rpc::DATA_LOSS("LevelDB error: bad block"));
  EXPECT_EQ(StatusFromDbAccessStatus(DbAccessStatus(DbAccessCode::IO_ERROR, "disk")),
            orv::rpc::FAILED_PRECONDITION("LevelDB error: disk"));
  EXPECT_EQ(StatusFromDbAccessStatus(DbAccessStatus(DbAccessCode::NOT_FOUND, "")),
            orv::rpc::FAILED_PRECONDITION("LevelDB error: "));
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

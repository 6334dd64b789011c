#include "tools/delivery_check.h"

#include <gtest/gtest.h>

namespace tarnix {
namespace load {
namespace {

using Clock = DeliveryCheck::Clock;

// Two transactions of three objects, sequences 100..102 and 103..105.
class DeliveryCheckTest : public ::testing::Test {
 protected:
  void ReceiveAll(std::initializer_list<uint64_t> sequences) {
    for (uint64_t sequence : sequences) check_.Receive(sequence, at_ += std::chrono::seconds(1));
  }

  DeliveryCheck check_{100, 3, 2};
  Clock::time_point at_;
};

TEST_F(DeliveryCheckTest, WholeTransactionsInOrderAreClean) {
  ReceiveAll({101, 100, 102});  // any order within a transaction
  EXPECT_TRUE(check_.Whole(0));
  EXPECT_FALSE(check_.Whole(1));
  EXPECT_EQ(check_.WholeAt(0), Clock::time_point() + std::chrono::seconds(3));
  EXPECT_FALSE(check_.Complete());
  EXPECT_EQ(check_.Errors(), 3u);  // the second transaction is missing so far
  ReceiveAll({103, 105, 104});
  EXPECT_TRUE(check_.Complete());
  EXPECT_EQ(check_.received(), 6u);
  EXPECT_EQ(check_.Errors(), 0u);
}

TEST_F(DeliveryCheckTest, DoubledReorderedAndForeignObjectsAreFaults) {
  ReceiveAll({100, 100});  // doubled
  EXPECT_EQ(check_.received(), 1u);
  ReceiveAll({103, 101});  // 101 after the later transaction began
  EXPECT_EQ(check_.received(), 2u);
  ReceiveAll({99, 106, UINT64_MAX});  // in no transaction of the run
  EXPECT_EQ(check_.received(), 2u);
  ReceiveAll({104, 105});
  EXPECT_TRUE(check_.Whole(1));
  EXPECT_FALSE(check_.Whole(0));
  // Five faults, and 101 and 102 never counted.
  EXPECT_EQ(check_.Errors(), 7u);
}

}  // namespace
}  // namespace load
}  // namespace tarnix

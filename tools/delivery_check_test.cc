#include "tools/delivery_check.h"

#include <gtest/gtest.h>

namespace tarnix {
namespace load {
namespace {

using Clock = DeliveryCheck::Clock;

// Two transactions of three objects, sequences 100..102 and 103..105.
class DeliveryCheckTest : public ::testing::Test {
 protected:
  // One monitor transaction of `sequences`.
  void ReceiveAll(std::initializer_list<uint64_t> sequences) {
    for (uint64_t sequence : sequences) check_.Receive(sequence, at_ += std::chrono::seconds(1));
    check_.EndTransaction();
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
  EXPECT_EQ(check_.Errors(2), 3u);  // the second transaction is missing so far
  EXPECT_EQ(check_.Errors(1), 0u);  // unless it was never written
  ReceiveAll({103, 105, 104});
  EXPECT_TRUE(check_.Complete());
  EXPECT_EQ(check_.received(), 6u);
  EXPECT_EQ(check_.Errors(2), 0u);
}

TEST_F(DeliveryCheckTest, DoubledReorderedAndForeignObjectsAreFaults) {
  ReceiveAll({100, 100});  // doubled; the first transaction cut short
  EXPECT_EQ(check_.received(), 1u);
  ReceiveAll({103});
  ReceiveAll({101});  // after the later transaction began
  EXPECT_EQ(check_.received(), 2u);
  ReceiveAll({99, 106, UINT64_MAX});  // in no transaction of the run
  EXPECT_EQ(check_.received(), 2u);
  ReceiveAll({104, 105});  // the rest of the second, as a transaction of its own
  EXPECT_TRUE(check_.Whole(1));
  EXPECT_FALSE(check_.Whole(0));
  // Seven faults, and 101 and 102 never counted.
  EXPECT_EQ(check_.Errors(2), 9u);
}

TEST_F(DeliveryCheckTest, TwoTransactionsInOneAreAFault) {
  ReceiveAll({100, 101, 102, 103, 104, 105});
  EXPECT_EQ(check_.received(), 3u);
  EXPECT_GT(check_.Errors(2), 0u);
}

}  // namespace
}  // namespace load
}  // namespace tarnix

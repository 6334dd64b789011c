#include "server/write_stream_budget.h"

#include <gtest/gtest.h>

namespace tarnix {
namespace {

TEST(WriteStreamBudgetTest, DefaultCapsAre256MiBPerStreamAnd1GiBInTotal) {
  WriteStreamBudget budget;
  EXPECT_EQ(budget.stream_limit(), size_t{268435456});
  EXPECT_EQ(budget.total_limit(), size_t{1073741824});
  size_t held = 0;
  EXPECT_TRUE(budget.Take(size_t{256} << 20, &held).ok());
  const orv::rpc::AppStatus status = budget.Take(1, &held);
  EXPECT_EQ(status.code(), orv::rpc::kResourceExhausted);
  EXPECT_EQ(status.message(), "Write stream exceeds the limit of 268435456 buffered bytes");
  budget.Release(&held);
}

TEST(WriteStreamBudgetTest, AStreamMayFillItsCapButNotPassIt) {
  WriteStreamBudget budget;
  budget.SetLimits(100, 1000);
  size_t held = 0;
  EXPECT_TRUE(budget.Take(60, &held).ok());
  EXPECT_TRUE(budget.Take(40, &held).ok());
  EXPECT_EQ(held, 100u);
  const orv::rpc::AppStatus status = budget.Take(1, &held);
  EXPECT_EQ(status.code(), orv::rpc::kResourceExhausted);
  EXPECT_EQ(status.message(), "Write stream exceeds the limit of 100 buffered bytes");
  // A refused take counts nothing.
  EXPECT_EQ(held, 100u);
  EXPECT_EQ(budget.total(), 100u);
  // One message larger than the whole cap, on a fresh stream.
  size_t other = 0;
  EXPECT_FALSE(budget.Take(101, &other).ok());
  EXPECT_EQ(other, 0u);
  EXPECT_EQ(budget.total(), 100u);
}

TEST(WriteStreamBudgetTest, AllStreamsTogetherShareTheTotalCap) {
  WriteStreamBudget budget;
  budget.SetLimits(100, 150);
  size_t first = 0;
  size_t second = 0;
  EXPECT_TRUE(budget.Take(100, &first).ok());
  EXPECT_TRUE(budget.Take(50, &second).ok());
  const orv::rpc::AppStatus status = budget.Take(1, &second);
  EXPECT_EQ(status.code(), orv::rpc::kResourceExhausted);
  EXPECT_EQ(status.message(),
            "Open write streams exceed the limit of 150 buffered bytes for all streams");
  EXPECT_EQ(second, 50u);
  EXPECT_EQ(budget.total(), 150u);

  // Bytes given back are free for every stream again.
  budget.Release(&first);
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(budget.total(), 50u);
  EXPECT_TRUE(budget.Take(50, &second).ok());
  budget.Release(&second);
  EXPECT_EQ(budget.total(), 0u);
}

TEST(WriteStreamBudgetTest, LoweredCapsRefuseMoreButKeepWhatIsHeld) {
  WriteStreamBudget budget;
  size_t held = 0;
  EXPECT_TRUE(budget.Take(500, &held).ok());
  budget.SetLimits(100, 200);
  EXPECT_FALSE(budget.Take(0, &held).ok());  // already past the stream cap
  size_t other = 0;
  EXPECT_FALSE(budget.Take(1, &other).ok());  // already past the total cap
  EXPECT_EQ(budget.total(), 500u);
  budget.Release(&held);
  EXPECT_EQ(budget.total(), 0u);
  EXPECT_TRUE(budget.Take(100, &other).ok());
}

}  // namespace
}  // namespace tarnix

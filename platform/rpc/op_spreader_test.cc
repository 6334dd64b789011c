#include "platform/rpc/op_spreader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <set>
#include <thread>

namespace orv {
namespace rpc {
namespace internal {
namespace {

// Ops that note which thread ran them and count their runs.
struct Batch {
  std::vector<std::function<void()>> ops;
  std::vector<int> runs;
  std::mutex mu;
  std::set<std::thread::id> threads;

  Batch(size_t size, std::chrono::microseconds work) : runs(size, 0) {
    for (size_t i = 0; i < size; ++i) {
      ops.push_back([this, i, work] {
        std::this_thread::sleep_for(work);
        std::lock_guard<std::mutex> lock(mu);
        ++runs[i];
        threads.insert(std::this_thread::get_id());
      });
    }
  }
};

TEST(OpSpreaderTest, LargeBatchesRunEveryOpOnceOnSeveralThreadsBeforeRunReturns) {
  OpSpreader spreader(3);
  for (int round = 0; round < 20; ++round) {
    Batch batch(OpSpreader::kSpreadOps * 2, std::chrono::microseconds(200));
    spreader.Run(&batch.ops);
    std::lock_guard<std::mutex> lock(batch.mu);
    for (size_t i = 0; i < batch.runs.size(); ++i) {
      ASSERT_EQ(batch.runs[i], 1) << i;
    }
    if (round == 19) {
      EXPECT_GT(batch.threads.size(), 1u);
    }
  }
}

TEST(OpSpreaderTest, SmallBatchesAndSpreadersWithoutHelpersRunOnTheCaller) {
  OpSpreader spreader(3);
  Batch small(OpSpreader::kSpreadOps - 1, std::chrono::microseconds(0));
  spreader.Run(&small.ops);
  EXPECT_EQ(small.threads, std::set<std::thread::id>{std::this_thread::get_id()});

  OpSpreader alone(0);
  Batch large(OpSpreader::kSpreadOps * 2, std::chrono::microseconds(0));
  alone.Run(&large.ops);
  EXPECT_EQ(large.threads, std::set<std::thread::id>{std::this_thread::get_id()});
  for (int runs : large.runs) EXPECT_EQ(runs, 1);
}

}  // namespace
}  // namespace internal
}  // namespace rpc
}  // namespace orv

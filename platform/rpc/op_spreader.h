#ifndef TARNIX_PLATFORM_RPC_OP_SPREADER_H_
#define TARNIX_PLATFORM_RPC_OP_SPREADER_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace orv {
namespace rpc {
namespace internal {

// Threads that help the one I/O thread start a large batch of operations.
// Polling stays on that thread, so a call's events never pass from one
// thread to another; but a loop turn that writes to many calls (a
// transaction told to a hundred monitors) is sent by several threads at
// once. Small batches run on the calling thread alone.
class OpSpreader {
 public:
  // Batches of at least this many ops are spread.
  static constexpr size_t kSpreadOps = 32;

  explicit OpSpreader(int helpers);
  ~OpSpreader();
  OpSpreader(const OpSpreader&) = delete;
  OpSpreader& operator=(const OpSpreader&) = delete;

  // Runs each of `ops` once and returns when all have run. One caller at a
  // time. Ops of one batch may run at the same time, in any order.
  void Run(std::vector<std::function<void()>>* ops);

 private:
  void Help();
  // Runs ops of the current batch until none is left.
  void Drain();

  std::mutex mu_;
  std::condition_variable work_cv_;
  std::condition_variable done_cv_;
  std::vector<std::function<void()>>* ops_ = nullptr;
  std::atomic<size_t> next_{0};
  uint64_t batch_ = 0;
  int working_ = 0;  // helpers not yet done with the batch
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace internal
}  // namespace rpc
}  // namespace orv

#endif  // TARNIX_PLATFORM_RPC_OP_SPREADER_H_

#ifndef TARNIX_SERVER_WRITE_STREAM_BUDGET_H_
#define TARNIX_SERVER_WRITE_STREAM_BUDGET_H_

#include <cstddef>

#include "platform/rpc/status.h"

namespace tarnix {

// The bytes of request messages that open write streams hold until their
// transaction runs. A client that sends without ever ending its stream would
// otherwise take the daemon's memory: each stream has a cap, and all streams
// together share another. Counts serialised message sizes. Runs on the RPC
// event-loop thread; no locks.
class WriteStreamBudget {
 public:
  static constexpr size_t kDefaultStreamLimit = size_t{256} << 20;
  static constexpr size_t kDefaultTotalLimit = size_t{1} << 30;

  WriteStreamBudget() = default;
  WriteStreamBudget(const WriteStreamBudget&) = delete;
  WriteStreamBudget& operator=(const WriteStreamBudget&) = delete;

  // Counts `bytes` more for a stream that holds `*held` bytes and adds them
  // to `*held`. When that would pass either cap nothing is counted and the
  // result is RESOURCE_EXHAUSTED with a text naming the cap.
  orv::rpc::AppStatus Take(size_t bytes, size_t* held);
  // Gives back every byte a stream holds and sets `*held` to 0.
  void Release(size_t* held);

  // Caps apply to later Take calls; bytes already held stay.
  void SetLimits(size_t stream_limit, size_t total_limit) {
    stream_limit_ = stream_limit;
    total_limit_ = total_limit;
  }
  size_t stream_limit() const { return stream_limit_; }
  size_t total_limit() const { return total_limit_; }
  // Bytes all open streams hold.
  size_t total() const { return total_; }

 private:
  size_t stream_limit_ = kDefaultStreamLimit;
  size_t total_limit_ = kDefaultTotalLimit;
  size_t total_ = 0;
};

}  // namespace tarnix

#endif  // TARNIX_SERVER_WRITE_STREAM_BUDGET_H_

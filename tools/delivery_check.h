#ifndef TARNIX_TOOLS_DELIVERY_CHECK_H_
#define TARNIX_TOOLS_DELIVERY_CHECK_H_

#include <chrono>
#include <cstdint>
#include <vector>

namespace tarnix {
namespace load {

// What one monitor received of a run whose writer commits `transactions`
// transactions of `objects` new objects each, transaction t writing the
// sequences first + t * objects onwards. Transactions must arrive whole (one
// monitor transaction each), in order and once each; the objects within one
// may come in any order. Used by one thread.
class DeliveryCheck {
 public:
  using Clock = std::chrono::steady_clock;

  DeliveryCheck(uint64_t first_sequence, uint32_t objects, uint64_t transactions);

  // Counts an object received at `when`: a fault when it belongs to no
  // transaction of the run, came before, or belongs to a transaction
  // earlier than one already begun.
  void Receive(uint64_t sequence, Clock::time_point when);
  // The monitor's end mark of a transaction: a fault when what came since
  // the last one is not exactly one whole transaction of the run.
  void EndTransaction();

  // Whether every object of the run arrived.
  bool Complete() const { return received_ == expected_; }
  uint64_t received() const { return received_; }

  // Faults seen so far plus the objects still missing of the first
  // `written` transactions.
  uint64_t Errors(uint64_t written) const;

  // When transaction t was whole here; only for t < transactions whose
  // objects all arrived.
  bool Whole(uint64_t t) const { return left_[t] == 0; }
  Clock::time_point WholeAt(uint64_t t) const { return whole_at_[t]; }

 private:
  const uint64_t first_;
  const uint32_t objects_;
  const uint64_t expected_;
  uint64_t received_ = 0;
  uint64_t faults_ = 0;
  uint64_t current_ = 0;  // the latest transaction begun
  bool in_transaction_ = false;  // objects came since the last end mark
  std::vector<bool> seen_;
  std::vector<uint32_t> left_;  // objects of each transaction yet to come
  std::vector<Clock::time_point> whole_at_;
};

}  // namespace load
}  // namespace tarnix

#endif  // TARNIX_TOOLS_DELIVERY_CHECK_H_

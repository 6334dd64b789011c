#include "tools/delivery_check.h"

#include <algorithm>

namespace tarnix {
namespace load {

DeliveryCheck::DeliveryCheck(uint64_t first_sequence, uint32_t objects, uint64_t transactions)
    : first_(first_sequence),
      objects_(objects),
      expected_(transactions * objects),
      seen_(expected_, false),
      left_(transactions, objects),
      whole_at_(transactions) {}

void DeliveryCheck::Receive(uint64_t sequence, Clock::time_point when) {
  if (sequence < first_ || sequence - first_ >= expected_) {
    ++faults_;
    return;
  }
  const uint64_t index = sequence - first_;
  const uint64_t t = index / objects_;
  // An earlier transaction, or a later one before the end mark.
  if (seen_[index] || t < current_ || (in_transaction_ && t != current_)) {
    ++faults_;
    return;
  }
  seen_[index] = true;
  ++received_;
  current_ = t;
  in_transaction_ = true;
  if (--left_[t] == 0) whole_at_[t] = when;
}

void DeliveryCheck::EndTransaction() {
  if (in_transaction_ && left_[current_] != 0) ++faults_;  // cut short
  in_transaction_ = false;
}

uint64_t DeliveryCheck::Errors(uint64_t written) const {
  const uint64_t due = std::min(written, static_cast<uint64_t>(left_.size())) * objects_;
  return faults_ + (due > received_ ? due - received_ : 0);
}

}  // namespace load
}  // namespace tarnix

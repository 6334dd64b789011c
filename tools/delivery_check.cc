#include "tools/delivery_check.h"

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
  if (seen_[index] || t < current_) {
    ++faults_;
    return;
  }
  seen_[index] = true;
  ++received_;
  current_ = t;
  if (--left_[t] == 0) whole_at_[t] = when;
}

}  // namespace load
}  // namespace tarnix

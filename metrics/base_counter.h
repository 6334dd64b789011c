#ifndef TARNIX_METRICS_BASE_COUNTER_H_
#define TARNIX_METRICS_BASE_COUNTER_H_

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>

#include "metrics/spin_lock.h"
#include "platform/metrics/metric_value.h"

namespace orv {
namespace metrics {

namespace aggregation {
struct value_last {};   // the last value set is the counter's value
struct sample_last {};  // values are samples of a distribution
}  // namespace aggregation

// Counts one value into a window's count, minimum and maximum.
inline void CountValue(uint64_t value, uint64_t& num, uint64_t& min, uint64_t& max) {
  num += 1;
  if (num == 1) {
    min = max = value;
  } else {
    if (value < min) min = value;
    if (value > max) max = value;
  }
}

// State shared by the counters: the spin lock that guards everything below
// it, the units text and two windows of `Aggregators`: samples go into the
// active one, the standby one holds the last finished period.
template <typename T, typename Aggregation, typename Aggregators>
class BaseCounter : public MetricValue {
 public:
  using value_type = T;
  using window_type = Aggregators;

  const std::string& units() const { return units_; }

  // A copy of the current window (true) or of the last finished period.
  // A counter whose window holds derived statistics hides this with its own.
  Aggregators window(bool current) const {
    std::lock_guard<SpinLock> lock(lock_);
    return windows_[current ? active_ : standby_];
  }

 protected:
  BaseCounter(uint64_t value_type, const char* units)
      : MetricValue(value_type), units_(units != nullptr ? units : "") {}

  Aggregators& active() { return windows_[active_]; }
  Aggregators& standby() { return windows_[standby_]; }
  Aggregators& chosen(bool current) { return current ? active() : standby(); }
  void swap_windows() { std::swap(active_, standby_); }

  mutable SpinLock lock_;
  const std::string units_;
  Aggregators windows_[2] = {};
  uint64_t active_ = 0;
  uint64_t standby_ = 1;
};

}  // namespace metrics
}  // namespace orv

#endif  // TARNIX_METRICS_BASE_COUNTER_H_

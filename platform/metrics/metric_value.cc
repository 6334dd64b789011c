#include "platform/metrics/metric_value.h"

namespace orv {
namespace metrics {

MetricValue::MetricValue(uint64_t value_type) : value_type_(value_type) {
  reset_base();
}

std::chrono::system_clock::time_point MetricValue::period_start()
    const noexcept {
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::nanoseconds(
              period_start_ns_.load(std::memory_order_relaxed))));
}

void MetricValue::reset_base() noexcept {
  period_start_ns_.store(
      std::chrono::duration_cast<std::chrono::nanoseconds>(
          std::chrono::system_clock::now().time_since_epoch())
          .count(),
      std::memory_order_relaxed);
}

}  // namespace metrics
}  // namespace orv

#ifndef TARNIX_METRICS_METRIC_H_
#define TARNIX_METRICS_METRIC_H_

#include <cstdint>
#include <string>
#include <utility>

#include "metrics/latency_counter.h"
#include "metrics/unit_counter.h"
#include "platform/metrics/metric_registry.h"

namespace orv {
namespace metrics {

// Logs the wrong-type error and throws std::runtime_error.
[[noreturn]] void ThrowWrongValueType(uint64_t found, uint64_t expected);

// Handle of one named counter: finds the counter in the registry or creates
// it (extra arguments go to the counter's constructor, e.g. units). Handles
// of one name share one counter. Throws std::runtime_error when the name
// holds a counter of another kind.
template <typename Counter>
class Metric {
 public:
  template <typename... Args>
  Metric(MetricRegistry& registry, const std::string& name, Args&&... args)
      : key_(registry.key(name)) {
    value_ = key_->get_or_create_value(
        [&] { return new Counter(std::forward<Args>(args)...); });
    if (value_->value_type() != Counter::kValueType) {
      ThrowWrongValueType(value_->value_type(), Counter::kValueType);
    }
    counter_ = static_cast<Counter*>(value_.get());
  }

  Metric(const Metric&) = default;
  Metric& operator=(const Metric&) = default;
  // A moved-from handle holds no counter: get() returns null.
  Metric(Metric&& other) noexcept
      : key_(std::move(other.key_)),
        value_(std::move(other.value_)),
        counter_(std::exchange(other.counter_, nullptr)) {}
  Metric& operator=(Metric&& other) noexcept {
    Metric moved(std::move(other));
    // The old counter and key go with `moved`, value before key.
    std::swap(key_, moved.key_);
    std::swap(value_, moved.value_);
    std::swap(counter_, moved.counter_);
    return *this;
  }

  Counter* get() const { return counter_; }
  Counter* operator->() const { return counter_; }
  Counter& operator*() const { return *counter_; }
  const MetricKeyPtr& key() const { return key_; }

 private:
  MetricKeyPtr key_;      // released last
  MetricValuePtr value_;
  Counter* counter_ = nullptr;
};

}  // namespace metrics
}  // namespace orv

namespace tarnix {
namespace metrics {

using UnitCounter = orv::metrics::UnitCounterT<unsigned long>;
using LatencyCounter =
    orv::metrics::LatencyCounterT<latency_stats_aggregators>;
using UnitMetric = orv::metrics::Metric<UnitCounter>;
using LatencyMetric = orv::metrics::Metric<LatencyCounter>;

}  // namespace metrics
}  // namespace tarnix

#endif  // TARNIX_METRICS_METRIC_H_

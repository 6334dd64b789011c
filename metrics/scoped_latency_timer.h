#ifndef TARNIX_METRICS_SCOPED_LATENCY_TIMER_H_
#define TARNIX_METRICS_SCOPED_LATENCY_TIMER_H_

#include <chrono>

#include "metrics/metric.h"

namespace tarnix {
namespace metrics {

// Records the time from construction to destruction, in whole microseconds,
// into a latency counter.
class ScopedLatencyTimer {
 public:
  explicit ScopedLatencyTimer(LatencyCounter* counter)
      : counter_(counter), start_(std::chrono::steady_clock::now()) {}
  explicit ScopedLatencyTimer(const LatencyMetric& metric)
      : ScopedLatencyTimer(metric.get()) {}
  ScopedLatencyTimer(const ScopedLatencyTimer&) = delete;
  ScopedLatencyTimer& operator=(const ScopedLatencyTimer&) = delete;

  ~ScopedLatencyTimer() {
    auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now() - start_);
    counter_->update(static_cast<uint64_t>(elapsed.count()) / 1000);
  }

 private:
  LatencyCounter* counter_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace metrics
}  // namespace tarnix

#endif  // TARNIX_METRICS_SCOPED_LATENCY_TIMER_H_

#ifndef TARNIX_METRICS_LATENCY_COUNTER_H_
#define TARNIX_METRICS_LATENCY_COUNTER_H_

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "metrics/base_counter.h"

namespace tarnix {
namespace metrics {

// Window of a latency counter. The s_ fields ("s~" in texts) describe one
// period; the v_ fields ("v~") the counter's whole life.
struct latency_stats_aggregators {
  uint64_t s_last;
  uint64_t s_num;
  uint64_t s_min;
  uint64_t s_max;
  double s_sum;
  double s_avg;
  double s_p95;
  double s_p99;
  uint64_t v_num;
  uint64_t v_min;
  uint64_t v_max;
};

}  // namespace metrics
}  // namespace tarnix

namespace orv {
namespace metrics {

// Durations in microseconds: count, extremes, sum, average and the 95th and
// 99th percentiles of a uniform random sample of at most 512 values.
template <typename Aggregators>
class LatencyCounterT
    : public BaseCounter<unsigned long, aggregation::sample_last,
                         Aggregators> {
 public:
  static constexpr uint64_t kValueType = 0x180D80001801ULL;
  static constexpr size_t kMaxSamples = 512;

  LatencyCounterT();

  void update(uint64_t micros);
  // Number of samples currently kept for the percentiles.
  size_t sample_count() const;

  // A copy of the current window (true), its average and percentiles first
  // computed from the samples so far, or of the last finished period.
  // Hides BaseCounter::window, which would copy the current window as is.
  Aggregators window(bool current);

  std::string string(bool current) override;

 protected:
  void reset_impl() override;
  void collect_impl() override;
  void serialize_impl(Serializer& serializer, bool current) override;

 private:
  void finish_active();  // lock held: average and percentiles
  std::string text(const Aggregators& w) const;

  std::vector<uint64_t> samples_;
  std::mt19937 engine_{5489u};
};

// Percentile `p` of ascending `sorted` samples; 0.0 when there are none.
double Percentile(const std::vector<uint64_t>& sorted, double p);

extern template class LatencyCounterT<tarnix::metrics::latency_stats_aggregators>;

}  // namespace metrics
}  // namespace orv

#endif  // TARNIX_METRICS_LATENCY_COUNTER_H_

#include "metrics/latency_counter.h"

#include <algorithm>
#include <sstream>

#include "platform/metrics/serializer.h"

namespace orv {
namespace metrics {

namespace {
constexpr char kMicroseconds[] = "\xC2\xB5s";
}  // namespace

double Percentile(const std::vector<uint64_t>& sorted, double p) {
  const size_t n = sorted.size();
  if (n == 0) return 0.0;
  const double x = static_cast<double>(n + 1) * p;
  const size_t k = static_cast<size_t>(x);
  if (k == 0) return static_cast<double>(sorted[0]);
  if (k >= n) return static_cast<double>(sorted[n - 1]);
  return static_cast<double>(sorted[k - 1]) +
         (x - static_cast<double>(k)) *
             static_cast<double>(sorted[k] - sorted[k - 1]);
}

template <typename A>
LatencyCounterT<A>::LatencyCounterT()
    : BaseCounter<unsigned long, aggregation::sample_last, A>(kValueType,
                                                              kMicroseconds) {}

template <typename A>
void LatencyCounterT<A>::update(uint64_t v) {
  std::lock_guard<SpinLock> lock(this->lock_);
  A& w = this->active();
  w.s_last = v;
  CountValue(v, w.s_num, w.s_min, w.s_max);
  w.s_sum += static_cast<double>(v);

  if (samples_.size() < kMaxSamples) {
    samples_.push_back(v);
  } else {
    std::uniform_int_distribution<uint64_t> pick(0, w.s_num - 1);
    uint64_t j = pick(engine_);
    if (j < kMaxSamples) samples_[j] = v;
  }

  CountValue(v, w.v_num, w.v_min, w.v_max);
}

template <typename A>
size_t LatencyCounterT<A>::sample_count() const {
  std::lock_guard<SpinLock> lock(this->lock_);
  return samples_.size();
}

template <typename A>
void LatencyCounterT<A>::finish_active() {
  A& w = this->active();
  w.s_avg = w.s_num == 0 ? 0.0 : w.s_sum / static_cast<double>(w.s_num);
  std::sort(samples_.begin(), samples_.end());
  w.s_p95 = Percentile(samples_, 0.95);
  w.s_p99 = Percentile(samples_, 0.99);
}

template <typename A>
A LatencyCounterT<A>::window(bool current) {
  std::lock_guard<SpinLock> lock(this->lock_);
  if (current) finish_active();
  return this->chosen(current);
}

template <typename A>
std::string LatencyCounterT<A>::text(const A& w) const {
  std::ostringstream out;
  if (!this->units_.empty()) out << "units: " << this->units_ << ", ";
  out << "s~last: " << w.s_last << ", s~num: " << w.s_num
      << ", s~min: " << w.s_min << ", s~max: " << w.s_max
      << ", s~sum: " << w.s_sum << ", s~avg: " << w.s_avg
      << ", s~p95: " << w.s_p95 << ", s~p99: " << w.s_p99
      << ", v~num: " << w.v_num << ", v~min: " << w.v_min
      << ", v~max: " << w.v_max;
  return out.str();
}

template <typename A>
std::string LatencyCounterT<A>::string(bool current) {
  return text(window(current));
}

template <typename A>
void LatencyCounterT<A>::reset_impl() {
  std::lock_guard<SpinLock> lock(this->lock_);
  this->reset_base();
  A& w = this->active();
  w.s_last = w.s_num = w.s_min = w.s_max = 0;
  w.s_sum = w.s_avg = w.s_p95 = w.s_p99 = 0.0;
  samples_.clear();
}

template <typename A>
void LatencyCounterT<A>::collect_impl() {
  std::lock_guard<SpinLock> lock(this->lock_);
  finish_active();
  this->reset_base();
  const A& done = this->active();
  A& next = this->standby();
  next = A{};
  next.v_num = done.v_num;
  next.v_min = done.v_min;
  next.v_max = done.v_max;
  samples_.clear();
  this->swap_windows();
}

template <typename A>
void LatencyCounterT<A>::serialize_impl(Serializer& serializer, bool current) {
  const A w = window(current);
  serializer.set_units(this->units_);
  serializer.set_text(text(w));
  serializer.set_uint64("s~last", w.s_last);
  serializer.set_uint64("s~num", w.s_num);
  serializer.set_uint64_range("s~min", "s~max", w.s_min, w.s_max);
  serializer.set_double("s~sum", w.s_sum);
  serializer.set_double("s~avg", w.s_avg);
  serializer.set_double("s~p95", w.s_p95);
  serializer.set_double("s~p99", w.s_p99);
  serializer.set_uint64("v~num", w.v_num);
  serializer.set_uint64_range("v~min", "v~max", w.v_min, w.v_max);
}

template class LatencyCounterT<tarnix::metrics::latency_stats_aggregators>;

}  // namespace metrics
}  // namespace orv

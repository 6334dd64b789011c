#ifndef TARNIX_PLATFORM_METRICS_METRIC_VALUE_H_
#define TARNIX_PLATFORM_METRICS_METRIC_VALUE_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include <boost/intrusive_ptr.hpp>

namespace orv {
namespace metrics {

class Serializer;

// Base of every value held by a metric key: an intrusive reference count, a
// value-type id that tells the concrete class, and the start of the current
// period. Concrete values guard their own state.
class MetricValue {
 public:
  explicit MetricValue(uint64_t value_type);
  virtual ~MetricValue() = default;
  MetricValue(const MetricValue&) = delete;
  MetricValue& operator=(const MetricValue&) = delete;

  void AddRef() const noexcept {
    refs_.fetch_add(1, std::memory_order_relaxed);
  }
  void Release() const noexcept {
    if (refs_.fetch_sub(1, std::memory_order_release) == 1) {
      std::atomic_thread_fence(std::memory_order_acquire);
      delete this;
    }
  }
  uint32_t use_count() const noexcept {
    return refs_.load(std::memory_order_relaxed);
  }

  uint64_t value_type() const noexcept { return value_type_; }
  // When the current period started (construction, last reset or collect).
  std::chrono::system_clock::time_point period_start() const noexcept;

  // Text of the current window (true) or of the last finished period (false).
  virtual std::string string(bool current) = 0;
  // Ends the current period.
  void collect() { collect_impl(); }
  // Clears the current period.
  void reset() { reset_impl(); }
  void serialize(Serializer& serializer, bool current) {
    serialize_impl(serializer, current);
  }

 protected:
  void reset_base() noexcept;
  virtual void reset_impl() = 0;
  virtual void collect_impl() = 0;
  virtual void serialize_impl(Serializer& serializer, bool current) = 0;

 private:
  mutable std::atomic<uint32_t> refs_{0};
  const uint64_t value_type_;
  std::atomic<int64_t> period_start_ns_{0};
};

inline void intrusive_ptr_add_ref(const MetricValue* value) {
  value->AddRef();
}
inline void intrusive_ptr_release(const MetricValue* value) {
  value->Release();
}

using MetricValuePtr = boost::intrusive_ptr<MetricValue>;

}  // namespace metrics
}  // namespace orv

#endif  // TARNIX_PLATFORM_METRICS_METRIC_VALUE_H_

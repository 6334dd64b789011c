#ifndef TARNIX_PLATFORM_METRICS_METRIC_KEY_H_
#define TARNIX_PLATFORM_METRICS_METRIC_KEY_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include <boost/intrusive_ptr.hpp>
#include <boost/thread/mutex.hpp>

#include "platform/metrics/metric_value.h"

namespace orv {
namespace metrics {

class MetricKey;
using MetricKeyPtr = boost::intrusive_ptr<MetricKey>;

// One node of the registry tree: a name, at most one value and the child
// keys. Reference counted, so a key stays valid as long as someone holds it,
// even after its registry is gone. Each key guards its value and its
// children with its own mutex.
class MetricKey {
 public:
  explicit MetricKey(std::string name);
  MetricKey(const MetricKey&) = delete;
  MetricKey& operator=(const MetricKey&) = delete;

  // The last path segment ("" for the root).
  const std::string& name() const { return name_; }

  void add_ref() const noexcept {
    refs_.fetch_add(1, std::memory_order_relaxed);
  }
  // Drops one reference; the last one deletes the key.
  void release() const noexcept;

  // The value, or null when none has been created.
  MetricValuePtr value() const;
  // The value's text (see MetricValue::string); empty when there is none.
  std::string value_string(bool current) const;
  // The children by name.
  std::unordered_map<std::string, MetricKeyPtr> subkeys() const;
  // The child `name`, created when absent and `create` is set; else null.
  MetricKeyPtr subkey(const std::string& name, bool create);

  // Returns the value, first storing `create()` (a new MetricValue*) when
  // the key has none. Throws boost::lock_error when the mutex fails.
  template <typename Creator>
  MetricValuePtr get_or_create_value(Creator create) {
    std::lock_guard<boost::mutex> lock(mu_);
    if (!value_) value_ = MetricValuePtr(create());
    return value_;
  }

 private:
  ~MetricKey() = default;

  mutable std::atomic<uint32_t> refs_{0};
  const std::string name_;
  mutable boost::mutex mu_;
  MetricValuePtr value_;
  std::unordered_map<std::string, MetricKeyPtr> children_;
};

inline void intrusive_ptr_add_ref(const MetricKey* key) { key->add_ref(); }
inline void intrusive_ptr_release(const MetricKey* key) { key->release(); }

}  // namespace metrics
}  // namespace orv

#endif  // TARNIX_PLATFORM_METRICS_METRIC_KEY_H_

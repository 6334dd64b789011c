#include "platform/metrics/metric_key.h"

#include <utility>

namespace orv {
namespace metrics {

MetricKey::MetricKey(std::string name) : name_(std::move(name)) {}

void MetricKey::release() const noexcept {
  if (refs_.fetch_sub(1, std::memory_order_release) == 1) {
    std::atomic_thread_fence(std::memory_order_acquire);
    delete this;
  }
}

MetricValuePtr MetricKey::value() const {
  std::lock_guard<boost::mutex> lock(mu_);
  return value_;
}

std::string MetricKey::value_string(bool current) const {
  MetricValuePtr v = value();
  return v ? v->string(current) : std::string();
}

std::unordered_map<std::string, MetricKeyPtr> MetricKey::subkeys() const {
  std::lock_guard<boost::mutex> lock(mu_);
  return children_;
}

MetricKeyPtr MetricKey::subkey(const std::string& name, bool create) {
  std::lock_guard<boost::mutex> lock(mu_);
  auto it = children_.find(name);
  if (it != children_.end()) return it->second;
  if (!create) return nullptr;
  MetricKeyPtr child(new MetricKey(name));
  children_.emplace(name, child);
  return child;
}

}  // namespace metrics
}  // namespace orv

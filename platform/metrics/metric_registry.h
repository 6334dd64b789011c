#ifndef TARNIX_PLATFORM_METRICS_METRIC_REGISTRY_H_
#define TARNIX_PLATFORM_METRICS_METRIC_REGISTRY_H_

#include <string>

#include "platform/metrics/metric_key.h"
#include "platform/metrics/metric_value.h"

namespace orv {
namespace metrics {

// Log threshold of the metrics library's own messages (like
// orv::Logger::logLevel; both must let a message through).
extern int library_log_level;

// A tree of metric keys named by slash-separated paths such as
// "server/latency/put/process". Empty segments are ignored, so "/" and ""
// name the root. Keys and values may outlive the registry.
class MetricRegistry {
 public:
  MetricRegistry();
  ~MetricRegistry();
  MetricRegistry(const MetricRegistry&) = delete;
  MetricRegistry& operator=(const MetricRegistry&) = delete;

  // The key of `path`, creating it and its ancestors when absent.
  MetricKeyPtr key(const std::string& path);
  // The key of `path`, or null when it does not exist; creates nothing.
  MetricKeyPtr find_key(const std::string& path) const;
  MetricKeyPtr root() const { return root_; }

  // Ends the current period of every value in the tree.
  void collect();

 private:
  MetricKeyPtr root_;
};

}  // namespace metrics
}  // namespace orv

#endif  // TARNIX_PLATFORM_METRICS_METRIC_REGISTRY_H_

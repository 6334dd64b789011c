#include "platform/metrics/metric_registry.h"

#include <vector>

namespace orv {
namespace metrics {

int library_log_level = 4;

namespace {

std::vector<std::string> PathSegments(const std::string& path) {
  std::vector<std::string> segments;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) segments.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return segments;
}

void CollectTree(const MetricKeyPtr& key) {
  if (MetricValuePtr value = key->value()) value->collect();
  for (const auto& child : key->subkeys()) CollectTree(child.second);
}

}  // namespace

MetricRegistry::MetricRegistry() : root_(new MetricKey("")) {}

MetricRegistry::~MetricRegistry() = default;

MetricKeyPtr MetricRegistry::key(const std::string& path) {
  MetricKeyPtr key = root_;
  for (const std::string& segment : PathSegments(path)) {
    key = key->subkey(segment, true);
  }
  return key;
}

MetricKeyPtr MetricRegistry::find_key(const std::string& path) const {
  MetricKeyPtr key = root_;
  for (const std::string& segment : PathSegments(path)) {
    key = key->subkey(segment, false);
    if (!key) return nullptr;
  }
  return key;
}

void MetricRegistry::collect() { CollectTree(root_); }

}  // namespace metrics
}  // namespace orv

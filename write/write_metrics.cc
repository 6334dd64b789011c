#include "write/write_metrics.h"

#include <string>
#include <type_traits>
#include <vector>

#include "write/write_op.h"

namespace tarnix {

WriteMetrics::WriteMetrics(orv::metrics::MetricRegistry& registry) {
  std::vector<const char*> names;
  WriteOps::ForEach([&names](auto* request) {
    names.push_back(WriteOpDescription<std::remove_pointer_t<decltype(request)>>::kMetricName);
  });
  for (const char* op : names) {
    preprocess_.emplace_back(registry, std::string("server/latency/") + op + "/preprocess");
  }
  for (const char* op : names) {
    process_.emplace_back(registry, std::string("server/latency/") + op + "/process");
  }
  for (const char* op : names) {
    count_.emplace_back(registry, std::string("server/transaction/") + op + "/request/count");
  }
  for (const char* op : names) {
    size_.emplace_back(registry, std::string("server/transaction/") + op + "/request/size",
                       "bytes");
  }
}

}  // namespace tarnix

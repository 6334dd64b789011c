#include "write/write_metrics.h"

#include <string>

namespace tarnix {
namespace {

constexpr const char* kOpNames[kWriteOpCount] = {
    "put", "delete", "flush", "patch", "copy", "flush_by_block_id", "modify"};

}  // namespace

WriteMetrics::WriteMetrics(orv::metrics::MetricRegistry& registry) {
  for (const char* op : kOpNames) {
    preprocess_.emplace_back(registry, std::string("server/latency/") + op + "/preprocess");
  }
  for (const char* op : kOpNames) {
    process_.emplace_back(registry, std::string("server/latency/") + op + "/process");
  }
  for (const char* op : kOpNames) {
    count_.emplace_back(registry, std::string("server/transaction/") + op + "/request/count");
  }
  for (const char* op : kOpNames) {
    size_.emplace_back(registry, std::string("server/transaction/") + op + "/request/size",
                       "bytes");
  }
}

}  // namespace tarnix

#ifndef TARNIX_WRITE_WRITE_METRICS_H_
#define TARNIX_WRITE_WRITE_METRICS_H_

#include <cstddef>
#include <vector>

#include "metrics/metric.h"

namespace tarnix {

// Per write operation, at its metric slot (kWriteOpSlot):
// "server/latency/<op>/preprocess" and ".../process" (microseconds),
// "server/transaction/<op>/request/count" (entries per stream) and
// ".../request/size" (bytes of the stream's log units).
class WriteMetrics {
 public:
  // Registers four counters per operation of WriteOps in `registry` (not
  // owned, must outlive this), each group in the list's order. Throws
  // std::runtime_error when a name holds another kind of counter.
  explicit WriteMetrics(orv::metrics::MetricRegistry& registry);

  metrics::LatencyMetric& preprocess(size_t slot) { return preprocess_[slot]; }
  metrics::LatencyMetric& process(size_t slot) { return process_[slot]; }
  metrics::UnitMetric& request_count(size_t slot) { return count_[slot]; }
  metrics::UnitMetric& request_size(size_t slot) { return size_[slot]; }

 private:
  std::vector<metrics::LatencyMetric> preprocess_;
  std::vector<metrics::LatencyMetric> process_;
  std::vector<metrics::UnitMetric> count_;
  std::vector<metrics::UnitMetric> size_;
};

}  // namespace tarnix

#endif  // TARNIX_WRITE_WRITE_METRICS_H_

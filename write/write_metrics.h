#ifndef TARNIX_WRITE_WRITE_METRICS_H_
#define TARNIX_WRITE_WRITE_METRICS_H_

#include <vector>

#include "metrics/metric.h"

namespace tarnix {

// The seven write streams, in the order their metrics are registered.
enum class WriteOp { kPut, kDelete, kFlush, kPatch, kCopy, kFlushByBlockId, kModify };
constexpr int kWriteOpCount = 7;

// Per write stream: "server/latency/<op>/preprocess" and ".../process"
// (microseconds), "server/transaction/<op>/request/count" (entries per
// stream) and ".../request/size" (bytes of the stream's log units).
class WriteMetrics {
 public:
  // Registers the 28 counters in `registry` (not owned, must outlive this),
  // each group in WriteOp order. Throws std::runtime_error when a name holds
  // another kind of counter.
  explicit WriteMetrics(orv::metrics::MetricRegistry& registry);

  metrics::LatencyMetric& preprocess(WriteOp op) { return preprocess_[Index(op)]; }
  metrics::LatencyMetric& process(WriteOp op) { return process_[Index(op)]; }
  metrics::UnitMetric& request_count(WriteOp op) { return count_[Index(op)]; }
  metrics::UnitMetric& request_size(WriteOp op) { return size_[Index(op)]; }

 private:
  static size_t Index(WriteOp op) { return static_cast<size_t>(op); }

  std::vector<metrics::LatencyMetric> preprocess_;
  std::vector<metrics::LatencyMetric> process_;
  std::vector<metrics::UnitMetric> count_;
  std::vector<metrics::UnitMetric> size_;
};

}  // namespace tarnix

#endif  // TARNIX_WRITE_WRITE_METRICS_H_

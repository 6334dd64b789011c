#ifndef TARNIX_TOOLS_LOAD_REPORT_H_
#define TARNIX_TOOLS_LOAD_REPORT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tools/load_options.h"

namespace tarnix {
namespace load {

// What a run measured.
struct LoadResult {
  uint64_t transactions = 0;  // that succeeded
  uint64_t errors = 0;        // transactions that failed; the run stops at the first
  double seconds = 0;         // wall time from the first transaction to the last
  std::vector<double> latencies_ms;  // one per successful transaction, any order
  // Monitor runs only.
  uint64_t delivered = 0;         // objects received, summed over the monitors
  double delivery_seconds = 0;    // from the first write to the last receipt
  std::vector<double> delays_ms;  // per transaction: its reply to its last receipt
};

// The nearest-rank percentile p (0 < p <= 100) of `sorted` (ascending): the
// smallest value with at least p% of the values at or below it. 0 when
// `sorted` is empty.
double Percentile(const std::vector<double>& sorted, double p);

// The run as one JSON object on one line, without a newline: what ran
// ("tarnix" or "leveldb" as backend, mode, clients, objects, body_bytes,
// sync), transactions, errors, seconds, transactions_per_s, objects_per_s,
// latency_p50_ms and latency_p99_ms. A monitor run adds monitors,
// delivered, delay_p50_ms and delay_p99_ms, and its objects_per_s counts the
// objects delivered over delivery_seconds. Sorts result->latencies_ms and
// result->delays_ms.
std::string ResultJson(const LoadOptions& options, LoadResult* result);

}  // namespace load
}  // namespace tarnix

#endif  // TARNIX_TOOLS_LOAD_REPORT_H_

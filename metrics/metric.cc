#include "metrics/metric.h"

#include <cstdio>
#include <stdexcept>

#include "logging/logger.h"

namespace orv {
namespace metrics {

void ThrowWrongValueType(uint64_t found, uint64_t expected) {
  const unsigned long found_id = found;
  const unsigned long expected_id = expected;
  if (library_log_level > 1 && Logger::logLevel > 1) {
    Logger(ERROR)
        .s2comp("orv-metrics")
        .tag("errorCode:MXLIB200")
        .put("Metric: wrong value type (%lu != %lu)", found_id, expected_id);
  }
  char text[96];
  snprintf(text, sizeof(text), "Metric: wrong value type (%lu != %lu)",
           found_id, expected_id);
  throw std::runtime_error(text);
}

}  // namespace metrics
}  // namespace orv

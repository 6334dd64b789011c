#include "tools/load_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tarnix {
namespace load {
namespace {

std::string Number(double value, int decimals = 1) {
  char text[48];
  snprintf(text, sizeof(text), "%.*f", decimals, value);
  return text;
}

}  // namespace

double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  const double rank = std::ceil(p / 100.0 * static_cast<double>(sorted.size()));
  const size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
  return sorted[std::min(index, sorted.size() - 1)];
}

std::string ResultJson(const LoadOptions& options, LoadResult* result) {
  std::sort(result->latencies_ms.begin(), result->latencies_ms.end());
  std::sort(result->delays_ms.begin(), result->delays_ms.end());
  const double seconds = result->seconds > 0 ? result->seconds : 0;
  const double per_s = seconds > 0 ? static_cast<double>(result->transactions) / seconds : 0;
  const bool monitor = options.mode == LoadMode::kMonitor;
  double objects_per_s = per_s * options.objects;
  if (monitor) {
    objects_per_s = result->delivery_seconds > 0
                        ? static_cast<double>(result->delivered) / result->delivery_seconds
                        : 0;
  }
  std::string json = "{";
  json += "\"backend\":\"" + std::string(options.baseline_leveldb.empty() ? "tarnix" : "leveldb");
  json += "\",\"mode\":\"" + std::string(LoadModeName(options.mode));
  json += "\",\"clients\":" + std::to_string(options.clients);
  if (monitor) json += ",\"monitors\":" + std::to_string(options.monitors);
  json += ",\"objects\":" + std::to_string(options.objects);
  json += ",\"body_bytes\":" + std::to_string(options.body_bytes);
  json += ",\"sync\":" + std::string(options.sync ? "true" : "false");
  json += ",\"transactions\":" + std::to_string(result->transactions);
  json += ",\"errors\":" + std::to_string(result->errors);
  json += ",\"seconds\":" + Number(seconds, 3);
  json += ",\"transactions_per_s\":" + Number(per_s);
  json += ",\"objects_per_s\":" + Number(objects_per_s);
  json += ",\"latency_p50_ms\":" + Number(Percentile(result->latencies_ms, 50), 4);
  json += ",\"latency_p99_ms\":" + Number(Percentile(result->latencies_ms, 99), 4);
  if (monitor) {
    json += ",\"delivered\":" + std::to_string(result->delivered);
    json += ",\"delay_p50_ms\":" + Number(Percentile(result->delays_ms, 50), 4);
    json += ",\"delay_p99_ms\":" + Number(Percentile(result->delays_ms, 99), 4);
  }
  json += "}";
  return json;
}

}  // namespace load
}  // namespace tarnix

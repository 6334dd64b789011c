#ifndef TARNIX_PLATFORM_WFT_WORKFLOW_UTIL_H_
#define TARNIX_PLATFORM_WFT_WORKFLOW_UTIL_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <map>
#include <string>

namespace orv {
namespace wft {

// Threshold of the tracing layer's own log lines (0 none .. 6 trivia). Span
// lines are TRIVIA, so any lower value silences them; the default lets the
// logger's own threshold decide.
extern int library_log_level;

// The workflow-tracing context of one client request: the ids of its trace
// and span, whether the trace is sampled, and its baggage.
struct TraceInfo {
  uint64_t trace_id_high = 0;
  uint64_t trace_id_low = 0;
  uint64_t span_id = 0;
  uint64_t parent_span_id = 0;
  bool sampled = true;
  std::map<std::string, std::string> baggage;
};

// A span: opened by the constructor, closed by the destructor. While tracing
// is off (the default) or the span's level is above the configured trace
// level, constructing and destroying one reads no clock and logs nothing.
// While on, closing the span logs one TRIVIA line with its name and duration
// when both library_log_level and the logger's threshold admit it.
//
// The switch is process-wide; spans may be opened on any thread.
class WorkflowUtil {
 public:
  // `name` must outlive the span (a string literal in practice).
  WorkflowUtil(const char* name, uint32_t trace_level)
      : name_(Records(trace_level) ? name : nullptr) {
    if (name_ != nullptr) start_ = std::chrono::steady_clock::now();
  }
  // A span that continues the traces of `parents` (the contexts of the
  // requests it serves).
  WorkflowUtil(const char* name, uint32_t trace_level,
               const std::list<TraceInfo>& parents)
      : WorkflowUtil(name, trace_level) {
    if (name_ != nullptr) parent_count_ = parents.size();
  }
  ~WorkflowUtil() {
    if (name_ != nullptr) Close();
  }
  WorkflowUtil(const WorkflowUtil&) = delete;
  WorkflowUtil& operator=(const WorkflowUtil&) = delete;

  // Turns tracing on or off; spans of a level up to `trace_level` record.
  // Spans already open keep the state they were opened with.
  static void Configure(bool enabled, uint32_t trace_level);
  static bool Enabled() { return enabled_.load(std::memory_order_relaxed); }

 private:
  static bool Records(uint32_t level) {
    return Enabled() && level <= trace_level_.load(std::memory_order_relaxed);
  }
  void Close();

  static std::atomic<bool> enabled_;
  static std::atomic<uint32_t> trace_level_;

  const char* name_;  // null: not recording
  std::chrono::steady_clock::time_point start_;
  size_t parent_count_ = 0;
};

}  // namespace wft
}  // namespace orv

#endif  // TARNIX_PLATFORM_WFT_WORKFLOW_UTIL_H_

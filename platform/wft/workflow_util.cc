#include "platform/wft/workflow_util.h"

#include "logging/logger.h"
#include "platform/util/library_log.h"

namespace orv {
namespace wft {

int library_log_level = TRIVIA;

std::atomic<bool> WorkflowUtil::enabled_{false};
std::atomic<uint32_t> WorkflowUtil::trace_level_{0};

void WorkflowUtil::Configure(bool enabled, uint32_t trace_level) {
  trace_level_.store(trace_level, std::memory_order_relaxed);
  enabled_.store(enabled, std::memory_order_relaxed);
}

void WorkflowUtil::Close() {
  const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start_);
  PLATFORM_LOG(library_log_level, orv::TRIVIA, nullptr, "span %s: %lld us, %zu parent traces",
               name_, static_cast<long long>(elapsed.count()), parent_count_);
}

}  // namespace wft
}  // namespace orv

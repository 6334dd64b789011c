#include "server/write_stream_budget.h"

#include <string>

namespace tarnix {

orv::rpc::AppStatus WriteStreamBudget::Take(size_t bytes, size_t* held) {
  // Subtractions, which cannot overflow; a lowered cap may be below what is
  // already held.
  if (*held > stream_limit_ || bytes > stream_limit_ - *held) {
    return orv::rpc::RESOURCE_EXHAUSTED("Write stream exceeds the limit of " +
                                        std::to_string(stream_limit_) + " buffered bytes");
  }
  if (total_ > total_limit_ || bytes > total_limit_ - total_) {
    return orv::rpc::RESOURCE_EXHAUSTED("Open write streams exceed the limit of " +
                                        std::to_string(total_limit_) +
                                        " buffered bytes for all streams");
  }
  *held += bytes;
  total_ += bytes;
  return orv::rpc::SUCCESS;
}

void WriteStreamBudget::Release(size_t* held) {
  total_ -= *held;
  *held = 0;
}

}  // namespace tarnix

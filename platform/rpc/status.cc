#include "platform/rpc/status.h"

namespace orv {
namespace rpc {

std::string StatusCodeName(int32_t code) {
  static const char* const kNames[] = {"OK",
                                       "CANCELLED",
                                       "UNKNOWN",
                                       "INVALID_ARGUMENT",
                                       "DEADLINE_EXCEEDED",
                                       "NOT_FOUND",
                                       "ALREADY_EXISTS",
                                       "PERMISSION_DENIED",
                                       "RESOURCE_EXHAUSTED",
                                       "FAILED_PRECONDITION",
                                       "ABORTED",
                                       "OUT_OF_RANGE",
                                       "UNIMPLEMENTED",
                                       "INTERNAL",
                                       "UNAVAILABLE",
                                       "DATA_LOSS",
                                       "UNAUTHENTICATED"};
  if (code >= 0 && code <= kUnauthenticated) return kNames[code];
  return "CODE_" + std::to_string(code);
}

std::string Status::ToString() const {
  if (code_ == kOk && message_.empty()) return "OK";
  return StatusCodeName(code_) + ": " + message_;
}

}  // namespace rpc
}  // namespace orv

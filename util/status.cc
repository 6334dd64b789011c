#include "util/status.h"

#include <ostream>

namespace tarnix {

const char* StatusCodeName(Status::Code code) {
  switch (code) {
    case Status::kOk: return "OK";
    case Status::kInvalidArgument: return "INVALID_ARGUMENT";
    case Status::kNotFound: return "NOT_FOUND";
    case Status::kAlreadyExists: return "ALREADY_EXISTS";
    case Status::kPermissionDenied: return "PERMISSION_DENIED";
    case Status::kUnauthenticated: return "UNAUTHENTICATED";
    case Status::kResourceExhausted: return "RESOURCE_EXHAUSTED";
    case Status::kFailedPrecondition: return "FAILED_PRECONDITION";
    case Status::kAborted: return "ABORTED";
    case Status::kInternal: return "INTERNAL";
    case Status::kDataLoss: return "DATA_LOSS";
    case Status::kUnimplemented: return "UNIMPLEMENTED";
  }
  return "UNKNOWN";
}

std::string Status::ToString() const {
  if (ok()) return "OK";
  return std::string(StatusCodeName(code_)) + ": " + message_;
}

void PrintTo(const Status& status, std::ostream* os) { *os << status.ToString(); }

}  // namespace tarnix

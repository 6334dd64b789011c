#ifndef TARNIX_UTIL_STATUS_H_
#define TARNIX_UTIL_STATUS_H_

#include <iosfwd>
#include <string>
#include <utility>

namespace tarnix {

// The result of a fallible operation of the domain code (schema/, storage/,
// write/, query/): OK, or a code and a message for the client. The codes are
// the ones clients can be answered with; server/ maps them to RPC codes in
// one place. Cheap to copy when OK.
class Status {
 public:
  enum Code {
    kOk = 0,
    kInvalidArgument,
    kNotFound,
    kAlreadyExists,
    kPermissionDenied,
    kUnauthenticated,
    kResourceExhausted,
    kFailedPrecondition,
    kAborted,
    kInternal,
    kDataLoss,
    kUnimplemented,
  };

  Status() = default;
  Status(Code code, std::string message) : code_(code), message_(std::move(message)) {}

  static Status OK() { return Status(); }
  static Status InvalidArgument(std::string m) { return Status(kInvalidArgument, std::move(m)); }
  static Status NotFound(std::string m) { return Status(kNotFound, std::move(m)); }
  static Status AlreadyExists(std::string m) { return Status(kAlreadyExists, std::move(m)); }
  static Status PermissionDenied(std::string m) { return Status(kPermissionDenied, std::move(m)); }
  static Status Unauthenticated(std::string m) { return Status(kUnauthenticated, std::move(m)); }
  static Status ResourceExhausted(std::string m) {
    return Status(kResourceExhausted, std::move(m));
  }
  static Status FailedPrecondition(std::string m) {
    return Status(kFailedPrecondition, std::move(m));
  }
  static Status Aborted(std::string m) { return Status(kAborted, std::move(m)); }
  static Status Internal(std::string m) { return Status(kInternal, std::move(m)); }
  static Status DataLoss(std::string m) { return Status(kDataLoss, std::move(m)); }
  static Status Unimplemented(std::string m) { return Status(kUnimplemented, std::move(m)); }

  bool ok() const { return code_ == kOk; }
  Code code() const { return code_; }
  const std::string& message() const { return message_; }
  // "OK", or "<CODE NAME>: <message>", e.g. "NOT_FOUND: no such object".
  std::string ToString() const;

  bool operator==(const Status& other) const {
    return code_ == other.code_ && message_ == other.message_;
  }
  bool operator!=(const Status& other) const { return !(*this == other); }

 private:
  Code code_ = kOk;
  std::string message_;
};

// The name of a code as clients see it: "OK", "INVALID_ARGUMENT", ...
const char* StatusCodeName(Status::Code code);

// For test failure messages.
void PrintTo(const Status& status, std::ostream* os);

}  // namespace tarnix

#endif  // TARNIX_UTIL_STATUS_H_

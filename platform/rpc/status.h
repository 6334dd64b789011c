#ifndef TARNIX_PLATFORM_RPC_STATUS_H_
#define TARNIX_PLATFORM_RPC_STATUS_H_

#include <cstdint>
#include <string>

namespace orv {
namespace rpc {

// Status codes; the values are gRPC's status codes.
enum StatusCode : int32_t {
  kOk = 0,
  kCancelled = 1,
  kUnknown = 2,
  kInvalidArgument = 3,
  kDeadlineExceeded = 4,
  kNotFound = 5,
  kAlreadyExists = 6,
  kPermissionDenied = 7,
  kResourceExhausted = 8,
  kFailedPrecondition = 9,
  kAborted = 10,
  kOutOfRange = 11,
  kUnimplemented = 12,
  kInternal = 13,
  kUnavailable = 14,
  kDataLoss = 15,
  kUnauthenticated = 16,
};

// Name of a code ("OK", "CANCELLED", ...); "CODE_<n>" for unknown values.
std::string StatusCodeName(int32_t code);

// How a call ended, as the completion callback and OnComplete see it.
class Status {
 public:
  Status() = default;
  explicit Status(int32_t code, std::string message = std::string())
      : code_(code), message_(std::move(message)) {}

  int32_t code() const { return code_; }
  const std::string& message() const { return message_; }
  bool ok() const { return code_ == kOk; }
  // "OK", or "<CODE NAME>: <message>".
  std::string ToString() const;

 private:
  int32_t code_ = kOk;
  std::string message_;
};

class AppStatus;

// A status code constant: SUCCESS, INVALID_ARGUMENT, ... Converts to an
// AppStatus without text; applied to a text it gives that code with the text.
class AppStatusConstant {
 public:
  constexpr explicit AppStatusConstant(int32_t code) : code_(code) {}
  constexpr int32_t code() const { return code_; }
  AppStatus operator()(std::string message) const;
  operator AppStatus() const;  // NOLINT: constants read as statuses

 private:
  int32_t code_;
};

// The result of a service operation: a code and a message.
class AppStatus {
 public:
  AppStatus() = default;
  AppStatus(int32_t code, std::string message)
      : code_(code), message_(std::move(message)) {}

  int32_t code() const { return code_; }
  const std::string& message() const { return message_; }
  bool ok() const { return code_ == kOk; }
  std::string ToString() const { return Status(code_, message_).ToString(); }
  Status status() const { return Status(code_, message_); }

  bool operator==(const AppStatus& other) const {
    return code_ == other.code_ && message_ == other.message_;
  }
  bool operator!=(const AppStatus& other) const { return !(*this == other); }

 private:
  int32_t code_ = kOk;
  std::string message_;
};

inline AppStatus AppStatusConstant::operator()(std::string message) const {
  return AppStatus(code_, std::move(message));
}
inline AppStatusConstant::operator AppStatus() const {
  return AppStatus(code_, std::string());
}

constexpr AppStatusConstant SUCCESS{kOk};
constexpr AppStatusConstant INVALID_ARGUMENT{kInvalidArgument};
constexpr AppStatusConstant NOT_FOUND{kNotFound};
constexpr AppStatusConstant ALREADY_EXISTS{kAlreadyExists};
constexpr AppStatusConstant PERMISSION_DENIED{kPermissionDenied};
constexpr AppStatusConstant UNAUTHENTICATED{kUnauthenticated};
constexpr AppStatusConstant RESOURCE_EXHAUSTED{kResourceExhausted};
constexpr AppStatusConstant FAILED_PRECONDITION{kFailedPrecondition};
constexpr AppStatusConstant ABORTED{kAborted};
constexpr AppStatusConstant INTERNAL{kInternal};
constexpr AppStatusConstant DATA_LOSS{kDataLoss};
constexpr AppStatusConstant UNIMPLEMENTED{kUnimplemented};
constexpr AppStatusConstant UNAVAILABLE{kUnavailable};

}  // namespace rpc
}  // namespace orv

#endif  // TARNIX_PLATFORM_RPC_STATUS_H_

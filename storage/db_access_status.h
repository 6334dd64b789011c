#ifndef TARNIX_STORAGE_DB_ACCESS_STATUS_H_
#define TARNIX_STORAGE_DB_ACCESS_STATUS_H_

#include <cstdint>
#include <string>
#include <utility>

#include "util/status.h"

namespace tarnix {

// Result codes of storage operations (DbAccessCode::CORRUPTION, ...). The
// values are fixed: callers map them to RPC statuses.
struct DbAccessCode {
  enum Value : int32_t {
    OK = 0,
    NOT_FOUND = 1,
    NO_OPEN_DATABASE = 2,
    CORRUPTION = 3,
    IO_ERROR = 4,
    OTHER_ERROR = 5,
  };
};

// The result of every storage operation: a code and the store's message text
// (LevelDB's own form, e.g. "Corruption: ..."; empty for results the storage
// layer builds itself).
struct DbAccessStatus {
  int32_t code = DbAccessCode::OK;
  std::string message;

  DbAccessStatus() = default;
  DbAccessStatus(int32_t c, std::string m) : code(c), message(std::move(m)) {}

  bool ok() const { return code == DbAccessCode::OK; }

  // The storage result as a client sees it: OK; no open database INTERNAL,
  // corruption DATA_LOSS, anything else FAILED_PRECONDITION, each with
  // "LevelDB error: " and the storage message.
  Status ToStatus() const {
    if (ok()) return Status::OK();
    std::string text = "LevelDB error: " + message;
    switch (code) {
      case DbAccessCode::NO_OPEN_DATABASE:
        return Status::Internal(std::move(text));
      case DbAccessCode::CORRUPTION:
        return Status::DataLoss(std::move(text));
      default:
        return Status::FailedPrecondition(std::move(text));
    }
  }
};

}  // namespace tarnix

#endif  // TARNIX_STORAGE_DB_ACCESS_STATUS_H_

#ifndef TARNIX_WRITE_TRANSACTION_LOG_STORE_H_
#define TARNIX_WRITE_TRANSACTION_LOG_STORE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "metrics/metric.h"
#include "util/status.h"
#include "storage/db_access.h"

namespace tarnix {

class TarnixTransactionLog;

// The stored transaction log: the units under kTxnLogPrefix, oldest
// transaction first, and the accounted size of all of them (key plus value
// bytes), kept within max_log_size() by dropping whole transactions from the
// oldest end. The store only computes what a commit adds and removes; the
// caller writes both in the commit's batch. Not thread-safe.
class TransactionLogStore {
 public:
  // `db_access` (not owned, open) and `registry` (not owned) must outlive the
  // store. Registers "server/latency/transaction/log/process".
  TransactionLogStore(DbAccess* db_access, uint64_t max_log_size,
                      orv::metrics::MetricRegistry* registry);
  TransactionLogStore(const TransactionLogStore&) = delete;
  TransactionLogStore& operator=(const TransactionLogStore&) = delete;

  // Start-up: sets current_log_size() to the size of every stored unit (a
  // recount, whatever was accounted before) and notes the highest
  // transaction id among the unit keys. A read error is logged and changes
  // neither; malformed keys are logged and counted in the size only.
  void SetCurrentLogSize();

  // Keys the units of `log`'s transaction and appends them to *puts, after
  // appending to *deletes the keys of the oldest transactions that must go
  // for the log to stay within the bound (the new units fit when the total
  // equals it). *size is set to the log size after the commit, *txn_bytes to
  // the key plus value bytes of the new units. A transaction larger than the
  // bound empties the log and is committed without units. FAILED_PRECONDITION
  // when a stored transaction has fewer units than its keys announce; a
  // failed read gives its DbAccessStatus::ToStatus(). Consumes `log`'s
  // units; the caller stores *size with set_current_log_size() before
  // writing its batch. With `tracing`, the call runs in a workflow span of
  // level 2.
  Status ComputeTxnLogUpdates(bool tracing, TarnixTransactionLog* log, uint64_t* size,
                              uint64_t* txn_bytes, std::vector<DbAccess::TxnPut>* puts,
                              std::vector<std::string>* deletes);

  uint64_t max_log_size() const { return max_log_size_; }
  uint64_t current_log_size() const { return current_log_size_; }
  void set_current_log_size(uint64_t size) { current_log_size_ = size; }
  // Highest transaction id seen by SetCurrentLogSize(); 0 for an empty log.
  uint64_t highest_logged_txn_id() const { return highest_logged_txn_id_; }

 private:
  DbAccess* const db_access_;
  const uint64_t max_log_size_;
  uint64_t current_log_size_ = 0;
  uint64_t highest_logged_txn_id_ = 0;
  metrics::LatencyMetric latency_;
};

// Appends to *deletes the keys of the whole transaction whose first unit
// `it` stands on, advancing past them, and sets *freed to their key plus
// value bytes. *freed is 0 when `it` stands outside the log. A key whose
// unit count cannot be read is logged and removed alone. FAILED_PRECONDITION
// when the log ends before the announced count; a read error as
// DbAccessStatus::ToStatus() maps it.
Status DeleteTxlogUnits(DbAccess::IteratorImpl* it, std::vector<std::string>* deletes,
                        uint64_t* freed);

}  // namespace tarnix

#endif  // TARNIX_WRITE_TRANSACTION_LOG_STORE_H_

#ifndef TARNIX_WRITE_TRANSACTION_LOG_STORE_H_
#define TARNIX_WRITE_TRANSACTION_LOG_STORE_H_

#include <cstdint>
#include <deque>
#include <optional>
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
//
// Trimmed units stay in LevelDB as deleted entries until one of its own
// compactions carries them to the deepest level that holds their keys, and
// an iterator that passes them steps over each one. So the store keeps the
// log's front, a key no live unit lies before, and trims from there, never
// passing them. Nothing else is done to drop them: a range compaction asked
// for on top would take LevelDB's background thread from the compactions
// its level sizes ask for, and the tables would grow.
//
// A log at its bound is trimmed by every transaction. The iterator that
// trims also reads the next transactions to trim (kReadAheadTxns or
// kReadAheadBytes, whichever comes first) and is let go: the store holds no
// iterator or snapshot between calls, which would keep LevelDB from
// dropping deleted entries and replaced tables.
class TransactionLogStore {
 public:
  // Transactions, and their key plus value bytes, read ahead past a trim.
  static constexpr size_t kReadAheadTxns = 64;
  static constexpr uint64_t kReadAheadBytes = 256 << 10;

  // `db_access` (not owned, open) and `registry` (not owned) must outlive the
  // store. Registers "server/latency/transaction/log/process".
  TransactionLogStore(DbAccess* db_access, uint64_t max_log_size,
                      orv::metrics::MetricRegistry* registry);
  TransactionLogStore(const TransactionLogStore&) = delete;
  TransactionLogStore& operator=(const TransactionLogStore&) = delete;

  // Start-up: sets current_log_size() to the size of every stored unit (a
  // recount, whatever was accounted before), notes the highest transaction
  // id among the unit keys, sets the front to the first unit and forgets
  // what was read ahead. A read error is logged and changes none of them;
  // malformed keys are logged and counted in the size only.
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
  // writing its batch, and calls BatchWritten() once it is written. With
  // `tracing`, the call runs in a workflow span of level 2.
  Status ComputeTxnLogUpdates(bool tracing, TarnixTransactionLog* log, uint64_t* size,
                              uint64_t* txn_bytes, std::vector<DbAccess::TxnPut>* puts,
                              std::vector<std::string>* deletes);
  // The batch with the updates of the last successful ComputeTxnLogUpdates()
  // is written: the front moves past the units it trimmed. Not called when
  // the write failed, so the front stays where it was and what was read
  // ahead is read again.
  void BatchWritten();

  uint64_t max_log_size() const { return max_log_size_; }
  uint64_t current_log_size() const { return current_log_size_; }
  void set_current_log_size(uint64_t size) { current_log_size_ = size; }
  // Highest transaction id seen by SetCurrentLogSize(); 0 for an empty log.
  uint64_t highest_logged_txn_id() const { return highest_logged_txn_id_; }
  // Where trimming seeks: no live unit lies between kTxnLogPrefix and it.
  const std::string& log_front() const { return front_; }

 private:
  DbAccess* const db_access_;
  const uint64_t max_log_size_;
  uint64_t current_log_size_ = 0;
  uint64_t highest_logged_txn_id_ = 0;
  metrics::LatencyMetric latency_;

  // The keys of one oldest transaction, as DeleteTxlogUnits() gives them,
  // and their key plus value bytes.
  struct TrimStep {
    std::vector<std::string> keys;
    uint64_t freed = 0;
  };
  using TrimSteps = std::deque<TrimStep>;

  // Trims the oldest transactions with `it`, from where it stands, while the
  // log of *size bytes and the `txn_bytes` new ones exceed the bound.
  Status TrimOldest(DbAccess::IteratorImpl* it, uint64_t txn_bytes, uint64_t* size,
                    std::vector<std::string>* deletes) const;
  // Trims as TrimOldest() with `ahead`'s steps, taken from its front. False,
  // with what it appended left for the caller to drop, when they run out or
  // reach a unit written since they were read: an iterator seeking the
  // front would trim otherwise.
  bool TrimAhead(TrimSteps* ahead, uint64_t txn_bytes, uint64_t* size,
                 std::vector<std::string>* deletes) const;
  // ComputeTxnLogUpdates' trimming: with the steps read ahead where they
  // trim as an iterator seeking the front would, otherwise with such an
  // iterator, which then reads the next steps ahead.
  Status Trim(uint64_t txn_bytes, uint64_t* size, std::vector<std::string>* deletes);

  std::string front_;
  // The next trims, read by the last iterator that trimmed and written
  // since; the smallest unit key written since they were read (empty when
  // none): a step past it may not be the oldest transaction any more.
  TrimSteps ahead_;
  std::string ahead_limit_;
  // Of the last ComputeTxnLogUpdates(), until its batch is written: the
  // units it trimmed and the key of the last one (0 and empty when none),
  // the key of its first new unit (empty when none), and the steps left
  // read ahead when it trimmed (with whether a fresh iterator read them).
  size_t batch_trimmed_ = 0;
  std::string batch_last_trimmed_;
  std::string batch_first_unit_;
  std::optional<TrimSteps> batch_ahead_;
  bool batch_ahead_fresh_ = false;
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

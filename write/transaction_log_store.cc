#include "write/transaction_log_store.h"

#include <iterator>
#include <optional>
#include <utility>

#include "logging/logger.h"
#include "metrics/scoped_latency_timer.h"
#include "platform/util/strings.h"
#include "platform/wft/workflow_util.h"
#include "storage/key_space.h"
#include "write/tarnix_transaction_log.h"
#include "write/txn_log_unit_record.h"

namespace tarnix {
namespace {

bool IsLogKey(const std::string& key) {
  return key.compare(0, kTxnLogPrefix.size(), kTxnLogPrefix) == 0;
}

void LogMalformedKey(const std::string& key) {
  TARNIX_LOG(orv::ERROR, nullptr, "Malformed transaction log key: %s",
             orv::hex_string(key).c_str());
}

Status MissingUnits() {
  return Status::FailedPrecondition(
      "Unable to retrieve txlog: One or more txlog units are missing from the underlying db.");
}

Status NoKey(uint64_t txn_id) {
  return Status::Internal(
      orv::string_format("Transaction id %lu has no transaction log key", txn_id));
}

// Whether a log of `size` stored bytes plus `txn_bytes` new ones exceeds `max`.
bool Exceeds(uint64_t size, uint64_t txn_bytes, uint64_t max) {
  return txn_bytes > max || size > max - txn_bytes;
}

}  // namespace

TransactionLogStore::TransactionLogStore(DbAccess* db_access, uint64_t max_log_size,
                                         orv::metrics::MetricRegistry* registry)
    : db_access_(db_access),
      max_log_size_(max_log_size),
      latency_(*registry, "server/latency/transaction/log/process"),
      front_(kTxnLogPrefix) {}

void TransactionLogStore::SetCurrentLogSize() {
  uint64_t size = 0;
  uint64_t highest = 0;
  std::string front = kTxnLogPrefix;
  boost::shared_ptr<DbAccess::IteratorImpl> it = db_access_->NewIterator();
  DbAccessStatus status(DbAccessCode::NO_OPEN_DATABASE, "no open database");
  if (it) {
    for (it->Seek(kTxnLogPrefix); it->Valid(); it->Next()) {
      const std::string key = it->key();
      if (!IsLogKey(key)) break;
      if (size == 0) front = key;  // the first unit
      size += key.size() + it->value_size();
      TxnLogUnitRecord record;
      if (!TxnLogUnitRecord::DecodeKey(key, &record)) {
        LogMalformedKey(key);
      } else if (record.txn_id > highest) {
        highest = record.txn_id;
      }
    }
    status = it->status();
  }
  if (!status.ok()) {
    TARNIX_LOG(orv::INFO, nullptr, "DbAccess error in TarnixServer::SetCurrentLogSize(): %s.",
               status.message.c_str());
    return;
  }
  current_log_size_ = size;
  highest_logged_txn_id_ = highest;
  front_ = std::move(front);
  ahead_.clear();
  TARNIX_LOG(orv::INFO, nullptr, "current_log_size_ set to %lu. max_log_size_ is %lu.",
             current_log_size_, max_log_size_);
}

Status TransactionLogStore::ComputeTxnLogUpdates(bool tracing, TarnixTransactionLog* log,
                                                 uint64_t* size, uint64_t* txn_bytes,
                                                 std::vector<DbAccess::TxnPut>* puts,
                                                 std::vector<std::string>* deletes) {
  std::optional<orv::wft::WorkflowUtil> span;
  if (tracing) span.emplace("ComputeTxnLogUpdates", 2);
  metrics::ScopedLatencyTimer timer(latency_);
  batch_trimmed_ = 0;
  batch_last_trimmed_.clear();
  batch_first_unit_.clear();
  batch_ahead_.reset();
  TarnixTransactionLog::Units units;
  log->BuildTransactionLogUnits(&units);
  *txn_bytes = 0;
  std::vector<DbAccess::TxnPut> new_units;
  new_units.reserve(units.size());
  TxnLogUnitRecord record;
  record.txn_id = log->txn_id();
  record.unit_count = units.size();
  // Requests the log could not hold: the transaction is measured, not
  // stored, as it cannot fit.
  std::vector<uint64_t> dropped;
  if (log->requests_dropped()) {
    dropped = log->DroppedUnitSizes(units.empty());
    record.unit_count += dropped.size();
  }
  std::string key;
  for (boost::shared_ptr<std::string>& value : units) {
    key.clear();
    if (!record.EncodeKey(&key)) return NoKey(record.txn_id);
    *txn_bytes += key.size() + value->size();
    TARNIX_LOG(orv::VERBOSE, nullptr, "new txlog unit: %s -- %s", key.c_str(), value->c_str());
    new_units.emplace_back(std::move(key), std::move(value));
    ++record.unit_index;
  }
  for (uint64_t value_size : dropped) {
    key.clear();
    if (!record.EncodeKey(&key)) return NoKey(record.txn_id);
    *txn_bytes += key.size() + value_size;
    ++record.unit_index;
  }
  if (!dropped.empty() && !Exceeds(0, *txn_bytes, max_log_size_)) {
    return Status::Internal("Transaction log units were dropped below the log bound");
  }

  *size = current_log_size_;
  TARNIX_LOG(orv::VERBOSE, nullptr,
             "Txlog size is %lu bytes. Log size if it is included:%lu bytes.", *txn_bytes,
             *txn_bytes + *size);
  if (Exceeds(*size, *txn_bytes, max_log_size_)) {
    const Status status = Trim(*txn_bytes, size, deletes);
    if (!status.ok()) return status;
  }
  if (Exceeds(*size, *txn_bytes, max_log_size_)) {
    TARNIX_LOG(orv::INFO, nullptr,
               "Current transaction's log record is too large to be accommodated in the log. "
               "Performing a complete log cleanup; All old transaction log records will be "
               "deleted.");
    return Status::OK();
  }
  if (!new_units.empty()) batch_first_unit_ = new_units.front().first;
  // Exactly: the vector lives while the batch is built.
  puts->reserve(puts->size() + new_units.size());
  puts->insert(puts->end(), std::make_move_iterator(new_units.begin()),
               std::make_move_iterator(new_units.end()));
  *size += *txn_bytes;
  return Status::OK();
}

Status TransactionLogStore::Trim(uint64_t txn_bytes, uint64_t* size,
                                 std::vector<std::string>* deletes) {
  const size_t first_trimmed = deletes->size();
  const uint64_t accounted = *size;
  // Taken until the batch is written: a failed write reads them again.
  TrimSteps ahead = std::move(ahead_);
  ahead_.clear();
  bool fresh = false;
  if (!TrimAhead(&ahead, txn_bytes, size, deletes)) {
    deletes->resize(first_trimmed);
    *size = accounted;
    ahead.clear();
    // A fresh snapshot: it sees every unit that current_log_size_ accounts for.
    boost::shared_ptr<DbAccess::IteratorImpl> it = db_access_->NewIterator();
    if (it == nullptr) return Status::OK();
    fresh = true;
    it->Seek(front_);
    const Status status = TrimOldest(it.get(), txn_bytes, size, deletes);
    if (!status.ok()) return status;
    // Not when verbose: each unit is then logged with its value as it is
    // trimmed, and the steps keep no values.
    uint64_t bytes = 0;
    while (ahead.size() < kReadAheadTxns && bytes < kReadAheadBytes && it->Valid() &&
           orv::Logger::logLevel < orv::VERBOSE) {
      TrimStep step;
      // A step that cannot be read is left to the iterator that reaches it.
      if (!DeleteTxlogUnits(it.get(), &step.keys, &step.freed).ok() || step.freed == 0) break;
      bytes += step.freed;
      ahead.push_back(std::move(step));
    }
  }
  batch_trimmed_ = deletes->size() - first_trimmed;
  if (batch_trimmed_ > 0) batch_last_trimmed_ = deletes->back();
  batch_ahead_ = std::move(ahead);
  batch_ahead_fresh_ = fresh;
  return Status::OK();
}

bool TransactionLogStore::TrimAhead(TrimSteps* ahead, uint64_t txn_bytes, uint64_t* size,
                                    std::vector<std::string>* deletes) const {
  while (Exceeds(*size, txn_bytes, max_log_size_)) {
    if (ahead->empty()) return false;
    TrimStep& step = ahead->front();
    if (!ahead_limit_.empty() && !(step.keys.back() < ahead_limit_)) return false;
    deletes->insert(deletes->end(), std::make_move_iterator(step.keys.begin()),
                    std::make_move_iterator(step.keys.end()));
    *size = step.freed > *size ? 0 : *size - step.freed;
    ahead->pop_front();
  }
  return true;
}

Status TransactionLogStore::TrimOldest(DbAccess::IteratorImpl* it, uint64_t txn_bytes,
                                       uint64_t* size, std::vector<std::string>* deletes) const {
  while (Exceeds(*size, txn_bytes, max_log_size_) && it->Valid()) {
    uint64_t freed = 0;
    const Status status = DeleteTxlogUnits(it, deletes, &freed);
    if (!status.ok()) return status;
    if (freed == 0) break;
    *size = freed > *size ? 0 : *size - freed;
  }
  return it->status().ToStatus();
}

void TransactionLogStore::BatchWritten() {
  if (batch_trimmed_ > 0) front_ = batch_last_trimmed_ + '\0';
  // New units sort past the old ones, but a stored key that is not a unit's
  // may sort past them and have been trimmed.
  if (!batch_first_unit_.empty() && batch_first_unit_ < front_) front_ = batch_first_unit_;
  if (batch_ahead_) {
    if (batch_ahead_fresh_) ahead_limit_.clear();
    ahead_ = std::move(*batch_ahead_);
    batch_ahead_.reset();
  }
  if (!batch_first_unit_.empty() && (ahead_limit_.empty() || batch_first_unit_ < ahead_limit_)) {
    ahead_limit_ = batch_first_unit_;
  }
  batch_trimmed_ = 0;
  batch_last_trimmed_.clear();
  batch_first_unit_.clear();
}

Status DeleteTxlogUnits(DbAccess::IteratorImpl* it, std::vector<std::string>* deletes,
                        uint64_t* freed) {
  *freed = 0;
  if (!it->Valid()) return it->status().ToStatus();
  std::string key = it->key();
  if (!IsLogKey(key)) return Status::OK();
  uint64_t count = 1;
  TxnLogUnitRecord record;
  if (TxnLogUnitRecord::DecodeKey(key, &record)) {
    if (record.unit_count > 1) count = record.unit_count;
  } else {
    LogMalformedKey(key);
  }
  for (uint64_t i = 0; i < count; ++i) {
    if (i > 0) {
      if (!it->Valid()) {
        return it->status().ok() ? MissingUnits() : it->status().ToStatus();
      }
      key = it->key();
      if (!IsLogKey(key)) return MissingUnits();
    }
    TARNIX_LOG(orv::VERBOSE, nullptr, "del txlog unit: %s -- %s", key.c_str(),
               it->value().c_str());
    *freed += key.size() + it->value_size();
    deletes->push_back(std::move(key));
    it->Next();
  }
  return Status::OK();
}

}  // namespace tarnix

#include "storage/db_access.h"

#include <sys/mman.h>

#include <cstring>
#include <utility>

#include "logging/log_sink.h"
#include "logging/logger.h"
#include "metrics/metric.h"
#include "metrics/scoped_latency_timer.h"
#include "storage/printable.h"

namespace tarnix {

namespace {

leveldb::ReadOptions MakeReadOptions(const leveldb::Snapshot* snapshot) {
  leveldb::ReadOptions options;
  options.verify_checksums = true;  // damage is reported, never served as data
  options.fill_cache = true;
  options.snapshot = snapshot;
  return options;
}

bool StartsWith(const leveldb::Slice& key, const std::string& prefix) {
  return key.size() >= prefix.size() &&
         std::memcmp(key.data(), prefix.data(), prefix.size()) == 0;
}

const char kNoDatabase[] = "errorCode:DRX0102";

DbAccessStatus NoDatabaseStatus() {
  return DbAccessStatus(DbAccessCode::NO_OPEN_DATABASE, "");
}

// A null value is stored as an empty one.
void AddPut(const DbAccess::TxnPut& put, leveldb::WriteBatch* batch) {
  batch->Put(put.first, put.second ? leveldb::Slice(*put.second) : leveldb::Slice());
}

size_t VarintLength(size_t v) {
  size_t length = 1;
  for (; v >= 128; v >>= 7) ++length;
  return length;
}

// The bytes WriteBatch takes for one record: its type, the key and the value
// with their lengths.
size_t BatchRecordBytes(size_t key, size_t value) {
  return 1 + VarintLength(key) + key + VarintLength(value) + value;
}

// Below this a batch grows as it will.
constexpr size_t kReserveBatchBytes = size_t{1} << 20;

// Makes an empty batch hold `bytes` without growing. WriteBatch has no
// reserve, and its buffer doubles as it grows: a large batch would briefly
// hold its bytes 1.5 times over and keep up to twice their room. Its buffer
// keeps its room across Clear(), so one record of the whole size, read from
// zero pages that take no memory, sizes it once.
void ReserveBatch(size_t bytes, leveldb::WriteBatch* batch) {
  constexpr size_t kHeader = 12;
  if (bytes < kReserveBatchBytes) return;
  void* zeros = mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (zeros == MAP_FAILED) return;
  size_t value = bytes - kHeader - 1 - 1 - VarintLength(bytes);
  while (kHeader + BatchRecordBytes(0, value) < bytes) ++value;
  batch->Put(leveldb::Slice(), leveldb::Slice(static_cast<const char*>(zeros), value));
  batch->Clear();
  munmap(zeros, bytes);
}

size_t BatchBytes(const std::vector<DbAccess::TxnPut>& puts,
                  const std::vector<std::string>& deletes) {
  size_t bytes = 12;
  for (const DbAccess::TxnPut& put : puts) {
    bytes += BatchRecordBytes(put.first.size(), put.second ? put.second->size() : 0);
  }
  for (const std::string& key : deletes) bytes += 1 + VarintLength(key.size()) + key.size();
  return bytes;
}

}  // namespace

// The storage latency metrics, in registration order. Members are destroyed
// in reverse, so the last registered is released first.
struct DbAccess::Metrics {
  explicit Metrics(orv::metrics::MetricRegistry& registry)
      : get(registry, "server/db_access/get/latency"),
        get_matching_set(registry, "server/db_access/get_matching_set/latency"),
        prefix_filter(registry, "server/db_access/prefix_filter/latency"),
        range_scan(registry, "server/db_access/range_scan/latency"),
        write_txn(registry, "server/db_access/write_txn/latency") {}

  metrics::LatencyMetric get;
  metrics::LatencyMetric get_matching_set;  // registered, never recorded
  metrics::LatencyMetric prefix_filter;
  metrics::LatencyMetric range_scan;  // registered, never recorded
  metrics::LatencyMetric write_txn;
};

bool DbAccess::NoDatabase(const char* operation) const {
  if (db_) return false;
  TARNIX_LOG(orv::ERROR, kNoDatabase,
             "%s() called when there is no open database", operation);
  return true;
}

// --- Snapshots and iterators ---

DbAccess::DbSnapshotPtr::DbSnapshotPtr(boost::shared_ptr<leveldb::DB> db)
    : db_(std::move(db)), snapshot_(db_->GetSnapshot()) {}

DbAccess::DbSnapshotPtr::~DbSnapshotPtr() { db_->ReleaseSnapshot(snapshot_); }

DbAccess::IteratorImpl::IteratorImpl(boost::shared_ptr<leveldb::DB> db,
                                     SnapshotHolder snapshot)
    : db_(std::move(db)),
      snapshot_(std::move(snapshot)),
      iter_(db_->NewIterator(MakeReadOptions(snapshot_->snapshot()))) {}

DbAccess::IteratorImpl::~IteratorImpl() {
  iter_.reset();
  snapshot_.reset();
}

void DbAccess::IteratorImpl::Seek(const std::string& key) { iter_->Seek(key); }
void DbAccess::IteratorImpl::Next() { iter_->Next(); }
// LevelDB's iterator steps over a block it cannot read and goes on with the
// next one, keeping the error in its status; ours stops there instead.
bool DbAccess::IteratorImpl::Valid() const {
  return iter_->Valid() && iter_->status().ok();
}
std::string DbAccess::IteratorImpl::key() const {
  return iter_->key().ToString();
}
std::string DbAccess::IteratorImpl::value() const {
  return iter_->value().ToString();
}
size_t DbAccess::IteratorImpl::value_size() const { return iter_->value().size(); }
leveldb::Slice DbAccess::IteratorImpl::key_view() const { return iter_->key(); }
leveldb::Slice DbAccess::IteratorImpl::value_view() const { return iter_->value(); }
DbAccessStatus DbAccess::IteratorImpl::status() const {
  return ToStatus(iter_->status());
}

// --- Handle ---

DbAccess::DbAccess(orv::metrics::MetricRegistry& registry, leveldb::Env* env)
    : log_env_(std::make_shared<LogSyncEnv>(env != nullptr ? env : leveldb::Env::Default())),
      env_(log_env_.get()),
      metrics_(new Metrics(registry)) {}

DbAccess::~DbAccess() {
  if (db_) Close();
  metrics_.reset();
  db_.reset();
}

DbAccessStatus DbAccess::ToStatus(const leveldb::Status& status) {
  int32_t code = DbAccessCode::OTHER_ERROR;
  if (status.ok()) {
    code = DbAccessCode::OK;
  } else if (status.IsNotFound()) {
    code = DbAccessCode::NOT_FOUND;
  } else if (status.IsCorruption()) {
    code = DbAccessCode::CORRUPTION;
  } else if (status.IsIOError()) {
    code = DbAccessCode::IO_ERROR;
  }
  return DbAccessStatus(code, status.ToString());
}

bool DbAccess::Close() {
  if (NoDatabase("Close")) return false;
  db_.reset();
  return true;
}

// --- Reads ---

DbAccess::SnapshotHolder DbAccess::GetSnapshot() {
  if (NoDatabase("GetSnapshot")) return SnapshotHolder();
  return SnapshotHolder(new DbSnapshotPtr(db_));
}

DbAccessStatus DbAccess::Get(const leveldb::Snapshot* snapshot,
                             const std::vector<std::string>& keys,
                             std::vector<std::string>* values) {
  metrics::ScopedLatencyTimer timer(metrics_->get);
  if (NoDatabase("Get")) return NoDatabaseStatus();
  // Several keys are read at one point in time.
  SnapshotHolder own;
  if (snapshot == nullptr && keys.size() >= 2) {
    own.reset(new DbSnapshotPtr(db_));
    snapshot = own->snapshot();
  }
  const leveldb::ReadOptions options = MakeReadOptions(snapshot);
  for (const std::string& key : keys) {
    values->emplace_back();
    const leveldb::Status status = db_->Get(options, key, &values->back());
    if (status.ok()) continue;
    if (status.IsCorruption() || status.IsIOError()) {
      values->pop_back();
      return ToStatus(status);
    }
    values->back().clear();
    TARNIX_LOG(orv::VERBOSE, nullptr, "Get() failed on key '%s': %s",
               Printable(key).c_str(), status.ToString().c_str());
  }
  return DbAccessStatus(DbAccessCode::OK, "");
}

DbAccessStatus DbAccess::Get(const SnapshotHolder& snapshot,
                             const std::string& key, std::string* value) {
  if (!snapshot) {
    TARNIX_LOG(orv::ERROR, kNoDatabase,
               "Get() called without a snapshot");
    return NoDatabaseStatus();
  }
  const leveldb::Status status = snapshot->db()->Get(
      MakeReadOptions(snapshot->snapshot()), key, value);
  if (!status.ok()) {
    TARNIX_LOG(orv::VERBOSE, nullptr, "Get() failed on key '%s': %s",
               Printable(key).c_str(), status.ToString().c_str());
  }
  return ToStatus(status);
}

DbAccessStatus DbAccess::PrefixFilter(const SnapshotHolder& snapshot,
                                      const std::string& prefix,
                                      Records* records, const std::string& from) {
  return PrefixFilter(snapshot ? snapshot->snapshot() : nullptr, prefix,
                      records, from);
}

DbAccessStatus DbAccess::PrefixFilter(const leveldb::Snapshot* snapshot,
                                      const std::string& prefix,
                                      Records* records, const std::string& from) {
  metrics::ScopedLatencyTimer timer(metrics_->prefix_filter);
  if (NoDatabase("PrefixFilter")) return NoDatabaseStatus();
  SnapshotHolder own;
  if (snapshot == nullptr) {
    own.reset(new DbSnapshotPtr(db_));
    snapshot = own->snapshot();
  }
  const size_t original_size = records->size();
  std::unique_ptr<leveldb::Iterator> it(
      db_->NewIterator(MakeReadOptions(snapshot)));
  for (it->Seek(from > prefix ? from : prefix); it->Valid(); it->Next()) {
    const leveldb::Slice key = it->key();
    if (!StartsWith(key, prefix)) break;
    records->emplace_back(key.ToString(), it->value().ToString());
  }
  // A read error ends the iteration like the end of the range would; only
  // the status tells them apart.
  const leveldb::Status status = it->status();
  if (!status.ok()) {
    records->resize(original_size);
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0104",
               "PrefixFilter() failed on prefix '%s': %s",
               Printable(prefix).c_str(), status.ToString().c_str());
    return ToStatus(status);
  }
  return DbAccessStatus(DbAccessCode::OK, "");
}

boost::shared_ptr<DbAccess::IteratorImpl> DbAccess::NewIterator() {
  if (NoDatabase("NewIterator")) return boost::shared_ptr<IteratorImpl>();
  return NewIterator(SnapshotHolder(new DbSnapshotPtr(db_)));
}

boost::shared_ptr<DbAccess::IteratorImpl> DbAccess::NewIterator(const SnapshotHolder& snapshot) {
  if (NoDatabase("NewIterator") || !snapshot) return boost::shared_ptr<IteratorImpl>();
  return boost::shared_ptr<IteratorImpl>(new IteratorImpl(snapshot->db(), snapshot));
}

// --- Writes ---

DbAccessStatus DbAccess::Write(leveldb::WriteBatch* batch, bool sync) {
  leveldb::WriteOptions options;
  options.sync = sync;
  const leveldb::Status status = db_->Write(options, batch);
  if (!status.ok()) {
    // The database can no longer take writes; the daemon must not go on as
    // if they had been stored. The deadline comes first: the log call below
    // can wait without end for a stuck log sink.
    if (status.IsIOError()) orv::ScheduleExit(1);
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0103", "leveldb::DB::Write() failed: %s",
               status.ToString().c_str());
    // The daemon's other threads still run, so nothing is torn down (see
    // the header).
    if (status.IsIOError()) orv::FlushLogAndExitNow(1);
  }
  return ToStatus(status);
}

DbAccessStatus DbAccess::ReadStored(const Records& records,
                                    std::vector<std::string>* stored) {
  std::vector<std::string> keys;
  keys.reserve(records.size());
  for (const Record& record : records) keys.push_back(record.first);
  const size_t first = stored->size();
  const DbAccessStatus status = Get(nullptr, keys, stored);
  if (!status.ok()) stored->resize(first);
  return status;
}

DbAccessStatus DbAccess::Classify(WriteKind kind, const Records& records,
                                  std::vector<size_t>* go_ahead, std::vector<int32_t>* results,
                                  std::vector<std::string>* stored) {
  const size_t first = stored->size();
  const DbAccessStatus status = ReadStored(records, stored);
  if (!status.ok()) return status;
  for (size_t i = 0; i < records.size(); ++i) {
    const std::string& old_value = (*stored)[first + i];
    const std::string& supplied = records[i].second;
    int32_t result;
    if (kind == WriteKind::kPut) {
      result = old_value.empty()       ? PutReturnValue::CREATED
               : old_value == supplied ? PutReturnValue::UNCHANGED
                                       : PutReturnValue::UPDATED;
      if (result != PutReturnValue::UNCHANGED) go_ahead->push_back(i);
    } else if (old_value.empty()) {
      result = DeleteReturnValue::NOT_FOUND;
    } else if (supplied.empty() || supplied == old_value) {
      result = DeleteReturnValue::DELETED;
      go_ahead->push_back(i);
    } else {
      result = DeleteReturnValue::VALUE_MISMATCH;
      TARNIX_LOG(orv::WARNING, nullptr,
                 "Supplied record for deletion has a different value than the "
                 "one in db: key='%s', supplied value='%s', value in db='%s'",
                 Printable(records[i].first).c_str(), Printable(supplied).c_str(),
                 Printable(old_value).c_str());
    }
    results->push_back(result);
  }
  return DbAccessStatus(DbAccessCode::OK, "");
}

DbAccessStatus DbAccess::ClassifyAndWrite(WriteKind kind, const Records& records, bool sync,
                                          std::vector<int32_t>* results) {
  std::vector<size_t> go_ahead;
  std::vector<std::string> stored;
  const DbAccessStatus status = Classify(kind, records, &go_ahead, results, &stored);
  if (!status.ok()) return status;
  leveldb::WriteBatch batch;
  for (size_t i : go_ahead) {
    if (kind == WriteKind::kPut) {
      batch.Put(records[i].first, records[i].second);
    } else {
      batch.Delete(records[i].first);
    }
  }
  return Write(&batch, sync);
}

DbAccessStatus DbAccess::ComputeReturnValuesForPut(
    const Records& records, Records* to_write, std::vector<int32_t>* results,
    std::vector<std::string>* stored) {
  if (NoDatabase("ComputeReturnValuesForPut")) return NoDatabaseStatus();
  std::vector<size_t> go_ahead;
  const DbAccessStatus status = Classify(WriteKind::kPut, records, &go_ahead, results, stored);
  for (size_t i : go_ahead) to_write->push_back(records[i]);
  return status;
}

DbAccessStatus DbAccess::ComputeReturnValuesForDelete(
    const Records& records, std::vector<std::string>* to_delete,
    std::vector<int32_t>* results, std::vector<std::string>* stored) {
  if (NoDatabase("ComputeReturnValuesForDelete")) return NoDatabaseStatus();
  std::vector<size_t> go_ahead;
  const DbAccessStatus status = Classify(WriteKind::kDelete, records, &go_ahead, results, stored);
  for (size_t i : go_ahead) to_delete->push_back(records[i].first);
  return status;
}

DbAccessStatus DbAccess::Put(const Records& records, bool sync,
                             std::vector<int32_t>* results) {
  if (NoDatabase("Put")) return NoDatabaseStatus();
  return ClassifyAndWrite(WriteKind::kPut, records, sync, results);
}

DbAccessStatus DbAccess::Delete(const Records& records, bool sync,
                                std::vector<int32_t>* results) {
  if (NoDatabase("Delete")) return NoDatabaseStatus();
  return ClassifyAndWrite(WriteKind::kDelete, records, sync, results);
}

DbAccessStatus DbAccess::WriteTxn(const std::vector<TxnPut>& puts,
                                  const std::vector<std::string>& deletes,
                                  bool sync, const WriteHook& hook) {
  metrics::ScopedLatencyTimer timer(metrics_->write_txn);
  if (NoDatabase("WriteTxn")) return NoDatabaseStatus();
  leveldb::WriteBatch batch;
  ReserveBatch(BatchBytes(puts, deletes), &batch);
  for (const TxnPut& put : puts) AddPut(put, &batch);
  return WriteTxnBatch(&batch, deletes, sync, hook);
}

DbAccessStatus DbAccess::WriteTxn(std::vector<TxnPut>&& puts,
                                  const std::vector<std::string>& deletes,
                                  bool sync, const WriteHook& hook) {
  metrics::ScopedLatencyTimer timer(metrics_->write_txn);
  std::vector<TxnPut> owned = std::move(puts);
  if (NoDatabase("WriteTxn")) return NoDatabaseStatus();
  leveldb::WriteBatch batch;
  ReserveBatch(BatchBytes(owned, deletes), &batch);
  for (TxnPut& put : owned) {
    AddPut(put, &batch);
    TxnPut().swap(put);
  }
  std::vector<TxnPut>().swap(owned);
  return WriteTxnBatch(&batch, deletes, sync, hook);
}

DbAccessStatus DbAccess::WriteTxnBatch(leveldb::WriteBatch* batch,
                                       const std::vector<std::string>& deletes,
                                       bool sync, const WriteHook& hook) {
  for (const std::string& key : deletes) batch->Delete(key);
  hook();
  return Write(batch, sync);
}

DbAccessStatus DbAccess::DeleteByPrefixes(
    const std::vector<std::string>& prefixes, bool sync, size_t* deleted) {
  if (deleted != nullptr) *deleted = 0;
  if (NoDatabase("DeleteByPrefixes")) return NoDatabaseStatus();
  leveldb::WriteBatch batch;
  size_t count = 0;
  {
    const DbSnapshotPtr snapshot(db_);
    const leveldb::ReadOptions options = MakeReadOptions(snapshot.snapshot());
    for (const std::string& prefix : prefixes) {
      std::unique_ptr<leveldb::Iterator> it(db_->NewIterator(options));
      for (it->Seek(prefix); it->Valid(); it->Next()) {
        if (!StartsWith(it->key(), prefix)) break;
        batch.Delete(it->key());
        ++count;
      }
      // Deleting only part of the records would leave the prefix half gone.
      const leveldb::Status status = it->status();
      if (!status.ok()) {
        TARNIX_LOG(orv::ERROR, "errorCode:DRX0104",
                   "DeleteByPrefixes() failed on prefix '%s': %s",
                   Printable(prefix).c_str(), status.ToString().c_str());
        return ToStatus(status);
      }
    }
  }
  const DbAccessStatus status = Write(&batch, sync);
  if (deleted != nullptr && status.ok()) *deleted = count;
  return status;
}

DbAccessStatus DbAccess::SyncLog() {
  if (NoDatabase("SyncLog")) return NoDatabaseStatus();
  return ToStatus(log_env_->SyncLogs());
}

}  // namespace tarnix

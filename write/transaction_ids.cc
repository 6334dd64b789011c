#include "write/transaction_ids.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>
#include <leveldb/env.h>

#include "logging/logger.h"
#include "schema/compact_uint.h"
#include "storage/db_access.h"
#include "storage/key_space.h"
#include "storage/synced_file.h"

namespace tarnix {
namespace {

// Decimal digits with an optional leading '+'; false for anything else and
// for values without a log key (>= 2^61).
bool ParseTxnId(const std::string& text, uint64_t* value) {
  size_t pos = (!text.empty() && text[0] == '+') ? 1 : 0;
  if (pos == text.size()) return false;
  uint64_t v = 0;
  for (; pos < text.size(); ++pos) {
    const char c = text[pos];
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v >= kCompactUint64Limit) return false;  // also stops any overflow
  }
  *value = v;
  return true;
}

std::string BoundPath(const DbAccess& db) {
  return db.directory() + "/" + DbAccess::kTxnIdBoundFile;
}

}  // namespace

TransactionIds::TransactionIds(DbAccess* db_access) : db_access_(db_access) {}

void TransactionIds::InitTxnId() {
  txn_id_ = 0;
  std::string text;
  const DbAccessStatus status =
      db_access_->Get(db_access_->GetSnapshot(), kTxnIdKey, &text);
  uint64_t value = 0;
  if (!status.ok()) {
    TARNIX_LOG(orv::INFO, nullptr,
               "DbAccess error in TarnixServer::InitTxnId(): %s. txn_id_ set to 0.",
               status.message.c_str());
  } else if (!ParseTxnId(text, &value)) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0005", "Transaction id %s is not a valid integer",
               text.c_str());
  } else {
    txn_id_ = value;
  }
  LoadBound();
}

void TransactionIds::LoadBound() {
  bound_ = 0;
  leveldb::Env* const env = db_access_->env();
  const std::string path = BoundPath(*db_access_);
  if (db_access_->directory().empty() || !env->FileExists(path)) return;
  std::string text;
  const leveldb::Status status = leveldb::ReadFileToString(env, path, &text);
  uint64_t bound = 0;
  if (!status.ok() || !ParseTxnId(text, &bound)) {
    const uint64_t stored = txn_id_;
    txn_id_ = std::min(stored + kLostIdMargin, kCompactUint64Limit - 1);
    TARNIX_LOG(orv::ERROR, nullptr,
               "Transaction id bound '%s' %s%s: transaction ids go on after %lu instead of "
               "%lu, past any id given out before",
               path.c_str(), status.ok() ? "holds no transaction id" : "cannot be read: ",
               status.ok() ? "" : status.ToString().c_str(), txn_id_, stored);
    return;
  }
  bound_ = bound;
  if (bound_ <= txn_id_) return;
  // Ids up to the bound may have gone out in writes the database lost.
  TARNIX_LOG(orv::WARNING, nullptr,
             "Transaction id bound %lu lies above the stored id %lu: ids up to it may have "
             "been handed out before; transaction ids go on after %lu",
             bound_, txn_id_, bound_);
  txn_id_ = bound_;
}

bool TransactionIds::GetNextTxnId(uint64_t* txn_id) {
  return TakeTxnId(txn_id) && PersistPending();
}

bool TransactionIds::TakeTxnId(uint64_t* txn_id) {
  if (txn_id == nullptr) return false;
  if (txn_id_ + 1 >= kCompactUint64Limit) {
    TARNIX_LOG(orv::ERROR, nullptr,
               "Transaction id %lu is the last one available; no further id is handed out",
               txn_id_);
    return false;
  }
  if (txn_id_ + 1 > bound_) {
    // One sync every kBoundStep ids, never one id past a durable bound.
    const uint64_t bound = std::min(txn_id_ + kBoundStep, kCompactUint64Limit - 1);
    const leveldb::Status status = StoreBound(bound);
    if (!status.ok()) {
      TARNIX_LOG(orv::ERROR, nullptr,
                 "Raising the transaction id bound to %lu failed: %s; no id above %lu is "
                 "handed out",
                 bound, status.ToString().c_str(), txn_id_);
      return false;
    }
    bound_ = bound;
  }
  *txn_id = ++txn_id_;
  pending_ = true;
  return true;
}

bool TransactionIds::Stop() {
  const leveldb::Status status = StoreBound(txn_id_);
  if (!status.ok()) {
    TARNIX_LOG(orv::WARNING, nullptr,
               "Storing the last transaction id %lu as the bound failed: %s; the next start "
               "goes on after %lu",
               txn_id_, status.ToString().c_str(), bound_);
    return false;
  }
  bound_ = txn_id_;
  return true;
}

leveldb::Status TransactionIds::StoreBound(uint64_t bound) {
  if (db_access_->directory().empty()) return leveldb::Status::IOError("no database is open");
  leveldb::Env* const env = db_access_->env();
  const std::string temp = db_access_->directory() + "/" + DbAccess::kTxnIdBoundTempFile;
  // Written whole aside and renamed over the old one: a crash leaves the
  // old bound or the new, never a part.
  leveldb::Status status = WriteFileSynced(env, temp, std::to_string(bound));
  if (status.ok()) status = env->RenameFile(temp, BoundPath(*db_access_));
  if (status.ok()) status = SyncDirectory(db_access_->directory());
  if (!status.ok()) env->RemoveFile(temp);
  return status;
}

DbAccess::TxnPut TransactionIds::Record() const {
  return {kTxnIdKey, boost::make_shared<std::string>(std::to_string(txn_id_))};
}

bool TransactionIds::PersistPending() {
  if (!pending_) return true;
  // A write of its own, without reading what it replaces.
  const DbAccessStatus status = db_access_->WriteTxn({Record()}, {}, false, [] {});
  if (!status.ok()) {
    TARNIX_LOG(orv::INFO, nullptr,
               "DbAccess error in TarnixServer::GetNextTxnId(): %s. txn_id_ not persisted to db.",
               status.message.c_str());
    return false;
  }
  pending_ = false;
  return true;
}

void TransactionIds::AdvancePastLoggedTxnId(uint64_t logged_txn_id) {
  if (logged_txn_id <= txn_id_) return;
  TARNIX_LOG(orv::WARNING, nullptr,
             "Transaction log holds transaction id %lu above the stored id %lu; "
             "txn_id_ raised to %lu.",
             logged_txn_id, txn_id_, logged_txn_id);
  txn_id_ = logged_txn_id;
}

void TransactionIds::AdvancePastLostIds() {
  const uint64_t stored = txn_id_;
  txn_id_ = std::min(stored + kLostIdMargin, kCompactUint64Limit - 1);
  std::vector<int32_t> results;
  const DbAccessStatus status =
      db_access_->Put({{kTxnIdKey, std::to_string(txn_id_)}}, true, &results);
  TARNIX_LOG(orv::WARNING, nullptr,
             "The database lost data when it was opened: transaction ids go on after %lu "
             "instead of %lu, past any id given out in what was lost%s%s",
             txn_id_, stored, status.ok() ? "" : "; persisting it failed: ",
             status.ok() ? "" : status.message.c_str());
}

}  // namespace tarnix

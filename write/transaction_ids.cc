#include "write/transaction_ids.h"

#include <algorithm>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "logging/logger.h"
#include "schema/compact_uint.h"
#include "storage/db_access.h"
#include "storage/key_space.h"

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

}  // namespace

TransactionIds::TransactionIds(DbAccess* db_access) : db_access_(db_access) {}

void TransactionIds::InitTxnId() {
  txn_id_ = 0;
  std::string text;
  const DbAccessStatus status =
      db_access_->Get(db_access_->GetSnapshot(), kTxnIdKey, &text);
  if (!status.ok()) {
    TARNIX_LOG(orv::INFO, nullptr,
               "DbAccess error in TarnixServer::InitTxnId(): %s. txn_id_ set to 0.",
               status.message.c_str());
    return;
  }
  uint64_t value = 0;
  if (!ParseTxnId(text, &value)) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0005", "Transaction id %s is not a valid integer",
               text.c_str());
    return;
  }
  txn_id_ = value;
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
  *txn_id = ++txn_id_;
  pending_ = true;
  return true;
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

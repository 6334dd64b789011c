#ifndef TARNIX_WRITE_TRANSACTION_IDS_H_
#define TARNIX_WRITE_TRANSACTION_IDS_H_

#include <cstdint>

#include "storage/db_access.h"

namespace tarnix {

// Hands out transaction ids: one more than the last, persisted as decimal
// text under kTxnIdKey, alone before the transaction that uses it runs
// (GetNextTxnId) or in the transaction's own batch (TakeTxnId). Ids stay
// below 2^61 so that every id has a transaction-log key. Not thread-safe: the
// server calls it from one thread.
class TransactionIds {
 public:
  // `db_access` (not owned, open) must outlive this object.
  explicit TransactionIds(DbAccess* db_access);
  TransactionIds(const TransactionIds&) = delete;
  TransactionIds& operator=(const TransactionIds&) = delete;

  // Loads the last id from its record. A missing record, a read error or a
  // stored value that is not a decimal id below 2^61 (a sign other than '+'
  // included) is logged and leaves the last id at 0.
  void InitTxnId();

  // Stores the next id in *txn_id and persists it. False when txn_id is null
  // (nothing changes), when the id space is used up (nothing changes), or
  // when the write fails: the id is then taken all the same, so the next call
  // hands out the one after it.
  bool GetNextTxnId(uint64_t* txn_id);

  // Stores the next id in *txn_id without writing it; false as GetNextTxnId
  // when nothing is handed out. The caller writes Record() in the batch of
  // its transaction and then calls MarkPersisted(), or calls
  // PersistPending() when the transaction ends without that batch.
  bool TakeTxnId(uint64_t* txn_id);
  // The record of the last id, for a transaction's batch.
  DbAccess::TxnPut Record() const;
  // A batch holding Record() was written.
  void MarkPersisted() { pending_ = false; }
  // Writes the last id alone unless a batch already held it; false, with
  // an INFO line, when that write fails.
  bool PersistPending();

  // Raises the last id to `logged_txn_id`, the highest id found in the
  // transaction log, when that is higher, with a WARNING line: new log units
  // must never reuse the keys of stored ones. Call after InitTxnId().
  void AdvancePastLoggedTxnId(uint64_t logged_txn_id);

  // How far ids move on after an open that lost data: more transactions
  // than one write-ahead log can hold.
  static constexpr uint64_t kLostIdMargin = uint64_t{1} << 32;
  // After an open that lost data (DbAccess::lost_data_at_open()): ids given
  // out in what was lost may lie above the stored one. Raises the last id by
  // kLostIdMargin (up to the last id available), persists it synced and
  // logs it, so that no id handed out before is given again. Call after
  // AdvancePastLoggedTxnId().
  void AdvancePastLostIds();

  // The last id handed out; 0 when none.
  uint64_t txn_id() const { return txn_id_; }

 private:
  DbAccess* const db_access_;
  uint64_t txn_id_ = 0;
  bool pending_ = false;  // txn_id_ was taken and is not written yet
};

}  // namespace tarnix

#endif  // TARNIX_WRITE_TRANSACTION_IDS_H_

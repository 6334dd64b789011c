#ifndef TARNIX_WRITE_TRANSACTION_IDS_H_
#define TARNIX_WRITE_TRANSACTION_IDS_H_

#include <cstdint>

#include <leveldb/status.h>

#include "storage/db_access.h"

namespace tarnix {

// Hands out transaction ids: one more than the last, persisted as decimal
// text under kTxnIdKey, alone before the transaction that uses it runs
// (GetNextTxnId) or in the transaction's own batch (TakeTxnId). Ids stay
// below 2^61 so that every id has a transaction-log key. Not thread-safe: the
// server calls it from one thread.
//
// A write that did not ask for sync may be lost whole in a crash, and the
// id record with it, without the open noticing. So no id is handed out
// above a bound kept in a file of its own beside the database
// (DbAccess::kTxnIdBoundFile, replaced whole and synced): the bound moves
// kBoundStep ids ahead at a time, one sync per step, and a start goes on
// after the larger of the stored id and the bound. Stop() sets the bound to
// the last id, so that after a clean stop ids go on without a gap.
class TransactionIds {
 public:
  // How far the bound moves ahead of the last id when it is raised.
  static constexpr uint64_t kBoundStep = uint64_t{1} << 20;

  // `db_access` (not owned, open before InitTxnId) must outlive this object.
  explicit TransactionIds(DbAccess* db_access);
  TransactionIds(const TransactionIds&) = delete;
  TransactionIds& operator=(const TransactionIds&) = delete;

  // Loads the last id from its record. A missing record, a read error or a
  // stored value that is not a decimal id below 2^61 (a sign other than '+'
  // included) is logged and leaves the last id at 0. Then reads the bound:
  // one above the stored id becomes the last id, with a WARNING line; a
  // bound file that cannot be read or holds no id moves the last id on by
  // kLostIdMargin, with an ERROR line. No bound file: the stored id stands.
  void InitTxnId();

  // Stores the next id in *txn_id and persists it. False when txn_id is null
  // (nothing changes), when the id space is used up (nothing changes), when
  // the bound must be raised and that fails (nothing changes), or when the
  // write fails: the id is then taken all the same, so the next call hands
  // out the one after it.
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

  // A clean stop: sets the bound to the last id, so that the next start
  // goes on right after it. Call once no more ids are wanted; an id taken
  // later raises the bound again. False, with a WARNING line, when the
  // bound cannot be written: the next start then goes on after the older,
  // higher one.
  bool Stop();

  // The last id handed out; 0 when none.
  uint64_t txn_id() const { return txn_id_; }
  // No id above it has been handed out, nor will be before it is raised.
  uint64_t bound() const { return bound_; }

 private:
  // Reads the bound file after the stored id (see InitTxnId).
  void LoadBound();
  // Replaces the bound file with `bound`, durably; OK or why not.
  leveldb::Status StoreBound(uint64_t bound);

  DbAccess* const db_access_;
  uint64_t txn_id_ = 0;
  uint64_t bound_ = 0;    // the stored bound; 0 before the first is stored
  bool pending_ = false;  // txn_id_ was taken and is not written yet
};

}  // namespace tarnix

#endif  // TARNIX_WRITE_TRANSACTION_IDS_H_

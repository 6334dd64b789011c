#ifndef TARNIX_WRITE_TXN_LOG_UNIT_RECORD_H_
#define TARNIX_WRITE_TXN_LOG_UNIT_RECORD_H_

#include <cstdint>
#include <string>

namespace tarnix {

// The key of one stored transaction-log unit: kTxnLogPrefix, the transaction
// id (CompactUint64), the transaction's unit count (varint) and the unit's
// index (CompactUint64). Keys sort by transaction id, then by index, so the
// oldest transaction comes first. The value is a serialised
// TransactionLogUnitMsg.
struct TxnLogUnitRecord {
  uint64_t txn_id = 0;
  uint64_t unit_count = 0;
  uint64_t unit_index = 0;

  // Appends the key; false, with nothing appended, when the id or the index
  // is at or above 2^61.
  bool EncodeKey(std::string* key) const;

  // Parses a whole key; false when it does not begin with kTxnLogPrefix,
  // ends inside a field or has bytes after the index.
  static bool DecodeKey(const std::string& key, TxnLogUnitRecord* record);
};

}  // namespace tarnix

#endif  // TARNIX_WRITE_TXN_LOG_UNIT_RECORD_H_

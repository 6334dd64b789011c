#include "write/txn_log_unit_record.h"

#include "schema/compact_uint.h"
#include "schema/varint.h"
#include "storage/key_space.h"

namespace tarnix {

bool TxnLogUnitRecord::EncodeKey(std::string* key) const {
  if (txn_id >= kCompactUint64Limit || unit_index >= kCompactUint64Limit) return false;
  key->append(kTxnLogPrefix);
  AppendCompactUint64(key, txn_id);
  AppendVarint64(key, unit_count);
  AppendCompactUint64(key, unit_index);
  return true;
}

bool TxnLogUnitRecord::DecodeKey(const std::string& key, TxnLogUnitRecord* record) {
  if (key.compare(0, kTxnLogPrefix.size(), kTxnLogPrefix) != 0) return false;
  const char* p = key.data() + kTxnLogPrefix.size();
  const char* const end = key.data() + key.size();
  TxnLogUnitRecord r;
  size_t used = DecodeCompactUint64(p, end - p, &r.txn_id);
  if (used == 0) return false;
  p += used;
  used = DecodeVarint64(p, end - p, &r.unit_count);
  if (used == 0) return false;
  p += used;
  used = DecodeCompactUint64(p, end - p, &r.unit_index);
  if (used == 0 || p + used != end) return false;
  *record = r;
  return true;
}

}  // namespace tarnix

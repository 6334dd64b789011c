#ifndef TARNIX_STORAGE_KEY_SPACE_H_
#define TARNIX_STORAGE_KEY_SPACE_H_

#include <string>

namespace tarnix {

// The first byte of every database key says what kind of record it is.
// LevelDB orders keys bytewise, so each kind is one contiguous range.

// 0x00 | type id varint | id length varint | id | EncodedVdbIdSet -> body.
inline const std::string kObjectPrefix(1, '\x00');
// 0x01 | CompactUint64 txn id | unit count varint | CompactUint64 index
//   -> one serialised transaction-log unit.
inline const std::string kTxnLogPrefix(1, '\x01');
// 0x02 alone -> the last transaction id as decimal text.
inline const std::string kTxnIdKey(1, '\x02');
// 0x03 | CompactUint16 vdb id -> the vdb's name.
inline const std::string kVDbInfoPrefix(1, '\x03');
// 0x04 | client name -> the client certificate as PEM text. A certificate is
// removed by its exact key (DbAccess::Delete), never by prefix, so removing
// "foo" cannot touch "foobar".
inline const std::string kClientCertPrefix(1, '\x04');
// 0x05 alone -> the serialised workflow-tracer configuration.
inline const std::string kWorkflowTracerConfigKey(1, '\x05');

}  // namespace tarnix

#endif  // TARNIX_STORAGE_KEY_SPACE_H_

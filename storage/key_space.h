#ifndef TARNIX_STORAGE_KEY_SPACE_H_
#define TARNIX_STORAGE_KEY_SPACE_H_

#include <string>
#include <string_view>

namespace tarnix {

// A key or key prefix fixed at compile time. Constant-initialised, so it is
// usable from any static constructor; it converts to std::string where one
// is expected, and `prefix + rest` builds a key.
struct KeyBytes : std::string_view {
  using std::string_view::string_view;
  operator std::string() const { return std::string(data(), size()); }
};

inline std::string operator+(KeyBytes prefix, std::string_view rest) {
  std::string key(prefix);
  key.append(rest.data(), rest.size());
  return key;
}

// The first byte of every database key says what kind of record it is.
// LevelDB orders keys bytewise, so each kind is one contiguous range.

// 0x00 | type id varint | id length varint | id | EncodedVdbIdSet -> body.
inline constexpr KeyBytes kObjectPrefix("\x00", 1);
// 0x01 | CompactUint64 txn id | unit count varint | CompactUint64 index
//   -> one serialised transaction-log unit.
inline constexpr KeyBytes kTxnLogPrefix("\x01", 1);
// 0x02 alone -> the last transaction id as decimal text.
inline constexpr KeyBytes kTxnIdKey("\x02", 1);
// 0x03 | CompactUint16 vdb id -> the vdb's name.
inline constexpr KeyBytes kVDbInfoPrefix("\x03", 1);
// 0x04 | client name -> the client certificate as PEM text. A certificate is
// removed by its exact key (DbAccess::Delete), never by prefix, so removing
// "foo" cannot touch "foobar".
inline constexpr KeyBytes kClientCertPrefix("\x04", 1);
// 0x05 alone -> the serialised workflow-tracer configuration.
inline constexpr KeyBytes kWorkflowTracerConfigKey("\x05", 1);

}  // namespace tarnix

#endif  // TARNIX_STORAGE_KEY_SPACE_H_

#ifndef TARNIX_SCHEMA_RECORD_KEY_H_
#define TARNIX_SCHEMA_RECORD_KEY_H_

#include <cstdint>
#include <string>

#include "storage/key_space.h"

namespace tarnix {

class Schema;

// Object record key: kObjectPrefix, the type id (varint), the id's length
// (varint), the id bytes, then the EncodedVdbIdSet of the vdbs holding that
// body. The value is the serialised body.

// Both builders return false, after the ERROR line of
// SchemaTypes::GetObjectTypeId, for a type name the schema does not know; *out is
// then empty. Callers skip such a type: a prefix without a type id would
// match the records of every type.

// 0x00 and the type id: the prefix of every record of one type.
[[nodiscard]] bool MakeObjectTypeKeyPrefix(const Schema& schema,
                                           const std::string& type_name,
                                           std::string* out);

// The key bytes of a type id: its varint, sign-extended to 64 bits (a
// negative id takes ten bytes). SchemaTypes::GetObjectTypeId returns these.
std::string EncodeObjectTypeId(int32_t type_id);

// The same prefix from the type id itself, for ids the schema may no longer
// list (deprecated types).
std::string MakeObjectTypeKeyPrefix(int32_t type_id);

// The record key without its vdb suffix: the prefix of every record of one
// object.
[[nodiscard]] bool MakeObjectRecordKey(const Schema& schema,
                                       const std::string& type_name,
                                       const std::string& id, std::string* out);

// Splits a record key (or an object key prefix). An id whose declared length
// runs past the key is cut to the bytes present; *vdb_set, when given, gets
// the bytes after the id and is left alone when there are none. Throws
// std::out_of_range for a key that ends before its id starts.
void DecodeObjectRecordKey(const Schema& schema, const std::string& key,
                           std::string* type_name, std::string* id,
                           std::string* vdb_set = nullptr);

// The same without throwing, for storage scans: false, after one ERROR line,
// for a key that is empty, has a malformed varint, an unknown type id, or an
// id that runs past the end of the key (the outputs then hold nothing
// reliable). *vdb_set always receives the suffix, "" when there is none.
bool TryDecodeObjectRecordKey(const Schema& schema, const std::string& key,
                              std::string* type_name, std::string* id,
                              std::string* vdb_set = nullptr);

}  // namespace tarnix

#endif  // TARNIX_SCHEMA_RECORD_KEY_H_

#include "schema/record_key.h"

#include <cstdint>
#include <cstdio>
#include <stdexcept>

#include "logging/logger.h"
#include "schema/schema.h"
#include "schema/varint.h"

namespace tarnix {

bool MakeObjectTypeKeyPrefix(const Schema& schema, const std::string& type_name,
                             std::string* out) {
  const std::string type_id = schema.types().GetObjectTypeId(type_name);
  if (type_id.empty()) {
    out->clear();
    return false;
  }
  *out = kObjectPrefix;
  out->append(type_id);
  return true;
}

std::string EncodeObjectTypeId(int32_t type_id) {
  return EncodeVarint64(static_cast<uint64_t>(static_cast<int64_t>(type_id)));
}

std::string MakeObjectTypeKeyPrefix(int32_t type_id) {
  return kObjectPrefix + EncodeObjectTypeId(type_id);
}

bool MakeObjectRecordKey(const Schema& schema, const std::string& type_name,
                         const std::string& id, std::string* out) {
  if (!MakeObjectTypeKeyPrefix(schema, type_name, out)) return false;
  AppendVarint64(out, id.size());
  out->append(id);
  return true;
}

void DecodeObjectRecordKey(const Schema& schema, const std::string& key,
                           std::string* type_name, std::string* id,
                           std::string* vdb_set) {
  uint32_t type_length = 0;
  *type_name = schema.types().GetFullQualifiedName(key.substr(1), &type_length);
  const size_t offset = 1 + type_length;
  uint64_t id_length = 0;
  const size_t used = offset < key.size()
                          ? DecodeVarint64(key.data() + offset, key.size() - offset, &id_length)
                          : 0;
  if (used == 0) throw std::out_of_range("record key ends before its id");
  const size_t start = offset + used;
  *id = key.substr(start, id_length);  // throws when start is past the end
  const size_t rest = start + id->size();
  if (vdb_set != nullptr && rest < key.size()) *vdb_set = key.substr(rest);
}

namespace {

enum class Split { kOk, kMalformed, kUnknownType };

Split SplitObjectRecordKey(const Schema& schema, const std::string& key, std::string* type_name,
                           std::string* id, std::string* vdb_set) {
  if (key.empty()) return Split::kMalformed;
  uint64_t type_id = 0;
  const size_t type_length = DecodeVarint64(key.data() + 1, key.size() - 1, &type_id);
  if (type_length == 0) return Split::kMalformed;
  // An unknown id is logged here, as what it is.
  *type_name = schema.types().GetFullQualifiedName(key.substr(1, type_length));
  if (type_name->empty()) return Split::kUnknownType;
  const size_t offset = 1 + type_length;
  uint64_t id_length = 0;
  const size_t used = DecodeVarint64(key.data() + offset, key.size() - offset, &id_length);
  if (used == 0) return Split::kMalformed;
  const size_t start = offset + used;
  if (id_length > key.size() - start) return Split::kMalformed;
  id->assign(key, start, static_cast<size_t>(id_length));
  const size_t rest = start + static_cast<size_t>(id_length);
  if (vdb_set != nullptr) vdb_set->assign(key, rest, std::string::npos);
  return Split::kOk;
}

}  // namespace

bool TryDecodeObjectRecordKey(const Schema& schema, const std::string& key,
                              std::string* type_name, std::string* id,
                              std::string* vdb_set) {
  const Split split = SplitObjectRecordKey(schema, key, type_name, id, vdb_set);
  if (split == Split::kOk) return true;
  if (split == Split::kUnknownType) return false;
  std::string hex;
  char byte[4];
  for (size_t i = 0; i < key.size() && i < 64; ++i) {
    snprintf(byte, sizeof(byte), "%02x", static_cast<unsigned char>(key[i]));
    hex += byte;
  }
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0203", "Malformed object record key (%zu bytes): %s%s",
             key.size(), hex.c_str(), key.size() > 64 ? "..." : "");
  return false;
}

}  // namespace tarnix

#include "schema/record_key.h"

#include <cstdint>
#include <cstdio>
#include <stdexcept>

#include "logging/logger.h"
#include "schema/schema.h"
#include "schema/varint.h"

namespace tarnix {

void MakeObjectTypeKeyPrefix(const Schema& schema, const std::string& type_name,
                             std::string* out) {
  *out = kObjectPrefix;
  out->append(schema.GetObjectTypeId(type_name));
}

std::string MakeObjectTypeKeyPrefix(const Schema& schema,
                                    const std::string& type_name) {
  std::string out;
  MakeObjectTypeKeyPrefix(schema, type_name, &out);
  return out;
}

void MakeObjectRecordKey(const Schema& schema, const std::string& type_name,
                         const std::string& id, std::string* out) {
  MakeObjectTypeKeyPrefix(schema, type_name, out);
  AppendVarint64(out, id.size());
  out->append(id);
}

std::string MakeObjectRecordKey(const Schema& schema, const std::string& type_name,
                                const std::string& id) {
  std::string out;
  MakeObjectRecordKey(schema, type_name, id, &out);
  return out;
}

void DecodeObjectRecordKey(const Schema& schema, const std::string& key,
                           std::string* type_name, std::string* id,
                           std::string* vdb_set) {
  uint32_t type_length = 0;
  *type_name = schema.GetFullQualifiedName(key.substr(1), &type_length);
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

bool SplitObjectRecordKey(const Schema& schema, const std::string& key, std::string* type_name,
                          std::string* id, std::string* vdb_set) {
  if (key.empty()) return false;
  uint64_t type_id = 0;
  const size_t type_length = DecodeVarint64(key.data() + 1, key.size() - 1, &type_id);
  if (type_length == 0) return false;
  *type_name = schema.GetFullQualifiedName(key.substr(1, type_length));
  if (type_name->empty()) return false;
  const size_t offset = 1 + type_length;
  uint64_t id_length = 0;
  const size_t used = DecodeVarint64(key.data() + offset, key.size() - offset, &id_length);
  if (used == 0) return false;
  const size_t start = offset + used;
  if (id_length > key.size() - start) return false;
  id->assign(key, start, static_cast<size_t>(id_length));
  const size_t rest = start + static_cast<size_t>(id_length);
  if (vdb_set != nullptr) vdb_set->assign(key, rest, std::string::npos);
  return true;
}

}  // namespace

bool TryDecodeObjectRecordKey(const Schema& schema, const std::string& key,
                              std::string* type_name, std::string* id,
                              std::string* vdb_set) {
  if (SplitObjectRecordKey(schema, key, type_name, id, vdb_set)) return true;
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

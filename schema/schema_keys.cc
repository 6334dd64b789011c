// Object type ids, key strings and parent keys.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <unordered_set>

#include "logging/logger.h"
#include "schema/field_checks.h"
#include "schema/key_reader.h"
#include "schema/field_access.h"
#include "schema/record_key.h"
#include "schema/schema.h"
#include "schema/varint.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
using TypeNameSet = std::unordered_set<std::string>;

}  // namespace

std::string Schema::GetObjectTypeId(const std::string& type_name) const {
  auto it = type_ids_.find(type_name);
  if (it == type_ids_.end()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "Unable to find the object type id from the %s",
               type_name.c_str());
    return std::string();
  }
  return EncodeObjectTypeId(it->second);
}

std::string Schema::GetFullQualifiedName(const std::string& bytes, uint32_t* used) const {
  uint64_t value = 0;
  const size_t length = DecodeVarint64(bytes.data(), bytes.size(), &value);
  if (length == 0) {
    if (used != nullptr) {
      *used = static_cast<uint32_t>(std::min(bytes.size(), kMaxVarint64Bytes));
    }
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "Malformed object type id of %zu bytes",
               bytes.size());
    return std::string();
  }
  if (used != nullptr) *used = static_cast<uint32_t>(length);
  const int32_t id = static_cast<int32_t>(static_cast<uint32_t>(value));
  auto it = type_names_.find(id);
  if (it == type_names_.end()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204",
               "Unable to find the full qualified name from the object type: %d", id);
    return std::string();
  }
  return it->second;
}

std::string Schema::GetFullQualifiedName(const std::string& bytes, int* used) const {
  uint32_t count = 0;
  std::string name = GetFullQualifiedName(bytes, &count);
  if (used != nullptr) *used = static_cast<int>(count);
  return name;
}

std::vector<std::string> Schema::GetSortedObjectTypeIds(const std::string& client_id) const {
  std::vector<std::string> ids;
  auto client = client_permissions_.find(client_id);
  if (client == client_permissions_.end()) return ids;
  for (const std::string& type_name : client->second.write_types) {
    ids.push_back(GetObjectTypeId(type_name));
  }
  // By numeric id; an empty entry reads as 0.
  auto numeric = [](const std::string& encoded) {
    uint64_t value = 0;
    if (DecodeVarint64(encoded.data(), encoded.size(), &value) == 0) return int32_t{0};
    return static_cast<int32_t>(static_cast<uint32_t>(value));
  };
  std::sort(ids.begin(), ids.end(), [&](const std::string& a, const std::string& b) {
    return numeric(a) < numeric(b);
  });
  return ids;
}

std::string Schema::KeyFieldToString(const pb::Message* message,
                                     const pb::FieldDescriptor* field) const {
  if (!CheckFieldArguments(message, field)) return std::string();
  if (field->is_repeated()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "Key field %s is repeated",
               field->full_name().c_str());
    return std::string();
  }
  return AccessOf(field).key(*message, field, FieldAccess::kSingular, package_prefix_);
}

std::string Schema::RepeatedKeyFieldToString(const pb::Message* message,
                                             const pb::FieldDescriptor* field,
                                             int index) const {
  if (!CheckFieldArguments(message, field)) return std::string();
  const pb::Reflection* r = message->GetReflection();
  if (!field->is_repeated() || index < 0 || index >= r->FieldSize(*message, field)) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "No element %d in field %s", index,
               field->full_name().c_str());
    return std::string();
  }
  return AccessOf(field).key(*message, field, index, package_prefix_);
}

std::string Schema::GetKey(const pb::Message* message) const {
  if (message == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0002", "Input Message is nullptr");
    return std::string();
  }
  const pb::FieldDescriptor* field = GetKeyField(message->GetDescriptor());
  if (field != nullptr && !field->is_repeated() &&
      message->GetReflection()->HasField(*message, field)) {
    return KeyFieldToString(message, field);
  }
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0206", "Object does not have a key: %s",
             message->ShortDebugString().c_str());
  return std::string();
}

std::string Schema::GetKeyFieldName(const pb::Message* message) const {
  if (message == nullptr) return std::string();
  const pb::FieldDescriptor* field = GetKeyField(message->GetDescriptor());
  if (field == nullptr || field->is_repeated()) return std::string();
  return field->name();
}

std::string Schema::GetKeyFromSerialized(const std::string& type_name,
                                         const std::string& bytes) const {
  return KeyReader(this).Read(type_name, bytes);
}

namespace {

// Appends the key strings of a field carrying parent_key (every element of a
// repeated field; a singular one when set).
void AddParentKeyStrings(const Schema& schema, const pb::Message& message,
                         const pb::FieldDescriptor* field, const std::string& parent,
                         Schema::ParentKeyMap* parent_keys) {
  const pb::Reflection* r = message.GetReflection();
  if (field->is_repeated()) {
    const int size = r->FieldSize(message, field);
    if (size == 0) return;
    std::vector<std::string>& keys = (*parent_keys)[parent];
    for (int i = 0; i < size; ++i) {
      keys.push_back(schema.RepeatedKeyFieldToString(&message, field, i));
    }
  } else if (r->HasField(message, field)) {
    (*parent_keys)[parent].push_back(schema.KeyFieldToString(&message, field));
  }
}

// Each nested message type is entered once per top-level field: only the
// first instance reached contributes.
void GetNestedParentKeys(const Schema& schema, const pb::Message& message,
                         Schema::ParentKeyMap* parent_keys, TypeNameSet* visited) {
  if (!visited->insert(message.GetDescriptor()->full_name()).second) return;
  const pb::Reflection* r = message.GetReflection();
  std::vector<const pb::FieldDescriptor*> fields;
  r->ListFields(message, &fields);
  for (const pb::FieldDescriptor* field : fields) {
    if (const std::string* parent = ParentKeyOption(field)) {
      AddParentKeyStrings(schema, message, field, *parent, parent_keys);
    } else if (field->cpp_type() == pb::FieldDescriptor::CPPTYPE_MESSAGE) {
      if (field->is_repeated()) {
        for (int i = 0; i < r->FieldSize(message, field); ++i) {
          GetNestedParentKeys(schema, r->GetRepeatedMessage(message, field, i), parent_keys,
                              visited);
        }
      } else {
        GetNestedParentKeys(schema, r->GetMessage(message, field), parent_keys, visited);
      }
    }
  }
}

}  // namespace

void Schema::GetParentKeys(const pb::Message* message, ParentKeyMap* parent_keys) const {
  if (parent_keys == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0002", "parent_keys is nullptr");
    return;
  }
  if (message == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0002", "Input Message is nullptr");
    return;
  }
  const pb::Reflection* r = message->GetReflection();
  for (const pb::FieldDescriptor* field : GetParentKeyFields(message->GetDescriptor())) {
    TypeNameSet visited{message->GetDescriptor()->full_name()};
    if (const std::string* parent = ParentKeyOption(field)) {
      AddParentKeyStrings(*this, *message, field, *parent, parent_keys);
    } else if (field->cpp_type() != pb::FieldDescriptor::CPPTYPE_MESSAGE) {
      continue;
    } else if (field->is_repeated()) {
      for (int i = 0; i < r->FieldSize(*message, field); ++i) {
        GetNestedParentKeys(*this, r->GetRepeatedMessage(*message, field, i), parent_keys,
                            &visited);
      }
    } else if (r->HasField(*message, field)) {
      GetNestedParentKeys(*this, r->GetMessage(*message, field), parent_keys, &visited);
    }
  }
}

void Schema::GetParentKeysFromSerialized(const std::string& type_name,
                                         const std::string& bytes,
                                         ParentKeyMap* parent_keys) const {
  if (parent_keys == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0002", "parent_keys is nullptr");
    return;
  }
  std::unique_ptr<pb::Message> message(ParseMessage(type_name, bytes));
  if (message) GetParentKeys(message.get(), parent_keys);
}

}  // namespace tarnix

#include "schema/object_keys.h"

#include <memory>
#include <unordered_set>
#include <utility>

#include "caldek/orv/tarnix/tarnix_options.pb.h"
#include "logging/logger.h"
#include "schema/field_access.h"
#include "schema/field_checks.h"
#include "schema/key_reader.h"
#include "schema/parent_types.h"
#include "schema/schema_types.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
using TypeNameSet = std::unordered_set<std::string>;

}  // namespace

void ObjectKeys::Rebuild() {
  key_fields_.clear();
  auto snapshot = std::make_shared<KeySnapshot>(types_->package_prefix());
  for (const auto& [id, name] : types_->GetObjectTypeNames()) {
    const pb::Descriptor* type = types_->FindMessageTypeByName(name);
    if (type == nullptr) continue;
    const pb::FieldDescriptor* key = GetKeyField(type);
    if (key != nullptr && key->is_repeated()) key = nullptr;
    snapshot->AddType(id, {name, types_->GetPrototype(type), key});
  }
  std::atomic_store(&key_snapshot_, std::shared_ptr<const KeySnapshot>(std::move(snapshot)));
}

const pb::FieldDescriptor* ObjectKeys::GetKeyField(const pb::Descriptor* type) const {
  if (type == nullptr) return nullptr;
  auto cached = key_fields_.find(type);
  if (cached != key_fields_.end()) return cached->second;
  const pb::FieldDescriptor* key = FindKeyField(type);
  key_fields_.emplace(type, key);
  return key;
}

void ObjectKeys::ClearNonKeyFields(pb::Message* message) const {
  if (message == nullptr) return;
  const pb::Reflection* reflection = message->GetReflection();
  std::vector<const pb::FieldDescriptor*> fields;
  reflection->ListFields(*message, &fields);
  for (const pb::FieldDescriptor* field : fields) {
    if (!field->options().HasExtension(caldek::orv::tarnix::key)) {
      reflection->ClearField(message, field);
    }
  }
}

std::string ObjectKeys::KeyFieldToString(const pb::Message* message,
                                         const pb::FieldDescriptor* field) const {
  if (!CheckFieldArguments(message, field)) return std::string();
  if (field->is_repeated()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "Key field %s is repeated",
               field->full_name().c_str());
    return std::string();
  }
  return AccessOf(field).key(*message, field, FieldAccess::kSingular, types_->package_prefix());
}

std::string ObjectKeys::RepeatedKeyFieldToString(const pb::Message* message,
                                                 const pb::FieldDescriptor* field,
                                                 int index) const {
  if (!CheckFieldArguments(message, field)) return std::string();
  const pb::Reflection* r = message->GetReflection();
  if (!field->is_repeated() || index < 0 || index >= r->FieldSize(*message, field)) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "No element %d in field %s", index,
               field->full_name().c_str());
    return std::string();
  }
  return AccessOf(field).key(*message, field, index, types_->package_prefix());
}

std::string ObjectKeys::GetKey(const pb::Message* message) const {
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

std::string ObjectKeys::GetKeyFieldName(const pb::Message* message) const {
  if (message == nullptr) return std::string();
  const pb::FieldDescriptor* field = GetKeyField(message->GetDescriptor());
  if (field == nullptr || field->is_repeated()) return std::string();
  return field->name();
}

std::string ObjectKeys::GetKeyFromSerialized(const std::string& type_name,
                                             const std::string& bytes) const {
  return KeyReader(types_, this).Read(type_name, bytes);
}

namespace {

// Appends the key strings of a field carrying parent_key (every element of a
// repeated field; a singular one when set).
void AddParentKeyStrings(const ObjectKeys& object_keys, const pb::Message& message,
                         const pb::FieldDescriptor* field, const std::string& parent,
                         ObjectKeys::ParentKeyMap* parent_keys) {
  const pb::Reflection* r = message.GetReflection();
  if (field->is_repeated()) {
    const int size = r->FieldSize(message, field);
    if (size == 0) return;
    std::vector<std::string>& keys = (*parent_keys)[parent];
    for (int i = 0; i < size; ++i) {
      keys.push_back(object_keys.RepeatedKeyFieldToString(&message, field, i));
    }
  } else if (r->HasField(message, field)) {
    (*parent_keys)[parent].push_back(object_keys.KeyFieldToString(&message, field));
  }
}

// Each nested message type is entered once per top-level field: only the
// first instance reached contributes.
void GetNestedParentKeys(const ObjectKeys& object_keys, const pb::Message& message,
                         ObjectKeys::ParentKeyMap* parent_keys, TypeNameSet* visited) {
  if (!visited->insert(message.GetDescriptor()->full_name()).second) return;
  const pb::Reflection* r = message.GetReflection();
  std::vector<const pb::FieldDescriptor*> fields;
  r->ListFields(message, &fields);
  for (const pb::FieldDescriptor* field : fields) {
    if (const std::string* parent = ParentKeyOption(field)) {
      AddParentKeyStrings(object_keys, message, field, *parent, parent_keys);
    } else if (field->cpp_type() == pb::FieldDescriptor::CPPTYPE_MESSAGE) {
      if (field->is_repeated()) {
        for (int i = 0; i < r->FieldSize(message, field); ++i) {
          GetNestedParentKeys(object_keys, r->GetRepeatedMessage(message, field, i), parent_keys,
                              visited);
        }
      } else {
        GetNestedParentKeys(object_keys, r->GetMessage(message, field), parent_keys, visited);
      }
    }
  }
}

}  // namespace

void ObjectKeys::GetParentKeys(const pb::Message* message, ParentKeyMap* parent_keys) const {
  if (parent_keys == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0002", "parent_keys is nullptr");
    return;
  }
  if (message == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0002", "Input Message is nullptr");
    return;
  }
  const pb::Reflection* r = message->GetReflection();
  for (const pb::FieldDescriptor* field : parents_->GetParentKeyFields(message->GetDescriptor())) {
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

void ObjectKeys::GetParentKeysFromSerialized(const std::string& type_name, const std::string& bytes,
                                             ParentKeyMap* parent_keys) const {
  if (parent_keys == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0002", "parent_keys is nullptr");
    return;
  }
  std::unique_ptr<pb::Message> message(types_->ParseMessage(type_name, bytes));
  if (message) GetParentKeys(message.get(), parent_keys);
}

}  // namespace tarnix

#include "schema/parent_types.h"

#include "caldek/orv/tarnix/tarnix_options.pb.h"
#include "logging/logger.h"
#include "schema/field_checks.h"
#include "schema/schema_types.h"

namespace tarnix {

namespace opt = ::caldek::orv::tarnix;
namespace pb = ::google::protobuf;

namespace {

const ParentTypes::TypeNameSet& EmptyTypeNameSet() {
  static const ParentTypes::TypeNameSet* const empty = new ParentTypes::TypeNameSet();
  return *empty;
}

}  // namespace

void ParentTypes::Rebuild() {
  parent_key_fields_.clear();
  parent_types_.clear();
  child_types_.clear();
  for (const pb::FileDescriptor* file : types_->files()) {
    for (int i = 0; i < file->message_type_count(); ++i) {
      const pb::Descriptor* type = file->message_type(i);
      if (!type->options().HasExtension(opt::object_type_id)) continue;
      TypeNameSet parents;
      TypeNameSet visited;
      CollectParentTypes(type, &parents, &visited);
      // Without an id no record of the type exists or can be keyed, so a
      // delete must not cascade to it.
      if (!types_->IsObjectType(type->full_name())) {
        TARNIX_LOG(orv::ERROR, "errorCode:DRX0204",
                   "Message type %s has the object_type_id option but no ObjectType value",
                   type->full_name().c_str());
      } else {
        for (const std::string& parent : parents) {
          child_types_[parent].insert(type->full_name());
        }
      }
      parent_types_[type->full_name()] = std::move(parents);
    }
  }
}

void ParentTypes::CollectParentTypes(const pb::Descriptor* type, TypeNameSet* parents,
                                     TypeNameSet* visited) const {
  if (type == nullptr || !visited->insert(type->full_name()).second) return;
  for (int f = 0; f < type->field_count(); ++f) {
    const pb::FieldDescriptor* field = type->field(f);
    if (const std::string* parent = ParentKeyOption(field)) {
      parents->insert(*parent);
    } else if (field->message_type() != nullptr) {
      CollectParentTypes(field->message_type(), parents, visited);
    }
  }
}

const ParentTypes::TypeNameSet& ParentTypes::LookupParentTypes(const std::string& type_name) const {
  auto it = parent_types_.find(type_name);
  return it == parent_types_.end() ? EmptyTypeNameSet() : it->second;
}

const ParentTypes::TypeNameSet& ParentTypes::LookupChildTypes(const std::string& type_name) const {
  auto it = child_types_.find(type_name);
  return it == child_types_.end() ? EmptyTypeNameSet() : it->second;
}

bool ParentTypes::HasParentKeyOption(const pb::Descriptor* type) const {
  std::unordered_set<const pb::Descriptor*> visited;
  return ReachesParentKey(type, &visited);
}

// Whether `type` or a message type reachable through its fields has a
// parent_key field. Each type is entered once, so recursive types end.
bool ParentTypes::ReachesParentKey(const pb::Descriptor* type,
                                   std::unordered_set<const pb::Descriptor*>* visited) const {
  if (type == nullptr || !visited->insert(type).second) return false;
  for (int f = 0; f < type->field_count(); ++f) {
    if (ParentKeyOption(type->field(f)) != nullptr) return true;
  }
  for (int f = 0; f < type->field_count(); ++f) {
    if (ReachesParentKey(type->field(f)->message_type(), visited)) return true;
  }
  return false;
}

const ParentTypes::FieldList& ParentTypes::GetParentKeyFields(const pb::Descriptor* type) const {
  auto cached = parent_key_fields_.find(type);
  if (cached != parent_key_fields_.end()) return cached->second;
  FieldList fields;
  if (type != nullptr) {
    for (int f = 0; f < type->field_count(); ++f) {
      const pb::FieldDescriptor* field = type->field(f);
      if (ParentKeyOption(field) != nullptr || HasParentKeyOption(field->message_type())) {
        fields.push_back(field);
      }
    }
  }
  return parent_key_fields_.emplace(type, std::move(fields)).first->second;
}

}  // namespace tarnix

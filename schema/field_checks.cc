#include "schema/field_checks.h"

#include "caldek/orv/tarnix/tarnix_options.pb.h"
#include "logging/logger.h"

namespace tarnix {

namespace pb = ::google::protobuf;

const pb::FieldDescriptor* SingularField(const pb::Descriptor* type, const char* name,
                                         pb::FieldDescriptor::CppType cpp_type) {
  const pb::FieldDescriptor* field = type != nullptr ? type->FindFieldByName(name) : nullptr;
  return field != nullptr && !field->is_repeated() && field->cpp_type() == cpp_type ? field
                                                                                    : nullptr;
}

bool FieldOf(const pb::Message& message, const pb::FieldDescriptor* field) {
  if (field->containing_type() == message.GetDescriptor()) return true;
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "Field %s is not a field of %s",
             field->full_name().c_str(), message.GetDescriptor()->full_name().c_str());
  return false;
}

bool CheckFieldArguments(const pb::Message* message, const pb::FieldDescriptor* field) {
  if (field == nullptr || message == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0002", "%s is nullptr",
               field == nullptr ? "field_descriptor" : "msg");
    return false;
  }
  return FieldOf(*message, field);
}

bool CheckEditArguments(const pb::Message* from, const pb::FieldDescriptor* field,
                        const pb::Message* to, bool need_from) {
  if (field == nullptr || to == nullptr || (need_from && from == nullptr)) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0002", "%s is nullptr",
               field == nullptr ? "field_descriptor" : "msg");
    return false;
  }
  if (field->containing_type() != to->GetDescriptor() ||
      (need_from && from->GetDescriptor() != to->GetDescriptor())) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0208", "Field %s does not belong to %s",
               field->full_name().c_str(), to->GetDescriptor()->full_name().c_str());
    return false;
  }
  return true;
}

bool CheckRepeatedEditArguments(const pb::Message* from, const pb::FieldDescriptor* field,
                                const pb::Message* to, bool need_from) {
  if (!CheckEditArguments(from, field, to, need_from)) return false;
  if (!field->is_repeated()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0208", "Provided field is not a repeated field");
    return false;
  }
  return true;
}

const pb::FieldDescriptor* FindKeyField(const pb::Descriptor* type) {
  if (type == nullptr) return nullptr;
  for (int i = 0; i < type->field_count(); ++i) {
    if (type->field(i)->options().HasExtension(caldek::orv::tarnix::key)) return type->field(i);
  }
  return nullptr;
}

const std::string* ParentKeyOption(const pb::FieldDescriptor* field) {
  if (!field->options().HasExtension(caldek::orv::tarnix::parent_key)) return nullptr;
  return &field->options().GetExtension(caldek::orv::tarnix::parent_key);
}

const pb::FieldDescriptor* FindObjectTypeField(const pb::Descriptor* type) {
  for (int i = 0; i < type->field_count(); ++i) {
    const pb::FieldDescriptor* field = type->field(i);
    if (field->cpp_type() == pb::FieldDescriptor::CPPTYPE_ENUM &&
        field->enum_type()->full_name().find("ObjectType") != std::string::npos) {
      return field;
    }
  }
  return nullptr;
}

}  // namespace tarnix

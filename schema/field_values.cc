#include "schema/field_values.h"

#include "logging/logger.h"
#include "schema/field_access.h"
#include "schema/field_checks.h"
#include "schema/wire_format.h"

namespace tarnix {

namespace pb = google::protobuf;

bool IsFieldSet(const pb::Message* message, const pb::FieldDescriptor* field) {
  if (message == nullptr || field == nullptr || !FieldOf(*message, field)) return false;
  const pb::Reflection* r = message->GetReflection();
  if (field->is_repeated()) return r->FieldSize(*message, field) > 0;
  return r->HasField(*message, field);
}

AttributeValue GetFieldValue(const pb::Message* message, const pb::FieldDescriptor* field) {
  if (!CheckFieldArguments(message, field)) return AttributeValue::Enum(0);
  if (field->cpp_type() == pb::FieldDescriptor::CPPTYPE_MESSAGE) {
    return AttributeValue::Bool(IsFieldSet(message, field));
  }
  if (field->is_repeated()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "Field %s of %s is repeated", field->name().c_str(),
               message->GetDescriptor()->full_name().c_str());
    return AttributeValue::Enum(0);
  }
  return AccessOf(field).value(*message, field, FieldAccess::kSingular);
}

AttributeValue GetRepeatedFieldValue(const pb::Message* message, const pb::FieldDescriptor* field,
                                     int index) {
  if (!CheckFieldArguments(message, field)) return AttributeValue::Enum(0);
  const pb::Reflection* r = message->GetReflection();
  if (!field->is_repeated() || index < 0 || index >= r->FieldSize(*message, field)) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "No element %d in field %s of %s", index,
               field->name().c_str(), message->GetDescriptor()->full_name().c_str());
    return AttributeValue::Enum(0);
  }
  return AccessOf(field).value(*message, field, index);
}

bool MessagesEqual(const pb::Message* a, const pb::Message* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return SerializedEqual(*a, *b);
}

bool CompareField(const pb::FieldDescriptor* field, const pb::Message* a, const pb::Message* b) {
  if (a == nullptr || b == nullptr) return a == b;
  if (!CheckFieldArguments(a, field) || !FieldOf(*b, field)) return false;
  const pb::Reflection* ra = a->GetReflection();
  const pb::Reflection* rb = b->GetReflection();
  if (field->is_repeated()) {
    const int size = ra->FieldSize(*a, field);
    if (size != rb->FieldSize(*b, field)) return false;
    for (int i = 0; i < size; ++i) {
      const AttributeValue va = GetRepeatedFieldValue(a, field, i);
      const AttributeValue vb = GetRepeatedFieldValue(b, field, i);
      if (va.kind() != vb.kind() || !AttributeValueEquals(va, vb)) return false;
    }
    return true;
  }
  const bool set_a = ra->HasField(*a, field);
  const bool set_b = rb->HasField(*b, field);
  if (!set_a || !set_b) return set_a == set_b;
  return AccessOf(field).equal(*a, *b, field);
}

}  // namespace tarnix

// Field values as AttributeValue, field presence and equality.
#include "logging/logger.h"
#include "schema/field_checks.h"
#include "schema/schema.h"
#include "schema/wire_format.h"

namespace tarnix {

namespace pb = google::protobuf;

bool Schema::IsFieldSet(const pb::Message* message, const pb::FieldDescriptor* field) const {
  if (message == nullptr || field == nullptr || !FieldOf(*message, field)) return false;
  const pb::Reflection* r = message->GetReflection();
  if (field->is_repeated()) return r->FieldSize(*message, field) > 0;
  return r->HasField(*message, field);
}

AttributeValue Schema::GetFieldValue(const pb::Message* message,
                                     const pb::FieldDescriptor* field) const {
  if (!CheckFieldArguments(message, field)) return AttributeValue::Enum(0);
  const pb::Reflection* r = message->GetReflection();
  if (field->cpp_type() == pb::FieldDescriptor::CPPTYPE_MESSAGE) {
    return AttributeValue::Bool(IsFieldSet(message, field));
  }
  if (field->is_repeated()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "Field %s of %s is repeated",
               field->name().c_str(), message->GetDescriptor()->full_name().c_str());
    return AttributeValue::Enum(0);
  }
  switch (field->cpp_type()) {
    case pb::FieldDescriptor::CPPTYPE_INT32:
      return AttributeValue::Enum(r->GetInt32(*message, field));
    case pb::FieldDescriptor::CPPTYPE_INT64:
      return AttributeValue::Int64(r->GetInt64(*message, field));
    case pb::FieldDescriptor::CPPTYPE_UINT32:
      return AttributeValue::Uint32(r->GetUInt32(*message, field));
    case pb::FieldDescriptor::CPPTYPE_UINT64:
      return AttributeValue::Uint64(r->GetUInt64(*message, field));
    case pb::FieldDescriptor::CPPTYPE_FLOAT:
      return AttributeValue::Float(r->GetFloat(*message, field));
    case pb::FieldDescriptor::CPPTYPE_DOUBLE:
      return AttributeValue::Double(r->GetDouble(*message, field));
    case pb::FieldDescriptor::CPPTYPE_BOOL:
      return AttributeValue::Bool(r->GetBool(*message, field));
    case pb::FieldDescriptor::CPPTYPE_ENUM:
      return AttributeValue::Enum(r->GetEnumValue(*message, field));
    case pb::FieldDescriptor::CPPTYPE_STRING:
      return AttributeValue::String(r->GetString(*message, field));
    default:
      return AttributeValue::Enum(0);
  }
}

AttributeValue Schema::GetRepeatedFieldValue(const pb::Message* message,
                                             const pb::FieldDescriptor* field,
                                             int index) const {
  if (!CheckFieldArguments(message, field)) return AttributeValue::Enum(0);
  const pb::Reflection* r = message->GetReflection();
  if (!field->is_repeated() || index < 0 || index >= r->FieldSize(*message, field)) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "No element %d in field %s of %s", index,
               field->name().c_str(), message->GetDescriptor()->full_name().c_str());
    return AttributeValue::Enum(0);
  }
  switch (field->cpp_type()) {
    case pb::FieldDescriptor::CPPTYPE_INT32:
      return AttributeValue::Enum(r->GetRepeatedInt32(*message, field, index));
    case pb::FieldDescriptor::CPPTYPE_INT64:
      return AttributeValue::Int64(r->GetRepeatedInt64(*message, field, index));
    case pb::FieldDescriptor::CPPTYPE_UINT32:
      return AttributeValue::Uint32(r->GetRepeatedUInt32(*message, field, index));
    case pb::FieldDescriptor::CPPTYPE_UINT64:
      return AttributeValue::Uint64(r->GetRepeatedUInt64(*message, field, index));
    case pb::FieldDescriptor::CPPTYPE_FLOAT:
      return AttributeValue::Float(r->GetRepeatedFloat(*message, field, index));
    case pb::FieldDescriptor::CPPTYPE_DOUBLE:
      return AttributeValue::Double(r->GetRepeatedDouble(*message, field, index));
    case pb::FieldDescriptor::CPPTYPE_BOOL:
      return AttributeValue::Bool(r->GetRepeatedBool(*message, field, index));
    case pb::FieldDescriptor::CPPTYPE_ENUM:
      return AttributeValue::Enum(r->GetRepeatedEnumValue(*message, field, index));
    case pb::FieldDescriptor::CPPTYPE_STRING:
      return AttributeValue::String(r->GetRepeatedString(*message, field, index));
    case pb::FieldDescriptor::CPPTYPE_MESSAGE: {
      const pb::Message& element = r->GetRepeatedMessage(*message, field, index);
      std::string bytes;
      if (!SerializeDeterministic(element, &bytes)) {
        TARNIX_LOG(orv::ERROR, "errorCode:DRX0205", "Failed to serialized %s field %s of type %s",
                   message->GetDescriptor()->full_name().c_str(), field->name().c_str(),
                   field->message_type()->full_name().c_str());
      }
      return AttributeValue::String(std::move(bytes));
    }
  }
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "Unsupport field type %d for %s in %s",
             static_cast<int>(field->cpp_type()), field->name().c_str(),
             message->GetDescriptor()->full_name().c_str());
  return AttributeValue::Enum(0);
}

bool Schema::MessagesEqual(const pb::Message* a, const pb::Message* b) const {
  if (a == nullptr || b == nullptr) return a == b;
  std::string bytes_a;
  std::string bytes_b;
  for (auto [message, bytes] : {std::make_pair(a, &bytes_a), std::make_pair(b, &bytes_b)}) {
    if (!SerializeDeterministic(*message, bytes)) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0205", "Serialize object type %s failed",
                 message->GetDescriptor()->full_name().c_str());
      return false;
    }
  }
  return bytes_a == bytes_b;
}

bool Schema::CompareField(const pb::FieldDescriptor* field, const pb::Message* a,
                          const pb::Message* b) const {
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
  switch (field->cpp_type()) {
    case pb::FieldDescriptor::CPPTYPE_INT32:
      return ra->GetInt32(*a, field) == rb->GetInt32(*b, field);
    case pb::FieldDescriptor::CPPTYPE_INT64:
      return ra->GetInt64(*a, field) == rb->GetInt64(*b, field);
    case pb::FieldDescriptor::CPPTYPE_UINT32:
      return ra->GetUInt32(*a, field) == rb->GetUInt32(*b, field);
    case pb::FieldDescriptor::CPPTYPE_UINT64:
      return ra->GetUInt64(*a, field) == rb->GetUInt64(*b, field);
    case pb::FieldDescriptor::CPPTYPE_FLOAT:
      return ra->GetFloat(*a, field) == rb->GetFloat(*b, field);
    case pb::FieldDescriptor::CPPTYPE_DOUBLE:
      return ra->GetDouble(*a, field) == rb->GetDouble(*b, field);
    case pb::FieldDescriptor::CPPTYPE_BOOL:
      return ra->GetBool(*a, field) == rb->GetBool(*b, field);
    case pb::FieldDescriptor::CPPTYPE_ENUM:
      return ra->GetEnumValue(*a, field) == rb->GetEnumValue(*b, field);
    case pb::FieldDescriptor::CPPTYPE_STRING:
      return ra->GetString(*a, field) == rb->GetString(*b, field);
    case pb::FieldDescriptor::CPPTYPE_MESSAGE:
      return MessagesEqual(&ra->GetMessage(*a, field), &rb->GetMessage(*b, field));
  }
  return false;
}

}  // namespace tarnix

#include "query/where_matcher.h"

#include <vector>

#include "caldek/orv/tarnix/tarnix_op.pb.h"
#include "logging/logger.h"
#include "query/op_msg_fields.h"
#include "schema/attribute_value.h"
#include "schema/field_values.h"
#include "schema/schema.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
using caldek::orv::tarnix::OpMsg;

const char* TypeName(const pb::Message* message) {
  return message != nullptr ? message->GetDescriptor()->full_name().c_str() : "(nullptr)";
}

const char* TypeName(const pb::Descriptor* type) {
  return type != nullptr ? type->full_name().c_str() : "(nullptr)";
}

// Reflection on a message of another type aborts inside protobuf, so every
// public entry that takes a field checks it first.
bool FieldOfBoth(const pb::FieldDescriptor* field, const pb::Message& a, const pb::Message& b) {
  if (field != nullptr && field->containing_type() == a.GetDescriptor() &&
      field->containing_type() == b.GetDescriptor()) {
    return true;
  }
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0207", "Field %s is not a field of %s/%s",
             field != nullptr ? field->full_name().c_str() : "(nullptr)", TypeName(&a),
             TypeName(&b));
  return false;
}

AttributeValueHashSet ElementSet(const pb::Message& message, const pb::FieldDescriptor* field,
                                 int size) {
  AttributeValueHashSet set(16);
  set.max_load_factor(1.0);
  for (int i = 0; i < size; ++i) set.insert(GetRepeatedFieldValue(&message, field, i));
  return set;
}

// The set's equality is the total order's (NaN equals NaN); a match needs
// the usual equality, under which NaN equals nothing.
bool Contains(const AttributeValueHashSet& set, const AttributeValue& value) {
  auto it = set.find(value);
  return it != set.end() && AttributeValueEquals(*it, value);
}

}  // namespace

bool WhereMatcher::MatchOpMsg(const pb::Message* op_msg, const pb::Message* value,
                              const pb::Message* object, const pb::Descriptor* type) const {
  if (op_msg == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0002", "opmsg is nullptr");
    return false;
  }
  TARNIX_LOG(orv::VERBOSE, nullptr, "op/val/obj message type %s/%s/%s", TypeName(op_msg),
             TypeName(value), TypeName(object));
  if (type == nullptr || (value != nullptr && value->GetDescriptor() != type) ||
      (object != nullptr && object->GetDescriptor() != type)) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0207", "Value %s or object %s is not of type %s",
               TypeName(value), TypeName(object), TypeName(type));
    return false;
  }
  for (const pb::FieldDescriptor* op_field : SetFields(*op_msg)) {
    const pb::Message* content = FieldContent(*op_msg, op_field);
    if (content == nullptr) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0203",
                 "Unable to extract message field from the operation message");
      return false;
    }
    TARNIX_LOG(orv::VERBOSE, nullptr, "field %s msg type %s", op_field->name().c_str(),
               TypeName(content));
    bool matched;
    if (op_field->name() == "self") {
      if (!schema_->op_messages().IsOpMsg(content)) {
        TARNIX_LOG(orv::ERROR, "errorCode:DRX0207", "%s self field is %s, not OpMsg",
                   TypeName(op_msg), TypeName(content));
        matched = false;
      } else {
        matched = MatchMessageOp(*content, value, object, type);
      }
    } else {
      const pb::FieldDescriptor* field = type->FindFieldByName(op_field->name());
      if (field == nullptr) {
        TARNIX_LOG(orv::ERROR, "errorCode:DRX0207", "%s and %s mismatch: missing field %s",
                   TypeName(type), TypeName(op_msg), op_field->name().c_str());
      }
      matched = MatchField(*content, value, object, field);
    }
    if (!matched) return false;
  }
  return true;
}

bool WhereMatcher::MatchField(const pb::Message& leaf, const pb::Message* value,
                              const pb::Message* object,
                              const pb::FieldDescriptor* field) const {
  if (!schema_->op_messages().IsOpMsg(&leaf)) return MatchNestedMessage(leaf, value, object, field);
  const int op = schema_->op_messages().GetOpMsgOperation(&leaf);
  const bool object_holds = IsFieldSet(object, field);
  const bool value_holds = IsFieldSet(value, field);
  if (op == OpMsg::EQUALS && !object_holds) return !value_holds;
  if (op == OpMsg::EXISTS) return object_holds;
  if (!object_holds || !value_holds) return false;
  return field->is_repeated() ? MatchRepeatedField(leaf, *value, *object, field)
                              : MatchSingularField(leaf, *value, *object, field);
}

bool WhereMatcher::MatchSingularField(const pb::Message& leaf, const pb::Message& value,
                                      const pb::Message& object,
                                      const pb::FieldDescriptor* field) const {
  if (!FieldOfBoth(field, value, object)) return false;
  const int op = schema_->op_messages().GetOpMsgOperation(&leaf);
  switch (op) {
    case OpMsg::EQUALS:
      return CompareField(field, &value, &object);
    case OpMsg::NOT_EQUALS:
      return !CompareField(field, &value, &object);
    default:
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0207",
                 "Unsupported op %d for singular field %s in message %s", op,
                 field->name().c_str(), TypeName(&object));
      return false;
  }
}

bool WhereMatcher::MatchRepeatedField(const pb::Message& leaf, const pb::Message& value,
                                      const pb::Message& object,
                                      const pb::FieldDescriptor* field) const {
  if (!FieldOfBoth(field, value, object) || !field->is_repeated()) return false;
  const int op = schema_->op_messages().GetOpMsgOperation(&leaf);
  const int value_size = value.GetReflection()->FieldSize(value, field);
  const int object_size = object.GetReflection()->FieldSize(object, field);
  if (op == OpMsg::CONTAINS_ALL && value_size > object_size) return false;
  switch (op) {
    case OpMsg::EQUALS:
      return CompareField(field, &value, &object);
    case OpMsg::NOT_EQUALS:
      return !CompareField(field, &value, &object);
    case OpMsg::CONTAINS_ANY:
    case OpMsg::CONTAINS_ALL:
      break;
    default:
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0207",
                 "Unsupported op %d for repeated field %s in message %s", op,
                 field->name().c_str(), TypeName(&object));
      return false;
  }
  // Walks the object's elements, so that a long operand list costs once per
  // scan, not once per object.
  AttributeValueHashSet built;
  const AttributeValueHashSet& wanted = OperandSet(value, field, value_size, &built);
  const AttributeValueHashSet held = ElementSet(object, field, object_size);
  size_t found = 0;
  for (const AttributeValue& element : held) {
    if (!Contains(wanted, element)) continue;
    if (op == OpMsg::CONTAINS_ANY) return true;
    ++found;  // each wanted element is held at most once
  }
  return op == OpMsg::CONTAINS_ALL && found == wanted.size();
}

const AttributeValueHashSet& WhereMatcher::OperandSet(const pb::Message& value,
                                                      const pb::FieldDescriptor* field, int size,
                                                      AttributeValueHashSet* built) const {
  if (operands_ == nullptr) {
    *built = ElementSet(value, field, size);
    return *built;
  }
  auto found = operands_->find({&value, field});
  if (found == operands_->end()) {
    found = operands_->emplace(std::make_pair(&value, field), ElementSet(value, field, size)).first;
  }
  return found->second;
}

bool WhereMatcher::MatchMessageOp(const pb::Message& leaf, const pb::Message* value,
                                  const pb::Message* object, const pb::Descriptor* type) const {
  const int op = schema_->op_messages().GetOpMsgOperation(&leaf);
  switch (op) {
    case OpMsg::EXISTS:
      return object != nullptr;
    case OpMsg::EQUALS:
      if (object == nullptr) return value == nullptr;
      return value != nullptr && MessagesEqual(value, object);
    case OpMsg::NOT_EQUALS:
      if (object == nullptr) return value != nullptr;
      return value == nullptr || !MessagesEqual(value, object);
    default:
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0207", "Unsupported op %d for message %s", op,
                 TypeName(type));
      return false;
  }
}

bool WhereMatcher::MatchNestedMessage(const pb::Message& nested, const pb::Message* value,
                                      const pb::Message* object,
                                      const pb::FieldDescriptor* field) const {
  if (field == nullptr) return false;  // the caller logged the missing field
  if (field->is_repeated()) {
    const pb::Message* self = FindSelfOpMsg(&nested);
    if (self == nullptr || SetFields(nested).size() > 1) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0207",
                 "Repeated field query only support self op msg");
      return false;
    }
    return MatchField(*self, value, object, field);
  }
  if (field->cpp_type() != pb::FieldDescriptor::CPPTYPE_MESSAGE) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0207", "op msg %s is nested, cannot apply on field %s",
               TypeName(&nested), field->name().c_str());
    return false;
  }
  const pb::Message* value_sub =
      IsFieldSet(value, field) ? &value->GetReflection()->GetMessage(*value, field) : nullptr;
  const pb::Message* object_sub =
      IsFieldSet(object, field) ? &object->GetReflection()->GetMessage(*object, field) : nullptr;
  return MatchOpMsg(&nested, value_sub, object_sub, field->message_type());
}

bool WhereMatcher::MessageHasSelfField(const pb::Message* op_msg) const {
  if (op_msg == nullptr) return true;
  for (const pb::FieldDescriptor* field : SetFields(*op_msg)) {
    if (field->name() == "self") return true;
  }
  return false;
}

const pb::Message* WhereMatcher::FindSelfOpMsg(const pb::Message* nested_op) const {
  if (nested_op == nullptr) return nullptr;
  const pb::FieldDescriptor* self = nested_op->GetDescriptor()->FindFieldByName("self");
  // Another op type has no self to give: asking would log an invalid schema.
  if (self == nullptr || !schema_->op_messages().IsOpMsgType(self->message_type())) return nullptr;
  const pb::Message* op = nullptr;
  return schema_->op_messages().GetSelfOpMsg(nested_op, &op).ok() ? op : nullptr;
}

}  // namespace tarnix

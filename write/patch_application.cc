#include "write/patch_application.h"

#include <memory>
#include <vector>

#include "caldek/orv/tarnix/tarnix_op.pb.h"
#include "caldek/orv/tarnix/tarnix_options.pb.h"
#include "logging/logger.h"
#include "platform/util/strings.h"
#include "schema/field_editing.h"
#include "schema/field_values.h"
#include "schema/schema.h"

namespace tarnix {

namespace pb = google::protobuf;
using caldek::orv::tarnix::OpMsg;

namespace {

// Logs `text` as an ERROR with `code` and returns it as INVALID_ARGUMENT.
Status Refuse(const char* code, const std::string& text) {
  TARNIX_LOG(orv::ERROR, code, "%s", text.c_str());
  return Status::InvalidArgument(text);
}

const char* TypeName(const pb::Message& message) {
  return message.GetDescriptor()->full_name().c_str();
}

}  // namespace

Status ObjectPatcher::Apply(const std::string& type, const std::string& id, const std::string& body,
                            const std::string& object_value, const std::string& op_msg,
                            std::string* patched) const {
  std::unique_ptr<pb::Message> object(schema_.types().ParseMessage(type, body));
  if (!object) {
    return Refuse("errorCode:DRX0203",
                  orv::string_format("Failed to decode object body of type=%s and id=%s",
                                     type.c_str(), id.c_str()));
  }
  const std::string op_type = schema_.op_messages().GetOpMsgTypeNameOf(object->GetDescriptor());
  std::unique_ptr<pb::Message> value(schema_.types().ParseMessage(type, object_value));
  if (!value) {
    return Refuse("errorCode:DRX0203",
                  orv::string_format("Failed to decode patch body of type %s and id %s",
                                     type.c_str(), id.c_str()));
  }
  std::unique_ptr<pb::Message> op(schema_.types().ParseMessage(op_type, op_msg));
  if (!op) {
    return Refuse("errorCode:DRX0203",
                  orv::string_format("Failed to decode patch op of type %s and id %s",
                                     op_type.c_str(), id.c_str()));
  }
  const Status status = PatchNestedMessage(*op, value.get(), object.get(), nullptr, nullptr);
  if (!status.ok()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "Failed to patch %s %s: %s", type.c_str(),
               id.c_str(), status.ToString().c_str());
    return status;
  }
  *patched = object->SerializeAsString();
  return Status::OK();
}

Status ObjectPatcher::PatchNestedMessage(const pb::Message& op, const pb::Message* value,
                                         pb::Message* target, pb::Message* parent,
                                         const pb::FieldDescriptor* parent_field) const {
  const pb::Reflection* reflection = op.GetReflection();
  std::vector<const pb::FieldDescriptor*> fields;
  reflection->ListFields(op, &fields);  // by field number
  for (const pb::FieldDescriptor* f : fields) {
    if (f->cpp_type() != pb::FieldDescriptor::CPPTYPE_MESSAGE) {
      return Refuse("errorCode:DRX0203",
                    "Unable to extract message field from the operation message");
    }
    const pb::Message& sub = f->is_repeated() ? reflection->GetRepeatedMessage(op, f, 0)
                                              : reflection->GetMessage(op, f);
    TARNIX_LOG(orv::VERBOSE, nullptr, "field %s msg type %s", f->name().c_str(), TypeName(sub));
    if (f->name() == "self") {
      if (!schema_.op_messages().IsOpMsg(&sub)) {
        return Refuse("errorCode:DRX0207", orv::string_format("%s self field is %s, not OpMsg",
                                                              TypeName(op), TypeName(sub)));
      }
      // The whole message: fields after "self" are not applied.
      return PatchMessage(sub, value, target, parent, parent_field);
    }
    const pb::FieldDescriptor* tf = target->GetDescriptor()->FindFieldByName(f->name());
    if (tf == nullptr) {
      return Refuse("errorCode:DRX0207",
                    orv::string_format("%s and %s mismatch: missing field %s", TypeName(*target),
                                       TypeName(op), f->name().c_str()));
    }
    // The key names the object; only nested messages may change theirs.
    if (parent == nullptr && tf->options().HasExtension(caldek::orv::tarnix::key)) {
      return Refuse("errorCode:DRX0207",
                    orv::string_format("Cannot patch key field %s of type %s", f->name().c_str(),
                                       TypeName(*target)));
    }
    const Status status = PatchDispatch(sub, value, target, tf);
    if (!status.ok()) return status;
  }
  return Status::OK();
}

Status ObjectPatcher::PatchMessage(const pb::Message& op, const pb::Message* value,
                                   pb::Message* target, pb::Message* parent,
                                   const pb::FieldDescriptor* parent_field) const {
  const int operation = schema_.op_messages().GetOpMsgOperation(&op);
  if (operation == OpMsg::SET && value != nullptr) {
    target->CopyFrom(*value);
    return Status::OK();
  }
  if (operation == OpMsg::SET || operation == OpMsg::CLEAR) {
    if (parent == nullptr) {
      return Refuse("errorCode:DRX0207", orv::string_format("Cannot clear top level message %s",
                                                            TypeName(*target)));
    }
    parent->GetReflection()->ClearField(parent, parent_field);
    return Status::OK();
  }
  return Refuse("errorCode:DRX0207", orv::string_format("Invalid operation %d for msg type %s",
                                                        operation, TypeName(*target)));
}

Status ObjectPatcher::PatchDispatch(const pb::Message& sub, const pb::Message* value,
                                    pb::Message* target, const pb::FieldDescriptor* field) const {
  if (!schema_.op_messages().IsOpMsg(&sub)) return PatchNestedField(sub, value, target, field);
  if (field->is_repeated()) return ApplyRepeatedFieldOp(sub, value, target, field);
  return PatchField(sub, value, target, field);
}

Status ObjectPatcher::PatchField(const pb::Message& op, const pb::Message* value,
                                 pb::Message* target, const pb::FieldDescriptor* field) const {
  const int operation = schema_.op_messages().GetOpMsgOperation(&op);
  switch (operation) {
    case OpMsg::SET:
      // Copies the value's field, or clears the target's when the value
      // leaves it unset.
      if (value != nullptr) {
        CopyField(value, field, target);
      } else {
        target->GetReflection()->ClearField(target, field);
      }
      return Status::OK();
    case OpMsg::CLEAR:
      target->GetReflection()->ClearField(target, field);
      return Status::OK();
    default:
      return Refuse("errorCode:DRX0207",
                    orv::string_format("Invalid operation %d on field %s in message %s", operation,
                                       field->name().c_str(), TypeName(*target)));
  }
}

Status ObjectPatcher::PatchNestedField(const pb::Message& sub, const pb::Message* value,
                                       pb::Message* target,
                                       const pb::FieldDescriptor* field) const {
  if (!field->is_repeated()) {
    if (field->cpp_type() != pb::FieldDescriptor::CPPTYPE_MESSAGE) {
      return Refuse("errorCode:DRX0207",
                    orv::string_format("op msg %s is nested, cannot apply on field %s",
                                       TypeName(sub), field->name().c_str()));
    }
    const pb::Message* value_part = value != nullptr && IsFieldSet(value, field)
                                        ? &value->GetReflection()->GetMessage(*value, field)
                                        : nullptr;
    pb::Message* target_part = target->GetReflection()->MutableMessage(target, field);
    return PatchNestedMessage(sub, value_part, target_part, target, field);
  }
  // A repeated field takes element operations only, through "self". An op
  // type without a usable "self" has none to give.
  const pb::FieldDescriptor* self_field = sub.GetDescriptor()->FindFieldByName("self");
  const pb::Message* self = nullptr;
  if (self_field == nullptr || !schema_.op_messages().IsOpMsgType(self_field->message_type()) ||
      !schema_.op_messages().GetSelfOpMsg(&sub, &self).ok() || self == nullptr) {
    return Refuse("errorCode:DRX0207", "Repeated field patch only supports self op msg");
  }
  std::vector<const pb::FieldDescriptor*> set_fields;
  sub.GetReflection()->ListFields(sub, &set_fields);
  if (set_fields.size() >= 2) {
    return Refuse("errorCode:DRX0207", "Repeated field patch must contain exactly one op msg");
  }
  return ApplyRepeatedFieldOp(*self, value, target, field);
}

Status ObjectPatcher::ApplyRepeatedFieldOp(const pb::Message& op, const pb::Message* value,
                                           pb::Message* target,
                                           const pb::FieldDescriptor* field) const {
  const pb::Reflection* reflection = target->GetReflection();
  const int operation = schema_.op_messages().GetOpMsgOperation(&op);
  const int n = reflection->FieldSize(*target, field);
  const int m = value != nullptr ? value->GetReflection()->FieldSize(*value, field) : 0;
  // Unset (0xFFFFFFFF) and indexes of 2^31 or more read as negative.
  const int32_t index = static_cast<int32_t>(schema_.op_messages().GetOpMsgIndex(&op));
  const bool positional = operation == OpMsg::INSERT || operation == OpMsg::UPDATE;
  if (positional) {
    if (index < 0) return Status::InvalidArgument("Missing index in OpMsg");
    if (m != 1) return Status::InvalidArgument("Value must contain exactly 1 element");
  }
  switch (operation) {
    case OpMsg::SET:
      reflection->ClearField(target, field);
      if (m > 0) CopyField(value, field, target);
      return Status::OK();
    case OpMsg::CLEAR:
      reflection->ClearField(target, field);
      return Status::OK();
    case OpMsg::INSERT:
      if (index > n) {
        return Status::InvalidArgument(
            "Index provided is greater than one beyond the last item in the repeated field");
      }
      InsertRepeatedField(value, field, 0, index, target);
      return Status::OK();
    case OpMsg::APPEND:
      if (m > 0) CopyField(value, field, target);
      return Status::OK();
    case OpMsg::REMOVE:
      if (m == 0) return Status::InvalidArgument("Value to be removed not provided");
      RemoveMatchingElements(target, *value, field);
      return Status::OK();
    case OpMsg::UPDATE:
      if (index >= n) {
        return Status::InvalidArgument(
            "Index provided is greater than the size of the repeated field");
      }
      UpdateRepeatedField(value, field, 0, index, target);
      return Status::OK();
    default:
      return Refuse("errorCode:DRX0207",
                    orv::string_format("Invalid operation %d on field %s in message %s", operation,
                                       field->name().c_str(), TypeName(*target)));
  }
}

void ObjectPatcher::RemoveMatchingElements(pb::Message* target, const pb::Message& value,
                                           const pb::FieldDescriptor* field) const {
  const int m = value.GetReflection()->FieldSize(value, field);
  for (int k = 0; k < m; ++k) {
    const AttributeValue wanted = GetRepeatedFieldValue(&value, field, k);
    const int n = target->GetReflection()->FieldSize(*target, field);
    for (int t = 0; t < n; ++t) {
      if (GetRepeatedFieldValue(target, field, t) == wanted) {
        RemoveRepeatedField(field, t, target);
        break;
      }
    }
  }
}

}  // namespace tarnix

#include "schema/op_messages.h"

#include <memory>

#include "caldek/orv/tarnix/tarnix_op.pb.h"
#include "logging/logger.h"
#include "schema/field_checks.h"
#include "schema/field_values.h"
#include "schema/schema_types.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
using caldek::orv::tarnix::OpMsg_Operation;

constexpr char kOpMsgName[] = "caldek.orv.tarnix.OpMsg";

// The schema's "op" value named like the compiled operation, or null.
const pb::EnumValueDescriptor* TranslateOperation(const pb::FieldDescriptor* op_field,
                                                  OpMsg_Operation op) {
  const pb::EnumValueDescriptor* compiled =
      caldek::orv::tarnix::OpMsg_Operation_descriptor()->FindValueByNumber(op);
  const pb::EnumValueDescriptor* value =
      compiled != nullptr && op_field != nullptr
          ? op_field->enum_type()->FindValueByName(compiled->name())
          : nullptr;
  if (value == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0207", "Operation %d has no value in the schema's OpMsg",
               static_cast<int>(op));
  }
  return value;
}

}  // namespace

const OpMessages::OpMsgFields* OpMessages::FindOpMsgFields(const pb::Descriptor* type) const {
  if (type == nullptr) return nullptr;
  auto cached = op_msg_fields_.find(type);
  if (cached != op_msg_fields_.end()) return &cached->second;
  if (type->full_name() != kOpMsgName) return nullptr;
  const pb::DescriptorPool* pool = type->file()->pool();
  if (!types_->HasLoadedPool(pool)) return nullptr;
  // The code below reads "op" as an enum and "index" as a uint32.
  const OpMsgFields fields{SingularField(type, "op", pb::FieldDescriptor::CPPTYPE_ENUM),
                           SingularField(type, "index", pb::FieldDescriptor::CPPTYPE_UINT32)};
  return &op_msg_fields_.emplace(type, fields).first->second;
}

bool OpMessages::IsOpMsgType(const pb::Descriptor* type) const {
  return FindOpMsgFields(type) != nullptr;
}

bool OpMessages::IsOpMsg(const pb::Message* message) const {
  return message != nullptr && IsOpMsgType(message->GetDescriptor());
}

const pb::FieldDescriptor* OpMessages::SetOpMsgField(
    const pb::Message* op_msg, const pb::FieldDescriptor* OpMsgFields::*part) const {
  const OpMsgFields* fields = op_msg ? FindOpMsgFields(op_msg->GetDescriptor()) : nullptr;
  if (fields == nullptr || fields->*part == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0207", "Message is not an OpMsg");
    return nullptr;
  }
  const pb::FieldDescriptor* field = fields->*part;
  return op_msg->GetReflection()->HasField(*op_msg, field) ? field : nullptr;
}

int OpMessages::GetOpMsgOperation(const pb::Message* op_msg) const {
  const pb::FieldDescriptor* op = SetOpMsgField(op_msg, &OpMsgFields::op);
  return op != nullptr ? op_msg->GetReflection()->GetEnumValue(*op_msg, op) : 0;
}

uint32_t OpMessages::GetOpMsgIndex(const pb::Message* op_msg) const {
  const pb::FieldDescriptor* index = SetOpMsgField(op_msg, &OpMsgFields::index);
  return index != nullptr ? op_msg->GetReflection()->GetUInt32(*op_msg, index) : 0xFFFFFFFF;
}

std::string OpMessages::GetOpMsgTypeName(const std::string& type_name) const {
  if (type_name.size() < 3) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "No op message type for type name '%s'",
               type_name.c_str());
    return std::string();
  }
  std::string name = type_name;
  name.insert(name.size() - 3, "Op");
  return name;
}

std::string OpMessages::GetOpMsgTypeNameOf(const pb::Descriptor* type) const {
  if (type == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0002", "Descriptor is nullptr");
    return std::string();
  }
  return GetOpMsgTypeName(type->full_name());
}

Status OpMessages::GetSelfOpMsg(const pb::Message* nested_op, const pb::Message** self) const {
  *self = nullptr;
  if (nested_op == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0002", "msg is nullptr");
    return Status::InvalidArgument("msg is nullptr");
  }
  const pb::FieldDescriptor* field = nullptr;
  Status status = SelfOpField(nested_op->GetDescriptor(), &field);
  if (!status.ok() || !IsFieldSet(nested_op, field)) return status;
  const pb::Reflection* r = nested_op->GetReflection();
  *self = field->is_repeated() ? &r->GetRepeatedMessage(*nested_op, field, 0)
                               : &r->GetMessage(*nested_op, field);
  return Status::OK();
}

Status OpMessages::SelfOpField(const pb::Descriptor* op_type,
                               const pb::FieldDescriptor** self) const {
  *self = op_type->FindFieldByName("self");
  std::string problem;
  if (*self == nullptr) {
    problem = "Nested op message " + op_type->full_name() + " does not have self field";
  } else if (!IsOpMsgType((*self)->message_type())) {
    problem = "Nested op message " + op_type->full_name() + " self field is " +
              ((*self)->message_type() != nullptr ? (*self)->message_type()->full_name()
                                                  : std::string((*self)->type_name())) +
              ", not OpMsg";
  }
  if (problem.empty()) return Status::OK();
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0207", "%s", problem.c_str());
  return Status::FailedPrecondition(problem);
}

bool OpMessages::ResolveOpTarget(const pb::FieldDescriptor* field,
                                 const pb::FieldDescriptor** self) const {
  *self = nullptr;
  const pb::Descriptor* element = field->message_type();
  if (element == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0207", "Op field %s is not a message",
               field->full_name().c_str());
    return false;
  }
  if (IsOpMsgType(element)) return true;
  const pb::FieldDescriptor* candidate = nullptr;
  if (!SelfOpField(element, &candidate).ok()) return false;
  if (candidate->is_repeated()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0207", "Nested op message %s self field is repeated",
               element->full_name().c_str());
    return false;
  }
  *self = candidate;
  return true;
}

const pb::EnumValueDescriptor* OpMessages::ResolveOp(const pb::FieldDescriptor* field,
                                                     OpMsg_Operation op,
                                                     const pb::FieldDescriptor** self,
                                                     const OpMsgFields** fields) const {
  if (!ResolveOpTarget(field, self)) return nullptr;
  *fields = FindOpMsgFields(*self != nullptr ? (*self)->message_type() : field->message_type());
  return TranslateOperation((*fields)->op, op);
}

void OpMessages::SetOperation(const pb::FieldDescriptor* field, OpMsg_Operation op,
                              pb::Message* message) const {
  if (!CheckEditArguments(nullptr, field, message, false)) return;
  const pb::FieldDescriptor* self = nullptr;
  const OpMsgFields* fields = nullptr;
  const pb::EnumValueDescriptor* value = ResolveOp(field, op, &self, &fields);
  if (value == nullptr) return;
  const pb::Reflection* r = message->GetReflection();
  pb::Message* target =
      field->is_repeated() ? r->AddMessage(message, field) : r->MutableMessage(message, field);
  if (self != nullptr) target = target->GetReflection()->MutableMessage(target, self);
  target->GetReflection()->SetEnum(target, fields->op, value);
}

void OpMessages::AddRepeatedFieldOp(const pb::FieldDescriptor* field, OpMsg_Operation op,
                                    pb::Message* message, int32_t index) const {
  if (!CheckRepeatedEditArguments(nullptr, field, message, false)) return;
  const pb::FieldDescriptor* self = nullptr;
  const OpMsgFields* fields = nullptr;
  const pb::EnumValueDescriptor* value = ResolveOp(field, op, &self, &fields);
  if (value == nullptr) return;
  pb::Message* target = message->GetReflection()->AddMessage(message, field);
  if (self != nullptr) target = target->GetReflection()->MutableMessage(target, self);
  const pb::Reflection* r = target->GetReflection();
  r->SetEnum(target, fields->op, value);
  if (index != kNoOpIndex && fields->index != nullptr) {
    r->SetUInt32(target, fields->index, static_cast<uint32_t>(index));
  }
}

}  // namespace tarnix

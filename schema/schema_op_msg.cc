// Op messages and element-wise editing of repeated fields.
#include <algorithm>
#include <memory>

#include "caldek/orv/tarnix/tarnix_op.pb.h"
#include "logging/logger.h"
#include "schema/field_access.h"
#include "schema/field_checks.h"
#include "schema/schema.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
using caldek::orv::tarnix::OpMsg_Operation;

constexpr char kOpMsgName[] = "caldek.orv.tarnix.OpMsg";

// from (when given) and to exist and are messages of the field's type.
bool FieldArguments(const pb::Message* from, const pb::FieldDescriptor* field,
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

bool RepeatedArguments(const pb::Message* from, const pb::FieldDescriptor* field,
                       const pb::Message* to, bool need_from) {
  if (!FieldArguments(from, field, to, need_from)) return false;
  if (!field->is_repeated()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0208", "Provided field is not a repeated field");
    return false;
  }
  return true;
}

void CopySingularField(const pb::Message& from, const pb::FieldDescriptor* field,
                       pb::Message* to) {
  if (!from.GetReflection()->HasField(from, field)) {
    to->GetReflection()->ClearField(to, field);
    return;
  }
  AccessOf(field).copy(from, field, to);
}

// The "self" OpMsg field of `op_type` in *self; a logged FAILED_PRECONDITION
// when it has none.
Status SelfOpField(const Schema& schema, const pb::Descriptor* op_type,
                   const pb::FieldDescriptor** self) {
  *self = op_type->FindFieldByName("self");
  std::string problem;
  if (*self == nullptr) {
    problem = "Nested op message " + op_type->full_name() + " does not have self field";
  } else if (!schema.IsOpMsgType((*self)->message_type())) {
    problem = "Nested op message " + op_type->full_name() + " self field is " +
              ((*self)->message_type() != nullptr ? (*self)->message_type()->full_name()
                                                  : std::string((*self)->type_name())) +
              ", not OpMsg";
  }
  if (problem.empty()) return Status::OK();
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0207", "%s", problem.c_str());
  return Status::FailedPrecondition(problem);
}

}  // namespace

const Schema::OpMsgFields* Schema::FindOpMsgFields(const pb::Descriptor* type) const {
  if (type == nullptr) return nullptr;
  auto cached = op_msg_fields_.find(type);
  if (cached != op_msg_fields_.end()) return &cached->second;
  if (type->full_name() != kOpMsgName) return nullptr;
  const pb::DescriptorPool* pool = type->file()->pool();
  const bool ours = std::any_of(generations_.begin(), generations_.end(),
                                [pool](const std::unique_ptr<Generation>& g) {
                                  return g->pool.get() == pool;
                                });
  if (!ours) return nullptr;
  // The code below reads "op" as an enum and "index" as a uint32.
  const OpMsgFields fields{SingularField(type, "op", pb::FieldDescriptor::CPPTYPE_ENUM),
                           SingularField(type, "index", pb::FieldDescriptor::CPPTYPE_UINT32)};
  return &op_msg_fields_.emplace(type, fields).first->second;
}

bool Schema::IsOpMsgType(const pb::Descriptor* type) const {
  return FindOpMsgFields(type) != nullptr;
}

bool Schema::IsOpMsg(const pb::Message* message) const {
  return message != nullptr && IsOpMsgType(message->GetDescriptor());
}

int Schema::GetOpMsgOperation(const pb::Message* op_msg) const {
  const OpMsgFields* fields = op_msg ? FindOpMsgFields(op_msg->GetDescriptor()) : nullptr;
  if (fields == nullptr || fields->op == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0207", "Message is not an OpMsg");
    return 0;
  }
  const pb::Reflection* r = op_msg->GetReflection();
  if (!r->HasField(*op_msg, fields->op)) return 0;
  return r->GetEnumValue(*op_msg, fields->op);
}

uint32_t Schema::GetOpMsgIndex(const pb::Message* op_msg) const {
  const OpMsgFields* fields = op_msg ? FindOpMsgFields(op_msg->GetDescriptor()) : nullptr;
  if (fields == nullptr || fields->index == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0207", "Message is not an OpMsg");
    return 0xFFFFFFFF;
  }
  const pb::Reflection* r = op_msg->GetReflection();
  if (!r->HasField(*op_msg, fields->index)) return 0xFFFFFFFF;
  return r->GetUInt32(*op_msg, fields->index);
}

std::string Schema::GetOpMsgTypeName(const std::string& type_name) const {
  if (type_name.size() < 3) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "No op message type for type name '%s'",
               type_name.c_str());
    return std::string();
  }
  std::string name = type_name;
  name.insert(name.size() - 3, "Op");
  return name;
}

std::string Schema::GetOpMsgTypeNameOf(const pb::Descriptor* type) const {
  if (type == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0002", "Descriptor is nullptr");
    return std::string();
  }
  return GetOpMsgTypeName(type->full_name());
}

Status Schema::GetSelfOpMsg(const pb::Message* nested_op, const pb::Message** self) const {
  *self = nullptr;
  if (nested_op == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0002", "msg is nullptr");
    return Status::InvalidArgument("msg is nullptr");
  }
  const pb::FieldDescriptor* field = nullptr;
  Status status = SelfOpField(*this, nested_op->GetDescriptor(), &field);
  if (!status.ok() || !IsFieldSet(nested_op, field)) return status;
  const pb::Reflection* r = nested_op->GetReflection();
  *self = field->is_repeated() ? &r->GetRepeatedMessage(*nested_op, field, 0)
                               : &r->GetMessage(*nested_op, field);
  return Status::OK();
}

namespace {

// Where an op lands in an element of `field`: the element itself when it is
// an OpMsg, else its "self" field (returned through *self). False when
// neither is usable.
bool ResolveOpTarget(const Schema& schema, const pb::FieldDescriptor* field,
                     const pb::FieldDescriptor** self) {
  *self = nullptr;
  const pb::Descriptor* element = field->message_type();
  if (element == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0207", "Op field %s is not a message",
               field->full_name().c_str());
    return false;
  }
  if (schema.IsOpMsgType(element)) return true;
  const pb::FieldDescriptor* candidate = nullptr;
  if (!SelfOpField(schema, element, &candidate).ok()) return false;
  if (candidate->is_repeated()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0207", "Nested op message %s self field is repeated",
               element->full_name().c_str());
    return false;
  }
  *self = candidate;
  return true;
}

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

void Schema::SetOperation(const pb::FieldDescriptor* field, OpMsg_Operation op,
                          pb::Message* message) const {
  if (!FieldArguments(nullptr, field, message, false)) return;
  const pb::FieldDescriptor* self = nullptr;
  if (!ResolveOpTarget(*this, field, &self)) return;
  const OpMsgFields* fields =
      FindOpMsgFields(self != nullptr ? self->message_type() : field->message_type());
  const pb::EnumValueDescriptor* value = TranslateOperation(fields->op, op);
  if (value == nullptr) return;
  const pb::Reflection* r = message->GetReflection();
  pb::Message* target =
      field->is_repeated() ? r->AddMessage(message, field) : r->MutableMessage(message, field);
  if (self != nullptr) target = target->GetReflection()->MutableMessage(target, self);
  target->GetReflection()->SetEnum(target, fields->op, value);
}

void Schema::AddRepeatedFieldOp(const pb::FieldDescriptor* field, OpMsg_Operation op,
                                pb::Message* message, int32_t index) const {
  if (!RepeatedArguments(nullptr, field, message, false)) return;
  const pb::FieldDescriptor* self = nullptr;
  if (!ResolveOpTarget(*this, field, &self)) return;
  const OpMsgFields* fields =
      FindOpMsgFields(self != nullptr ? self->message_type() : field->message_type());
  const pb::EnumValueDescriptor* value = TranslateOperation(fields->op, op);
  if (value == nullptr) return;
  pb::Message* target = message->GetReflection()->AddMessage(message, field);
  if (self != nullptr) target = target->GetReflection()->MutableMessage(target, self);
  const pb::Reflection* r = target->GetReflection();
  r->SetEnum(target, fields->op, value);
  if (index != kNoOpIndex && fields->index != nullptr) {
    r->SetUInt32(target, fields->index, static_cast<uint32_t>(index));
  }
}

void Schema::CopyField(const pb::Message* from, const pb::FieldDescriptor* field,
                       pb::Message* to) const {
  if (!FieldArguments(from, field, to, true) || from == to) return;
  if (!field->is_repeated()) {
    CopySingularField(*from, field, to);
    return;
  }
  const int size = from->GetReflection()->FieldSize(*from, field);
  for (int i = 0; i < size; ++i) AccessOf(field).append(*from, field, i, to);
}

void Schema::CopyRepeatedFieldElement(const pb::Message* from, const pb::FieldDescriptor* field,
                                      int index, pb::Message* to) const {
  if (!RepeatedArguments(from, field, to, true)) return;
  if (index < 0 || index >= from->GetReflection()->FieldSize(*from, field)) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0208",
               "Index provided in CopyRepeatedFieldElement is greater than field size");
    return;
  }
  AccessOf(field).append(*from, field, index, to);
}

void Schema::UpdateRepeatedField(const pb::Message* from, const pb::FieldDescriptor* field,
                                 int from_index, int to_index, pb::Message* to) const {
  if (!RepeatedArguments(from, field, to, true)) return;
  if (from_index < 0 || from_index >= from->GetReflection()->FieldSize(*from, field) ||
      to_index < 0 || to_index >= to->GetReflection()->FieldSize(*to, field)) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0208",
               "Index provided in UpdateRepeatedField is greater than field size");
    return;
  }
  if (from == to && from_index == to_index) return;
  AccessOf(field).set_element(*from, field, from_index, to_index, to);
}

void Schema::RemoveRepeatedField(const pb::FieldDescriptor* field, int index,
                                 pb::Message* message) const {
  if (!RepeatedArguments(nullptr, field, message, false)) return;
  const pb::Reflection* r = message->GetReflection();
  const int size = r->FieldSize(*message, field);
  if (index < 0 || index >= size) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0208",
               "Index provided in RemoveRepeatedField is greater than field size");
    return;
  }
  // Bubble the element to the end, keeping the order of the others.
  for (int j = index + 1; j < size; ++j) r->SwapElements(message, field, j - 1, j);
  r->RemoveLast(message, field);
}

void Schema::InsertRepeatedField(const pb::Message* from, const pb::FieldDescriptor* field,
                                 int from_index, int to_index, pb::Message* to) const {
  if (!RepeatedArguments(from, field, to, true)) return;
  if (from_index < 0 || from_index >= from->GetReflection()->FieldSize(*from, field)) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0208",
               "Src index provided in InsertRepeatedField is greater than field size");
    return;
  }
  const pb::Reflection* r = to->GetReflection();
  const int size = r->FieldSize(*to, field);
  if (to_index < 0 || to_index > size) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0208",
               "Dst index provided in InsertRepeatedField is greater than field size");
    return;
  }
  // Append a copy of the source element (taken before anything moves, so a
  // message may insert from itself), then move it down into place.
  AccessOf(field).append(*from, field, from_index, to);
  for (int j = size; j > to_index; --j) r->SwapElements(to, field, j, j - 1);
}

}  // namespace tarnix

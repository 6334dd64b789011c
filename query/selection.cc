#include "query/selection.h"

#include <optional>
#include <vector>

#include "caldek/orv/tarnix/tarnix_op.pb.h"
#include "caldek/orv/tarnix/tarnix_options.pb.h"
#include "logging/logger.h"
#include "platform/wft/workflow_util.h"
#include "query/op_msg_fields.h"
#include "query/update_delta.h"
#include "schema/field_values.h"
#include "schema/schema.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
using caldek::orv::tarnix::OpMsg;
using caldek::orv::tarnix::OpMsg_Operation;

bool IsKeyField(const pb::FieldDescriptor* field) {
  return field->options().HasExtension(caldek::orv::tarnix::key);
}

bool IsSingularMessage(const pb::FieldDescriptor* field) {
  return field->cpp_type() == pb::FieldDescriptor::CPPTYPE_MESSAGE && !field->is_repeated();
}

}  // namespace

bool Selection::ParseSelectMsg(const pb::Message* select_op, bool in_repeated) const {
  if (select_op == nullptr) return true;
  const std::vector<const pb::FieldDescriptor*> fields = SetFields(*select_op);
  for (const pb::FieldDescriptor* field : fields) {
    const pb::Message* content = FieldContent(*select_op, field);
    if (content == nullptr) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0203",
                 "Unable to extract message field from select op_msg message");
      return false;
    }
    TARNIX_LOG(orv::VERBOSE, nullptr, "Select field %s msg type %s", field->name().c_str(),
               content->GetDescriptor()->full_name().c_str());
    const bool is_self = field->name() == "self";
    if (in_repeated && !is_self) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0207",
                 "Only self is allowed to be selected for complex repeated fields");
      return false;
    }
    if (is_self && fields.size() > 1) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0207", "Multiple fields set in addition to self field");
      return false;
    }
    if (!schema_->op_messages().IsOpMsg(content)) {
      if (!ParseSelectMsg(content, field->is_repeated())) return false;
    } else if (schema_->op_messages().GetOpMsgOperation(content) != OpMsg::SELECT) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0207", "SelectMsg contains non-SELECT operation");
      return false;
    }
  }
  return true;
}

void Selection::ApplySelectionOnSet(const pb::Message* select_op, pb::Message* object,
                                    pb::Message* result_op) const {
  if (object == nullptr || result_op == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0002", "msg is nullptr");
    return;
  }
  if (matcher_.MessageHasSelfField(select_op)) {
    schema_->op_messages().SetOperation(result_op->GetDescriptor()->FindFieldByName("self"),
                                        OpMsg::SET, result_op);
    return;
  }
  ApplyOpToNestedSelfFields(select_op, OpMsg::SET, object, result_op);
}

void Selection::ApplySelectionOnDelete(bool trace, const pb::Message* select_op,
                                       pb::Message* deleted_object, pb::Message* value,
                                       pb::Message* result_op) const {
  std::optional<orv::wft::WorkflowUtil> span;
  if (trace) span.emplace("ApplySelectionOnDelete", 2);
  if (deleted_object == nullptr || value == nullptr || result_op == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0002", "msg is nullptr");
    return;
  }
  if (value->GetDescriptor() == deleted_object->GetDescriptor()) {
    value->CopyFrom(*deleted_object);
    schema_->keys().ClearNonKeyFields(value);
  } else {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0207", "Value %s is not of the deleted object's type %s",
               value->GetDescriptor()->full_name().c_str(),
               deleted_object->GetDescriptor()->full_name().c_str());
    value->Clear();
  }
  if (matcher_.MessageHasSelfField(select_op)) {
    schema_->op_messages().SetOperation(result_op->GetDescriptor()->FindFieldByName("self"),
                                        OpMsg::CLEAR, result_op);
    return;
  }
  ApplyOpToNestedSelfFields(select_op, OpMsg::CLEAR, deleted_object, result_op);
}

void Selection::ApplySelectionOnUpdate(const std::string& type_name, const std::string& id,
                                       bool trace, const pb::Message* select_op,
                                       pb::Message* old_object, pb::Message* new_object,
                                       pb::Message* result_op,
                                       const TransactionRequestTable* pending_requests) const {
  std::optional<orv::wft::WorkflowUtil> span;
  if (trace) span.emplace("ApplySelectionOnUpdate", 2);
  if (old_object == nullptr || new_object == nullptr || result_op == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0002", "msg is nullptr");
    return;
  }
  const bool whole = matcher_.MessageHasSelfField(select_op);
  if (!whole && deltas_ == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0002", "No delta computation for the update of %s",
               type_name.c_str());
  }
  if (whole || deltas_ == nullptr) {
    schema_->op_messages().SetOperation(result_op->GetDescriptor()->FindFieldByName("self"),
                                        OpMsg::SET, result_op);
    return;
  }
  deltas_->ComputeDelta(type_name, id, trace, select_op, old_object, new_object, result_op, {},
                        {}, pending_requests);
}

bool Selection::ApplyOpToNestedSelfFields(const pb::Message* select_op, OpMsg_Operation operation,
                                          pb::Message* object, pb::Message* result_op) const {
  if (select_op == nullptr || object == nullptr || result_op == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0002", "msg is nullptr");
    return false;
  }
  // Fields of the selection are used on the result below.
  if (select_op->GetDescriptor() != result_op->GetDescriptor()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0207", "Selection %s does not fit result %s",
               select_op->GetDescriptor()->full_name().c_str(),
               result_op->GetDescriptor()->full_name().c_str());
    return false;
  }
  const pb::Descriptor* select_type = select_op->GetDescriptor();
  const pb::Reflection* object_r = object->GetReflection();
  const pb::Reflection* result_r = result_op->GetReflection();
  bool left_op = false;
  for (const pb::FieldDescriptor* field : SetFields(*object)) {
    const pb::FieldDescriptor* select_field = select_type->FindFieldByName(field->name());
    if (!IsFieldSet(select_op, select_field)) {
      if (!IsKeyField(field)) object_r->ClearField(object, field);
      continue;
    }
    const pb::Message* content = FieldContent(*select_op, select_field);
    if (content != nullptr && !select_field->is_repeated() &&
        !schema_->op_messages().IsOpMsg(content) && matcher_.FindSelfOpMsg(content) == nullptr &&
        IsSingularMessage(field)) {
      pb::Message* result_sub = result_r->MutableMessage(result_op, select_field);
      pb::Message* object_sub = object_r->MutableMessage(object, field);
      if (ApplyOpToNestedSelfFields(content, operation, object_sub, result_sub)) {
        left_op = true;
      } else {
        result_r->ClearField(result_op, select_field);
      }
      continue;
    }
    schema_->op_messages().SetOperation(select_field, operation, result_op);
    left_op = true;
  }
  return left_op;
}

}  // namespace tarnix

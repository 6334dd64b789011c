#include "monitor/subscription_check.h"

#include <vector>

#include "caldek/orv/tarnix/tarnix_op.pb.h"
#include "query/op_msg_fields.h"
#include "schema/field_values.h"
#include "schema/schema.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
using caldek::orv::tarnix::OpMsg;

const char* OperationName(int operation) {
  switch (operation) {
    case OpMsg::EQUALS:
      return "EQUALS";
    case OpMsg::NOT_EQUALS:
      return "NOT_EQUALS";
    case OpMsg::CONTAINS_ANY:
      return "CONTAINS_ANY";
    case OpMsg::CONTAINS_ALL:
      return "CONTAINS_ALL";
    default:
      return "EXISTS";
  }
}

// The attribute a predicate applies to, and what the clause says of it.
struct Leaf {
  const pb::FieldDescriptor* attribute;
  const pb::Message* op_msg;   // the OpMsg
  const pb::Message* operand;  // the value message at the attribute's level, or null
  bool through_self;           // the OpMsg is the "self" of a nested op message
};

}  // namespace

Status CheckSubscription(const Schema& schema, const std::string& object_type,
                         const TarnixObject& op, const TarnixObject& value) {
  const std::string clause = "Where clause of " + object_type + ": ";
  if (schema.types().FindMessageTypeByName(object_type) == nullptr) {
    return Status::InvalidArgument(clause + "unknown object type");
  }
  const TarnixObject::MessagePtr op_msg = op.GetMessage(schema);
  if (op_msg == nullptr) {
    if (op.HasObjectType()) return Status::InvalidArgument(clause + "op message does not parse");
    return Status::OK();
  }
  std::vector<const pb::FieldDescriptor*> fields = SetFields(*op_msg);
  if (fields.empty()) return Status::OK();
  if (op_msg->GetDescriptor()->full_name() != schema.op_messages().GetOpMsgTypeName(object_type)) {
    return Status::InvalidArgument(clause + "op message is a " +
                                   op_msg->GetDescriptor()->full_name());
  }
  const TarnixObject::MessagePtr value_msg = value.GetMessage(schema);
  if (value_msg == nullptr || value_msg->GetDescriptor()->full_name() != object_type) {
    return Status::InvalidArgument(clause + "no value message of the type beside the predicate");
  }

  // Down the nested op messages, beside the object type and the operands
  // (null below a sub-message the value does not hold).
  const pb::Message* level = op_msg.get();
  const pb::Descriptor* type = value_msg->GetDescriptor();
  const pb::Message* operand = value_msg.get();
  std::string path;
  Leaf leaf{};
  for (;;) {
    if (fields.size() != 1) {
      return Status::InvalidArgument(
          clause + (fields.empty() ? "no attribute set" : "more than one attribute set") +
          (path.empty() ? "" : " in " + path));
    }
    const pb::FieldDescriptor* op_field = fields.front();
    path += (path.empty() ? "" : ".") + op_field->name();
    const std::string at = "Where clause on " + path + " of " + object_type + ": ";
    if (op_field->name() == "self") {
      return Status::InvalidArgument(
          at + "cannot be watched on the whole object; an empty where clause watches every object");
    }
    const pb::FieldDescriptor* attribute = type->FindFieldByName(op_field->name());
    if (attribute == nullptr) return Status::InvalidArgument(at + "no such field");
    const pb::Message* content =
        IsFieldSet(level, op_field) ? FieldContent(*level, op_field) : nullptr;
    if (content == nullptr) return Status::InvalidArgument(at + "holds no op message");
    if (schema.op_messages().IsOpMsg(content)) {
      leaf = Leaf{attribute, content, operand, false};
      break;
    }
    if (attribute->cpp_type() != pb::FieldDescriptor::CPPTYPE_MESSAGE) {
      return Status::InvalidArgument(at + "a nested op message on an attribute that is no message");
    }
    fields = SetFields(*content);
    if (fields.size() == 1 && fields.front()->name() == "self") {
      const pb::Message* self = FieldContent(*content, fields.front());
      if (self == nullptr || !schema.op_messages().IsOpMsg(self)) {
        return Status::InvalidArgument(at + "'self' holds no OpMsg");
      }
      leaf = Leaf{attribute, self, operand, true};
      break;
    }
    if (attribute->is_repeated()) {
      return Status::InvalidArgument(
          at + "a predicate on a repeated message attribute must be on 'self'");
    }
    level = content;
    type = attribute->message_type();
    operand = IsFieldSet(operand, attribute)
                  ? &operand->GetReflection()->GetMessage(*operand, attribute)
                  : nullptr;
  }

  const std::string at = "Where clause on " + path + " of " + object_type + ": ";
  const int operation = schema.op_messages().GetOpMsgOperation(leaf.op_msg);
  const bool repeated = leaf.attribute->is_repeated();
  const bool message = leaf.attribute->cpp_type() == pb::FieldDescriptor::CPPTYPE_MESSAGE;
  switch (operation) {
    case OpMsg::EXISTS:
      return Status::OK();
    case OpMsg::EQUALS:
    case OpMsg::NOT_EQUALS:
      if (message && !repeated && !leaf.through_self) {
        return Status::InvalidArgument(at + OperationName(operation) +
                                       " on a message attribute needs 'self'");
      }
      break;
    case OpMsg::CONTAINS_ANY:
    case OpMsg::CONTAINS_ALL:
      if (!repeated) {
        return Status::InvalidArgument(at + OperationName(operation) +
                                       " needs a repeated attribute");
      }
      break;
    default:
      return Status::InvalidArgument(at + "operation " + std::to_string(operation) +
                                     " cannot be watched");
  }
  if (!IsFieldSet(leaf.operand, leaf.attribute)) {
    return Status::InvalidArgument(at + OperationName(operation) +
                                   " needs an operand, which the value message does not hold");
  }
  return Status::OK();
}

}  // namespace tarnix

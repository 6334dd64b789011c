#ifndef TARNIX_QUERY_OP_MSG_FIELDS_H_
#define TARNIX_QUERY_OP_MSG_FIELDS_H_

#include <vector>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

namespace tarnix {

// The set fields of an op message, in field-number order.
inline std::vector<const google::protobuf::FieldDescriptor*> SetFields(
    const google::protobuf::Message& message) {
  std::vector<const google::protobuf::FieldDescriptor*> fields;
  message.GetReflection()->ListFields(message, &fields);
  return fields;
}

// The message a set op-message field holds (its first element when
// repeated); null when the field does not hold messages.
inline const google::protobuf::Message* FieldContent(
    const google::protobuf::Message& op_msg, const google::protobuf::FieldDescriptor* field) {
  if (field->cpp_type() != google::protobuf::FieldDescriptor::CPPTYPE_MESSAGE) return nullptr;
  const google::protobuf::Reflection* r = op_msg.GetReflection();
  if (field->is_repeated()) {
    if (r->FieldSize(op_msg, field) == 0) return nullptr;
    return &r->GetRepeatedMessage(op_msg, field, 0);
  }
  return &r->GetMessage(op_msg, field);
}

}  // namespace tarnix

#endif  // TARNIX_QUERY_OP_MSG_FIELDS_H_

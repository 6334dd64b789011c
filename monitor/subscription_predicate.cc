#include "monitor/subscription_predicate.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "caldek/orv/tarnix/tarnix_op.pb.h"
#include "logging/logger.h"
#include "query/op_msg_fields.h"
#include "schema/field_values.h"
#include "schema/schema.h"
#include "schema/varint.h"
#include "schema/wire_format.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
using caldek::orv::tarnix::OpMsg;

// What a leaf of an op message says: the operation and its operands, as
// bytes (a "self" on a message) or as values.
struct Operands {
  int operation = 0;
  std::string bytes;
  std::vector<AttributeValue> values;
};

// The content of an op field: its sub-message, or its first element when
// repeated; null when the op message does not hold it.
const pb::Message* Content(const pb::Message& op, const pb::FieldDescriptor* field) {
  return IsFieldSet(&op, field) ? FieldContent(op, field) : nullptr;
}

void LogNoContent() {
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0203",
             "Unable to extract message field from the operation message");
}

void LogSetFieldCount(const pb::Message& content, size_t count) {
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0207",
             "op msg %s has '%lu' attributes set instead of only 1",
             content.GetDescriptor()->full_name().c_str(), static_cast<unsigned long>(count));
}

// The leaf case of an OpMsg, or of a "self" on a repeated attribute.
bool ExtractOpMsgOperand(const Schema& schema, const pb::Message& op,
                         const pb::FieldDescriptor* op_field, const pb::Message* value,
                         const pb::FieldDescriptor* value_field, Operands* out) {
  const pb::Message* content = Content(op, op_field);
  if (content == nullptr) {
    LogNoContent();
    return false;
  }
  if (value == nullptr || value_field == nullptr) {
    out->operation = schema.op_messages().GetOpMsgOperation(content);
    return true;
  }
  if (!value_field->is_repeated()) {
    out->operation = schema.op_messages().GetOpMsgOperation(content);
    out->values.push_back(ExtractFieldValue(*value, value_field));
    return true;
  }
  if (!schema.op_messages().IsOpMsg(content)) {
    const std::vector<const pb::FieldDescriptor*> fields = SetFields(*content);
    if (fields.size() != 1) {
      LogSetFieldCount(*content, fields.size());
      return false;
    }
    if (fields[0]->name() != "self") {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0207", "op msg %s has field %s but not 'self'",
                 content->GetDescriptor()->full_name().c_str(), fields[0]->name().c_str());
      return false;
    }
    content = Content(*content, fields[0]);
    if (content == nullptr) {
      LogNoContent();
      return false;
    }
    if (!schema.op_messages().IsOpMsg(content)) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0207", "'self' field is of type %s but not OpMsg",
                 content->GetDescriptor()->full_name().c_str());
      return false;
    }
  }
  out->operation = schema.op_messages().GetOpMsgOperation(content);
  out->values = ExtractRepeatedFieldValues(*value, value_field);
  return true;
}

// The predicate at the attribute it applies to.
bool ReadRequest(const Schema& schema, const pb::Message& op, const pb::FieldDescriptor* op_field,
                 const pb::Message* value, const pb::FieldDescriptor* value_field, Operands* out) {
  const pb::Message* content = Content(op, op_field);
  if (content == nullptr) {
    LogNoContent();
    return false;
  }
  if (schema.op_messages().IsOpMsg(content) ||
      (value_field != nullptr && value_field->is_repeated())) {
    return ExtractOpMsgOperand(schema, op, op_field, value, value_field, out);
  }
  const std::vector<const pb::FieldDescriptor*> fields = SetFields(*content);
  if (fields.size() != 1) {
    LogSetFieldCount(*content, fields.size());
    return false;
  }
  if (fields[0]->name() != "self") {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0207", "ReadRequest called on a nested non-self field");
    return false;
  }
  out->operation = schema.op_messages().GetOpMsgOperation(Content(*content, fields[0]));
  if (value_field != nullptr && value_field->cpp_type() == pb::FieldDescriptor::CPPTYPE_MESSAGE &&
      IsFieldSet(value, value_field)) {
    const pb::Message* sub = FieldContent(*value, value_field);
    if (sub != nullptr) SerializeDeterministic(*sub, &out->bytes);
  }
  return true;
}

template <typename Bits, typename F>
void AppendFloatingBits(F v, std::string* out) {
  static_assert(sizeof(Bits) == sizeof(F), "bit width");
  if (std::isnan(v)) v = std::numeric_limits<F>::quiet_NaN();
  if (v == 0) v = 0;  // -0 as +0
  Bits bits;
  std::memcpy(&bits, &v, sizeof bits);
  AppendVarint64(out, bits);
}

}  // namespace

bool ReadSubscriptionPredicate(const Schema& schema, const pb::Message& op,
                               const pb::FieldDescriptor* op_field, const pb::Message* value,
                               PredicateUse use, SubscriptionPredicate* predicate) {
  const pb::Message* level = &op;
  const pb::FieldDescriptor* value_field = nullptr;
  const pb::Message* content = nullptr;
  predicate->path.clear();
  // Down the nested op messages to the attribute the operation applies to.
  for (;;) {
    predicate->path.push_back(op_field->name());
    value_field =
        value != nullptr ? value->GetDescriptor()->FindFieldByName(op_field->name()) : nullptr;
    content = Content(*level, op_field);
    if (content == nullptr) {
      LogNoContent();
      return false;
    }
    const bool nested =
        !schema.op_messages().IsOpMsg(content) &&
        (value == nullptr || (value_field != nullptr && !value_field->is_repeated()));
    if (!nested) break;
    const std::vector<const pb::FieldDescriptor*> fields = SetFields(*content);
    if (fields.size() != 1) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0207",
                 "%s in SubscriptionsSharingAttribute: operation msg for nested field contains "
                 "'%lu' fields set where 1 is expected",
                 use == PredicateUse::kAdd ? "AddSubscription" : "DeleteSubscription",
                 static_cast<unsigned long>(fields.size()));
      return false;
    }
    if (fields[0]->name() == "self") break;
    const bool holds_sub = value_field != nullptr &&
                           value_field->cpp_type() == pb::FieldDescriptor::CPPTYPE_MESSAGE &&
                           IsFieldSet(value, value_field);
    value = holds_sub ? &value->GetReflection()->GetMessage(*value, value_field) : nullptr;
    level = content;
    op_field = fields[0];
  }

  Operands operands;
  if (!ReadRequest(schema, *level, op_field, value, value_field, &operands)) return false;
  predicate->operation = operands.operation;
  switch (operands.operation) {
    case OpMsg::CONTAINS_ALL:
      predicate->target = PredicateTarget::kContainsAll;
      predicate->elements = SortedDistinct(std::move(operands.values));
      return true;
    case OpMsg::EXISTS:
      predicate->target = PredicateTarget::kExists;
      return true;
    case OpMsg::CONTAINS_ANY:
      predicate->target = PredicateTarget::kContainsAny;
      predicate->elements = SortedDistinct(std::move(operands.values));
      return true;
    case OpMsg::EQUALS:
    case OpMsg::NOT_EQUALS:
      if (value_field != nullptr && value_field->is_repeated()) {
        predicate->target = PredicateTarget::kList;
        predicate->key = ListKey(operands.values);
      } else if (!schema.op_messages().IsOpMsg(content)) {
        predicate->target = PredicateTarget::kMessage;
        predicate->key = std::move(operands.bytes);
      } else if (operands.values.empty()) {
        TARNIX_LOG(orv::ERROR, "errorCode:DRX0207",
                   operands.operation == OpMsg::EQUALS
                       ? "Attribute %s in given equality predicate has no elements"
                       : "Attribute %s in given inequality predicate has no elements",
                   op_field->name().c_str());
        return false;
      } else if (operands.values.size() > 1) {
        TARNIX_LOG(orv::ERROR, "errorCode:DRX0207",
                   "singular field has '%lu' values instead of only one",
                   static_cast<unsigned long>(operands.values.size()));
        return false;
      } else {
        predicate->target = PredicateTarget::kValue;
        predicate->value = std::move(operands.values.front());
      }
      return true;
    default:
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0207", "invalid operation code %d", operands.operation);
      return false;
  }
}

AttributeValue ExtractFieldValue(const pb::Message& message, const pb::FieldDescriptor* field) {
  if (field->cpp_type() != pb::FieldDescriptor::CPPTYPE_MESSAGE) {
    return GetFieldValue(&message, field);
  }
  const pb::Message* sub = IsFieldSet(&message, field) ? FieldContent(message, field) : nullptr;
  std::string bytes;
  if (sub == nullptr || !SerializeDeterministic(*sub, &bytes)) {
    LogNoContent();
    return AttributeValue::Int32(0);
  }
  return AttributeValue::String(std::move(bytes));
}

std::vector<AttributeValue> ExtractRepeatedFieldValues(const pb::Message& message,
                                                       const pb::FieldDescriptor* field) {
  std::vector<AttributeValue> values;
  if (!field->is_repeated()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "field %s is not a repeated field",
               field->name().c_str());
    return values;
  }
  const int size = message.GetReflection()->FieldSize(message, field);
  values.reserve(size);
  for (int i = 0; i < size; ++i) values.push_back(GetRepeatedFieldValue(&message, field, i));
  return values;
}

std::string ListKey(const std::vector<AttributeValue>& values) {
  std::string key;
  for (const AttributeValue& v : values) {
    key.push_back(static_cast<char>(v.kind()));
    switch (v.kind()) {
      case AttributeValue::kInt32:
      case AttributeValue::kEnum:
        AppendVarint64(&key, ZigZagEncode32(v.int32_value()));
        break;
      case AttributeValue::kInt64:
        AppendVarint64(&key, ZigZagEncode64(v.int64_value()));
        break;
      case AttributeValue::kUint32:
        AppendVarint64(&key, v.uint32_value());
        break;
      case AttributeValue::kUint64:
        AppendVarint64(&key, v.uint64_value());
        break;
      case AttributeValue::kFloat:
        AppendFloatingBits<uint32_t>(v.float_value(), &key);
        break;
      case AttributeValue::kDouble:
        AppendFloatingBits<uint64_t>(v.double_value(), &key);
        break;
      case AttributeValue::kBool:
        key.push_back(v.bool_value() ? 1 : 0);
        break;
      case AttributeValue::kString:
        AppendVarint64(&key, v.string_value().size());
        key.append(v.string_value());
        break;
    }
  }
  return key;
}

std::vector<AttributeValue> SortedDistinct(std::vector<AttributeValue> values) {
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end(), AttributeValueKeyEqual()), values.end());
  return values;
}

bool IsNaN(const AttributeValue& value) {
  switch (value.kind()) {
    case AttributeValue::kFloat:
      return std::isnan(value.float_value());
    case AttributeValue::kDouble:
      return std::isnan(value.double_value());
    default:
      return false;
  }
}

}  // namespace tarnix

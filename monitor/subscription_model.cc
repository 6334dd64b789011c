#include "monitor/subscription_model.h"

#include <algorithm>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "caldek/orv/tarnix/tarnix_op.pb.h"
#include "schema/field_values.h"
#include "schema/schema.h"
#include "schema/wire_format.h"

namespace tarnix {
namespace subscription_test {
namespace {

namespace pb = google::protobuf;
using caldek::orv::tarnix::OpMsg;

std::vector<const pb::FieldDescriptor*> Held(const pb::Message& message) {
  std::vector<const pb::FieldDescriptor*> fields;
  message.GetReflection()->ListFields(message, &fields);
  return fields;
}

const pb::Message& Sub(const pb::Message& message, const pb::FieldDescriptor* field) {
  const pb::Reflection* r = message.GetReflection();
  return field->is_repeated() ? r->GetRepeatedMessage(message, field, 0)
                              : r->GetMessage(message, field);
}

std::vector<AttributeValue> Elements(const pb::Message* message, const pb::FieldDescriptor* field) {
  std::vector<AttributeValue> values;
  if (message == nullptr) return values;
  const int size = message->GetReflection()->FieldSize(*message, field);
  for (int i = 0; i < size; ++i) values.push_back(GetRepeatedFieldValue(message, field, i));
  return values;
}

bool Contains(const std::vector<AttributeValue>& list, const AttributeValue& value) {
  return std::any_of(list.begin(), list.end(),
                     [&](const AttributeValue& v) { return AttributeValueEquals(v, value); });
}

std::string Bytes(const pb::Message& message) {
  std::string bytes;
  SerializeDeterministic(message, &bytes);
  return bytes;
}

// `operation` on attribute `field`, which `object` holds; `value` may be null.
bool LeafMatches(int operation, const pb::FieldDescriptor* field, const pb::Message* value,
                 const pb::Message& object) {
  if (operation == OpMsg::EXISTS) return true;
  if (field->is_repeated()) {
    const std::vector<AttributeValue> wanted = Elements(value, field);
    const std::vector<AttributeValue> held = Elements(&object, field);
    const bool equal = wanted.size() == held.size() &&
                       std::equal(wanted.begin(), wanted.end(), held.begin(), AttributeValueEquals);
    switch (operation) {
      case OpMsg::EQUALS:
        return equal;
      case OpMsg::NOT_EQUALS:
        return !equal;
      case OpMsg::CONTAINS_ANY:
        return std::any_of(wanted.begin(), wanted.end(),
                           [&](const AttributeValue& v) { return Contains(held, v); });
      default:  // CONTAINS_ALL
        return std::all_of(wanted.begin(), wanted.end(),
                           [&](const AttributeValue& v) { return Contains(held, v); });
    }
  }
  bool equal;
  if (field->cpp_type() == pb::FieldDescriptor::CPPTYPE_MESSAGE) {
    equal = Bytes(Sub(*value, field)) == Bytes(Sub(object, field));
  } else {
    equal = AttributeValueEquals(GetFieldValue(value, field), GetFieldValue(&object, field));
  }
  return operation == OpMsg::EQUALS ? equal : !equal;
}

}  // namespace

std::unique_ptr<Schema> LoadWatchSchema() {
  auto schema = std::make_unique<Schema>(
      std::string(TARNIX_MONITOR_TEST_DATA_DIR) + "/watch_schema.pb", "monitor.test");
  EXPECT_FALSE(schema->types().GetSchemaPath().empty()) << "fixture schema did not load";
  return schema;
}

std::unique_ptr<pb::Message> Msg(const Schema& schema, const std::string& type,
                                 const std::string& text) {
  const std::string name = type.find('.') == std::string::npos ? "monitor.test." + type : type;
  std::unique_ptr<pb::Message> message(schema.types().NewMessage(name));
  EXPECT_TRUE(message != nullptr) << name;
  if (message == nullptr) return message;
  EXPECT_TRUE(pb::TextFormat::ParseFromString(text, message.get())) << text;
  return message;
}

ClauseLeaf FindClauseLeaf(const Schema& schema, const pb::Message& op, const pb::Message& value,
                          const pb::Message& object) {
  ClauseLeaf leaf;
  leaf.value = &value;
  leaf.object = &object;
  const pb::Message* level = &op;
  const pb::Descriptor* type = object.GetDescriptor();
  for (;;) {
    const pb::FieldDescriptor* op_field = Held(*level).front();
    leaf.field = type->FindFieldByName(op_field->name());
    const pb::Message& content = Sub(*level, op_field);
    if (schema.op_messages().IsOpMsg(&content)) {
      leaf.operation = schema.op_messages().GetOpMsgOperation(&content);
      return leaf;
    }
    const pb::FieldDescriptor* next = Held(content).front();
    if (next->name() == "self") {
      leaf.operation = schema.op_messages().GetOpMsgOperation(&Sub(content, next));
      leaf.through_self = true;
      return leaf;
    }
    leaf.value = IsFieldSet(leaf.value, leaf.field) ? &Sub(*leaf.value, leaf.field) : nullptr;
    leaf.object = IsFieldSet(leaf.object, leaf.field) ? &Sub(*leaf.object, leaf.field) : nullptr;
    type = leaf.field->message_type();
    level = &content;
  }
}

bool ClauseMatches(const Schema& schema, const pb::Message* op, const pb::Message* value,
                   const pb::Message& object) {
  if (op == nullptr || value == nullptr || Held(*op).empty()) return true;
  const ClauseLeaf leaf = FindClauseLeaf(schema, *op, *value, object);
  if (!IsFieldSet(leaf.object, leaf.field)) return false;
  return LeafMatches(leaf.operation, leaf.field, leaf.value, *leaf.object);
}

void SubscriptionModel::AddMonitor(const std::string& monitor_id, VdbId vdb_id) {
  monitors_[monitor_id].vdb_id = vdb_id;
}

void SubscriptionModel::MoveMonitor(const std::string& monitor_id, VdbId vdb_id) {
  monitors_.at(monitor_id).vdb_id = vdb_id;
}

void SubscriptionModel::RemoveMonitor(const std::string& monitor_id) {
  monitors_.erase(monitor_id);
}

void SubscriptionModel::AddClause(const std::string& monitor_id, const Clause& clause) {
  Monitor& monitor = monitors_.at(monitor_id);
  monitor.clauses.emplace(monitor.vdb_id, clause);
}

void SubscriptionModel::RemoveClause(const std::string& monitor_id, const Clause& clause) {
  Monitor& monitor = monitors_.at(monitor_id);
  monitor.clauses.erase({monitor.vdb_id, clause});
}

void SubscriptionModel::RemoveType(const std::string& monitor_id, const std::string& object_type) {
  auto& clauses = monitors_.at(monitor_id).clauses;
  for (auto it = clauses.begin(); it != clauses.end();) {
    it = std::get<0>(it->second) == object_type ? clauses.erase(it) : std::next(it);
  }
}

MonitorIdSet SubscriptionModel::Match(const std::string& object_type, const pb::Message& object,
                                      const VdbIdSet& vdb_ids) const {
  MonitorIdSet matched;
  for (const auto& [monitor_id, monitor] : monitors_) {
    for (const auto& [vdb_id, clause] : monitor.clauses) {
      const auto& [type, op_body, value_body] = clause;
      if (type != object_type || vdb_ids.count(vdb_id) == 0) continue;
      std::unique_ptr<pb::Message> op(
          schema_->types().ParseMessage(schema_->op_messages().GetOpMsgTypeName(type), op_body));
      std::unique_ptr<pb::Message> value(schema_->types().ParseMessage(type, value_body));
      if (ClauseMatches(*schema_, op.get(), value.get(), object)) {
        matched.insert(monitor_id);
        break;
      }
    }
  }
  return matched;
}

std::vector<SubscriptionModel::Clause> SubscriptionModel::Clauses(
    const std::string& monitor_id) const {
  std::vector<Clause> clauses;
  auto monitor = monitors_.find(monitor_id);
  if (monitor == monitors_.end()) return clauses;
  for (const auto& [vdb_id, clause] : monitor->second.clauses) {
    if (vdb_id == monitor->second.vdb_id) clauses.push_back(clause);
  }
  return clauses;
}

std::vector<std::string> SubscriptionModel::Monitors() const {
  std::vector<std::string> ids;
  for (const auto& entry : monitors_) ids.push_back(entry.first);
  return ids;
}

}  // namespace subscription_test
}  // namespace tarnix

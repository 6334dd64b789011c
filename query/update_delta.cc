#include "query/update_delta.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>

#include "caldek/orv/tarnix/tarnix_op.pb.h"
#include "caldek/orv/tarnix/tarnix_options.pb.h"
#include "logging/logger.h"
#include "metrics/scoped_latency_timer.h"
#include "platform/wft/workflow_util.h"
#include "schema/attribute_value.h"
#include "schema/field_editing.h"
#include "schema/field_values.h"
#include "schema/schema.h"

namespace tarnix {

namespace pb = google::protobuf;
using caldek::orv::tarnix::OpMsg;

namespace {

bool IsKeyField(const pb::FieldDescriptor* field) {
  return field->options().HasExtension(caldek::orv::tarnix::key);
}

// The content of a set op-message field: its sub-message, or its first
// element when repeated.
const pb::Message& Content(const pb::Message& op, const pb::FieldDescriptor* field) {
  const pb::Reflection* r = op.GetReflection();
  return field->is_repeated() ? r->GetRepeatedMessage(op, field, 0) : r->GetMessage(op, field);
}

int FieldSize(const pb::Message& message, const pb::FieldDescriptor* field) {
  return message.GetReflection()->FieldSize(message, field);
}

std::string Trimmed(std::string text) {
  const char* blanks = " \t\r\n";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string DebugText(const pb::Message& message) { return message.ShortDebugString(); }

// The operands a replayed patch adds to one list: one operation per
// operand, each with `index` (OpMessages::kNoOpIndex for none).
struct ReplayedEdit {
  OpMsg::Operation operation;
  int32_t index;
};

}  // namespace

UpdateDelta::UpdateDelta(const Schema* schema, orv::metrics::MetricRegistry& registry)
    : schema_(schema),
      matcher_(schema),
      delta_latency_(registry, "server/latency/compute/delta"),
      repeated_delta_latency_(registry, "server/latency/compute/repeated_delta") {}

bool UpdateDelta::EditTableFits(size_t n, size_t m, size_t* cells) {
  size_t rows = 0, columns = 0;
  if (__builtin_add_overflow(n, size_t{1}, &rows) ||
      __builtin_add_overflow(m, size_t{1}, &columns) ||
      __builtin_mul_overflow(rows, columns, cells)) {
    return false;
  }
  return *cells <= kMaxEditCells;
}

bool UpdateDelta::ComputeDelta(const std::string& type_name, const std::string& id, bool trace,
                               const pb::Message* select_op, pb::Message* old_object,
                               pb::Message* new_object, pb::Message* result_op,
                               const FieldPath& object_path, const FieldPath& op_path,
                               const TransactionRequestTable* pending_requests) const {
  // Only the debug-level check of replayed lists reads this copy.
  std::unique_ptr<pb::Message> old_as_given;
  if (orv::Logger::logLevel >= orv::VERBOSE) {
    old_as_given.reset(old_object->New());
    old_as_given->CopyFrom(*old_object);
  }
  metrics::ScopedLatencyTimer timer(delta_latency_);
  std::optional<orv::wft::WorkflowUtil> span;
  if (trace) span.emplace("ComputeDelta", 2);

  const pb::Descriptor* type = new_object->GetDescriptor();
  const pb::Descriptor* op_type = select_op->GetDescriptor();
  const pb::Reflection* old_r = old_object->GetReflection();
  const pb::Reflection* new_r = new_object->GetReflection();
  bool left_operation = false;
  for (int i = 0; i < type->field_count(); ++i) {
    const Field* field = type->field(i);
    const Field* op_field = op_type->FindFieldByName(field->name());
    const bool selected = op_field != nullptr && op_field->cpp_type() == Field::CPPTYPE_MESSAGE &&
                          IsFieldSet(select_op, op_field);
    if (!selected || CompareField(field, old_object, new_object)) {
      if (!IsKeyField(field)) {
        old_r->ClearField(old_object, field);
        new_r->ClearField(new_object, field);
      }
      continue;
    }
    const Message& content = Content(*select_op, op_field);
    if (!op_field->is_repeated() && field->cpp_type() == Field::CPPTYPE_MESSAGE &&
        !field->is_repeated() && !schema_->op_messages().IsOpMsg(&content) &&
        !matcher_.MessageHasSelfField(&content)) {
      // Each nested level gets the path of its own field only.
      FieldPath sub_object_path = object_path;
      sub_object_path.push_back(field);
      FieldPath sub_op_path = op_path;
      sub_op_path.push_back(op_field);
      const pb::Reflection* result_r = result_op->GetReflection();
      if (ComputeDelta(type_name, id, trace, &content, old_r->MutableMessage(old_object, field),
                       new_r->MutableMessage(new_object, field),
                       result_r->MutableMessage(result_op, op_field), sub_object_path, sub_op_path,
                       pending_requests)) {
        left_operation = true;
      } else {
        result_r->ClearField(result_op, op_field);
      }
      continue;
    }
    left_operation = true;
    if (!op_field->is_repeated() || !field->is_repeated()) {
      schema_->op_messages().SetOperation(
          op_field, IsFieldSet(new_object, field) ? OpMsg::SET : OpMsg::CLEAR, result_op);
      continue;
    }
    ComputeListDelta(type_name, id, trace, field, op_field,
                     old_as_given ? *old_as_given : *old_object, old_object, new_object, result_op,
                     object_path, op_path, pending_requests);
  }
  return left_operation;
}

void UpdateDelta::ComputeListDelta(const std::string& type_name, const std::string& id, bool trace,
                                   const Field* field, const Field* op_field,
                                   const Message& old_as_given, Message* old_object,
                                   Message* new_object, Message* result_op,
                                   const FieldPath& object_path, const FieldPath& op_path,
                                   const TransactionRequestTable* pending_requests) const {
  const int old_size = FieldSize(*old_object, field);
  const int new_size = FieldSize(*new_object, field);
  if (old_size == 0) {
    // The new list stays whole.
    schema_->op_messages().SetOperation(op_field, OpMsg::SET, result_op);
    return;
  }
  if (new_size == 0) {
    schema_->op_messages().SetOperation(op_field, OpMsg::CLEAR, result_op);
    return;
  }
  const bool check = orv::Logger::logLevel >= orv::VERBOSE;
  std::unique_ptr<Message> new_before, result_before;
  if (check) {
    new_before.reset(new_object->New());
    new_before->CopyFrom(*new_object);
    result_before.reset(result_op->New());
    result_before->CopyFrom(*result_op);
  }
  if (!ExtractRepeatedDelta(type_name, id, field, op_field, new_object, result_op, object_path,
                            op_path, pending_requests)) {
    ComputeRepeatedFieldDelta(trace, field, op_field, old_object, new_object, result_op);
    return;
  }
  if (check) {
    CheckReplay(trace, field, op_field, old_as_given, *old_object, *new_before, *result_before,
                *new_object, *result_op);
  }
}

void UpdateDelta::CheckReplay(bool trace, const Field* field, const Field* op_field,
                              const Message& old_as_given, const Message& old_object,
                              const Message& new_before, const Message& result_before,
                              const Message& new_object, const Message& result_op) const {
  std::unique_ptr<Message> old_copy(old_object.New());
  old_copy->CopyFrom(old_object);
  std::unique_ptr<Message> new_copy(new_before.New());
  new_copy->CopyFrom(new_before);
  std::unique_ptr<Message> result_copy(result_before.New());
  result_copy->CopyFrom(result_before);
  ComputeRepeatedFieldDelta(trace, field, op_field, old_copy.get(), new_copy.get(),
                            result_copy.get());
  const std::string new_bytes = new_copy->SerializeAsString();
  const bool match = new_bytes == new_object.SerializeAsString() &&
                     result_copy->SerializeAsString() == result_op.SerializeAsString();
  if (match) return;
  TARNIX_LOG(orv::INFO, nullptr, "Paths do not match!");
  TARNIX_LOG(orv::INFO, nullptr, "Original Message: %s", DebugText(old_as_given).c_str());
  TARNIX_LOG(orv::INFO, nullptr, "ComputeRepeatedFieldDelta (Value): %s",
             DebugText(*new_copy).c_str());
  TARNIX_LOG(orv::INFO, nullptr, "ComputeRepeatedFieldDelta (Op): %s",
             DebugText(*result_copy).c_str());
}

bool UpdateDelta::ExtractRepeatedDelta(const std::string& type_name, const std::string& id,
                                       const Field* field, const Field* op_field,
                                       Message* new_object, Message* result_op,
                                       const FieldPath& object_path, const FieldPath& op_path,
                                       const TransactionRequestTable* pending_requests) const {
  if (pending_requests == nullptr) return false;
  TARNIX_LOG(orv::INFO, nullptr, "ExtractRepeatedDelta (Value Field): %s",
             Trimmed(field->DebugString()).c_str());
  TARNIX_LOG(orv::INFO, nullptr, "ExtractRepeatedDelta (Select Descriptor): %s",
             Trimmed(op_field->DebugString()).c_str());
  const auto entry = pending_requests->find(ObjectKey(type_name, id));
  if (entry == pending_requests->end() || entry->second.empty()) return false;
  const PendingRequestList& requests = entry->second;

  for (const PendingOperation& pending : requests) {
    const UpdateRequest& request = pending.request;
    if (request.delete_count() != 0 || request.put_count() != 0 || request.copy_count() != 0) {
      TARNIX_LOG(orv::INFO, nullptr, "Delete Count: %u Put Count: %u Copy Count: %u Patch Count %u",
                 request.delete_count(), request.put_count(), request.copy_count(),
                 request.patch_count());
      return false;
    }
    // A record changed in some of the vdbs saw only the patches of those.
    if (pending.vdb_ids != requests.front().vdb_ids) {
      TARNIX_LOG(orv::INFO, nullptr, "Patches of %s span different vdb sets, skipping.",
                 type_name.c_str());
      return false;
    }
  }

  const std::string op_type_name = schema_->op_messages().GetOpMsgTypeName(type_name);
  // The replayed edits and their operands, one operand per edit; written
  // into the messages only once every patch could be replayed.
  std::vector<ReplayedEdit> edits;
  std::unique_ptr<Message> operands(new_object->New());
  bool touched = false;
  for (const PendingOperation& pending : requests) {
    for (const UpdateRequest::Patch& patch : pending.request.patches()) {
      std::unique_ptr<Message> value(schema_->types().ParseMessage(type_name, patch.first));
      std::unique_ptr<Message> op(schema_->types().ParseMessage(op_type_name, patch.second));
      if (!value || !op) return false;
      TARNIX_LOG(orv::INFO, nullptr, "ExtractRepeatedDelta (Patch Op): %s", DebugText(*op).c_str());
      TARNIX_LOG(orv::INFO, nullptr, "ExtractRepeatedDelta (Patch): %s", DebugText(*value).c_str());
      // "self" at this level or above replaces the whole (sub)message, list
      // included, which no list edit describes.
      if (matcher_.MessageHasSelfField(op.get())) return false;
      const Message* value_level = value.get();
      const Message* op_level = op.get();
      bool on_path = true;
      for (size_t step = 0; step < op_path.size() && on_path; ++step) {
        if (!IsFieldSet(op_level, op_path[step])) {
          on_path = false;
          break;
        }
        op_level = &op_level->GetReflection()->GetMessage(*op_level, op_path[step]);
        if (matcher_.MessageHasSelfField(op_level)) return false;
        // An unset operand sub-message reads as its empty default.
        value_level = &value_level->GetReflection()->GetMessage(*value_level, object_path[step]);
      }
      if (!on_path || !IsFieldSet(op_level, op_field)) {
        TARNIX_LOG(orv::INFO, nullptr, "This patch message does not have the required field.");
        continue;
      }
      // The patch applied the first element only; message lists carry it in
      // the element's "self".
      const Message* leaf = &Content(*op_level, op_field);
      if (!schema_->op_messages().IsOpMsg(leaf)) leaf = matcher_.FindSelfOpMsg(leaf);
      if (leaf == nullptr) return false;
      const int operation = schema_->op_messages().GetOpMsgOperation(leaf);
      const int count = FieldSize(*value_level, field);
      touched = true;
      switch (operation) {
        case OpMsg::SET:
        case OpMsg::CLEAR:
          if (requests.size() > 1) {
            TARNIX_LOG(orv::INFO, nullptr,
                       "CLEAR/SET detected in a multi-patch operation, skipping.");
            return false;
          }
          // CLEAR empties the list, which takes the caller's CLEAR road.
          if (operation == OpMsg::CLEAR || count != 1) return false;
          edits.push_back({OpMsg::SET, OpMessages::kNoOpIndex});
          break;
        case OpMsg::APPEND:
        case OpMsg::REMOVE:
          for (int k = 0; k < count; ++k) {
            edits.push_back({static_cast<OpMsg::Operation>(operation), OpMessages::kNoOpIndex});
          }
          break;
        case OpMsg::INSERT:
        case OpMsg::UPDATE: {
          const uint32_t index = schema_->op_messages().GetOpMsgIndex(leaf);
          if (count != 1 || index > static_cast<uint32_t>(INT32_MAX)) return false;
          edits.push_back({static_cast<OpMsg::Operation>(operation), static_cast<int32_t>(index)});
          break;
        }
        default:
          return false;
      }
      if (operation != OpMsg::CLEAR) CopyField(value_level, field, operands.get());
    }
  }
  if (!touched) return false;

  new_object->GetReflection()->ClearField(new_object, field);
  CopyField(operands.get(), field, new_object);
  result_op->GetReflection()->ClearField(result_op, op_field);
  for (const ReplayedEdit& edit : edits) {
    schema_->op_messages().AddRepeatedFieldOp(op_field, edit.operation, result_op, edit.index);
  }
  TARNIX_LOG(orv::INFO, nullptr, "ExtractRepeatedDelta (Value): %s",
             DebugText(*new_object).c_str());
  TARNIX_LOG(orv::INFO, nullptr, "ExtractRepeatedDelta: (Op) %s", DebugText(*result_op).c_str());
  return true;
}

void UpdateDelta::ComputeRepeatedFieldDelta(bool trace, const Field* field, const Field* op_field,
                                            Message* old_object, Message* new_object,
                                            Message* result_op) const {
  metrics::ScopedLatencyTimer timer(repeated_delta_latency_);
  std::optional<orv::wft::WorkflowUtil> span;
  if (trace) span.emplace("ComputeRepeatedFieldDelta", 2);
  const int n = FieldSize(*old_object, field);
  const int m = FieldSize(*new_object, field);
  if (m + 1 > kLargeListElements) {
    TARNIX_LOG(orv::INFO, nullptr,
               "The persisted message (%s) contains a large number of repeated entries (%d). "
               "This will lead to performance related issues.",
               new_object->GetDescriptor()->full_name().c_str(), m + 1);
  }
  size_t cells = 0;
  if (!EditTableFits(static_cast<size_t>(n), static_cast<size_t>(m), &cells)) {
    TARNIX_LOG(orv::INFO, nullptr,
               "Lists of %d and %d entries in field %s are too long to align; the whole new "
               "list is sent.",
               n, m, field->full_name().c_str());
    schema_->op_messages().SetOperation(op_field, OpMsg::SET, result_op);
    return;
  }

  // Every element is read once.
  std::vector<AttributeValue> old_values, new_values;
  old_values.reserve(n);
  new_values.reserve(m);
  for (int i = 0; i < n; ++i) old_values.push_back(GetRepeatedFieldValue(old_object, field, i));
  for (int j = 0; j < m; ++j) new_values.push_back(GetRepeatedFieldValue(new_object, field, j));

  const size_t width = static_cast<size_t>(m) + 1;
  std::vector<int32_t> table(cells, 0);
  auto at = [&](int i, int j) -> int32_t& { return table[static_cast<size_t>(i) * width + j]; };
  for (int i = 0; i <= n; ++i) {
    for (int j = 0; j <= m; ++j) {
      if (i == 0) {
        at(i, j) = j;
      } else if (j == 0) {
        at(i, j) = i;
      } else if (old_values[i - 1] == new_values[j - 1]) {
        at(i, j) = at(i - 1, j - 1);
      } else {
        at(i, j) = 1 + std::min({at(i - 1, j), at(i, j - 1), at(i - 1, j - 1)});
      }
    }
  }

  // Backtrace: substitution (or match) first, then removal, then insertion.
  std::vector<std::pair<int, int>> path;
  path.reserve(static_cast<size_t>(n) + m + 1);
  int i = n, j = m;
  while (i > 0 || j > 0) {
    path.emplace_back(i, j);
    if (i > 0 && j > 0) {
      const int32_t diag = at(i - 1, j - 1);
      const int32_t up = at(i - 1, j);
      const int32_t left = at(i, j - 1);
      const bool take_up = diag > up;
      const int32_t candidate = take_up ? up : diag;
      if (left < candidate) {
        --j;
      } else {
        --i;
        if (!take_up) --j;
      }
    } else if (i > 0) {
      --i;
    } else {
      --j;
    }
  }
  path.emplace_back(0, 0);
  std::reverse(path.begin(), path.end());

  std::unique_ptr<Message> replaced(new_object->New());
  std::unique_ptr<Message> operands(new_object->New());
  int position = 0;
  int length = n;
  for (size_t step = 1; step < path.size(); ++step) {
    const auto [pi, pj] = path[step - 1];
    const auto [qi, qj] = path[step];
    if (qi == pi + 1 && qj == pj + 1) {
      if (at(qi, qj) != at(pi, pj)) {
        CopyRepeatedFieldElement(old_object, field, pi, replaced.get());
        CopyRepeatedFieldElement(new_object, field, pj, operands.get());
        schema_->op_messages().AddRepeatedFieldOp(op_field, OpMsg::UPDATE, result_op, position);
      }
      ++position;
    } else if (qi == pi + 1) {
      CopyRepeatedFieldElement(old_object, field, pi, operands.get());
      schema_->op_messages().AddRepeatedFieldOp(op_field, OpMsg::REMOVE, result_op, position);
      --length;
    } else {
      CopyRepeatedFieldElement(new_object, field, pj, operands.get());
      if (position < length) {
        schema_->op_messages().AddRepeatedFieldOp(op_field, OpMsg::INSERT, result_op, position);
      } else {
        schema_->op_messages().AddRepeatedFieldOp(op_field, OpMsg::APPEND, result_op,
                                                  OpMessages::kNoOpIndex);
      }
      ++position;
      ++length;
    }
  }
  old_object->GetReflection()->ClearField(old_object, field);
  CopyField(replaced.get(), field, old_object);
  new_object->GetReflection()->ClearField(new_object, field);
  CopyField(operands.get(), field, new_object);
}

}  // namespace tarnix

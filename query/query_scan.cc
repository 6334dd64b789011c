#include "query/query_scan.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "logging/logger.h"
#include "platform/util/strings.h"
#include "schema/record_key.h"
#include "schema/schema.h"
#include "util/base64.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;

constexpr int kEquals = 2;
constexpr int kAscending = 13;
constexpr int kDescending = 14;
constexpr int kSecondaryAscending = 15;
constexpr int kSecondaryDescending = 16;

Status SortOrderError(const char* tag, const char* text) {
  TARNIX_LOG(orv::ERROR, tag, "%s", text);
  return Status::InvalidArgument(text);
}

// A stored value without the marker byte that values written with one
// carry first.
std::string_view Body(const char* data, size_t size) {
  std::string_view body(data, size);
  if (!body.empty() && body[0] == '\0') body.remove_prefix(1);
  return body;
}

bool ParseBody(std::string_view body, pb::Message* object) {
  object->Clear();
  if (object->ParseFromArray(body.data(), static_cast<int>(body.size()))) return true;
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0203", "Unable to parse data into %s message",
             object->GetDescriptor()->full_name().c_str());
  return false;
}

// The sub-message of `field` that a sort key is read from: the first element
// of a repeated field, the field's defaults when `object` holds none.
const pb::Message& SortSubMessage(const pb::Message& object, const pb::FieldDescriptor* field) {
  const pb::Reflection* reflection = object.GetReflection();
  if (!field->is_repeated()) return reflection->GetMessage(object, field);
  if (reflection->FieldSize(object, field) > 0) {
    return reflection->GetRepeatedMessage(object, field, 0);
  }
  return *reflection->GetMessageFactory()->GetPrototype(field->message_type());
}

}  // namespace

namespace {

class VectorSink : public QueryResultSink {
 public:
  explicit VectorSink(std::vector<QueryResultRecord>* results) : results_(results) {}
  void Add(QueryResultRecord&& record) override { results_->push_back(std::move(record)); }

 private:
  std::vector<QueryResultRecord>* const results_;
};

}  // namespace

Status QueryScan::ExecuteQueryScan(const pb::Message* selection, const pb::Message& where_op,
                                   const pb::Message& where_value, const pb::Message* sort_by,
                                   VdbId vdb_id, const DbAccess::SnapshotHolder& snapshot,
                                   std::vector<QueryResultRecord>* results) const {
  const size_t before = results->size();
  VectorSink sink(results);
  const Status status =
      ExecuteQueryScan(selection, where_op, where_value, sort_by, vdb_id, snapshot, &sink);
  if (!status.ok()) results->resize(before);
  return status;
}

Status QueryScan::ExecuteQueryScan(const pb::Message* selection, const pb::Message& where_op,
                                   const pb::Message& where_value, const pb::Message* sort_by,
                                   VdbId vdb_id, const DbAccess::SnapshotHolder& snapshot,
                                   QueryResultSink* sink) const {
  if (IsKeyLookup(where_op, where_value)) {
    return KeyLookup(selection, where_value, vdb_id, snapshot, sink);
  }
  return TypeScan(selection, where_op, where_value, sort_by, vdb_id, snapshot, sink);
}

Status QueryScan::KeyLookup(const pb::Message* selection, const pb::Message& where_value,
                            VdbId vdb_id, const DbAccess::SnapshotHolder& snapshot,
                            QueryResultSink* sink) const {
  const std::string key = schema_->GetKey(&where_value);
  if (key.empty()) return Status::InvalidArgument("object id missing from value");
  const std::string& type_name = where_value.GetDescriptor()->full_name();
  std::string prefix;
  if (!MakeObjectRecordKey(*schema_, type_name, key, &prefix)) return Status::OK();
  DbAccess::Records records;
  const DbAccessStatus read = db_access_->PrefixFilter(snapshot, prefix, &records);
  if (!read.ok()) return read.ToStatus();

  for (DbAccess::Record& record : records) {
    std::string type, id, suffix;
    if (!TryDecodeObjectRecordKey(*schema_, record.first, &type, &id, &suffix)) continue;
    if (!VdbSuffixContains(suffix, vdb_id)) continue;
    // The first record the vdb sees is the object; the key answers the
    // where clause whole.
    std::unique_ptr<pb::Message> object(where_value.New());
    std::unique_ptr<pb::Message> result_op(schema_->NewMessage(schema_->GetOpMsgTypeName(type)));
    const std::string_view body = Body(record.second.data(), record.second.size());
    if (result_op == nullptr || !ParseBody(body, object.get())) break;
    QueryResultRecord result;
    std::string whole_op;
    if (MakeResult(selection, type, body, object.get(), result_op.get(), &whole_op, &result)) {
      sink->Add(std::move(result));
    }
    break;
  }
  return Status::OK();
}

Status QueryScan::TypeScan(const pb::Message* selection, const pb::Message& where_op,
                           const pb::Message& where_value, const pb::Message* sort_by, VdbId vdb_id,
                           const DbAccess::SnapshotHolder& snapshot, QueryResultSink* sink) const {
  const pb::Descriptor* type = where_value.GetDescriptor();
  const std::string& type_name = type->full_name();
  std::string prefix;
  if (!MakeObjectTypeKeyPrefix(*schema_, type_name, &prefix)) return Status::OK();
  std::unique_ptr<pb::Message> result_op(schema_->NewMessage(schema_->GetOpMsgTypeName(type_name)));
  if (result_op == nullptr) return Status::OK();
  // One message serves every record: parsed, matched, keyed and selected in
  // turn, so only the results are kept.
  std::unique_ptr<pb::Message> object(where_value.New());
  // The where clause's operands stay as they are for the whole scan.
  WhereMatcher::OperandSets operands;
  const WhereMatcher matcher(schema_, &operands);

  // One iterator over one state of the store; only visible, matching
  // records are copied out of it.
  const boost::shared_ptr<DbAccess::IteratorImpl> it =
      snapshot ? db_access_->NewIterator(snapshot) : db_access_->NewIterator();
  if (!it) {
    return DbAccessStatus(DbAccessCode::NO_OPEN_DATABASE, "no open database").ToStatus();
  }
  std::string whole_op;
  SortDirections directions;
  std::vector<SortEntry> entries;
  for (it->Seek(prefix); it->Valid(); it->Next()) {
    std::string key = it->key();
    if (key.compare(0, prefix.size(), prefix) != 0) break;
    std::string record_type, id, suffix;
    if (!TryDecodeObjectRecordKey(*schema_, key, &record_type, &id, &suffix)) continue;
    if (!VdbSuffixContains(suffix, vdb_id)) continue;
    const leveldb::Slice value = it->value_view();
    const std::string_view body = Body(value.data(), value.size());
    if (!ParseBody(body, object.get())) {
      const std::string encoded = Base64Encode(value.ToString());
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0203",
                 "Unable to decode %s id %s from record key %s  :: Encoded record value "
                 "(base64: size) = (%s : '%lu') :: valmsg type %s :: Prefix filter (value: size) "
                 "= (%s : '%lu')",
                 record_type.c_str(), orv::hex_string(id).c_str(), orv::hex_string(key).c_str(),
                 encoded.c_str(), static_cast<unsigned long>(encoded.size()), type_name.c_str(),
                 prefix.c_str(), static_cast<unsigned long>(prefix.size()));
      continue;
    }
    if (!matcher.MatchOpMsg(&where_op, &where_value, object.get(), type)) continue;

    // Keys first: the selection may prune the fields they are read from.
    SortEntry entry;
    if (sort_by != nullptr) {
      ComputeSortKey(*sort_by, *object, type, true, &entry.primary, &directions.primary_ascending);
      ComputeSortKey(*sort_by, *object, type, false, &entry.secondary,
                     &directions.secondary_ascending);
    }
    if (!MakeResult(selection, record_type, body, object.get(), result_op.get(), &whole_op,
                    &entry.record)) {
      continue;
    }
    if (sort_by != nullptr) {
      entries.push_back(std::move(entry));
    } else {
      sink->Add(std::move(entry.record));
    }
  }
  const DbAccessStatus read = it->status();
  if (!read.ok()) return read.ToStatus();
  if (!entries.empty()) {
    std::sort(entries.begin(), entries.end(), [&directions](const SortEntry& a, const SortEntry& b) {
      return SortByCompare(directions, a, b);
    });
    for (SortEntry& entry : entries) sink->Add(std::move(entry.record));
  }
  return Status::OK();
}

bool QueryScan::MakeResult(const pb::Message* selection, const std::string& type_name,
                           std::string_view body, pb::Message* object, pb::Message* result_op,
                           std::string* whole_op, QueryResultRecord* record) const {
  // Without a selection or with "self" the object stays whole, and the
  // stored bytes are sent as they are.
  const bool whole = selection_.matcher().MessageHasSelfField(selection);
  if (whole && !whole_op->empty()) {
    record->op_message = *whole_op;
  } else {
    result_op->Clear();
    selection_.ApplySelectionOnSet(selection, object, result_op);
    if (!result_op->SerializeToString(&record->op_message)) return false;
    if (whole) *whole_op = record->op_message;
  }
  if (record->op_message.empty()) return false;
  record->type_name = type_name;
  if (whole) {
    record->object.assign(body.data(), body.size());
  } else {
    object->SerializeToString(&record->object);
  }
  return true;
}

Status QueryScan::ValidateSortByMsg(const pb::Message* sort_by) const {
  if (sort_by == nullptr) return SortOrderError("errorCode:DRX0203", "Unable to parse SortByMsg");
  int primary = 0, secondary = 0;
  Status status = ParseSortByMsg(*sort_by, &primary, &secondary);
  if (!status.ok()) return status;
  if (primary == 0) {
    return SortOrderError("errorCode:DRX0203",
                          "SortByMsg does not contain ASCENDING/DESCENDING operation");
  }
  return Status::OK();
}

Status QueryScan::ParseSortByMsg(const pb::Message& op_message, int* primary_count,
                                 int* secondary_count) const {
  std::vector<const pb::FieldDescriptor*> fields;
  op_message.GetReflection()->ListFields(op_message, &fields);
  for (const pb::FieldDescriptor* field : fields) {
    if (field->is_repeated()) {
      return SortOrderError("errorCode:DRX0207", "sort_by field is not allowed on repeated field");
    }
    if (field->cpp_type() != pb::FieldDescriptor::CPPTYPE_MESSAGE) {
      return SortOrderError("errorCode:DRX0203",
                            "Unable to extract message field from sort_by op_msg message");
    }
    const pb::Message& sub = op_message.GetReflection()->GetMessage(op_message, field);
    if (!schema_->IsOpMsg(&sub)) {
      Status status = ParseSortByMsg(sub, primary_count, secondary_count);
      if (!status.ok()) return status;
      continue;
    }
    const int op = schema_->GetOpMsgOperation(&sub);
    if (op == kAscending || op == kDescending) {
      if (++*primary_count > 1) {
        return SortOrderError("errorCode:DRX0203",
                              "SortByMsg contains multiple ASCENDING/DESCENDING operations");
      }
    } else if (op == kSecondaryAscending || op == kSecondaryDescending) {
      if (++*secondary_count > 1) {
        return SortOrderError(
            "errorCode:DRX0203",
            "SortByMsg contains multiple SECONDARY_ASCENDING/SECONDARY_DESCENDING operations");
      }
    } else {
      return SortOrderError("errorCode:DRX0207", "SortByMsg contains non-SORT operation");
    }
  }
  return Status::OK();
}

bool QueryScan::ComputeSortKey(const pb::Message& sort_by, const pb::Message& object,
                               const pb::Descriptor* type, bool primary, AttributeValue* key,
                               bool* ascending) const {
  if (object.GetDescriptor() != type) return false;
  std::vector<const pb::FieldDescriptor*> fields;
  sort_by.GetReflection()->ListFields(sort_by, &fields);
  if (fields.empty()) {
    *key = AttributeValue();
    return true;
  }
  return ComputeSortKeyAt(sort_by, object, primary, key, ascending);
}

bool QueryScan::ComputeSortKeyAt(const pb::Message& sort_by, const pb::Message& object,
                                 bool primary, AttributeValue* key, bool* ascending) const {
  std::vector<const pb::FieldDescriptor*> fields;
  sort_by.GetReflection()->ListFields(sort_by, &fields);
  for (const pb::FieldDescriptor* field : fields) {
    if (field->is_repeated() || field->cpp_type() != pb::FieldDescriptor::CPPTYPE_MESSAGE) {
      continue;
    }
    const pb::Message& sub = sort_by.GetReflection()->GetMessage(sort_by, field);
    const bool is_self = field->name() == "self";
    const pb::FieldDescriptor* object_field =
        is_self ? nullptr : object.GetDescriptor()->FindFieldByName(field->name());
    if (!schema_->IsOpMsg(&sub)) {
      if (object_field == nullptr ||
          object_field->cpp_type() != pb::FieldDescriptor::CPPTYPE_MESSAGE) {
        continue;
      }
      if (ComputeSortKeyAt(sub, SortSubMessage(object, object_field), primary, key, ascending)) {
        return true;
      }
      continue;
    }
    const int op = schema_->GetOpMsgOperation(&sub);
    const bool accepted = primary ? (op == kAscending || op == kDescending)
                                  : (op == kSecondaryAscending || op == kSecondaryDescending);
    if (!accepted) continue;
    if (is_self) {
      *key = AttributeValue::String(object.ShortDebugString());
    } else if (object_field != nullptr && !object_field->is_repeated()) {
      *key = schema_->GetFieldValue(&object, object_field);
    } else {
      continue;
    }
    *ascending = op == kAscending || op == kSecondaryAscending;
    TARNIX_LOG(orv::VERBOSE, nullptr, "Sort by %s field %s", primary ? "primary" : "secondary",
               field->name().c_str());
    return true;
  }
  return false;
}

bool QueryScan::SortByCompare(const SortDirections& directions, const SortEntry& a,
                              const SortEntry& b) {
  // The total order of attribute values: kind index first, NaN after every
  // number and equal to itself. Descending reverses all of it.
  int c = CompareAttributeValues(a.primary, b.primary);
  if (c != 0) return directions.primary_ascending ? c < 0 : c > 0;
  c = CompareAttributeValues(a.secondary, b.secondary);
  if (c != 0) return directions.secondary_ascending ? c < 0 : c > 0;
  return false;
}

bool QueryScan::IsKeyLookup(const pb::Message& where_op, const pb::Message& where_value) const {
  std::vector<const pb::FieldDescriptor*> fields;
  where_op.GetReflection()->ListFields(where_op, &fields);
  if (fields.size() != 1) return false;
  const pb::FieldDescriptor* field = fields[0];
  const std::string key_field = schema_->GetKeyFieldName(&where_value);
  if (key_field.empty() || key_field != field->name()) return false;
  if (field->cpp_type() != pb::FieldDescriptor::CPPTYPE_MESSAGE) return false;
  const pb::Reflection* reflection = where_op.GetReflection();
  const pb::Message& leaf = field->is_repeated()
                                ? reflection->GetRepeatedMessage(where_op, field, 0)
                                : reflection->GetMessage(where_op, field);
  if (schema_->IsOpMsg(&leaf)) return schema_->GetOpMsgOperation(&leaf) == kEquals;
  // A nested op type without an OpMsg "self" is no key lookup.
  const pb::Message* self = selection_.matcher().FindSelfOpMsg(&leaf);
  return self != nullptr && schema_->GetOpMsgOperation(self) == kEquals;
}

}  // namespace tarnix

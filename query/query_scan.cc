#include "query/query_scan.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <utility>

#include "logging/logger.h"
#include "platform/util/strings.h"
#include "schema/field_values.h"
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
  Cursor cursor(*this, selection, where_op, where_value, sort_by, vdb_id, snapshot);
  while (!cursor.Step(std::numeric_limits<size_t>::max(), sink)) {
  }
  return cursor.status();
}

std::unique_ptr<QueryScan::Cursor> QueryScan::StartQueryScan(
    const pb::Message* selection, const pb::Message& where_op, const pb::Message& where_value,
    const pb::Message* sort_by, VdbId vdb_id, const DbAccess::SnapshotHolder& snapshot) const {
  return std::make_unique<Cursor>(*this, selection, where_op, where_value, sort_by, vdb_id,
                                  snapshot);
}

std::unique_ptr<QueryScan::Cursor> QueryScan::StartFilteredScan(
    const pb::Message* selection, const pb::Message& prototype, RecordFilter* filter,
    VdbId vdb_id, const DbAccess::SnapshotHolder& snapshot) const {
  return std::make_unique<Cursor>(*this, selection, prototype, filter, vdb_id, snapshot);
}

QueryScan::Cursor::Cursor(const QueryScan& scan, const pb::Message* selection,
                          const pb::Message& where_op, const pb::Message& where_value,
                          const pb::Message* sort_by, VdbId vdb_id,
                          const DbAccess::SnapshotHolder& snapshot)
    : scan_(scan),
      selection_(selection),
      where_op_(&where_op),
      where_value_(where_value),
      filter_(nullptr),
      sort_by_(sort_by),
      vdb_id_(vdb_id),
      snapshot_(snapshot),
      type_(where_value.GetDescriptor()),
      matcher_(scan.schema_, &operands_) {
  key_lookup_ = scan.IsKeyLookup(where_op, where_value);
}

QueryScan::Cursor::Cursor(const QueryScan& scan, const pb::Message* selection,
                          const pb::Message& prototype, RecordFilter* filter, VdbId vdb_id,
                          const DbAccess::SnapshotHolder& snapshot)
    : scan_(scan),
      selection_(selection),
      where_op_(nullptr),
      where_value_(prototype),
      filter_(filter),
      sort_by_(nullptr),
      vdb_id_(vdb_id),
      snapshot_(snapshot),
      type_(prototype.GetDescriptor()),
      matcher_(scan.schema_, &operands_) {}

QueryScan::Cursor::~Cursor() = default;

bool QueryScan::Cursor::Step(size_t max_records, QueryResultSink* sink) {
  if (!done_ && key_lookup_) {
    End(scan_.KeyLookup(selection_, where_value_, vdb_id_, snapshot_, sink));
  }
  if (!done_ && !started_) Start();
  if (done_) return true;
  if (iterator_) {
    Scan(max_records, sink);
  } else {
    Emit(max_records, sink);
  }
  return done_;
}

void QueryScan::Cursor::Start() {
  started_ = true;
  const std::string& type_name = type_->full_name();
  if (!MakeObjectTypeKeyPrefix(*scan_.schema_, type_name, &prefix_)) return End(Status::OK());
  result_op_.reset(
      scan_.schema_->types().NewMessage(scan_.schema_->op_messages().GetOpMsgTypeName(type_name)));
  if (result_op_ == nullptr) return End(Status::OK());
  // One message serves every record: parsed, matched, keyed and selected in
  // turn, so only the results are kept.
  object_.reset(where_value_.New());
  // One iterator over one state of the store; only visible, matching
  // records are copied out of it.
  iterator_ = snapshot_ ? scan_.db_access_->NewIterator(snapshot_)
                        : scan_.db_access_->NewIterator();
  snapshot_.reset();  // the iterator holds it
  if (!iterator_) {
    return End(DbAccessStatus(DbAccessCode::NO_OPEN_DATABASE, "no open database").ToStatus());
  }
  iterator_->Seek(prefix_);
}

void QueryScan::Cursor::Scan(size_t max_records, QueryResultSink* sink) {
  const std::string& type_name = type_->full_name();
  for (size_t visited = 0; iterator_->Valid(); iterator_->Next(), ++visited) {
    if (visited == max_records || sink->Full()) return;
    std::string key = iterator_->key();
    if (key.compare(0, prefix_.size(), prefix_) != 0) break;
    std::string record_type, id, suffix;
    if (!TryDecodeObjectRecordKey(*scan_.schema_, key, &record_type, &id, &suffix)) continue;
    if (!VdbSuffixContains(suffix, vdb_id_)) continue;
    const leveldb::Slice value = iterator_->value_view();
    const std::string_view body = Body(value.data(), value.size());
    if (!ParseBody(body, object_.get())) {
      const std::string encoded = Base64Encode(value.ToString());
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0203",
                 "Unable to decode %s id %s from record key %s  :: Encoded record value "
                 "(base64: size) = (%s : '%lu') :: valmsg type %s :: Prefix filter (value: size) "
                 "= (%s : '%lu')",
                 record_type.c_str(), orv::hex_string(id).c_str(), orv::hex_string(key).c_str(),
                 encoded.c_str(), static_cast<unsigned long>(encoded.size()), type_name.c_str(),
                 prefix_.c_str(), static_cast<unsigned long>(prefix_.size()));
      continue;
    }
    const bool kept = filter_ != nullptr
                          ? filter_->Accept(*object_)
                          : matcher_.MatchOpMsg(where_op_, &where_value_, object_.get(), type_);
    if (!kept) continue;

    // Keys first: the selection may prune the fields they are read from.
    SortEntry entry;
    if (sort_by_ != nullptr) {
      scan_.ComputeSortKey(*sort_by_, *object_, type_, true, &entry.primary,
                           &directions_.primary_ascending);
      scan_.ComputeSortKey(*sort_by_, *object_, type_, false, &entry.secondary,
                           &directions_.secondary_ascending);
    }
    if (!scan_.MakeResult(selection_, record_type, body, object_.get(), result_op_.get(),
                          &whole_op_, &entry.record)) {
      continue;
    }
    if (sort_by_ != nullptr) {
      entries_.push_back(std::move(entry));
    } else {
      sink->Add(std::move(entry.record));
    }
  }
  const DbAccessStatus read = iterator_->status();
  iterator_.reset();
  if (!read.ok()) return End(read.ToStatus());
  if (entries_.empty()) return End(Status::OK());
  const SortDirections directions = directions_;
  std::sort(entries_.begin(), entries_.end(),
            [&directions](const SortEntry& a, const SortEntry& b) {
              return SortByCompare(directions, a, b);
            });
}

void QueryScan::Cursor::Emit(size_t max_records, QueryResultSink* sink) {
  for (size_t handed = 0; next_entry_ < entries_.size(); ++handed, ++next_entry_) {
    if (handed == max_records || sink->Full()) return;
    sink->Add(std::move(entries_[next_entry_].record));
  }
  End(Status::OK());
}

void QueryScan::Cursor::End(Status status) {
  done_ = true;
  status_ = std::move(status);
  iterator_.reset();
  snapshot_.reset();
  std::vector<SortEntry>().swap(entries_);
}

Status QueryScan::KeyLookup(const pb::Message* selection, const pb::Message& where_value,
                            VdbId vdb_id, const DbAccess::SnapshotHolder& snapshot,
                            QueryResultSink* sink) const {
  const std::string key = schema_->keys().GetKey(&where_value);
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
    std::unique_ptr<pb::Message> result_op(
        schema_->types().NewMessage(schema_->op_messages().GetOpMsgTypeName(type)));
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
    if (!schema_->op_messages().IsOpMsg(&sub)) {
      Status status = ParseSortByMsg(sub, primary_count, secondary_count);
      if (!status.ok()) return status;
      continue;
    }
    const int op = schema_->op_messages().GetOpMsgOperation(&sub);
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
    if (!schema_->op_messages().IsOpMsg(&sub)) {
      if (object_field == nullptr ||
          object_field->cpp_type() != pb::FieldDescriptor::CPPTYPE_MESSAGE) {
        continue;
      }
      if (ComputeSortKeyAt(sub, SortSubMessage(object, object_field), primary, key, ascending)) {
        return true;
      }
      continue;
    }
    const int op = schema_->op_messages().GetOpMsgOperation(&sub);
    const bool accepted = primary ? (op == kAscending || op == kDescending)
                                  : (op == kSecondaryAscending || op == kSecondaryDescending);
    if (!accepted) continue;
    if (is_self) {
      *key = AttributeValue::String(object.ShortDebugString());
    } else if (object_field != nullptr && !object_field->is_repeated()) {
      *key = GetFieldValue(&object, object_field);
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
  const std::string key_field = schema_->keys().GetKeyFieldName(&where_value);
  if (key_field.empty() || key_field != field->name()) return false;
  if (field->cpp_type() != pb::FieldDescriptor::CPPTYPE_MESSAGE) return false;
  const pb::Reflection* reflection = where_op.GetReflection();
  const pb::Message& leaf = field->is_repeated()
                                ? reflection->GetRepeatedMessage(where_op, field, 0)
                                : reflection->GetMessage(where_op, field);
  if (schema_->op_messages().IsOpMsg(&leaf))
    return schema_->op_messages().GetOpMsgOperation(&leaf) == kEquals;
  // A nested op type without an OpMsg "self" is no key lookup.
  const pb::Message* self = selection_.matcher().FindSelfOpMsg(&leaf);
  return self != nullptr && schema_->op_messages().GetOpMsgOperation(self) == kEquals;
}

}  // namespace tarnix

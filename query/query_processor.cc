#include "query/query_processor.h"

#include <utility>

#include "logging/logger.h"
#include "platform/util/strings.h"
#include "schema/schema.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
namespace tx = caldek::orv::tarnix;

Status WhereError(const std::string& text) {
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "%s", text.c_str());
  return Status::InvalidArgument(text);
}

}  // namespace

Status QueryProcessor::QueryImpl(const std::string& client_id, const tx::QueryRequestMsg& request,
                                 VdbId vdb_id, std::vector<tx::QueryResponseMsg>* chunks) const {
  if (!request.has_statement()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "Query request: object selection not provided");
    return Status::InvalidArgument("ObjectSelectionMsg not provided");
  }
  const tx::StatementMsg& statement = request.statement();
  const std::string type = schema_->GetObjectType(&statement);
  if (type.empty()) {
    return Status::InvalidArgument("Unrecognized object type " + orv::proto::ToString(statement));
  }
  if (!schema_->HasReadPermission(client_id, type)) {
    return Status::PermissionDenied(client_id + " does not have read permission for " + type);
  }
  const std::string op_type = schema_->GetOpMsgTypeName(type);

  // Selection bytes that are absent, empty or unreadable select the whole
  // object.
  std::unique_ptr<pb::Message> selection;
  if (statement.has_select() && !statement.select().op_msg().empty()) {
    selection.reset(schema_->ParseMessage(op_type, statement.select().op_msg()));
  }
  std::unique_ptr<pb::Message> sort_by;
  if (statement.has_sort_by()) {
    sort_by.reset(schema_->ParseMessage(op_type, statement.sort_by().op_msg()));
    const Status status = scan_.ValidateSortByMsg(sort_by.get());
    if (!status.ok()) return status;
  }

  if (statement.where_size() == 0) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0208", "Query request: where clause not provided");
    return Status::InvalidArgument("where clause not provided");
  }
  const tx::WhereMsg& where = statement.where(0);
  if (!where.has_op_msg()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0208", "Query request: op_msg not provided");
    return Status::InvalidArgument("op_msg not provided");
  }
  if (!where.has_value()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0208", "Query request: value not provided");
    return Status::InvalidArgument("value not provided");
  }
  TARNIX_LOG(orv::INFO, nullptr, "query object_type='%s'", type.c_str());

  std::shared_ptr<TarnixObject> op_object, value_object;
  Status status = DecodeWhereMsg(type, where, &op_object, &value_object);
  if (!status.ok()) return status;
  const TarnixObject::MessagePtr where_op = op_object->GetMessage(*schema_);
  const TarnixObject::MessagePtr where_value = value_object->GetMessage(*schema_);

  std::vector<QueryResultRecord> results;
  status = scan_.ExecuteQueryScan(selection.get(), *where_op, *where_value, sort_by.get(), vdb_id,
                                  DbAccess::SnapshotHolder(),
                                  &results);
  if (status.ok()) PackResults(&results, chunks);
  return status;
}

Status QueryProcessor::DecodeWhereMsg(const std::string& type_name, const tx::WhereMsg& where,
                                      std::shared_ptr<TarnixObject>* op,
                                      std::shared_ptr<TarnixObject>* value) const {
  const pb::Descriptor* type = schema_->FindMessageTypeByName(type_name);
  if (type == nullptr) {
    return WhereError("Unknown object type " + type_name + " while decoding WhereMsg");
  }
  const std::string op_type = schema_->GetOpMsgTypeNameOf(type);
  if (schema_->FindMessageTypeByName(op_type) == nullptr) {
    return WhereError("Unknown op message type " + op_type + " while decoding WhereMsg");
  }
  *op = std::make_shared<TarnixObject>(op_type, where.op_msg());
  if (!(*op)->GetMessage(*schema_)) return WhereError("Invalid op_msg while decoding WhereMsg");
  *value = std::make_shared<TarnixObject>(type_name, where.value());
  if (!(*value)->GetMessage(*schema_)) return WhereError("Invalid value while decoding WhereMsg");
  return Status::OK();
}

void QueryProcessor::PackResults(std::vector<QueryResultRecord>* results,
                                 std::vector<tx::QueryResponseMsg>* chunks) const {
  tx::QueryResponseMsg response;
  size_t bytes = 0;
  for (QueryResultRecord& record : *results) {
    tx::TypedObjectMsg* entry = response.add_objects();
    schema_->SetObjectType(record.type_name, entry);
    if (!record.object.empty()) {
      bytes += record.object.size();
      entry->set_object_body(std::move(record.object));
    }
    std::string().swap(record.op_message);
    if (bytes > kMaxChunkBytes) {
      chunks->push_back(std::move(response));
      response.Clear();
      bytes = 0;
    }
  }
  std::vector<QueryResultRecord>().swap(*results);
  if (response.objects_size() > 0) chunks->push_back(std::move(response));
}

}  // namespace tarnix

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

// Packs a scan's results into chunks as they come: a chunk closes once its
// bodies pass QueryProcessor::kMaxChunkBytes.
class ChunkPacker : public QueryResultSink {
 public:
  ChunkPacker(const Schema& schema, std::vector<tx::QueryResponseMsg>* ready)
      : schema_(schema), ready_(ready) {}

  void Add(QueryResultRecord&& record) override {
    tx::TypedObjectMsg* entry = response_.add_objects();
    schema_.types().SetObjectType(record.type_name, entry);
    if (!record.object.empty()) {
      bytes_ += record.object.size();
      entry->set_object_body(std::move(record.object));
    }
    if (bytes_ > QueryProcessor::kMaxChunkBytes) Close();
  }
  // A step pauses once it has made a chunk.
  bool Full() const override { return ready_->size() != ready_before_; }

  void StartStep(std::vector<tx::QueryResponseMsg>* ready) {
    ready_ = ready;
    ready_before_ = ready->size();
  }
  // Closes the last chunk; one empty chunk when nothing matched at all.
  void Finish() {
    if (response_.objects_size() > 0 || !made_any_) Close();
  }

 private:
  void Close() {
    ready_->push_back(std::move(response_));
    response_.Clear();
    bytes_ = 0;
    made_any_ = true;
  }

  const Schema& schema_;
  std::vector<tx::QueryResponseMsg>* ready_;
  size_t ready_before_ = 0;
  tx::QueryResponseMsg response_;
  size_t bytes_ = 0;
  bool made_any_ = false;
};

// A checked query: the messages its scan reads, the scan, its chunks.
class QueryRead : public QueryProcessor::Read {
 public:
  QueryRead(const Schema& schema, const QueryScan& scan, std::unique_ptr<pb::Message> selection,
            std::unique_ptr<pb::Message> sort_by, TarnixObject::MessagePtr where_op,
            TarnixObject::MessagePtr where_value, VdbId vdb_id)
      : selection_(std::move(selection)),
        sort_by_(std::move(sort_by)),
        where_op_(std::move(where_op)),
        where_value_(std::move(where_value)),
        cursor_(scan.StartQueryScan(selection_.get(), *where_op_, *where_value_, sort_by_.get(),
                                    vdb_id, DbAccess::SnapshotHolder())),
        packer_(schema, nullptr) {}

  bool Step(size_t max_records, std::vector<tx::QueryResponseMsg>* ready) override {
    if (!cursor_) return true;
    packer_.StartStep(ready);
    if (!cursor_->Step(max_records, &packer_)) return false;
    status_ = cursor_->status();
    if (status_.ok()) packer_.Finish();
    cursor_.reset();
    return true;
  }

 private:
  const std::unique_ptr<pb::Message> selection_;
  const std::unique_ptr<pb::Message> sort_by_;
  const TarnixObject::MessagePtr where_op_;
  const TarnixObject::MessagePtr where_value_;
  std::unique_ptr<QueryScan::Cursor> cursor_;
  ChunkPacker packer_;
};

}  // namespace

Status QueryProcessor::QueryImpl(const std::string& client_id, const tx::QueryRequestMsg& request,
                                 VdbId vdb_id, std::unique_ptr<Read>* read) const {
  if (!request.has_statement()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "Query request: object selection not provided");
    return Status::InvalidArgument("ObjectSelectionMsg not provided");
  }
  const tx::StatementMsg& statement = request.statement();
  const std::string type = schema_->types().GetObjectType(&statement);
  if (type.empty()) {
    return Status::InvalidArgument("Unrecognized object type " + orv::proto::ToString(statement));
  }
  if (!schema_->permissions().HasReadPermission(client_id, type)) {
    return Status::PermissionDenied(client_id + " does not have read permission for " + type);
  }
  const std::string op_type = schema_->op_messages().GetOpMsgTypeName(type);

  // Selection bytes that are absent, empty or unreadable select the whole
  // object.
  std::unique_ptr<pb::Message> selection;
  if (statement.has_select() && !statement.select().op_msg().empty()) {
    selection.reset(schema_->types().ParseMessage(op_type, statement.select().op_msg()));
  }
  std::unique_ptr<pb::Message> sort_by;
  if (statement.has_sort_by()) {
    sort_by.reset(schema_->types().ParseMessage(op_type, statement.sort_by().op_msg()));
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

  read->reset(new QueryRead(*schema_, scan_, std::move(selection), std::move(sort_by),
                            where_op, where_value, vdb_id));
  return Status::OK();
}

Status QueryProcessor::DecodeWhereMsg(const std::string& type_name, const tx::WhereMsg& where,
                                      std::shared_ptr<TarnixObject>* op,
                                      std::shared_ptr<TarnixObject>* value) const {
  const pb::Descriptor* type = schema_->types().FindMessageTypeByName(type_name);
  if (type == nullptr) {
    return WhereError("Unknown object type " + type_name + " while decoding WhereMsg");
  }
  const std::string op_type = schema_->op_messages().GetOpMsgTypeNameOf(type);
  if (schema_->types().FindMessageTypeByName(op_type) == nullptr) {
    return WhereError("Unknown op message type " + op_type + " while decoding WhereMsg");
  }
  *op = std::make_shared<TarnixObject>(op_type, where.op_msg());
  if (!(*op)->GetMessage(*schema_)) return WhereError("Invalid op_msg while decoding WhereMsg");
  *value = std::make_shared<TarnixObject>(type_name, where.value());
  if (!(*value)->GetMessage(*schema_)) return WhereError("Invalid value while decoding WhereMsg");
  return Status::OK();
}

}  // namespace tarnix

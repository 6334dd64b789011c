// Preprocessing of Put, Delete and Flush streams, and the entry checks that
// every stream shares.

#include <memory>
#include <string>
#include <utility>

#include "platform/util/strings.h"
#include "schema/schema.h"
#include "write/preprocess_frame.h"
#include "write/request_processor.h"
#include "write/vdb_registry.h"
#include "write/write_validation.h"

namespace tarnix {

namespace tx = caldek::orv::tarnix;
using preprocess_internal::SpanOf;

std::string WriteTransactions::TypeOf(const google::protobuf::Message& message) const {
  return schema_->GetObjectType(&message);
}

Status WriteTransactions::CheckWritePermission(const std::string& client_id,
                                               const std::string& type) const {
  if (schema_->HasWritePermission(client_id, type)) return Status::OK();
  return Status::PermissionDenied(client_id + " does not have write permission for " + type + ".");
}

Status WriteTransactions::EntryObject(const std::string& client_id,
                                      const google::protobuf::Message& object,
                                      const std::string& body, const char* missing_id,
                                      std::string* type, std::string* id) const {
  *type = TypeOf(object);
  if (type->empty()) return Status::OK();
  Status status = CheckWritePermission(client_id, *type);
  if (!status.ok()) return status;
  *id = schema_->GetKeyFromSerialized(*type, body);
  if (!id->empty()) return Status::OK();
  // The text is built only on this failure: it prints the whole message.
  if (missing_id != nullptr) return Status::InvalidArgument(missing_id);
  return Status::InvalidArgument("Unable to extract id for object type " +
                                 orv::proto::ToString(object));
}

Status WriteTransactions::ValidateVdbIds(const VdbIdList& ids, VdbIdSet* vdb_ids) const {
  if (ids.empty()) return Status::OK();
  vdb_ids->clear();
  for (uint32_t id : ids) {
    if (id > 0xFFFF) return Status::InvalidArgument("invalid vdb id");
    if (vdbs_->vdb_id_to_name().count(static_cast<VdbId>(id)) == 0) {
      return Status::FailedPrecondition("vdb_id=" + std::to_string(id) + " not found");
    }
    vdb_ids->insert(static_cast<VdbId>(id));
  }
  return Status::OK();
}

Status WriteTransactions::CollectObjectsToDelete(const std::string& client_id,
                                                 const std::string& type, const std::string& id,
                                                 const VdbIdSet& vdb_ids, const SpanContext* span,
                                                 ChildRecordCache* cache,
                                                 RequestProcessor* processor) {
  return tarnix::CollectObjectsToDelete(*schema_, db_, client_id, type, id, vdb_ids, span, cache,
                                        processor);
}

Status WriteTransactions::PutEntry(const std::string& client_id, tx::PutMsg* entry,
                                   VdbIdSet* vdb_ids, RequestProcessor* processor) {
  std::string type;
  std::string id;
  Status status = EntryObject(client_id, entry->object(), entry->object().object_body(),
                              "id is missing from object being put", &type, &id);
  if (!status.ok() || type.empty()) return status;
  status = ValidateVdbIds(entry->vdb_ids(), vdb_ids);
  if (!status.ok()) return status;
  // The message is recorded already; its body moves on without a copy.
  ObjectBody body = std::make_shared<const std::string>(
      std::move(*entry->mutable_object()->mutable_object_body()));
  processor->AddPut(type, id, std::move(body), *vdb_ids,
                    SpanOf(entry->has_span_context(), entry->span_context()));
  return Status::OK();
}

Status WriteTransactions::DeleteEntry(const std::string& client_id, const tx::DeleteMsg& entry,
                                      VdbIdSet* vdb_ids, ChildRecordCache* cache,
                                      RequestProcessor* processor) {
  std::string type;
  std::string id;
  Status status =
      EntryObject(client_id, entry.object(), entry.object().object_body(), nullptr, &type, &id);
  if (!status.ok() || type.empty()) return status;
  status = ValidateVdbIds(entry.vdb_ids(), vdb_ids);
  if (!status.ok()) return status;
  const SpanContext* span = SpanOf(entry.has_span_context(), entry.span_context());
  if (entry.has_recursive() && entry.recursive()) {
    status = CollectObjectsToDelete(client_id, type, id, *vdb_ids, span, cache, processor);
    if (!status.ok()) return status;
  }
  processor->AddDelete(type, id, *vdb_ids, span);
  return Status::OK();
}

Status WriteTransactions::FlushEntry(const std::string& client_id, const tx::FlushMsg& entry,
                                     bool skip_permission, VdbIdSet* vdb_ids,
                                     RequestProcessor* processor) {
  const std::string type = TypeOf(entry);
  if (type.empty()) return Status::OK();
  Status status = skip_permission ? Status::OK() : CheckWritePermission(client_id, type);
  if (!status.ok()) return status;
  status = ValidateVdbIds(entry.vdb_ids(), vdb_ids);
  if (!status.ok()) return status;
  return processor->AddFlush(type, *vdb_ids,
                             SpanOf(entry.has_span_context(), entry.span_context()));
}

Status WriteTransactions::PreprocessRequests(const std::string& client_id, bool tracing,
                                             std::list<tx::PutRequestMsg>* requests,
                                             TarnixTransactionLog* log, RequestProcessor* processor,
                                             bool* sync) {
  return Preprocess(WriteOp::kPut, "PutRequest.PreprocessRequests", client_id, tracing, true,
                    requests, log, sync, [&](tx::PutMsg* entry, VdbIdSet* vdb_ids) {
                      Status status = ValidatePutMsg(*entry);
                      if (!status.ok()) return status;
                      return PutEntry(client_id, entry, vdb_ids, processor);
                    });
}

Status WriteTransactions::PreprocessRequests(const std::string& client_id, bool tracing,
                                             std::list<tx::DeleteRequestMsg>* requests,
                                             TarnixTransactionLog* log, RequestProcessor* processor,
                                             bool* sync) {
  ChildRecordCache cache;
  return Preprocess(WriteOp::kDelete, "DeleteRequest.PreprocessRequests", client_id, tracing, true,
                    requests, log, sync, [&](tx::DeleteMsg* entry, VdbIdSet* vdb_ids) {
                      Status status = ValidateDeleteMsg(*entry);
                      if (!status.ok()) return status;
                      return DeleteEntry(client_id, *entry, vdb_ids, &cache, processor);
                    });
}

Status WriteTransactions::PreprocessRequests(const std::string& client_id, bool tracing,
                                             bool skip_permission,
                                             std::list<tx::FlushRequestMsg>* requests,
                                             TarnixTransactionLog* log, RequestProcessor* processor,
                                             bool* sync) {
  return Preprocess(WriteOp::kFlush, "FlushRequest.PreprocessRequests", client_id, tracing, true,
                    requests, log, sync, [&](tx::FlushMsg* entry, VdbIdSet* vdb_ids) {
                      return FlushEntry(client_id, *entry, skip_permission, vdb_ids, processor);
                    });
}

}  // namespace tarnix

// The entry steps of Put, Delete and Flush, and the entry checks that every
// step shares.

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
  return schema_->types().GetObjectType(&message);
}

Status WriteTransactions::CheckWritePermission(const std::string& client_id,
                                               const std::string& type) const {
  if (schema_->permissions().HasWritePermission(client_id, type)) return Status::OK();
  return Status::PermissionDenied(client_id + " does not have write permission for " + type + ".");
}

Status WriteTransactions::EntryObject(const EntryScope& scope,
                                      const google::protobuf::Message& object,
                                      const std::string& body, const char* missing_id,
                                      std::string* type, std::string* id) const {
  *type = TypeOf(object);
  if (type->empty()) return Status::InvalidArgument(kNoObjectType);
  Status status = CheckWritePermission(scope.client_id, *type);
  if (!status.ok()) return status;
  *id = scope.keys->Read(*type, body);
  if (id->size() > kMaxKeyBytes) {
    return Status::InvalidArgument("object key of " + std::to_string(id->size()) +
                                   " bytes is longer than the " + std::to_string(kMaxKeyBytes) +
                                   " allowed");
  }
  if (!id->empty()) return Status::OK();
  // The text is built only on this failure: it prints the whole message.
  if (missing_id != nullptr) return Status::InvalidArgument(missing_id);
  return Status::InvalidArgument("Unable to extract id for object type " +
                                 orv::proto::ToString(object));
}

Status WriteTransactions::ValidateVdbIds(const EntryScope& scope, const VdbIdList& ids,
                                         VdbIdSet* vdb_ids) const {
  if (ids.empty()) return Status::OK();
  vdb_ids->clear();
  for (uint32_t id : ids) {
    if (id > 0xFFFF) return Status::InvalidArgument("invalid vdb id");
    const bool deleted_here = scope.deleting_vdb != 0 && id == scope.deleting_vdb;
    if (!vdbs_->InUse(id) && !deleted_here) {
      return Status::FailedPrecondition("vdb_id=" + std::to_string(id) + " not found");
    }
    vdb_ids->insert(static_cast<VdbId>(id));
  }
  return Status::OK();
}

Status WriteTransactions::AddEntry(const EntryScope& scope, tx::PutMsg* entry, VdbIdSet* vdb_ids) {
  Status status = ValidatePutMsg(*entry);
  if (!status.ok()) return status;
  std::string type;
  std::string id;
  status = EntryObject(scope, entry->object(), entry->object().object_body(),
                       "id is missing from object being put", &type, &id);
  if (!status.ok()) return status;
  status = ValidateVdbIds(scope, entry->vdb_ids(), vdb_ids);
  if (!status.ok()) return status;
  // The message is recorded already; its body moves on without a copy.
  ObjectBody body = std::make_shared<const std::string>(
      std::move(*entry->mutable_object()->mutable_object_body()));
  scope.processor->AddPut(type, id, std::move(body), *vdb_ids,
                          SpanOf(entry->has_span_context(), entry->span_context()));
  return Status::OK();
}

Status WriteTransactions::AddEntry(const EntryScope& scope, tx::DeleteMsg* message,
                                   VdbIdSet* vdb_ids) {
  const tx::DeleteMsg& entry = *message;
  Status status = ValidateDeleteMsg(entry);
  if (!status.ok()) return status;
  std::string type;
  std::string id;
  status = EntryObject(scope, entry.object(), entry.object().object_body(), nullptr,
                       &type, &id);
  if (!status.ok()) return status;
  status = ValidateVdbIds(scope, entry.vdb_ids(), vdb_ids);
  if (!status.ok()) return status;
  const SpanContext* span = SpanOf(entry.has_span_context(), entry.span_context());
  if (entry.has_recursive() && entry.recursive()) {
    status = CollectObjectsToDelete(*schema_, db_, scope.client_id, type, id, *vdb_ids, span,
                                    scope.cache, scope.processor);
    if (!status.ok()) return status;
  }
  scope.processor->AddDelete(type, id, *vdb_ids, span);
  return Status::OK();
}

Status WriteTransactions::AddEntry(const EntryScope& scope, tx::FlushMsg* message,
                                   VdbIdSet* vdb_ids) {
  const tx::FlushMsg& entry = *message;
  const std::string type = TypeOf(entry);
  if (type.empty()) return Status::InvalidArgument(kNoObjectType);
  Status status =
      scope.skip_permission ? Status::OK() : CheckWritePermission(scope.client_id, type);
  if (!status.ok()) return status;
  status = ValidateVdbIds(scope, entry.vdb_ids(), vdb_ids);
  if (!status.ok()) return status;
  return scope.processor->AddFlush(type, *vdb_ids,
                                   SpanOf(entry.has_span_context(), entry.span_context()));
}

}  // namespace tarnix

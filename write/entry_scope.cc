#include "write/entry_scope.h"

#include "platform/util/strings.h"
#include "schema/key_reader.h"
#include "schema/schema.h"
#include "write/vdb_registry.h"

namespace tarnix {

std::string EntryScope::TypeOf(const google::protobuf::Message& message) const {
  return schema->types().GetObjectType(&message);
}

Status EntryScope::CheckWritePermission(const std::string& type) const {
  if (skip_permission || schema->permissions().HasWritePermission(client_id, type)) {
    return Status::OK();
  }
  return Status::PermissionDenied(client_id + " does not have write permission for " + type + ".");
}

Status EntryScope::Name(const Status& shape, const google::protobuf::Message& object,
                        const std::string& body, const char* missing_id, NamedObject* named) const {
  if (!shape.ok()) return shape;
  named->type = TypeOf(object);
  if (named->type.empty()) return Status::InvalidArgument(kNoObjectType);
  Status status = CheckWritePermission(named->type);
  if (!status.ok()) return status;
  named->id = keys->Read(named->type, body);
  if (named->id.size() > kMaxKeyBytes) {
    return Status::InvalidArgument("object key of " + std::to_string(named->id.size()) +
                                   " bytes is longer than the " + std::to_string(kMaxKeyBytes) +
                                   " allowed");
  }
  if (!named->id.empty()) return Status::OK();
  // The text is built only on this failure: it prints the whole message.
  if (missing_id != nullptr) return Status::InvalidArgument(missing_id);
  return Status::InvalidArgument("Unable to extract id for object type " +
                                 orv::proto::ToString(object));
}

Status EntryScope::ValidateVdbIds(const VdbIdList& ids, VdbIdSet* vdb_ids) const {
  if (ids.empty()) return Status::OK();
  vdb_ids->clear();
  for (uint32_t id : ids) {
    if (id > 0xFFFF) return Status::InvalidArgument("invalid vdb id");
    const bool deleted_here = deleting_vdb != 0 && id == deleting_vdb;
    if (!vdbs->InUse(id) && !deleted_here) {
      return Status::FailedPrecondition("vdb_id=" + std::to_string(id) + " not found");
    }
    vdb_ids->insert(static_cast<VdbId>(id));
  }
  return Status::OK();
}

}  // namespace tarnix

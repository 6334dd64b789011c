// The entry step of Delete.

#include "write/recursive_delete.h"
#include "write/request_processor.h"
#include "write/write_op.h"
#include "write/write_validation.h"

namespace tarnix {

using DeleteOp = WriteOpDescription<caldek::orv::tarnix::DeleteRequestMsg>;

Status DeleteOp::AddEntry(const EntryScope& scope, Entry* entry, VdbIdSet* vdb_ids) {
  EntryScope::NamedObject named;
  Status status = scope.Name(ValidateDeleteMsg(*entry), entry->object(),
                             entry->object().object_body(), nullptr, &named);
  if (status.ok()) status = scope.ValidateVdbIds(entry->vdb_ids(), vdb_ids);
  if (!status.ok()) return status;
  if (entry->has_recursive() && entry->recursive()) {
    status = CollectObjectsToDelete(*scope.schema, scope.db, scope.client_id, named.type, named.id,
                                    *vdb_ids, SpanOf(*entry), scope.cache, scope.processor);
    if (!status.ok()) return status;
  }
  scope.processor->AddDelete(named.type, named.id, *vdb_ids, SpanOf(*entry));
  return Status::OK();
}

}  // namespace tarnix

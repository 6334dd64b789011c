// The entry step of Patch.

#include "write/recursive_delete.h"
#include "write/request_processor.h"
#include "write/write_op.h"
#include "write/write_validation.h"

namespace tarnix {

using PatchOp = WriteOpDescription<caldek::orv::tarnix::PatchRequestMsg>;

Status PatchOp::AddEntry(const EntryScope& scope, Entry* entry, VdbIdSet* vdb_ids) {
  EntryScope::NamedObject named;
  Status status =
      scope.Name(ValidatePatchMsg(*entry), *entry, entry->object_value(), nullptr, &named);
  if (status.ok()) status = scope.ValidateVdbIds(entry->vdb_ids(), vdb_ids);
  if (!status.ok()) return status;
  // Only a Modify stream can delete what it patched.
  if (scope.in_modify) scope.cache->NotePatched(named.type, named.id);
  return scope.processor->AddPatch(named.type, named.id, entry->object_value(), entry->op_msg(),
                                   *vdb_ids, SpanOf(*entry));
}

}  // namespace tarnix

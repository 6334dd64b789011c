// The entry step of Flush.

#include "write/request_processor.h"
#include "write/write_op.h"

namespace tarnix {

using FlushOp = WriteOpDescription<caldek::orv::tarnix::FlushRequestMsg>;

Status FlushOp::AddEntry(const EntryScope& scope, Entry* entry, VdbIdSet* vdb_ids) {
  const std::string type = scope.TypeOf(*entry);
  if (type.empty()) return Status::InvalidArgument(EntryScope::kNoObjectType);
  Status status = scope.CheckWritePermission(type);
  if (status.ok()) status = scope.ValidateVdbIds(entry->vdb_ids(), vdb_ids);
  if (!status.ok()) return status;
  return scope.processor->AddFlush(type, *vdb_ids, SpanOf(*entry));
}

}  // namespace tarnix

// The entry step of FlushByBlockId.

#include <memory>
#include <string>
#include <vector>

#include "schema/schema.h"
#include "write/request_processor.h"
#include "write/write_op.h"
#include "write/write_validation.h"

namespace tarnix {

namespace tx = caldek::orv::tarnix;
using FlushByBlockIdOp = WriteOpDescription<tx::FlushByBlockIdRequestMsg>;

namespace {

RequestProcessor::BlockRanges RangesOf(const tx::FlushByBlockIdMsg& entry) {
  if (!entry.has_block_ranges()) return nullptr;
  return std::make_shared<const tx::MerkleTreeBlockRangesMsg>(entry.block_ranges());
}

// Only the types the client may write: an empty list means none, the
// wildcard's "" every type.
std::vector<std::string> WritableTypes(const EntryScope& scope) {
  return scope.schema->permissions().GetSortedObjectTypeIds(scope.client_id);
}

}  // namespace

Status FlushByBlockIdOp::AddEntry(const EntryScope& scope, Entry* entry, VdbIdSet* vdb_ids) {
  Status status = ValidateFlushByBlockIdMsg(*entry);
  if (status.ok()) status = scope.ValidateVdbIds(entry->vdb_ids(), vdb_ids);
  if (!status.ok()) return status;
  return scope.processor->AddFlushByBlockId(entry->block_id(), WritableTypes(scope),
                                            RangesOf(*entry), *vdb_ids, SpanOf(*entry));
}

void ForeseeEntry(const EntryScope& scope, const tx::FlushByBlockIdMsg& entry) {
  scope.processor->ForeseeFlushByBlockId(entry.block_id(), WritableTypes(scope), RangesOf(entry));
}

}  // namespace tarnix

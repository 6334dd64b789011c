// The entry step of Modify: one entry carries one entry of another
// operation, added by that operation's step.

#include "logging/logger.h"
#include "write/write_op.h"

namespace tarnix {

namespace tx = caldek::orv::tarnix;
using ModifyOp = WriteOpDescription<tx::ModifyRequestMsg>;

namespace {

Status ModifyShapeError(const char* text) {
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0208", "%s", text);
  return Status::InvalidArgument(text);
}

}  // namespace

Status ModifyOp::AddEntry(const EntryScope& scope, Entry* entry, VdbIdSet* vdb_ids) {
  const int parts = entry->has_put_msg() + entry->has_delete_msg() + entry->has_flush_msg() +
                    entry->has_patch_msg() + entry->has_copy_msg() +
                    entry->has_flush_by_block_id_msg();
  if (parts >= 2) {
    return ModifyShapeError(
        "Modify request should only include one of pub/delete/flush/patch/copy messages");
  }
  EntryScope inner = scope;
  inner.in_modify = true;
  if (entry->has_put_msg()) {
    return WriteOpDescription<tx::PutRequestMsg>::AddEntry(inner, entry->mutable_put_msg(),
                                                           vdb_ids);
  }
  if (entry->has_delete_msg()) {
    return WriteOpDescription<tx::DeleteRequestMsg>::AddEntry(inner, entry->mutable_delete_msg(),
                                                              vdb_ids);
  }
  if (entry->has_flush_msg()) {
    return WriteOpDescription<tx::FlushRequestMsg>::AddEntry(inner, entry->mutable_flush_msg(),
                                                             vdb_ids);
  }
  if (entry->has_patch_msg()) {
    return WriteOpDescription<tx::PatchRequestMsg>::AddEntry(inner, entry->mutable_patch_msg(),
                                                             vdb_ids);
  }
  if (entry->has_copy_msg()) {
    return WriteOpDescription<tx::CopyRequestMsg>::AddEntry(inner, entry->mutable_copy_msg(),
                                                            vdb_ids);
  }
  if (entry->has_flush_by_block_id_msg()) {
    return WriteOpDescription<tx::FlushByBlockIdRequestMsg>::AddEntry(
        inner, entry->mutable_flush_by_block_id_msg(), vdb_ids);
  }
  return ModifyShapeError(
      "Modify request doesn't include any of pub/delete/flush/patch/copy/flush_by_block_id "
      "messages");
}

void ForeseeEntry(const EntryScope& scope, const tx::ModifyMsg& entry) {
  if (entry.has_flush_by_block_id_msg()) ForeseeEntry(scope, entry.flush_by_block_id_msg());
}

const tx::SpanContextMsg* SpanOf(const tx::ModifyMsg& entry) {
  if (entry.has_put_msg() && entry.put_msg().has_span_context()) {
    return &entry.put_msg().span_context();
  }
  if (entry.has_delete_msg() && entry.delete_msg().has_span_context()) {
    return &entry.delete_msg().span_context();
  }
  if (entry.has_flush_msg() && entry.flush_msg().has_span_context()) {
    return &entry.flush_msg().span_context();
  }
  if (entry.has_patch_msg() && entry.patch_msg().has_span_context()) {
    return &entry.patch_msg().span_context();
  }
  if (entry.has_copy_msg() && entry.copy_msg().has_span_context()) {
    return &entry.copy_msg().span_context();
  }
  if (entry.has_flush_by_block_id_msg() && entry.flush_by_block_id_msg().has_span_context()) {
    return &entry.flush_by_block_id_msg().span_context();
  }
  return nullptr;
}

}  // namespace tarnix

// The entry steps of Patch, Copy, FlushByBlockId and Modify.

#include <memory>
#include <string>
#include <vector>

#include "logging/logger.h"
#include "schema/schema.h"
#include "write/preprocess_frame.h"
#include "write/request_processor.h"
#include "write/vdb_registry.h"
#include "write/write_validation.h"

namespace tarnix {

namespace tx = caldek::orv::tarnix;
using preprocess_internal::SpanOf;

namespace {

Status ModifyShapeError(const char* text) {
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0208", "%s", text);
  return Status::InvalidArgument(text);
}

}  // namespace

Status WriteTransactions::AddEntry(const EntryScope& scope, tx::PatchMsg* message,
                                   VdbIdSet* vdb_ids) {
  const tx::PatchMsg& entry = *message;
  Status status = ValidatePatchMsg(entry);
  if (!status.ok()) return status;
  std::string type;
  std::string id;
  status = EntryObject(scope, entry, entry.object_value(), nullptr, &type, &id);
  if (!status.ok()) return status;
  status = ValidateVdbIds(scope, entry.vdb_ids(), vdb_ids);
  if (!status.ok()) return status;
  // Only a Modify stream can delete what it patched.
  if (scope.in_modify) scope.cache->NotePatched(type, id);
  return scope.processor->AddPatch(type, id, entry.object_value(), entry.op_msg(), *vdb_ids,
                                   SpanOf(entry.has_span_context(), entry.span_context()));
}

Status WriteTransactions::AddEntry(const EntryScope& scope, tx::CopyMsg* message,
                                   VdbIdSet* vdb_ids) {
  const tx::CopyMsg& entry = *message;
  Status status = ValidateCopyMsg(entry);
  if (!status.ok()) return status;
  std::string type;
  std::string id;
  status = EntryObject(scope, entry.object(), entry.object().object_body(), nullptr,
                       &type, &id);
  if (!status.ok()) return status;
  VdbId source = kMainVdbId;
  if (entry.has_src_vdb_id()) {
    if (entry.src_vdb_id() > 0xFFFF) return Status::InvalidArgument("invalid src vdb id");
    if (!vdbs_->InUse(entry.src_vdb_id())) {
      return Status::FailedPrecondition((scope.in_modify ? "vdb_id=" : "src_vdb_id=") +
                                        std::to_string(entry.src_vdb_id()) + " not found");
    }
    source = static_cast<VdbId>(entry.src_vdb_id());
  }
  // An explicit list leaves out the source, also for the entries that carry
  // it on; an empty list keeps the carried set as it is, and AddCopy leaves
  // the source out of this entry's destinations.
  if (!entry.vdb_ids().empty()) {
    vdb_ids->clear();
    for (uint32_t id : entry.vdb_ids()) {
      if (id > 0xFFFF) return Status::InvalidArgument("invalid vdb id");
      if (!vdbs_->InUse(id)) {
        return Status::FailedPrecondition("vdb_id=" + std::to_string(id) + " not found");
      }
      if (id != source) vdb_ids->insert(static_cast<VdbId>(id));
    }
  }
  scope.processor->AddCopy(type, id, source, *vdb_ids,
                           SpanOf(entry.has_span_context(), entry.span_context()));
  return Status::OK();
}

Status WriteTransactions::AddEntry(const EntryScope& scope, tx::FlushByBlockIdMsg* message,
                                   VdbIdSet* vdb_ids) {
  const tx::FlushByBlockIdMsg& entry = *message;
  Status status = ValidateFlushByBlockIdMsg(entry);
  if (!status.ok()) return status;
  status = ValidateVdbIds(scope, entry.vdb_ids(), vdb_ids);
  if (!status.ok()) return status;
  RequestProcessor::BlockRanges ranges;
  if (entry.has_block_ranges()) {
    ranges = std::make_shared<const tx::MerkleTreeBlockRangesMsg>(entry.block_ranges());
  }
  // Only the types the client may write: an empty list means none, the
  // wildcard's "" every type.
  const std::vector<std::string> types =
      schema_->permissions().GetSortedObjectTypeIds(scope.client_id);
  return scope.processor->AddFlushByBlockId(entry.block_id(), types, ranges, *vdb_ids,
                                            SpanOf(entry.has_span_context(), entry.span_context()));
}

Status WriteTransactions::AddEntry(const EntryScope& scope, tx::ModifyMsg* entry,
                                   VdbIdSet* vdb_ids) {
  const int parts = entry->has_put_msg() + entry->has_delete_msg() + entry->has_flush_msg() +
                    entry->has_patch_msg() + entry->has_copy_msg() +
                    entry->has_flush_by_block_id_msg();
  if (parts >= 2) {
    return ModifyShapeError(
        "Modify request should only include one of pub/delete/flush/patch/copy messages");
  }
  EntryScope inner = scope;
  inner.in_modify = true;
  if (entry->has_put_msg()) return AddEntry(inner, entry->mutable_put_msg(), vdb_ids);
  if (entry->has_delete_msg()) return AddEntry(inner, entry->mutable_delete_msg(), vdb_ids);
  if (entry->has_flush_msg()) return AddEntry(inner, entry->mutable_flush_msg(), vdb_ids);
  if (entry->has_patch_msg()) return AddEntry(inner, entry->mutable_patch_msg(), vdb_ids);
  if (entry->has_copy_msg()) return AddEntry(inner, entry->mutable_copy_msg(), vdb_ids);
  if (entry->has_flush_by_block_id_msg()) {
    return AddEntry(inner, entry->mutable_flush_by_block_id_msg(), vdb_ids);
  }
  return ModifyShapeError(
      "Modify request doesn't include any of pub/delete/flush/patch/copy/flush_by_block_id "
      "messages");
}

}  // namespace tarnix

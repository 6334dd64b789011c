// Preprocessing of Patch, Copy, FlushByBlockId and Modify streams.

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

Status WriteTransactions::PatchEntry(const std::string& client_id, const tx::PatchMsg& entry,
                                     VdbIdSet* vdb_ids, ChildRecordCache* cache,
                                     RequestProcessor* processor) {
  std::string type;
  std::string id;
  Status status = EntryObject(client_id, entry, entry.object_value(), nullptr, &type, &id);
  if (!status.ok() || type.empty()) return status;
  status = ValidateVdbIds(entry.vdb_ids(), vdb_ids);
  if (!status.ok()) return status;
  if (cache != nullptr) cache->NotePatched(type, id);
  return processor->AddPatch(type, id, entry.object_value(), entry.op_msg(), *vdb_ids,
                             SpanOf(entry.has_span_context(), entry.span_context()));
}

Status WriteTransactions::CopyEntry(const std::string& client_id, const tx::CopyMsg& entry,
                                    bool in_modify, VdbIdSet* vdb_ids,
                                    RequestProcessor* processor) {
  std::string type;
  std::string id;
  Status status =
      EntryObject(client_id, entry.object(), entry.object().object_body(), nullptr, &type, &id);
  if (!status.ok() || type.empty()) return status;
  const auto& registered = vdbs_->vdb_id_to_name();
  VdbId source = kMainVdbId;
  if (entry.has_src_vdb_id()) {
    if (entry.src_vdb_id() > 0xFFFF) return Status::InvalidArgument("invalid src vdb id");
    if (registered.count(static_cast<VdbId>(entry.src_vdb_id())) == 0) {
      return Status::FailedPrecondition((in_modify ? "vdb_id=" : "src_vdb_id=") +
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
      if (registered.count(static_cast<VdbId>(id)) == 0) {
        return Status::FailedPrecondition("vdb_id=" + std::to_string(id) + " not found");
      }
      if (id != source) vdb_ids->insert(static_cast<VdbId>(id));
    }
  }
  processor->AddCopy(type, id, source, *vdb_ids,
                     SpanOf(entry.has_span_context(), entry.span_context()));
  return Status::OK();
}

Status WriteTransactions::FlushByBlockIdEntry(const std::string& client_id,
                                              const tx::FlushByBlockIdMsg& entry, VdbIdSet* vdb_ids,
                                              RequestProcessor* processor) {
  Status status = ValidateVdbIds(entry.vdb_ids(), vdb_ids);
  if (!status.ok()) return status;
  RequestProcessor::BlockRanges ranges;
  if (entry.has_block_ranges()) {
    ranges = std::make_shared<const tx::MerkleTreeBlockRangesMsg>(entry.block_ranges());
  }
  // Only the types the client may write: an empty list means none, the
  // wildcard's "" every type.
  const std::vector<std::string> types = schema_->GetSortedObjectTypeIds(client_id);
  return processor->AddFlushByBlockId(entry.block_id(), types, ranges, *vdb_ids,
                                      SpanOf(entry.has_span_context(), entry.span_context()));
}

Status WriteTransactions::ModifyEntry(const std::string& client_id, tx::ModifyMsg* entry,
                                      VdbIdSet* vdb_ids, ChildRecordCache* cache,
                                      RequestProcessor* processor) {
  const int parts = entry->has_put_msg() + entry->has_delete_msg() + entry->has_flush_msg() +
                    entry->has_patch_msg() + entry->has_copy_msg() +
                    entry->has_flush_by_block_id_msg();
  if (parts >= 2) {
    return ModifyShapeError(
        "Modify request should only include one of pub/delete/flush/patch/copy messages");
  }
  Status status = Status::OK();
  if (entry->has_put_msg()) {
    status = ValidatePutMsg(entry->put_msg());
    if (!status.ok()) return status;
    return PutEntry(client_id, entry->mutable_put_msg(), vdb_ids, processor);
  }
  if (entry->has_delete_msg()) {
    status = ValidateDeleteMsg(entry->delete_msg());
    if (!status.ok()) return status;
    return DeleteEntry(client_id, entry->delete_msg(), vdb_ids, cache, processor);
  }
  if (entry->has_flush_msg()) {
    return FlushEntry(client_id, entry->flush_msg(), false, vdb_ids, processor);
  }
  if (entry->has_patch_msg()) {
    status = ValidatePatchMsg(entry->patch_msg());
    if (!status.ok()) return status;
    return PatchEntry(client_id, entry->patch_msg(), vdb_ids, cache, processor);
  }
  if (entry->has_copy_msg()) {
    status = ValidateCopyMsg(entry->copy_msg());
    if (!status.ok()) return status;
    return CopyEntry(client_id, entry->copy_msg(), true, vdb_ids, processor);
  }
  if (entry->has_flush_by_block_id_msg()) {
    status = ValidateFlushByBlockIdMsg(entry->flush_by_block_id_msg());
    if (!status.ok()) return status;
    return FlushByBlockIdEntry(client_id, entry->flush_by_block_id_msg(), vdb_ids, processor);
  }
  return ModifyShapeError(
      "Modify request doesn't include any of pub/delete/flush/patch/copy/flush_by_block_id "
      "messages");
}

Status WriteTransactions::PreprocessRequests(const std::string& client_id, bool tracing,
                                             std::list<tx::PatchRequestMsg>* requests,
                                             TarnixTransactionLog* log, RequestProcessor* processor,
                                             bool* sync) {
  return Preprocess(WriteOp::kPatch, "PatchRequest.PreprocessRequests", client_id, tracing, true,
                    requests, log, sync, [&](tx::PatchMsg* entry, VdbIdSet* vdb_ids) {
                      Status status = ValidatePatchMsg(*entry);
                      if (!status.ok()) return status;
                      return PatchEntry(client_id, *entry, vdb_ids, nullptr, processor);
                    });
}

Status WriteTransactions::PreprocessRequests(const std::string& client_id, bool tracing,
                                             std::list<tx::CopyRequestMsg>* requests,
                                             TarnixTransactionLog* log, RequestProcessor* processor,
                                             bool* sync) {
  return Preprocess(WriteOp::kCopy, "CopyRequest.PreprocessRequests", client_id, tracing, true,
                    requests, log, sync, [&](tx::CopyMsg* entry, VdbIdSet* vdb_ids) {
                      Status status = ValidateCopyMsg(*entry);
                      if (!status.ok()) return status;
                      return CopyEntry(client_id, *entry, false, vdb_ids, processor);
                    });
}

Status WriteTransactions::PreprocessRequests(const std::string& client_id, bool tracing,
                                             std::list<tx::FlushByBlockIdRequestMsg>* requests,
                                             TarnixTransactionLog* log, RequestProcessor* processor,
                                             bool* sync) {
  return Preprocess(WriteOp::kFlushByBlockId, "FlushByBlockIdRequest.PreprocessRequests", client_id,
                    tracing, true, requests, log, sync,
                    [&](tx::FlushByBlockIdMsg* entry, VdbIdSet* vdb_ids) {
                      Status status = ValidateFlushByBlockIdMsg(*entry);
                      if (!status.ok()) return status;
                      return FlushByBlockIdEntry(client_id, *entry, vdb_ids, processor);
                    });
}

Status WriteTransactions::PreprocessRequests(const std::string& client_id, bool tracing,
                                             std::list<tx::ModifyRequestMsg>* requests,
                                             TarnixTransactionLog* log, RequestProcessor* processor,
                                             bool* sync, int64_t stream_size) {
  ChildRecordCache cache;
  return Preprocess(WriteOp::kModify, "ModifyRequest.PreprocessRequests", client_id, tracing,
                    stream_size < kMaxLoggedModifyBytes, requests, log, sync,
                    [&](tx::ModifyMsg* entry, VdbIdSet* vdb_ids) {
                      return ModifyEntry(client_id, entry, vdb_ids, &cache, processor);
                    });
}

}  // namespace tarnix

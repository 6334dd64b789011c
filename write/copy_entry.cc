// The entry step of Copy.

#include <string>

#include "write/request_processor.h"
#include "write/vdb_registry.h"
#include "write/write_op.h"
#include "write/write_validation.h"

namespace tarnix {

using CopyOp = WriteOpDescription<caldek::orv::tarnix::CopyRequestMsg>;

Status CopyOp::AddEntry(const EntryScope& scope, Entry* entry, VdbIdSet* vdb_ids) {
  EntryScope::NamedObject named;
  Status status = scope.Name(ValidateCopyMsg(*entry), entry->object(),
                             entry->object().object_body(), nullptr, &named);
  if (!status.ok()) return status;
  VdbId source = kMainVdbId;
  if (entry->has_src_vdb_id()) {
    if (entry->src_vdb_id() > 0xFFFF) return Status::InvalidArgument("invalid src vdb id");
    if (!scope.vdbs->InUse(entry->src_vdb_id())) {
      return Status::FailedPrecondition((scope.in_modify ? "vdb_id=" : "src_vdb_id=") +
                                        std::to_string(entry->src_vdb_id()) + " not found");
    }
    source = static_cast<VdbId>(entry->src_vdb_id());
  }
  // An explicit list leaves out the source, also for the entries that carry
  // it on; an empty list keeps the carried set as it is, and AddCopy leaves
  // the source out of this entry's destinations.
  if (!entry->vdb_ids().empty()) {
    vdb_ids->clear();
    for (uint32_t id : entry->vdb_ids()) {
      if (id > 0xFFFF) return Status::InvalidArgument("invalid vdb id");
      if (!scope.vdbs->InUse(id)) {
        return Status::FailedPrecondition("vdb_id=" + std::to_string(id) + " not found");
      }
      if (id != source) vdb_ids->insert(static_cast<VdbId>(id));
    }
  }
  scope.processor->AddCopy(named.type, named.id, source, *vdb_ids, SpanOf(*entry));
  return Status::OK();
}

}  // namespace tarnix

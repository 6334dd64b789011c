// The entry step of Put.

#include <memory>
#include <utility>

#include "write/request_processor.h"
#include "write/write_op.h"
#include "write/write_validation.h"

namespace tarnix {

using PutOp = WriteOpDescription<caldek::orv::tarnix::PutRequestMsg>;

Status PutOp::AddEntry(const EntryScope& scope, Entry* entry, VdbIdSet* vdb_ids) {
  EntryScope::NamedObject named;
  Status status = scope.Name(ValidatePutMsg(*entry), entry->object(), entry->object().object_body(),
                             "id is missing from object being put", &named);
  if (status.ok()) status = scope.ValidateVdbIds(entry->vdb_ids(), vdb_ids);
  if (!status.ok()) return status;
  // The message is recorded already; its body moves on without a copy.
  ObjectBody body = std::make_shared<const std::string>(
      std::move(*entry->mutable_object()->mutable_object_body()));
  scope.processor->AddPut(named.type, named.id, std::move(body), *vdb_ids, SpanOf(*entry));
  return Status::OK();
}

}  // namespace tarnix

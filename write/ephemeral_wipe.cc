// Start-up removal of the objects of ephemeral types.

#include "logging/logger.h"
#include "schema/schema.h"
#include "write/object_stats_maintainer.h"
#include "write/preprocess_frame.h"
#include "write/request_processor.h"
#include "write/tarnix_transaction_log.h"
#include "write/transaction_ids.h"
#include "write/vdb_registry.h"
#include "write/write_transactions.h"

namespace tarnix {

namespace tx = caldek::orv::tarnix;

void WriteTransactions::WipeEphemeralObjects() {
  const std::string kClientId = "tarnix-server";
  uint64_t txn_id = 0;
  if (!ids_->GetNextTxnId(&txn_id)) {
    TARNIX_LOG(orv::INFO, nullptr, "Unable to generate transaction id to wipe ephemeral objects");
    return;
  }
  const std::vector<int32_t>& types = schema_->types().GetEphemeralObjectTypes();
  if (types.empty()) return;

  tx::FlushRequestMsg request;
  for (int32_t type_id : types) {
    tx::FlushMsg* flush = request.add_flushes();
    auto name = schema_->types().GetObjectTypeNames().find(type_id);
    if (name != schema_->types().GetObjectTypeNames().end())
      schema_->types().SetObjectType(name->second, flush);
    for (const auto& vdb : vdbs_->vdb_name_to_id()) flush->add_vdb_ids(vdb.second);
  }
  TarnixTransactionLog log(schema_, kClientId, txn_id);
  RequestProcessor processor(schema_, db_);
  std::list<tx::FlushRequestMsg> requests{request};
  ChildRecordCache cache;
  KeyReader keys(&schema_->types(), &schema_->keys());
  const EntryScope scope{kClientId, &processor, &cache, /*skip_permission=*/true,
                         /*in_modify=*/false, &keys, /*deleting_vdb=*/0};
  bool sync = false;
  if (!PreprocessRequests(scope, false, true, &requests, nullptr, &log, &sync).ok()) {
    return;
  }
  std::list<UpdateRecord> updates;
  std::list<UpdateRecord> deletes;
  uint64_t log_bytes = 0;
  if (ProcessRequests(sync, false, &processor, &log, &log_bytes, &updates, &deletes,
                      metrics_->process(WriteOp::kFlush), nullptr)
          .ok()) {
    stats_->UpdateObjectStatistics(processor.record_count_changes());
  } else {
    TARNIX_LOG(orv::INFO, nullptr, "Unable to wipe ephemeral objects");
  }
}

}  // namespace tarnix

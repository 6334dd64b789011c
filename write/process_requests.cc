// Processing and commit of a write transaction.

#include <optional>
#include <utility>

#include "logging/logger.h"
#include "platform/wft/workflow_util.h"
#include "storage/db_access.h"
#include "write/request_processor.h"
#include "write/tarnix_transaction_log.h"
#include "write/transaction_ids.h"
#include "write/transaction_log_store.h"
#include "write/write_telemetry.h"
#include "write/write_transactions.h"

namespace tarnix {

namespace {

// Appends one change record per change to the log; a change whose objects
// both lack a type is left out.
void ProcessUpdatesSet(uint32_t kind, const std::list<UpdateRecord>& changes,
                       TarnixTransactionLog* log) {
  for (const UpdateRecord& change : changes) {
    if (!change.type || !change.id) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "Object in updates set is empty.. ignoring it");
      continue;
    }
    log->AddChange(kind, *change.type, *change.id, change.vdb_ids);
  }
}

}  // namespace

Status WriteTransactions::ProcessRequests(bool sync, bool tracing, RequestProcessor* processor,
                                          TarnixTransactionLog* log, uint64_t* txn_log_bytes,
                                          std::list<UpdateRecord>* updates,
                                          std::list<UpdateRecord>* deletes,
                                          metrics::LatencyMetric& latency,
                                          TransactionRequestTable* requests) {
  std::optional<orv::wft::WorkflowUtil> span;
  if (tracing) span.emplace("ProcessRequests", 2);
  std::vector<DbAccess::TxnPut> puts;
  std::vector<std::string> removed;
  std::list<UpdateRecord> logged_only;
  Status status =
      processor->Build(tracing, &puts, &removed, updates, &logged_only, deletes, latency, requests);
  if (!status.ok()) return status;
  telemetry_->Record(2);

  ProcessUpdatesSet(TarnixTransactionLog::kUpdated, *updates, log);
  ProcessUpdatesSet(TarnixTransactionLog::kUnchanged, logged_only, log);
  logged_only.clear();  // only the log needs them, and it has them now
  ProcessUpdatesSet(TarnixTransactionLog::kDeleted, *deletes, log);
  telemetry_->Record(3);

  uint64_t log_size = log_store_->current_log_size();
  status = log_store_->ComputeTxnLogUpdates(tracing, log, &log_size, txn_log_bytes, &puts,
                                            &removed);
  telemetry_->Record(4);
  if (!status.ok()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0501", "Computing transaction log updates failed.");
    return status;
  }
  // Accounted before the write and kept if it fails; start-up recounts.
  log_store_->set_current_log_size(log_size);

  // The transaction's id goes in its batch: no write of its own.
  puts.push_back(ids_->Record());
  WriteTelemetry* telemetry = telemetry_;
  const DbAccessStatus written =
      db_->WriteTxn(std::move(puts), removed, sync, [telemetry] { telemetry->Record(5); });
  telemetry_->Record(6);
  if (written.ok()) ids_->MarkPersisted();
  return written.ToStatus();
}

}  // namespace tarnix

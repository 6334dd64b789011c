#include "write/write_transactions.h"

#include <memory>

#include "logging/logger.h"
#include "platform/wft/workflow_util.h"
#include "write/heap_release.h"
#include "write/object_stats_maintainer.h"
#include "write/request_processor.h"
#include "write/tarnix_transaction_log.h"
#include "write/transaction_ids.h"
#include "write/transaction_log_store.h"
#include "write/workflow_contexts.h"
#include "write/write_telemetry.h"

namespace tarnix {

namespace tx = caldek::orv::tarnix;
using orv::rpc::AppStatus;

struct WriteTransactions::OpInfo {
  WriteOp op;
  const char* name;       // in log lines
  const char* span_name;  // the body's span
};

namespace {

using Clock = std::chrono::system_clock;

long MillisSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// The body's span, open only while the tracer is on; *tracing tells whether
// any request carries a context, which nested spans need.
template <class Req, class Collect>
std::unique_ptr<orv::wft::WorkflowUtil> OpenBodySpan(const char* name,
                                                     const std::list<Req>& requests,
                                                     Collect collect, bool* tracing) {
  *tracing = false;
  if (!WriteTransactions::TracingEnabled()) return nullptr;
  std::list<orv::wft::TraceInfo> traces;
  collect(requests, &traces);
  *tracing = !traces.empty();
  return std::make_unique<orv::wft::WorkflowUtil>(name, 1, traces);
}

}  // namespace

WriteTransactions::WriteTransactions(const Schema* schema, DbAccess* db, TransactionIds* ids,
                                     TransactionLogStore* log_store, const VDbRegistry* vdbs,
                                     ObjectStatsMaintainer* stats, WriteMetrics* metrics,
                                     WriteTelemetry* telemetry, UpdateNotifier* notifier)
    : schema_(schema),
      db_(db),
      ids_(ids),
      log_store_(log_store),
      vdbs_(vdbs),
      stats_(stats),
      metrics_(metrics),
      telemetry_(telemetry),
      notifier_(notifier) {}

bool WriteTransactions::TracingEnabled() { return orv::wft::WorkflowUtil::Enabled(); }

bool WriteTransactions::CommitAndReply(const OpInfo& op, uint64_t txn_id, bool sync,
                                       bool tracing, RequestProcessor* processor,
                                       TarnixTransactionLog* log, WriteReply* reply,
                                       TransactionRequestTable* requests, bool sample_reply) {
  std::list<UpdateRecord> updates;
  std::list<UpdateRecord> deletes;
  uint64_t log_bytes = 0;
  const AppStatus status = ProcessRequests(sync, tracing, processor, log, &log_bytes, &updates,
                                           &deletes, metrics_->process(op.op), requests);
  if (!status.ok()) {
    TARNIX_LOG(orv::INFO, nullptr, "%s processing failed with %s", op.name,
               status.ToString().c_str());
    reply->Fail(status);
    return false;
  }
  metrics_->request_size(op.op)->update(log_bytes);
  stats_->UpdateObjectStatistics(processor->record_count_changes());
  reply->Respond();
  if (sample_reply) telemetry_->Record(7);
  // The client has its answer: nothing the monitors do can change it.
  notifier_->NotifyForUpdate(txn_id, tracing, &updates, &deletes, requests, Clock::now());
  if (log_bytes >= kReleaseHeapAfterBytes) ReleaseFreeHeapMemory();
  return true;
}

template <class Req, class Collect, class Preprocessor>
void WriteTransactions::RunBody(const OpInfo& op, const std::string& client_id,
                                WriteReply* reply, std::list<Req>* requests, Collect collect,
                                Preprocessor preprocess) {
  bool tracing = false;
  const auto body_span = OpenBodySpan(op.span_name, *requests, collect, &tracing);
  uint64_t txn_id = 0;
  if (!ids_->GetNextTxnId(&txn_id)) {
    reply->Fail(orv::rpc::INTERNAL("Unable to generate transaction id"));
    return;
  }
  TARNIX_LOG(orv::INFO, nullptr, "%s: TransactionID='%lu' Client ID=%s", op.name, txn_id,
             client_id.c_str());
  TarnixTransactionLog log(schema_, client_id, txn_id);
  log.set_request_bound(log_store_->max_log_size());
  RequestProcessor processor(schema_, db_);
  bool sync = false;
  const AppStatus status = preprocess(tracing, &log, &processor, &sync);
  if (!status.ok()) {
    TARNIX_LOG(orv::INFO, nullptr, "%s preprocessing failed with %s", op.name,
               status.ToString().c_str());
    reply->Fail(status);
    return;
  }
  CommitAndReply(op, txn_id, sync, tracing, &processor, &log, reply, nullptr, false);
}

void WriteTransactions::Put(const std::string& client_id, WriteReply* reply,
                            std::list<tx::PutRequestMsg>* requests) {
  static const OpInfo kOp{WriteOp::kPut, "Put", "PutImpl"};
  RunBody(kOp, client_id, reply, requests, CollectPutWorkflowContexts,
          [&](bool tracing, TarnixTransactionLog* log, RequestProcessor* processor, bool* sync) {
            return PreprocessRequests(client_id, tracing, requests, log, processor, sync);
          });
}

void WriteTransactions::Delete(const std::string& client_id, WriteReply* reply,
                               std::list<tx::DeleteRequestMsg>* requests) {
  static const OpInfo kOp{WriteOp::kDelete, "Delete", "DeleteImpl"};
  RunBody(kOp, client_id, reply, requests, CollectDeleteWorkflowContexts,
          [&](bool tracing, TarnixTransactionLog* log, RequestProcessor* processor, bool* sync) {
            return PreprocessRequests(client_id, tracing, requests, log, processor, sync);
          });
}

void WriteTransactions::Flush(const std::string& client_id, WriteReply* reply,
                              std::list<tx::FlushRequestMsg>* requests) {
  static const OpInfo kOp{WriteOp::kFlush, "Flush", "FlushImpl"};
  RunBody(kOp, client_id, reply, requests, CollectFlushWorkflowContexts,
          [&](bool tracing, TarnixTransactionLog* log, RequestProcessor* processor, bool* sync) {
            return PreprocessRequests(client_id, tracing, /*skip_permission=*/false, requests,
                                      log, processor, sync);
          });
}

void WriteTransactions::Patch(const std::string& client_id, WriteReply* reply,
                              std::list<tx::PatchRequestMsg>* requests) {
  static const OpInfo kOp{WriteOp::kPatch, "Patch", "PatchImpl"};
  RunBody(kOp, client_id, reply, requests, CollectPatchWorkflowContexts,
          [&](bool tracing, TarnixTransactionLog* log, RequestProcessor* processor, bool* sync) {
            return PreprocessRequests(client_id, tracing, requests, log, processor, sync);
          });
}

void WriteTransactions::Copy(const std::string& client_id, WriteReply* reply,
                             std::list<tx::CopyRequestMsg>* requests) {
  static const OpInfo kOp{WriteOp::kCopy, "Copy", "CopyImpl"};
  RunBody(kOp, client_id, reply, requests, CollectCopyWorkflowContexts,
          [&](bool tracing, TarnixTransactionLog* log, RequestProcessor* processor, bool* sync) {
            return PreprocessRequests(client_id, tracing, requests, log, processor, sync);
          });
}

void WriteTransactions::FlushByBlockId(const std::string& client_id, WriteReply* reply,
                                       std::list<tx::FlushByBlockIdRequestMsg>* requests) {
  static const OpInfo kOp{WriteOp::kFlushByBlockId, "FlushByBlockId", "FlushByBlockIdImpl"};
  RunBody(kOp, client_id, reply, requests, CollectFlushByBlockIdWorkflowContexts,
          [&](bool tracing, TarnixTransactionLog* log, RequestProcessor* processor, bool* sync) {
            return PreprocessRequests(client_id, tracing, requests, log, processor, sync);
          });
}

void WriteTransactions::Modify(const std::string& client_id, WriteReply* reply,
                               std::list<tx::ModifyRequestMsg>* requests) {
  static const OpInfo kOp{WriteOp::kModify, "Modify", "ModifyImpl"};
  telemetry_->CacheThreadStackBounds();
  const Clock::time_point start = Clock::now();
  telemetry_->Record(0);
  bool tracing = false;
  const auto body_span =
      OpenBodySpan(kOp.span_name, *requests, CollectModifyWorkflowContexts, &tracing);
  uint64_t txn_id = 0;
  if (!ids_->GetNextTxnId(&txn_id)) {
    reply->Fail(orv::rpc::INTERNAL("Unable to generate transaction id"));
    return;
  }
  int64_t stream_size = 0;
  for (const tx::ModifyRequestMsg& request : *requests) {
    stream_size += static_cast<int64_t>(request.ByteSizeLong());
  }
  const double megabytes = static_cast<double>(stream_size) / 1024 / 1024;
  TARNIX_LOG(orv::INFO, nullptr, "Modify: TransactionID='%lu' Client ID=%s Size=%.02fMB LogTx?=%d",
             txn_id, client_id.c_str(), megabytes, stream_size < kMaxLoggedModifyBytes ? 1 : 0);
  TarnixTransactionLog log(schema_, client_id, txn_id);
  log.set_request_bound(log_store_->max_log_size());
  RequestProcessor processor(schema_, db_);
  telemetry_->Record(1);
  bool sync = false;
  const AppStatus status =
      PreprocessRequests(client_id, tracing, requests, &log, &processor, &sync, stream_size);
  if (!status.ok()) {
    TARNIX_LOG(orv::INFO, nullptr, "Modify preprocessing failed with %s",
               status.ToString().c_str());
    reply->Fail(status);
    return;
  }
  TARNIX_LOG(orv::VERBOSE, nullptr, "Modify Process + Preprocess took %li ms.",
             MillisSince(start));
  TransactionRequestTable processed(16);
  processed.max_load_factor(1.0f);
  if (!CommitAndReply(kOp, txn_id, sync, tracing, &processor, &log, reply, &processed, true)) {
    return;  // the phases taken so far stay for the out-of-memory report
  }
  telemetry_->Record(8);
  TARNIX_LOG(orv::INFO, nullptr,
             "Modify Complete: TransactionID=%lu Client ID=%s Size=%.02fMB Duration=%lu "
             "Telemetry=%s",
             txn_id, client_id.c_str(), megabytes,
             static_cast<unsigned long>(MillisSince(start)), telemetry_->Format().c_str());
  telemetry_->Reset();
}

}  // namespace tarnix

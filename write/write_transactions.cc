#include "write/write_transactions.h"

#include <memory>

#include "logging/logger.h"
#include "platform/wft/workflow_util.h"
#include "schema/schema.h"
#include "write/group_commit.h"
#include "util/heap_release.h"
#include "write/object_stats_maintainer.h"
#include "write/preprocess_frame.h"
#include "write/request_processor.h"
#include "write/tarnix_transaction_log.h"
#include "write/transaction_ids.h"
#include "write/transaction_log_store.h"
#include "write/workflow_contexts.h"
#include "write/write_telemetry.h"

namespace tarnix {

namespace tx = caldek::orv::tarnix;

namespace {

using Clock = std::chrono::system_clock;

long MillisSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// The body's span, open only while the tracer is on; *tracing tells whether
// any request carries a context, which nested spans need.
template <class Req>
std::unique_ptr<orv::wft::WorkflowUtil> OpenBodySpan(const std::list<Req>& requests,
                                                     bool* tracing) {
  *tracing = false;
  if (!WriteTransactions::TracingEnabled()) return nullptr;
  std::list<orv::wft::TraceInfo> traces;
  WriteOpDescription<Req>::kCollectContexts(requests, &traces);
  *tracing = !traces.empty();
  return std::make_unique<orv::wft::WorkflowUtil>(WriteOpDescription<Req>::kSpan, 1, traces);
}

}  // namespace

namespace {

// Answers through a reply that outlives it.
class ForwardingReply : public WriteReply {
 public:
  explicit ForwardingReply(WriteReply* reply) : reply_(reply) {}
  void Respond() override { reply_->Respond(); }
  void Fail(const Status& status) override { reply_->Fail(status); }

 private:
  WriteReply* const reply_;
};

}  // namespace

std::unique_ptr<WriteReply> WriteReply::Keep() { return std::make_unique<ForwardingReply>(this); }

// A transaction whose batch is written, with what its answer and its
// notification need.
class WriteTransactions::Committed : public CommittedTransaction {
 public:
  Committed(const char* name, WriteTransactions* owner, uint64_t txn_id, bool tracing,
            std::unique_ptr<WriteReply> reply, std::unique_ptr<TransactionRequestTable> requests,
            bool sample_reply, std::function<void()> done)
      : name_(name),
        owner_(owner),
        txn_id_(txn_id),
        tracing_(tracing),
        reply_(std::move(reply)),
        requests_(std::move(requests)),
        sample_reply_(sample_reply),
        done_(std::move(done)) {}
  ~Committed() override {
    if (!release_heap) return;
    // A sync transaction may end turns after its body: what it holds goes
    // first, then the freed heap goes back to the system.
    updates.clear();
    deletes.clear();
    requests_.reset();
    ReleaseFreeHeapMemory();
  }

  void Answer(const Status& status) override {
    if (!status.ok()) {
      TARNIX_LOG(orv::INFO, nullptr, "%s processing failed with %s", name_,
                 status.ToString().c_str());
      reply_->Fail(status);
      return;
    }
    reply_->Respond();
    if (sample_reply_) owner_->telemetry_->Record(7);
  }
  void Notify() override {
    // The client has its answer: nothing the monitors do can change it.
    owner_->notifier_->NotifyForUpdate(txn_id_, tracing_, &updates, &deletes, requests_.get(),
                                       Clock::now());
    if (done_) done_();
  }

  std::list<UpdateRecord> updates;
  std::list<UpdateRecord> deletes;
  // Whether the transaction was large enough to give its heap back.
  bool release_heap = false;

 private:
  const char* const name_;
  WriteTransactions* const owner_;
  const uint64_t txn_id_;
  const bool tracing_;
  const std::unique_ptr<WriteReply> reply_;
  std::unique_ptr<TransactionRequestTable> requests_;
  const bool sample_reply_;
  const std::function<void()> done_;
};

WriteTransactions::WriteTransactions(const Schema* schema, DbAccess* db, TransactionIds* ids,
                                     TransactionLogStore* log_store, const VDbRegistry* vdbs,
                                     ObjectStatsMaintainer* stats, WriteMetrics* metrics,
                                     WriteTelemetry* telemetry, UpdateNotifier* notifier,
                                     GroupCommit* commits)
    : schema_(schema),
      db_(db),
      ids_(ids),
      log_store_(log_store),
      vdbs_(vdbs),
      stats_(stats),
      metrics_(metrics),
      telemetry_(telemetry),
      notifier_(notifier),
      commits_(commits) {}

bool WriteTransactions::TracingEnabled() { return orv::wft::WorkflowUtil::Enabled(); }

bool WriteTransactions::CommitAndReply(Commit commit) {
  TransactionRequestTable* const table = commit.requests.get();
  auto committed = std::make_unique<Committed>(
      commit.name, this, commit.txn_id, commit.tracing, commit.reply->Keep(),
      std::move(commit.requests), commit.sample_reply, std::move(commit.done));
  uint64_t log_bytes = 0;
  // Written without sync: the group commit syncs, for this transaction and
  // for those around it.
  const Status status = ProcessRequests(false, commit.tracing, commit.processor, commit.log,
                                        &log_bytes, &committed->updates, &committed->deletes,
                                        metrics_->process(commit.op), table);
  if (!status.ok()) {
    TARNIX_LOG(orv::INFO, nullptr, "%s processing failed with %s", commit.name,
               status.ToString().c_str());
    ids_->PersistPending();
    commit.reply->Fail(status);
    return false;
  }
  metrics_->request_size(commit.op)->update(log_bytes);
  stats_->UpdateObjectStatistics(commit.processor->record_count_changes());
  committed->release_heap = log_bytes >= kReleaseHeapAfterBytes;
  commits_->Commit(commit.sync, std::move(committed));
  return true;
}

template <class Req>
void WriteTransactions::Run(const std::string& client_id, WriteReply* reply,
                            std::list<Req>* requests, std::vector<PreparedRequest>* prepared,
                            const OwnTransaction* own) {
  using Op = WriteOpDescription<Req>;
  const char* const name = own != nullptr ? own->name : Op::kName;
  if (!commits_->Writable().ok()) {
    reply->Fail(commits_->Writable());
    return;
  }
  if (Op::kSampled) telemetry_->CacheThreadStackBounds();
  const Clock::time_point start = Clock::now();
  if (Op::kSampled) telemetry_->Record(0);
  bool tracing = false;
  std::unique_ptr<orv::wft::WorkflowUtil> body_span;
  if (own == nullptr) body_span = OpenBodySpan(*requests, &tracing);
  // Written with the transaction's batch, or alone if it ends without one.
  uint64_t txn_id = 0;
  if (!ids_->TakeTxnId(&txn_id)) {
    reply->Fail(Status::Internal("Unable to generate transaction id"));
    return;
  }
  int64_t stream_size = 0;
  double megabytes = 0;
  if (Op::kSampled) {
    for (const Req& request : *requests)
      stream_size += static_cast<int64_t>(request.ByteSizeLong());
    megabytes = static_cast<double>(stream_size) / 1024 / 1024;
    TARNIX_LOG(orv::INFO, nullptr, "%s: TransactionID='%lu' Client ID=%s Size=%.02fMB LogTx?=%d",
               Op::kName, txn_id, client_id.c_str(), megabytes,
               stream_size < kMaxLoggedModifyBytes ? 1 : 0);
  } else {
    TARNIX_LOG(orv::INFO, nullptr, "%s: TransactionID='%lu' Client ID=%s", Op::kName, txn_id,
               client_id.c_str());
  }
  TarnixTransactionLog log(schema_, client_id, txn_id);
  log.set_request_bound(request_log_bound());
  if (own != nullptr) {
    log.vdb_id = own->vdb_id;
    log.RecordRequest(*own->request);
  }
  RequestProcessor processor(schema_, db_, &object_keys_);
  if (Op::kSampled) telemetry_->Record(1);
  ChildRecordCache cache;
  KeyReader keys(&schema_->types(), &schema_->keys());
  const EntryScope scope{client_id, &processor, &cache, /*skip_permission=*/own != nullptr,
                         /*in_modify=*/false, &keys, own != nullptr ? own->vdb_id : VdbId{0}};
  bool sync = false;
  const Status status = PreprocessRequests(scope, tracing, stream_size < kMaxLoggedModifyBytes,
                                           requests, prepared, &log, &sync);
  if (!status.ok()) {
    TARNIX_LOG(orv::INFO, nullptr, "%s preprocessing failed with %s", name,
               status.ToString().c_str());
    ids_->PersistPending();
    reply->Fail(status);
    return;
  }
  Commit commit{Op::kOp, name, txn_id, sync || own != nullptr, tracing, &processor, &log, reply};
  if (!Op::kSampled) {
    if (own != nullptr) commit.done = own->done;
    CommitAndReply(std::move(commit));
    return;
  }
  TARNIX_LOG(orv::VERBOSE, nullptr, "%s Process + Preprocess took %li ms.", Op::kName,
             MillisSince(start));
  auto processed = std::make_unique<TransactionRequestTable>(16);
  processed->max_load_factor(1.0f);
  WriteTelemetry* const telemetry = telemetry_;
  // After the notification; on a failure the phases taken so far stay for
  // the out-of-memory report.
  auto complete = [telemetry, txn_id, client_id, megabytes, start] {
    telemetry->Record(8);
    TARNIX_LOG(orv::INFO, nullptr,
               "%s Complete: TransactionID=%lu Client ID=%s Size=%.02fMB Duration=%lu "
               "Telemetry=%s",
               Op::kName, txn_id, client_id.c_str(), megabytes,
               static_cast<unsigned long>(MillisSince(start)), telemetry->Format().c_str());
    telemetry->Reset();
  };
  commit.requests = std::move(processed);
  commit.sample_reply = true;
  commit.done = complete;
  CommitAndReply(std::move(commit));
}

uint64_t WriteTransactions::request_log_bound() const { return log_store_->max_log_size(); }

void WriteTransactions::Put(const std::string& client_id, WriteReply* reply,
                            std::list<tx::PutRequestMsg>* requests,
                            std::vector<PreparedRequest>* prepared) {
  Run(client_id, reply, requests, prepared);
}

void WriteTransactions::Delete(const std::string& client_id, WriteReply* reply,
                               std::list<tx::DeleteRequestMsg>* requests,
                               std::vector<PreparedRequest>* prepared) {
  Run(client_id, reply, requests, prepared);
}

void WriteTransactions::Flush(const std::string& client_id, WriteReply* reply,
                              std::list<tx::FlushRequestMsg>* requests,
                              std::vector<PreparedRequest>* prepared) {
  Run(client_id, reply, requests, prepared);
}

void WriteTransactions::DeleteVDb(const std::string& client_id,
                                  const tx::DeleteVDbRequestMsg& request, VdbId vdb_id,
                                  WriteReply* reply, std::function<void()> done) {
  std::list<tx::FlushRequestMsg> flushes(1);
  for (const auto& type : schema_->types().GetObjectTypeNames()) {
    tx::FlushMsg* flush = flushes.front().add_flushes();
    schema_->types().SetObjectType(type.second, flush);
    flush->add_vdb_ids(vdb_id);
  }
  const OwnTransaction own{"Delete VDb: flush", &request, vdb_id, std::move(done)};
  Run(client_id, reply, &flushes, nullptr, &own);
}

void WriteTransactions::Patch(const std::string& client_id, WriteReply* reply,
                              std::list<tx::PatchRequestMsg>* requests,
                              std::vector<PreparedRequest>* prepared) {
  Run(client_id, reply, requests, prepared);
}

void WriteTransactions::Copy(const std::string& client_id, WriteReply* reply,
                             std::list<tx::CopyRequestMsg>* requests,
                             std::vector<PreparedRequest>* prepared) {
  Run(client_id, reply, requests, prepared);
}

void WriteTransactions::FlushByBlockId(const std::string& client_id, WriteReply* reply,
                                       std::list<tx::FlushByBlockIdRequestMsg>* requests,
                                       std::vector<PreparedRequest>* prepared) {
  Run(client_id, reply, requests, prepared);
}

void WriteTransactions::Modify(const std::string& client_id, WriteReply* reply,
                               std::list<tx::ModifyRequestMsg>* requests,
                               std::vector<PreparedRequest>* prepared) {
  Run(client_id, reply, requests, prepared);
}

}  // namespace tarnix
